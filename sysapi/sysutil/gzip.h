/* Gzip and zlib helpers: gzip files from a file, a buffer or a string, the
 * gzip magic test, and zlib streams from a file or a buffer. */
#ifndef ZEL_SYSAPI_SYSUTIL_GZIP_H
#define ZEL_SYSAPI_SYSUTIL_GZIP_H

#include <stddef.h>

#include "ulib/zel_export.h"

ZEL_BEGIN_DECLS

/* Returns 1 when the first two of the `sz` bytes at `buf` are 0x1F 0x8B; 0
 * otherwise, and always 0 when sz < 2. */
ZEL_EXPORT int is_gzip_buffer(size_t sz, const char* buf);

ZEL_END_DECLS

#endif
