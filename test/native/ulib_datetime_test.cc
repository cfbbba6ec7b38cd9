#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <string>

#include "ulib/datetime.h"

namespace {

TEST(Calendar, LeapYearsAndMonthLengths)
{
    const int years[][2] = {{2000, 1}, {2024, 1}, {1900, 0}, {2023, 0}, {2100, 0}};
    for (const auto& y : years)
        EXPECT_EQ(is_leap_year(static_cast<short>(y[0])), y[1]) << y[0];
    EXPECT_EQ(max_month_days(2024, 2), 29);
    EXPECT_EQ(max_month_days(2023, 13), 0);
    EXPECT_EQ(validate_day_month(2023, 4, 31), 0);
    EXPECT_EQ(validate_day_month(2023, 4, 0), 0);
    EXPECT_EQ(validate_day_month(2024, 2, 29), 1);
}

TEST(Dates, CheckIsoDateString)
{
    const struct {
        const char* text;
        int want, y, m, d;
    } cases[] = {
        {"2037-12-31", 1, 2037, 12, 31}, {"2024-02-29", 1, 2024, 2, 29}, {"2024--3--5", 1, 2024, 3, 5},
        {"2000-01-01", 0, 0, 0, 0},      {"2023-02-29", 0, 0, 0, 0},     {"2024/02/29", 0, 0, 0, 0},
        {"2024-02", 0, 0, 0, 0},         {"2024--03--05", 0, 0, 0, 0},   // longer than 10
        {nullptr, -1, 0, 0, 0},
    };
    for (const auto& c : cases) {
        int y = -7, m = -7, d = -7;
        EXPECT_EQ(check_iso_date_string(c.text, &y, &m, &d), c.want) << (c.text ? c.text : "(null)");
        EXPECT_EQ(y, c.want == 1 ? c.y : -7);   // nothing stored on failure
        EXPECT_EQ(m, c.want == 1 ? c.m : -7);
        EXPECT_EQ(d, c.want == 1 ? c.d : -7);
    }
}

TEST(Times, CheckFullTimeStr)
{
    const struct {
        const char* text;
        int want, h, m, s;   // fields afterwards (-7: untouched)
    } cases[] = {
        {"23:59:59", 1, 23, 59, 59}, {"9:5:0", 1, 9, 5, 0},      {" 09:05:00", 1, 9, 5, 0},
        {"::1:2::3", 1, 1, 2, 3},    {"1:2:3:junk", 1, 1, 2, 3}, {"24:00:00", 0, -7, -7, -7},
        {"12:60:00", 0, 12, -7, -7}, {"12:30", 0, 12, 30, -7},   {nullptr, 0, -7, -7, -7},
    };
    for (const auto& c : cases) {
        short h = -7, m = -7, s = -7;
        EXPECT_EQ(check_full_time_str(c.text, &h, &m, &s), c.want) << (c.text ? c.text : "(null)");
        EXPECT_EQ(h, c.h);
        EXPECT_EQ(m, c.m);
        EXPECT_EQ(s, c.s);
    }
    EXPECT_EQ(check_time_string("01:02:03"), 0);
    EXPECT_EQ(check_time_string("01:02"), -134);

    const struct {
        const char* text;
        int want;
    } date_times[] = {{"2024-02-29 23:59:59", 0},    {"2024-02-29", 0},  {"2023-02-29 10:00:00", -130},
                      {"2024-02-29 24:00:00", -134}, {"2024-02-29  10:00:00", -134}, {nullptr, -130}};
    for (const auto& c : date_times)
        EXPECT_EQ(check_date_time_string(c.text), c.want) << (c.text ? c.text : "(null)");
}

/* Runs the body with TZ set to `zone`, restoring the previous setting. */
template <typename Body>
void with_zone(const char* zone, Body body)
{
    const char* old = getenv("TZ");
    const std::string saved = old ? old : "";
    setenv("TZ", zone, 1);
    tzset();
    body();
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(Expiry, LastSecondOfThePreviousLocalDay)
{
    // 2024-03-11 05:00 UTC is 01:00 EDT in New York; one day earlier it is
    // 00:00 EST, but the end of that day (March 10) is already in EDT.
    const time_t expiries[] = {1710133200, 1700000000, 1735689600};
    for (const char* zone : {"UTC", "America/New_York", "Asia/Kolkata"}) {
        with_zone(zone, [&] {
            for (time_t expiry : expiries) {
                const time_t shown = upd_utils_expiration_display_date(expiry);
                const time_t before = expiry - 86400;
                struct tm got, day_before;
                ASSERT_NE(localtime_r(&shown, &got), nullptr);
                ASSERT_NE(localtime_r(&before, &day_before), nullptr);
                EXPECT_EQ(got.tm_hour * 3600 + got.tm_min * 60 + got.tm_sec, 86399) << zone << " " << expiry;
                EXPECT_EQ(got.tm_yday, day_before.tm_yday) << zone << " " << expiry;

                char want[64], buf[64];
                ASSERT_GT(strftime(want, sizeof want, "%a %b %e %Y", &day_before), 0U);
                EXPECT_EQ(upd_utils_get_expiry_date_str(expiry, buf, sizeof buf), buf);
                EXPECT_STREQ(buf, want) << zone << " " << expiry;
            }
        });
    }
    with_zone("UTC", [] {
        EXPECT_EQ(upd_utils_expiration_display_date(0), 0);
        char buf[64], small[8] = "XXXXXXX";
        EXPECT_STREQ(upd_utils_get_expiry_date_str(0, buf, sizeof buf), "Thu Jan  1 1970");
        EXPECT_STREQ(upd_utils_get_expiry_date_str(1700000000, small, sizeof small), "");
    });
}

}  // namespace
