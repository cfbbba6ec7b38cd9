#include "ulib/strlcpy.h"

#include <string.h>

size_t strlcpy(char* dst, const char* src, size_t siz)
{
    if (src == nullptr)
        return 0;
    const size_t ret = strlen(src);
    if (dst == nullptr || siz == 0)
        return ret;
    if (siz > ret) {
        memcpy(dst, src, ret + 1);
    } else {
        memcpy(dst, src, siz - 1);
        dst[siz - 1] = '\0';
    }
    return ret;
}
