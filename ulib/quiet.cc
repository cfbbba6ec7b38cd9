#include "ulib/quiet.h"

#include <stdlib.h>
#include <string.h>

namespace zel_detail {

bool quiet()
{
    /* A server decides once, at start, whether its relays may print; a
     * function-local static gives every thread the same answer. */
    static const bool q = [] {
        const char* v = getenv("ZEL_QUIET");
        return v != nullptr && v[0] != '\0' && strcmp(v, "0") != 0;
    }();
    return q;
}

} // namespace zel_detail
