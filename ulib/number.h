/* Range-checked decimal parsing.
 *
 * All three parsers share one rule: the text is converted in base 10 by the C
 * library (leading white space and a sign accepted), at least one digit must be
 * consumed, the number must be followed by the end of the text or a space (the
 * rest after a space is ignored), and the value must lie in [min, max]. */
#ifndef ZEL_ULIB_NUMBER_H
#define ZEL_ULIB_NUMBER_H

#include "ulib/zel_export.h"

ZEL_BEGIN_DECLS

/* Returns 0 and stores the value in *number on success; -1 on failure, with
 * *number untouched.  Uses strtoul, so "-1" reads as ULONG_MAX. */
ZEL_EXPORT int string_to_unsigned_number(const char* s, unsigned long* number, unsigned long min,
                                         unsigned long max);

/* Returns the value, or -1 on failure (also for text outside the int range).
 * -1 is ambiguous when the range admits it; callers pass min >= 0. */
ZEL_EXPORT int string_to_number(const char* s, int min, int max);

/* Returns the value, or LLONG_MIN (0x8000000000000000) on failure. */
ZEL_EXPORT long long string_to_number_int64(const char* s, long long min, long long max);

ZEL_END_DECLS

#endif
