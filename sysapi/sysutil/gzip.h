/* Gzip and zlib helpers: gzip files from a file, a buffer or a string, the
 * gzip magic test, and zlib streams from a file or a buffer. */
#ifndef ZEL_SYSAPI_SYSUTIL_GZIP_H
#define ZEL_SYSAPI_SYSUTIL_GZIP_H

#include <stddef.h>

#include "ulib/zel_export.h"

/* The zlib interface version the module is built for, handed to every zlib
 * set-up call.  zlib only checks its major number, so any 1.x library that
 * hosts the module accepts it. */
#define ZEL_ZLIB_VERSION "1.2.11"

ZEL_BEGIN_DECLS

/* Returns 1 when the first two of the `sz` bytes at `buf` are 0x1F 0x8B; 0
 * otherwise, and always 0 when sz < 2. */
ZEL_EXPORT int is_gzip_buffer(size_t sz, const char* buf);

/* Writes the file `inf` gzip-compressed to `outf`.  Returns 0 done, -1 `inf`
 * cannot be opened, -2 `outf` cannot be opened, -3 a write failed (`outf` is
 * removed). */
ZEL_EXPORT int fgzip(const char* inf, const char* outf);

/* Writes the `len` bytes at `in` (len 0: the 0-terminated string `in`)
 * gzip-compressed to `outf`.  Returns 0 done, -2 `outf` cannot be opened, -3
 * the bytes could not all be written (`outf` is removed) or `in` is null. */
ZEL_EXPORT int gzip_to_file(const char* in, size_t len, const char* outf);

/* Returns gzip_to_file(in, 0, outf): the whole 0-terminated string. */
ZEL_EXPORT int sgzip(const char* in, const char* outf);

/* Returns 1 if the file `fname` starts with the gzip magic, 0 if not; -1 for
 * a null name, -2 if it cannot be opened, -3 if it holds fewer than 2 bytes. */
ZEL_EXPORT int is_gzip(const char* fname);

/* Writes the file `source_file` as a zlib stream (default level) to
 * `dest_file`.  Failures are silent. */
ZEL_EXPORT void zlib_compress(const char* source_file, const char* dest_file);

/* Compresses `bufSize` bytes at `buf` into a zlib stream at `outBuf` of
 * `outBufSize` bytes with `level` (-1 default, 0-9).  Returns the number of
 * bytes written, or -1 (bad level, output too small, input of 4 GiB or more). */
ZEL_EXPORT long zip_compress_string(const char* buf, unsigned long bufSize, unsigned char* outBuf,
                                    unsigned long outBufSize, int level);

ZEL_END_DECLS

#endif
