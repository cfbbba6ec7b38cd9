#include "ulib/datetime.h"

#include <stdlib.h>
#include <string.h>

#include "ulib/number.h"
#include "ulib/strlcpy.h"

namespace {

constexpr time_t k_day_seconds = 86400;

// The library's error numbers for an invalid date and an invalid time.
constexpr int k_invalid_date = -130;
constexpr int k_invalid_time = -134;

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

/* The display date of `expiry`: 0 for 0, otherwise 23:59:59 local time on
 * the local day before it.  False if the local time cannot be computed. */
bool display_date(time_t expiry, time_t* out)
{
    // localtime_r, unlike localtime, need not look at TZ again; tzset keeps
    // the results the same as with localtime.
    tzset();
    if (expiry == 0) {
        *out = 0;
        return true;
    }
    time_t t = 0;
    if (__builtin_sub_overflow(expiry, k_day_seconds, &t))
        return false;
    struct tm tm;
    if (localtime_r(&t, &tm) == nullptr)
        return false;
    tm.tm_hour = 23;
    tm.tm_min = 59;
    tm.tm_sec = 59;
    // The day before may lie on the other side of a daylight-saving change;
    // letting mktime decide keeps the result at 23:59:59 local time.
    tm.tm_isdst = -1;
    *out = mktime(&tm);
    return true;
}

}  // namespace

int is_leap_year(short year)
{
    return (year % 4 == 0) && (year % 100 != 0 || year % 400 == 0);
}

int max_month_days(short year, short month)
{
    switch (month) {
    case 1: case 3: case 5: case 7: case 8: case 10: case 12:
        return 31;
    case 4: case 6: case 9: case 11:
        return 30;
    case 2:
        return is_leap_year(year) ? 29 : 28;
    default:
        return 0;
    }
}

int validate_day_month(short year, short month, short mday)
{
    const int days = max_month_days(year, month);
    if (days < 1 || mday < 1)
        return 0;
    return mday <= days;
}

int check_full_time_str(const char* value, short* hour, short* min, short* sec)
{
    if (value == nullptr)
        return 0;
    char text[20];
    strlcpy(text, value, sizeof text);
    constexpr int k_max[3] = {23, 59, 59};
    short* const out[3] = {hour, min, sec};
    char* save = nullptr;
    char* token = strtok_r(text, ":", &save);
    for (int i = 0; i < 3; ++i) {
        if (token == nullptr)
            return 0;
        const int v = string_to_number(token, 0, k_max[i]);
        if (v < 0)
            return 0;
        if (out[i] != nullptr)
            *out[i] = static_cast<short>(v);
        token = strtok_r(nullptr, ":", &save);
    }
    return 1;
}

int check_time_string(const char* str)
{
    return check_full_time_str(str, nullptr, nullptr, nullptr) ? 0 : k_invalid_time;
}

int check_iso_date_string(const char* ptr, int* out_year, int* out_month, int* out_day)
{
    if (ptr == nullptr)
        return -1;
    char text[15];
    strlcpy(text, ptr, sizeof text);
    if (strlen(text) > 10)
        return 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (!is_digit(*p) && *p != '-')
            return 0;
    }
    long field[3];
    char* save = nullptr;
    char* token = strtok_r(text, "-", &save);
    for (long& f : field) {
        if (token == nullptr)
            return 0;
        f = strtol(token, nullptr, 10);
        token = strtok_r(nullptr, "-", &save);
    }
    const long year = field[0], month = field[1], day = field[2];
    if (year < 2001 || year > 2037 || month < 1 || month > 12 || day < 1 || day > 31)
        return 0;
    if (day > max_month_days(static_cast<short>(year), static_cast<short>(month)))
        return 0;
    if (out_year != nullptr)
        *out_year = static_cast<int>(year);
    if (out_month != nullptr)
        *out_month = static_cast<int>(month);
    if (out_day != nullptr)
        *out_day = static_cast<int>(day);
    return 1;
}

int check_date_time_string(const char* str)
{
    // A null text carries no date at all.
    if (str == nullptr)
        return k_invalid_date;
    char text[20];
    strlcpy(text, str, sizeof text);
    char* rest = text;
    char* date = strsep(&rest, " ");
    char* clock = strsep(&rest, " ");
    if (check_iso_date_string(date, nullptr, nullptr, nullptr) == 0)
        return k_invalid_date;
    if (clock == nullptr)
        return 0;
    return check_full_time_str(clock, nullptr, nullptr, nullptr) ? 0 : k_invalid_time;
}

time_t upd_utils_expiration_display_date(time_t expiry)
{
    time_t t = 0;
    return display_date(expiry, &t) ? t : static_cast<time_t>(-1);
}

char* upd_utils_get_expiry_date_str(time_t expiry, char* buf, size_t len)
{
    if (buf == nullptr || len == 0)
        return buf;
    time_t t = 0;
    struct tm tm;
    if (!display_date(expiry, &t) || localtime_r(&t, &tm) == nullptr ||
        strftime(buf, len, "%a %b %e %Y", &tm) == 0)
        buf[0] = '\0';
    return buf;
}
