// Splitting an incoming URL into its leading segments.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "node-server-side/zel-proxy/url_segments.h"

namespace {

struct Split {
    std::vector<char> buf;
    const char* first = nullptr;
    const char* second = nullptr;
    const char* rest = nullptr;

    explicit Split(const std::string& url, bool want_rest = false) : buf(url.begin(), url.end())
    {
        buf.push_back('\0');
        api_parse_url_segments(buf.data(), want_rest ? &rest : nullptr, 2, &first, &second);
    }
};

std::string str(const char* p) { return p ? p : "(null)"; }

TEST(UrlSegments, SecondSegmentIsTheSerialChain)
{
    struct Case {
        const char* url;
        const char* first;
        const char* second;
    } cases[] = {
        {"/a/S1:S2/x/y", "a", "S1:S2"},
        {"//a///S1:S2", "a", "S1:S2"},   // runs of '/' are one separator
        {"a/S1:S2", "a", "S1:S2"},       // no leading slash
        {"/a/S1:S2/", "a", "S1:S2"},
        {"/", nullptr, nullptr},
        {"", nullptr, nullptr},
        {"/a", "a", nullptr},
        {"///a//", "a", nullptr},
    };
    for (const auto& c : cases) {
        Split s(c.url);
        EXPECT_EQ(str(s.first), str(c.first)) << c.url;
        EXPECT_EQ(str(s.second), str(c.second)) << c.url;
    }
}

TEST(UrlSegments, RemainingTextAfterTheLastSlot)
{
    struct Case {
        const char* url;
        const char* rest;
    } cases[] = {
        {"/a/b/c/d", "c/d"},
        {"/a/b//c", "/c"},   // starts right after the one '/' that closed b
        {"/a/b", nullptr},   // the last segment ended the text
        {"/a/b/", nullptr},
        {"/a", nullptr},     // fewer segments than slots: untouched
    };
    for (const auto& c : cases) {
        Split s(c.url, true);
        EXPECT_EQ(str(s.rest), str(c.rest)) << c.url;
    }
}

TEST(UrlSegments, SegmentsAreCutInPlaceAndSlotsWithoutSegmentKeepTheirValue)
{
    char url[] = "/a/S1:S2/x";
    const char* keep = "untouched";
    const char* only = nullptr;
    api_parse_url_segments(url, nullptr, 3, static_cast<const char**>(nullptr), &only, &keep);
    EXPECT_STREQ(only, "S1:S2");
    EXPECT_STREQ(keep, "x");
    EXPECT_STREQ(url, "/a"); // the copy now reads up to its first NUL

    char short_url[] = "/a";
    const char* a = nullptr;
    const char* b = "untouched";
    api_parse_url_segments(short_url, nullptr, 2, &a, &b);
    EXPECT_STREQ(a, "a");
    EXPECT_STREQ(b, "untouched");
}

TEST(UrlSegments, ReadOnlyEmptyTextIsNeverWritten)
{
    // The shared empty text lives in read-only storage here: a write faults.
    static const char empty[1] = {'\0'};
    const char* s = nullptr;
    api_parse_url_segments(const_cast<char*>(empty), nullptr, 2, static_cast<const char**>(nullptr), &s);
    EXPECT_EQ(s, nullptr);
}

} // namespace
