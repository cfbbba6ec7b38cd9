// Bounded search and copy, case folding and trimming.  Texts are copied to
// heap blocks of exactly their size, so that under ASan a read past a bound
// is reported.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "ulib/util.h"

namespace {

TEST(Strnstr, FindsOnlyWithinBoundAndBeforeNul)
{
    // text, pattern, bound, offset of the match (-1: none)
    using row = std::tuple<std::string, const char*, size_t, long>;
    for (const auto& [s, find, slen, want] : {
             row{"abcdef", "", 0, 0},                   // empty pattern: s itself, whatever the bound
             {"", "", 5, 0},
             {"abcdef", "a", 0, -1},                    // empty bound reads nothing
             {"abcdef", "cd", 3, -1},                   // pattern would end past the bound
             {"abcdef", "cd", 4, 2},
             {std::string("ab\0cd", 5), "cd", 5, -1},   // NUL ends the search
             {"aab", "ab", 3, 1},                       // a failed compare does not skip the next start
             {"xx\r\n\r\nbody", "\r\n\r\n", 10, 2},
             {"xx\r\n\r", "\r\n\r\n", 5, -1},
             {"abcabc", "abc", 6, 0},
             {"abcabc", "c", 6, 2}}) {
        const std::vector<char> block(s.begin(), s.end());
        const char* text = block.empty() ? "" : block.data();
        EXPECT_EQ(strnstr(text, find, slen), want < 0 ? nullptr : text + want) << s << " / " << find << " / " << slen;
    }
    // An unterminated block of exactly the bound: a bound check in the wrong
    // place reads past it.
    const std::string digits = "0123456789";
    for (size_t n = 0; n <= digits.size(); ++n) {
        std::vector<char> block(digits.begin(), digits.begin() + static_cast<long>(n));
        const char* s = n ? block.data() : "";
        EXPECT_EQ(strnstr(s, "89", n), n == 10 ? s + 8 : nullptr) << n;
        EXPECT_EQ(strnstr(s, "0", n), n ? s : nullptr) << n;
    }
}

TEST(Strlcpy, TruncatesTerminatesAndReportsSourceLength)
{
    for (const auto& [siz, want] : {std::pair<size_t, const char*>{3, "he"}, {5, "hell"}, {6, "hello"}, {64, "hello"},
                                    {1, ""}}) {
        char dst[64];
        memset(dst, 'X', sizeof dst);
        EXPECT_EQ(strlcpy(dst, "hello", siz), 5u);
        EXPECT_STREQ(dst, want);
        EXPECT_EQ(dst[siz < 6 ? siz : 6], 'X') << "wrote past the bound, siz " << siz;
    }
    // Null arguments and a zero size write nothing.
    char dst[4] = {'a', 'b', 'c', '\0'};
    EXPECT_EQ(strlcpy(dst, nullptr, sizeof dst), 0u);
    EXPECT_EQ(strlcpy(nullptr, "hello", 10), 5u);
    EXPECT_EQ(strlcpy(dst, "hello", 0), 5u);
    EXPECT_STREQ(dst, "abc");
}

TEST(CaseFolding, OnlyAsciiLettersChangeInTheCLocale)
{
    for (const auto& [in, lower, upper] : {std::tuple<std::string, const char*, const char*>{
                                               "Content-TYPE: 09 \x80\xC3\x89\xFF!", "content-type: 09 \x80\xC3\x89\xFF!",
                                               "CONTENT-TYPE: 09 \x80\xC3\x89\xFF!"},
                                           {"MiXeD", "mixed", "MIXED"},
                                           {"", "", ""}}) {
        std::string s = in;
        str_tolower(s.data());
        EXPECT_STREQ(s.c_str(), lower);
        s = in;
        EXPECT_EQ(string_to_unicase(s.data(), 0), s.data());
        EXPECT_STREQ(s.c_str(), lower);
        EXPECT_EQ(string_to_unicase(s.data(), 1), s.data());
        EXPECT_STREQ(s.c_str(), upper);
    }
}

TEST(TrimSpace, RemovesOnlySpacesAtBothEnds)
{
    for (const auto& [in, want] : {std::pair{"  a b  ", "a b"}, {"    ", ""}, {"", ""}, {"\tx\t", "\tx\t"}, {"x", "x"},
                                   {" x", "x"}, {"x ", "x"}, {" \r\n ", "\r\n"}}) {
        std::vector<char> v(in, in + strlen(in) + 1);
        nrv_trim_space(v.data());
        EXPECT_STREQ(v.data(), want) << '"' << in << '"';
    }
    nrv_trim_space(nullptr);
}

} // namespace
