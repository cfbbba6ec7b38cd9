/* Calendar dates and clock times given as text, and the display form of an
 * expiry date.  -130 and -134 are the library's error numbers for an invalid
 * date and an invalid time. */
#ifndef ZEL_ULIB_DATETIME_H
#define ZEL_ULIB_DATETIME_H

#include <stddef.h>
#include <time.h>

#include "ulib/zel_export.h"

ZEL_BEGIN_DECLS

/* Returns 1 if `year` is a Gregorian leap year, else 0. */
ZEL_EXPORT int is_leap_year(short year);

/* Returns the length of `month` (1-12) in `year`, 28 to 31; 0 for any other
 * month. */
ZEL_EXPORT int max_month_days(short year, short month);

/* Returns 1 if day `mday` exists in `month` of `year`, else 0. */
ZEL_EXPORT int validate_day_month(short year, short month, short mday);

/* Returns 1 if `value` is "H:M:S" (0-23, 0-59, 0-59, decimal, runs of ':'
 * count as one) and stores each field through its non-null pointer as soon as
 * it passed; 0 otherwise (also for null). */
ZEL_EXPORT int check_full_time_str(const char* value, short* hour, short* min, short* sec);

/* Returns 0 if check_full_time_str accepts `str`, else -134. */
ZEL_EXPORT int check_time_string(const char* str);

/* Returns 1 for a date "Y-M-D" of at most 10 characters (digits and '-'
 * only, year 2001-2037, a day that exists) and stores the fields through the
 * non-null pointers; 0 for an invalid date (nothing stored); -1 for null. */
ZEL_EXPORT int check_iso_date_string(const char* ptr, int* out_year, int* out_month, int* out_day);

/* Returns 0 for a valid "Y-M-D" or "Y-M-D H:M:S", -130 for an invalid or null
 * date and -134 for an invalid time part. */
ZEL_EXPORT int check_date_time_string(const char* str);

/* Returns the last second (23:59:59 local time) of the local day before
 * `expiry`; 0 for 0; -1 if the local time cannot be computed. */
ZEL_EXPORT time_t upd_utils_expiration_display_date(time_t expiry);

/* Formats the local date of upd_utils_expiration_display_date(expiry) as
 * "%a %b %e %Y" into `buf` of `len` bytes; the empty string if it does not fit
 * or cannot be computed.  Returns `buf`; nothing is written when len is 0. */
ZEL_EXPORT char* upd_utils_get_expiry_date_str(time_t expiry, char* buf, size_t len);

ZEL_END_DECLS

#endif
