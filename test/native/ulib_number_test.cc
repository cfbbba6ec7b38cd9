#include <gtest/gtest.h>
#include <limits.h>

#include <tuple>

#include "ulib/number.h"

namespace {

TEST(StringToNumber, AllThreeWidths)
{
    using row = std::tuple<const char*, int, int, int>;   // text, min, max, result
    for (const auto& [text, min, max, want] :
         {row{"42", 0, 100, 42}, {"42abc", 0, 100, -1}, {"42 abc", 0, 100, 42}, {" 42", 0, 100, 42},
          {"", 0, 100, -1}, {"101", 0, 100, -1}, {"100", 0, 100, 100}, {"42\t", 0, 100, -1},
          {"-5", -10, 10, -5}, {nullptr, 0, 100, -1},
          {"4294967338", 0, INT_MAX, -1},   // would read as 42 if cut to 32 bits
          {"-2147483649", INT_MIN, 0, -1}})
        EXPECT_EQ(string_to_number(text, min, max), want) << (text ? text : "(null)");

    unsigned long v = 99;
    EXPECT_EQ(string_to_unsigned_number("0", &v, 1, 10), -1);
    EXPECT_EQ(string_to_unsigned_number("5x", &v, 1, 10), -1);
    EXPECT_EQ(v, 99UL);   // untouched on failure
    EXPECT_EQ(string_to_unsigned_number("-1", &v, 0, ULONG_MAX), 0);   // strtoul's negation
    EXPECT_EQ(v, ULONG_MAX);
    EXPECT_EQ(string_to_number_int64("x", 0, 10), LLONG_MIN);
    EXPECT_EQ(string_to_number_int64("5", 6, 10), LLONG_MIN);
    EXPECT_EQ(string_to_number_int64("9223372036854775807 rest", 0, LLONG_MAX), LLONG_MAX);
}

}  // namespace
