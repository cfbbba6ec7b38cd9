#include "sysapi/sysutil/gzip.h"

int is_gzip_buffer(size_t sz, const char* buf)
{
    if (sz < 2)
        return 0;
    return static_cast<unsigned char>(buf[0]) == 0x1F && static_cast<unsigned char>(buf[1]) == 0x8B;
}
