#ifndef ZEL_ULIB_STRLCPY_H
#define ZEL_ULIB_STRLCPY_H

#include <stddef.h>
#include <string.h>

#include "ulib/zel_export.h"

ZEL_BEGIN_DECLS

/* Copies at most siz - 1 bytes of `src` to `dst` and terminates it.  Returns
 * strlen(src) (0 for a null `src`); a result >= siz means the copy was cut.
 * Nothing is written when `src` or `dst` is null or `siz` is 0. */
ZEL_EXPORT size_t strlcpy(char* dst, const char* src, size_t siz);

ZEL_END_DECLS

#endif
