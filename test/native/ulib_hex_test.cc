#include <gtest/gtest.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "ulib/hex.h"

namespace {

TEST(HexDigits, AgreeWithStrtolOnEveryByte)
{
    for (int b = 0; b < 256; ++b) {
        const char c = static_cast<char>(b);
        const char text[2] = {c, '\0'};
        char* end = nullptr;
        const long ref = strtol(text, &end, 16);
        const bool is_digit = b != '+' && b != '-' && b != ' ' && *end == '\0' && end != text;
        EXPECT_EQ(hex2num(c), is_digit ? ref : -1) << "byte " << b;
        EXPECT_EQ(num2hex(static_cast<unsigned char>(b)), "0123456789abcdef"[b & 15]);
    }
}

TEST(HexDigits, CharToHexReportsBadDigits)
{
    const struct {
        char c;
        int want;
        const char* out;
    } cases[] = {
        {'7', 7, ""},
        {'F', 15, ""},
        {'g', -1, "char_to_hex: value error 67\n"},
        {static_cast<char>(0xE9), -1, "char_to_hex: value error ffffffe9\n"},
    };
    for (const auto& c : cases) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(char_to_hex(c.c), c.want);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
    }
    testing::internal::CaptureStdout();
    EXPECT_EQ(hex2num('g'), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(HexDigits, ChkHexDigitIsARangeTest)
{
    for (char c : std::string("09afAF:@[`"))
        EXPECT_EQ(chk_hex_digit(c), 0) << c;
    for (char c : std::string("gGzZ/ -\x7f"))
        EXPECT_EQ(chk_hex_digit(c), -1) << c;
}

TEST(HexStrings, Num2hexstrCutsWholeBytes)
{
    const char data[4] = {'\xde', '\xad', '\xbe', '\xef'};
    const struct {
        int len_data, len_buf, want;
        const char* text;
    } cases[] = {
        {4, 9, 8, "deadbeef"}, {4, 5, 4, "dead"}, {4, 8, 6, "deadbe"},
        {4, 1, 0, ""},         {1, 100, 2, "de"},
    };
    for (const auto& c : cases) {
        char buf[16];
        memset(buf, 'X', sizeof buf);
        EXPECT_EQ(num2hexstr(data, c.len_data, buf, c.len_buf), c.want);
        EXPECT_STREQ(buf, c.text);
    }
    // Empty or negative lengths and null pointers write nothing.
    const int nothing[][2] = {{0, 9}, {4, 0}, {-1, 9}, {4, -9}};
    for (const auto& n : nothing) {
        char buf[4] = {'X', 'X', 'X', 'X'};
        EXPECT_EQ(num2hexstr(data, n[0], buf, n[1]), 0);
        EXPECT_EQ(buf[0], 'X');
    }
}

TEST(HexStrings, Hexstr2numAndHexstrToBin)
{
    char text[] = "0a1b";
    char out[4] = {};
    EXPECT_EQ(hexstr2num(text, out, 4), 2);
    EXPECT_EQ(out[0], 0x0a);
    EXPECT_EQ(out[1], 0x1b);
    EXPECT_EQ(hexstr2num(text, out, 1), 1);   // bounded by the buffer

    char odd[] = "0a1";
    EXPECT_EQ(hexstr2num(odd, out, 4), 1);
    char bad[] = "zz";   // unchecked digits count as -1: 16 * -1 - 1
    EXPECT_EQ(hexstr2num(bad, out, 4), 1);
    EXPECT_EQ(static_cast<unsigned char>(out[0]), 0xEF);

    char guard[2] = {'X', 'X'};
    EXPECT_LE(hexstr2num(text, guard, -1), 0);
    EXPECT_EQ(guard[0], 'X');

    const struct {
        const char* hex;
        int out_len, want;
    } bins[] = {{"0a1", 4, 1}, {"0aZZ", 4, 1}, {"0a0b", 1, 1}, {"a", 4, 0}, {"", 4, 0},
                {"0a", 0, 0},  {"0a", -3, 0}, {"FFee", 4, 2}};
    for (const auto& b : bins) {
        char o[4] = {'X', 'X', 'X', 'X'};
        EXPECT_EQ(hexstr_to_bin(b.hex, o, b.out_len), b.want) << b.hex;
        if (b.want == 0) {
            EXPECT_EQ(o[0], 'X') << b.hex;
        }
    }
    char o[2];
    hexstr_to_bin("FFee", o, 2);
    EXPECT_EQ(static_cast<unsigned char>(o[0]), 0xFF);
    EXPECT_EQ(static_cast<unsigned char>(o[1]), 0xEE);
}

TEST(KeyText, RoundTripsThroughBothForms)
{
    std::mt19937 rng(7);
    for (int len : {1, 4, 7, 8, 9, 12, 16, 17, 24, 31, 32}) {
        std::vector<unsigned char> key(len);
        for (auto& b : key)
            b = static_cast<unsigned char>(rng());
        std::string text(2 * len + (len - 1) / 8 + 1, '\0');
        key_to_hex(len, key.data(), text.data());
        text.resize(strlen(text.c_str()));
        ASSERT_EQ(text.size(), static_cast<size_t>(2 * len + (len - 1) / 8)) << text;
        EXPECT_EQ(valid_hex_key(text.c_str(), len), 1) << text;

        std::vector<unsigned char> back(len, 0);
        hex_to_key(len, text.c_str(), reinterpret_cast<char*>(back.data()));
        EXPECT_EQ(back, key) << text;

        // The short last group may also be attached without its dash.
        if (len > 8 && len % 8 != 0) {
            std::string attached = text;
            attached.erase(attached.rfind('-'), 1);
            EXPECT_EQ(valid_hex_key(attached.c_str(), len), 1) << attached;
            std::fill(back.begin(), back.end(), 0);
            hex_to_key(len, ("0x" + attached).c_str(), reinterpret_cast<char*>(back.data()));
            EXPECT_EQ(back, key) << attached;
        }
    }
    char value[2] = {'X', 'X'};
    key_to_hex(0, nullptr, value);
    EXPECT_STREQ(value, "");
    value[0] = 'X';
    key_to_hex(-1, nullptr, value);
    EXPECT_EQ(value[0], 'X');
}

TEST(KeyText, ValidHexKeyRejects)
{
    const std::string d16(16, 'a');
    const struct {
        std::string text;
        size_t len;
    } cases[] = {
        {d16 + d16, 16},               // two full groups need a dash
        {d16 + "-" + d16 + "-", 16},
        {d16.substr(0, 15) + "g", 8},
        {d16 + "-" + std::string(7, 'a'), 12},   // one digit short, dashed
        {std::string(7, 'a'), 4},                // one digit short, no dash
        {std::string(8, 'a') + "-" + std::string(8, 'a'), 8},
        {"", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(valid_hex_key(c.text.c_str(), c.len), 0) << c.text << " for " << c.len;
    EXPECT_EQ(valid_hex_key(nullptr, 8), 0);
}

TEST(KeyText, HexToKeyStopsSilently)
{
    const struct {
        int len;
        const char* hex;
        std::vector<int> want;   // the first bytes of the key afterwards
    } cases[] = {
        {3, "0x0102-03", {0x01, 0x02, 0x03}},
        {2, "a-bc", {0xBC, 'X'}},      // a digit before a dash stores nothing
        {3, "0X0aZZ11", {0x0A, 'X', 'X'}},
        {3, "01-", {0x01, 'X', 'X'}},
        {1, "0102", {0x01, 'X'}},
        {0, "01", {'X'}},
        {2, "0x", {'X'}},
    };
    for (const auto& c : cases) {
        char key[4] = {'X', 'X', 'X', 'X'};
        hex_to_key(c.len, c.hex, key);
        for (size_t i = 0; i < c.want.size(); ++i)
            EXPECT_EQ(static_cast<unsigned char>(key[i]), c.want[i]) << c.hex << " byte " << i;
    }
}

TEST(HexBinLiteral, Table)
{
    const struct {
        const char* text;
        int bits;
        uint32_t value;
    } cases[] = {
        {"0xFF", 8, 255},
        {"0Xa", 4, 10},
        {"0xdeadBEEF", 32, 0xDEADBEEF},
        {"0x123456789", -1, 0},
        {"0b101", 3, 5},
        {"0B11111111111111111111111111111111", 32, 0xFFFFFFFF},
        {"0b111111111111111111111111111111111", -1, 0},
        {"0b102", -1, 0},
        {"0xfg", -1, 0},
        {"0x", -1, 0},
        {"12", -1, 0},
        {"123", -1, 0},
    };
    for (const auto& c : cases) {
        char text[40];
        snprintf(text, sizeof text, "%s", c.text);
        uint32_t v = 77;
        EXPECT_EQ(parse_hex_bin_value(text, &v), c.bits) << c.text;
        EXPECT_EQ(v, c.bits < 0 ? 77U : c.value) << c.text;
        EXPECT_EQ(parse_hex_bin_value(text, nullptr), c.bits) << c.text;
    }
}

}  // namespace
