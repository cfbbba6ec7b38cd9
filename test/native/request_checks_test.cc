// Texts that may or may not stand in a proxied request's head.
#include <gtest/gtest.h>

#include <string>

#include "modules/api/api_zel_request_checks.h"

namespace {

TEST(RequestChecks, HeadTexts)
{
    using namespace std::string_literals;
    struct row {
        std::string text;
        bool method;
        int verdict;
    } rows[] = {
        {"", false, ZEL_HEAD_TEXT_OK},
        {"/api/x?a=%0d%0a&b= c", false, ZEL_HEAD_TEXT_OK},
        {"read-write \t\x7f\xc3\xa9", false, ZEL_HEAD_TEXT_OK},
        {"a\rb", false, ZEL_HEAD_TEXT_CONTROL},
        {"a\nb", false, ZEL_HEAD_TEXT_CONTROL},
        {"1\r\nX-ADMIN-SUPER: 1", false, ZEL_HEAD_TEXT_CONTROL},
        {"ab\0cd"s, false, ZEL_HEAD_TEXT_CONTROL},
        {"\0"s, false, ZEL_HEAD_TEXT_CONTROL},
        {"", true, ZEL_HEAD_TEXT_OK},
        {"GET", true, ZEL_HEAD_TEXT_OK},
        {"M-SEARCH", true, ZEL_HEAD_TEXT_OK},
        {"!#$%&'*+-.^_`|~09azAZ", true, ZEL_HEAD_TEXT_OK},
        {"GET /x", true, ZEL_HEAD_TEXT_NOT_TOKEN},
        {"GET\t", true, ZEL_HEAD_TEXT_NOT_TOKEN},
        {"(GET)", true, ZEL_HEAD_TEXT_NOT_TOKEN},
        {"G\"T", true, ZEL_HEAD_TEXT_NOT_TOKEN},
        {"G\xc3\x89T", true, ZEL_HEAD_TEXT_NOT_TOKEN},
        {"GET:", true, ZEL_HEAD_TEXT_NOT_TOKEN},
        /* A line break is the graver fault and is named as such. */
        {"GET x\r\n", true, ZEL_HEAD_TEXT_CONTROL},
        {"GET\0"s, true, ZEL_HEAD_TEXT_CONTROL},
    };
    for (const row& r : rows) {
        EXPECT_EQ(zel_check_head_text(r.text.data(), r.text.size(), r.method), r.verdict)
            << (r.method ? "method " : "text ") << testing::PrintToString(r.text);
    }
    EXPECT_EQ(zel_check_head_text(nullptr, 5, true), ZEL_HEAD_TEXT_OK);
}

/* A client's target and body: a blank could end the target early for some
 * server, a NUL would end the body's C text and cut the rest unnoticed. */
TEST(RequestChecks, BlankInATargetAndNulInABodyAreRefused)
{
    using namespace std::string_literals;
    struct row {
        std::string text;
        int target;
        int body;
    } rows[] = {
        {"", ZEL_HEAD_TEXT_OK, ZEL_HEAD_TEXT_OK},
        {"/api/x?a=%20b&c=%0d%0a", ZEL_HEAD_TEXT_OK, ZEL_HEAD_TEXT_OK},
        {"/caf\xc3\xa9\x7f\x01", ZEL_HEAD_TEXT_OK, ZEL_HEAD_TEXT_OK},
        {"/a b", ZEL_HEAD_TEXT_BLANK, ZEL_HEAD_TEXT_OK},
        {"/a HTTP/1.0", ZEL_HEAD_TEXT_BLANK, ZEL_HEAD_TEXT_OK},
        {"/a\tb", ZEL_HEAD_TEXT_BLANK, ZEL_HEAD_TEXT_OK},
        {"/a\vb", ZEL_HEAD_TEXT_BLANK, ZEL_HEAD_TEXT_OK},
        {"/a\fb", ZEL_HEAD_TEXT_BLANK, ZEL_HEAD_TEXT_OK},
        {" ", ZEL_HEAD_TEXT_BLANK, ZEL_HEAD_TEXT_OK},
        {"/a\r\nX-ADMIN-SUPER: 1", ZEL_HEAD_TEXT_CONTROL, ZEL_HEAD_TEXT_OK},
        {"{\"a\":1}\0tail"s, ZEL_HEAD_TEXT_CONTROL, ZEL_HEAD_TEXT_NUL},
        {"\0"s, ZEL_HEAD_TEXT_CONTROL, ZEL_HEAD_TEXT_NUL},
        /* A line break is the graver fault and is named as such. */
        {"/a b\n", ZEL_HEAD_TEXT_CONTROL, ZEL_HEAD_TEXT_OK},
    };
    for (const row& r : rows) {
        EXPECT_EQ(zel_check_request_target(r.text.data(), r.text.size()), r.target) << testing::PrintToString(r.text);
        EXPECT_EQ(zel_check_body_text(r.text.data(), r.text.size()), r.body) << testing::PrintToString(r.text);
    }
    EXPECT_EQ(zel_check_request_target(nullptr, 5), ZEL_HEAD_TEXT_OK);
    EXPECT_EQ(zel_check_body_text(nullptr, 5), ZEL_HEAD_TEXT_OK);
}

TEST(RequestChecks, TokenCharactersAreExactlyTchar)
{
    const std::string tchar = "!#$%&'*+-.^_`|~0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    for (int c = 0; c < 256; ++c) {
        const bool expect = c != 0 && tchar.find(static_cast<char>(c)) != std::string::npos;
        EXPECT_EQ(zel_is_token_char(static_cast<unsigned char>(c)), expect) << "byte " << c;
    }
}

} // namespace
