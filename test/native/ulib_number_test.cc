#include <gtest/gtest.h>
#include <limits.h>

#include "ulib/number.h"

namespace {

struct int_case {
    const char* text;
    int min, max;
    int want;
};

TEST(StringToNumber, Table)
{
    const int_case cases[] = {
        {"42", 0, 100, 42},
        {"42abc", 0, 100, -1},
        {"42 abc", 0, 100, 42},   // a space ends the number; the rest is ignored
        {" 42", 0, 100, 42},
        {"+7", 0, 100, 7},
        {"", 0, 100, -1},
        {" ", 0, 100, -1},
        {"101", 0, 100, -1},
        {"100", 0, 100, 100},     // both bounds inclusive
        {"0", 0, 100, 0},
        {"42\t", 0, 100, -1},     // only a space may follow, not other blanks
        {"4.2", 0, 100, -1},
        {"-5", -10, 10, -5},
        {"4294967338", 0, INT_MAX, -1},   // would read as 42 if cut to 32 bits
        {"2147483648", INT_MIN, INT_MAX, -1},
        {"-2147483649", INT_MIN, 0, -1},
        {"2147483647", 0, INT_MAX, INT_MAX},
        {nullptr, 0, 100, -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(string_to_number(c.text, c.min, c.max), c.want) << "text '" << (c.text ? c.text : "(null)") << "'";
}

TEST(StringToUnsignedNumber, StoresOnlyOnSuccess)
{
    unsigned long v = 99;
    EXPECT_EQ(string_to_unsigned_number("7", &v, 1, 10), 0);
    EXPECT_EQ(v, 7UL);

    v = 99;
    EXPECT_EQ(string_to_unsigned_number("0", &v, 1, 10), -1);
    EXPECT_EQ(string_to_unsigned_number("11", &v, 1, 10), -1);
    EXPECT_EQ(string_to_unsigned_number("5x", &v, 1, 10), -1);
    EXPECT_EQ(string_to_unsigned_number(nullptr, &v, 1, 10), -1);
    EXPECT_EQ(v, 99UL);

    // strtoul's unsigned negation of a minus sign reaches the range test.
    EXPECT_EQ(string_to_unsigned_number("-1", &v, 0, ULONG_MAX), 0);
    EXPECT_EQ(v, ULONG_MAX);
    EXPECT_EQ(string_to_unsigned_number("-1", &v, 0, 100), -1);
}

TEST(StringToNumberInt64, Table)
{
    const struct {
        const char* text;
        long long want;
    } cases[] = {
        {"x", LLONG_MIN},
        {"", LLONG_MIN},
        {"9223372036854775807", LLONG_MAX},
        {"-9223372036854775807", -LLONG_MAX},
        {"12 rest", 12},
        {"12rest", LLONG_MIN},
        {"99999999999999999999", LLONG_MAX},   // saturates, then passes the range
    };
    for (const auto& c : cases)
        EXPECT_EQ(string_to_number_int64(c.text, -LLONG_MAX, LLONG_MAX), c.want) << c.text;
    EXPECT_EQ(string_to_number_int64("5", 6, 10), LLONG_MIN);
}

}  // namespace
