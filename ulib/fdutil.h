/* Descriptor modes and copying a text file to an open stream. */
#ifndef ZEL_ULIB_FDUTIL_H
#define ZEL_ULIB_FDUTIL_H

#include <stdio.h>

#include "ulib/zel_export.h"

ZEL_BEGIN_DECLS

/* Returns 0 once `fd` is non-blocking (nothing is written if it already was);
 * -1 if its flags cannot be read or written, errno as fcntl left it. */
ZEL_EXPORT int fd_set_nonblock(int fd);

/* Returns 0 once `fd` is blocking (nothing is written if it already was); -1
 * if its flags cannot be read or written, errno as fcntl left it. */
ZEL_EXPORT int fd_set_block(int fd);

/* Copies the text file `fname` to `fout`.  Returns 0 if the file was read to
 * its end and `fout` shows no error; -1 if the file cannot be opened, a read
 * fails or a write fails.  `fout` is neither flushed nor closed. */
ZEL_EXPORT int print_ascii_file(FILE* fout, const char* fname);

ZEL_END_DECLS

#endif
