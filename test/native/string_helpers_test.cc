// Bounded search and copy, case folding and trimming.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ulib/util.h"

namespace {

// Bytes at and past the bound are poisoned by placing the text at the very end
// of a heap block: under ASan any read past `slen` is reported.
struct Bounded {
    std::vector<char> block;
    const char* text;
    Bounded(const std::string& bytes) : block(bytes.begin(), bytes.end()), text(block.data()) {}
};

TEST(Strnstr, FindsOnlyWithinBoundAndBeforeNul)
{
    struct Case {
        std::string s;
        const char* find;
        size_t slen;
        long want; // offset of the match, -1 for none
    } cases[] = {
        {"abcdef", "", 0, 0},            // empty pattern: s itself, whatever the bound
        {"", "", 5, 0},
        {"abcdef", "a", 0, -1},          // empty bound reads nothing
        {"abcdef", "cd", 3, -1},         // pattern would end past the bound
        {"abcdef", "cd", 4, 2},
        {std::string("ab\0cd", 5), "cd", 5, -1}, // NUL ends the search
        {"aab", "ab", 3, 1},             // a failed compare does not skip the next start
        {"xx\r\n\r\nbody", "\r\n\r\n", 10, 2},
        {"xx\r\n\r", "\r\n\r\n", 5, -1},
        {"abcabc", "abc", 6, 0},
        {"abcabc", "c", 6, 2},
    };
    for (const auto& c : cases) {
        Bounded b(c.s);
        char* got = strnstr(b.text, c.find, c.slen);
        if (c.want < 0)
            EXPECT_EQ(got, nullptr) << c.s << " / " << c.find << " / " << c.slen;
        else
            EXPECT_EQ(got, b.text + c.want) << c.s << " / " << c.find << " / " << c.slen;
    }
}

TEST(Strnstr, NeverReadsPastTheBound)
{
    // An unterminated heap block of exactly slen bytes: a read past it is an
    // ASan error, so a bound check in the wrong place fails here.
    const std::string text = "0123456789";
    for (size_t n = 0; n <= text.size(); ++n) {
        std::vector<char> block(text.begin(), text.begin() + static_cast<long>(n));
        const char* s = n ? block.data() : "";
        EXPECT_EQ(strnstr(s, "89", n), n == 10 ? s + 8 : nullptr) << n;
        EXPECT_EQ(strnstr(s, "0", n), n ? s : nullptr) << n;
    }
}

TEST(Strlcpy, TruncatesTerminatesAndReportsSourceLength)
{
    struct Case {
        size_t siz;
        const char* want;
    } cases[] = {{3, "he"}, {5, "hell"}, {6, "hello"}, {64, "hello"}, {1, ""}};
    for (const auto& c : cases) {
        char dst[64];
        memset(dst, 'X', sizeof dst);
        EXPECT_EQ(strlcpy(dst, "hello", c.siz), 5u);
        EXPECT_STREQ(dst, c.want);
        EXPECT_EQ(dst[c.siz < 6 ? c.siz : 6], 'X') << "wrote past the bound, siz " << c.siz;
    }
}

TEST(Strlcpy, NullArgumentsWriteNothing)
{
    char dst[4] = {'a', 'b', 'c', '\0'};
    EXPECT_EQ(strlcpy(dst, nullptr, sizeof dst), 0u);
    EXPECT_EQ(strlcpy(nullptr, "hello", 10), 5u);
    EXPECT_EQ(strlcpy(dst, "hello", 0), 5u);
    EXPECT_STREQ(dst, "abc");
}

TEST(CaseFolding, OnlyAsciiLettersChangeInTheCLocale)
{
    char s[] = "Content-TYPE: 09 \x80\xC3\x89\xFF!";
    str_tolower(s);
    EXPECT_STREQ(s, "content-type: 09 \x80\xC3\x89\xFF!");

    char m[] = "MiXeD";
    EXPECT_EQ(string_to_unicase(m, 0), m);
    EXPECT_STREQ(m, "mixed");
    EXPECT_EQ(string_to_unicase(m, 1), m);
    EXPECT_STREQ(m, "MIXED");

    char e[] = "";
    EXPECT_EQ(string_to_unicase(e, 1), e);
    str_tolower(e);
    EXPECT_STREQ(e, "");
}

TEST(TrimSpace, RemovesOnlySpacesAtBothEnds)
{
    struct Case {
        const char* in;
        const char* want;
    } cases[] = {
        {"  a b  ", "a b"}, {"    ", ""}, {"", ""}, {"\tx\t", "\tx\t"},
        {"x", "x"}, {" x", "x"}, {"x ", "x"}, {" \r\n ", "\r\n"},
    };
    for (const auto& c : cases) {
        std::string buf(c.in);
        std::vector<char> v(buf.begin(), buf.end());
        v.push_back('\0');
        nrv_trim_space(v.data());
        EXPECT_STREQ(v.data(), c.want) << '"' << c.in << '"';
    }
    nrv_trim_space(nullptr);
}

} // namespace
