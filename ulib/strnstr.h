#ifndef ZEL_ULIB_STRNSTR_H
#define ZEL_ULIB_STRNSTR_H

#include <stddef.h>

#include "ulib/zel_export.h"

ZEL_BEGIN_DECLS

/* Returns the first occurrence of the NUL-terminated pattern `find` that lies
 * wholly within the first `slen` bytes of `s` and before any NUL in `s`, or
 * null.  An empty pattern returns `s`.  No byte at or past s + slen is read. */
ZEL_EXPORT char* strnstr(const char* s, const char* find, size_t slen);

ZEL_END_DECLS

#endif
