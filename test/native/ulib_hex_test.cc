#include <gtest/gtest.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "ulib/hex.h"

namespace {

TEST(HexDigits, BadDigitsAndTheirMessage)
{
    const struct {
        char c;
        int want;
        const char* out;
    } cases[] = {{'F', 15, ""}, {'g', -1, "char_to_hex: value error 67\n"},
                 {static_cast<char>(0xE9), -1, "char_to_hex: value error ffffffe9\n"}};
    for (const auto& c : cases) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(char_to_hex(c.c), c.want);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
        EXPECT_EQ(hex2num(c.c), c.want);
    }
    for (char c : std::string("9aF:@[`"))   // a plain range test from '0' to 'f'
        EXPECT_EQ(chk_hex_digit(c), 0) << c;
    for (char c : std::string("gZ/-"))
        EXPECT_EQ(chk_hex_digit(c), -1) << c;
}

TEST(HexStrings, NeverWritePastTheBuffer)
{
    const char data[4] = {'\xde', '\xad', '\xbe', '\xef'};
    const struct {
        int len_data, len_buf, want;
        const char* text;   // null: nothing written
    } to_hex[] = {{4, 9, 8, "deadbeef"}, {4, 5, 4, "dead"}, {4, 8, 6, "deadbe"},
                  {-1, 9, 0, nullptr},   {4, -9, 0, nullptr}};
    for (const auto& c : to_hex) {
        char buf[16] = "XXXXXXXXXXXXXXX";
        EXPECT_EQ(num2hexstr(data, c.len_data, buf, c.len_buf), c.want);
        EXPECT_STREQ(buf, c.text ? c.text : "XXXXXXXXXXXXXXX");
    }
    const struct {
        const char* hex;
        int out_len, want;
    } to_bin[] = {{"0a1", 4, 1}, {"0aZZ", 4, 1}, {"0a0b", 1, 1}, {"a", 4, 0}, {"0a", -3, 0}};
    for (const auto& c : to_bin) {
        char out[4] = {'X', 'X', 'X', 'X'};
        EXPECT_EQ(hexstr_to_bin(c.hex, out, c.out_len), c.want) << c.hex;
        EXPECT_EQ(out[0], c.want ? 0x0a : 'X') << c.hex;
    }
    char text[] = "0a1", bad[] = "zz", out[2] = {'X', 'X'};
    EXPECT_EQ(hexstr2num(text, out, -1), -1);
    EXPECT_EQ(out[0], 'X');
    EXPECT_EQ(hexstr2num(bad, out, 4), 1);   // unchecked digits count as -1
    EXPECT_EQ(static_cast<unsigned char>(out[0]), 0xEF);
}

TEST(KeyText, RoundTripsThroughBothForms)
{
    std::mt19937 rng(7);
    for (int len : {1, 4, 8, 9, 12, 16, 17, 31}) {
        std::vector<unsigned char> key(len), back(len);
        for (auto& b : key)
            b = static_cast<unsigned char>(rng());
        std::string text(2 * len + (len - 1) / 8 + 1, 'X');
        key_to_hex(len, key.data(), text.data());
        ASSERT_EQ(strlen(text.c_str()), text.size() - 1) << text;
        text.pop_back();
        EXPECT_EQ(valid_hex_key(text.c_str(), len), 1) << text;
        hex_to_key(len, text.c_str(), reinterpret_cast<char*>(back.data()));
        EXPECT_EQ(back, key) << text;
        if (len > 8 && len % 8 != 0) {   // the short last group attached
            text.erase(text.rfind('-'), 1);
            EXPECT_EQ(valid_hex_key(text.c_str(), len), 1) << text;
            std::fill(back.begin(), back.end(), 0);
            hex_to_key(len, ("0x" + text).c_str(), reinterpret_cast<char*>(back.data()));
            EXPECT_EQ(back, key) << text;
        }
    }
    const std::string d16(16, 'a');
    const struct {
        std::string text;
        size_t len;
    } invalid[] = {{d16 + d16, 16},  {d16.substr(0, 15) + "g", 8}, {d16 + "-" + std::string(7, 'a'), 12},
                   {std::string(7, 'a'), 4}, {"", 0}};
    for (const auto& c : invalid)
        EXPECT_EQ(valid_hex_key(c.text.c_str(), c.len), 0) << c.text << " for " << c.len;
}

TEST(KeyText, HexToKeyStopsSilently)
{
    const struct {
        int len;
        const char* hex;
        std::vector<int> want;   // the first bytes of the key afterwards
    } cases[] = {{3, "0x0102-03", {1, 2, 3}}, {2, "a-bc", {0xBC, 'X'}}, {3, "0X0aZZ11", {0x0A, 'X'}},
                 {1, "0102", {1, 'X'}}};
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
    } cases[] = {{"0xFF", 8, 255}, {"0xdeadBEEF", 32, 0xDEADBEEF}, {"0b101", 3, 5},
                 {"0x123456789", -1, 0}, {"0b102", -1, 0}, {"0x", -1, 0}, {"123", -1, 0}};
    for (const auto& c : cases) {
        std::string text = c.text;
        uint32_t v = 77;
        EXPECT_EQ(parse_hex_bin_value(text.data(), &v), c.bits) << c.text;
        EXPECT_EQ(v, c.bits < 0 ? 77U : c.value) << c.text;
    }
}

}  // namespace
