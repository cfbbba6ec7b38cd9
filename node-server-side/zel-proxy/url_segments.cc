#include "node-server-side/zel-proxy/url_segments.h"

#include <stdarg.h>
#include <string.h>

/* The reentrant tokenizer keeps its position in `save`, so splitting a URL
 * never disturbs another tokenization in progress, on this thread or another. */
void api_parse_url_segments(char* buf, const char** remaining, int num_args, ...)
{
    va_list ap;
    va_start(ap, num_args);

    char* save = nullptr;
    char* seg = strtok_r(buf, "/", &save);
    for (int i = 0; i < num_args; ++i) {
        const char** slot = va_arg(ap, const char**);
        if (slot != nullptr && seg != nullptr)
            *slot = seg;
        if (i + 1 < num_args) {
            seg = strtok_r(nullptr, "/", &save);
            if (seg == nullptr) {
                va_end(ap);
                return;
            }
        }
    }
    va_end(ap);

    /* After a segment closed by '/', the tokenizer's position is the byte after
     * that '/'; after the segment that ended the text it is the terminator. */
    if (remaining != nullptr && save != nullptr && *save != '\0')
        *remaining = save;
}
