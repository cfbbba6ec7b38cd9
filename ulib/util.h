/* The utility library: string helpers and, by topic, the number, address,
 * protocol, date, bit-field, checksum and descriptor helpers. */
#ifndef ZEL_ULIB_UTIL_H
#define ZEL_ULIB_UTIL_H

#include "ulib/strlcpy.h"
#include "ulib/strnstr.h"
#include "ulib/zel_export.h"

ZEL_BEGIN_DECLS

/* Lower-cases `string` in place, byte by byte, with the locale's tolower. */
ZEL_EXPORT void str_tolower(char* string);

/* Upper-cases (upper != 0) or lower-cases `str` in place; returns `str`. */
ZEL_EXPORT char* string_to_unicase(char* str, int upper);

/* Removes leading and trailing spaces (0x20 only) in place; null is a no-op. */
ZEL_EXPORT void nrv_trim_space(char* buf);

ZEL_END_DECLS

/* Topic headers of the rest of the library. */
#if __has_include("ulib/util_topics.h")
#include "ulib/util_topics.h"
#endif

#endif
