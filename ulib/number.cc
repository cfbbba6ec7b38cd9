#include "ulib/number.h"

#include <climits>
#include <cstdlib>

namespace {

/* The text after a number: the number counts only if it ends the text or is
 * followed by a space, after which anything may follow. */
bool number_ends_well(const char* s, const char* end)
{
    return end != s && (*end == '\0' || *end == ' ');
}

}  // namespace

int string_to_unsigned_number(const char* s, unsigned long* number, unsigned long min,
                              unsigned long max)
{
    if (s == nullptr || number == nullptr)
        return -1;
    char* end = nullptr;
    const unsigned long v = strtoul(s, &end, 10);
    if (!number_ends_well(s, end) || v < min || v > max)
        return -1;
    *number = v;
    return 0;
}

int string_to_number(const char* s, int min, int max)
{
    if (s == nullptr)
        return -1;
    char* end = nullptr;
    // Converted into a long first so that text beyond the int range fails
    // instead of being cut to some unrelated int.
    const long v = strtol(s, &end, 10);
    if (!number_ends_well(s, end) || v < INT_MIN || v > INT_MAX)
        return -1;
    if (v < min || v > max)
        return -1;
    return static_cast<int>(v);
}

long long string_to_number_int64(const char* s, long long min, long long max)
{
    if (s == nullptr)
        return LLONG_MIN;
    char* end = nullptr;
    const long long v = strtoll(s, &end, 10);
    if (!number_ends_well(s, end) || v < min || v > max)
        return LLONG_MIN;
    return v;
}
