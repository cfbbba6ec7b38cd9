#include <gtest/gtest.h>
#include <string.h>

#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "ulib/hex.h"

namespace {

TEST(HexDigits, BadDigitsAndTheirMessage)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(char_to_hex('F'), 15);
    EXPECT_EQ(char_to_hex('g'), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "char_to_hex: value error 67\n");
    for (const auto& [c, value, chk] : {std::tuple{'0', 0, 0}, {'9', 9, 0}, {'a', 10, 0}, {'F', 15, 0}, {'g', -1, -1},
                                        {'G', -1, -1}, {'/', -1, -1}})
        EXPECT_EQ(std::make_pair(hex2num(c), chk_hex_digit(c)), std::make_pair(value, chk)) << c;
}

TEST(HexStrings, NeverWritePastTheBufferNorForNegativeLengths)
{
    const char data[4] = {'\xde', '\xad', '\xbe', '\xef'};
    for (const auto& [len_data, len_buf, want, text] : {std::tuple{4, 9, 8, "deadbeef"}, {4, 5, 4, "dead"}, {4, 8, 6, "deadbe"},
                                                        {-1, 9, 0, "XXXXXXXXXXX"}, {4, -9, 0, "XXXXXXXXXXX"}}) {
        char buf[12] = "XXXXXXXXXXX";
        EXPECT_EQ(num2hexstr(data, len_data, buf, len_buf), want);
        EXPECT_STREQ(buf, text);
    }
    for (const auto& [hex, out_len, want] : {std::tuple{"0a1", 4, 1}, {"0aZZ", 4, 1}, {"0a0b", 1, 1}, {"a", 4, 0}, {"0a", -3, 0}}) {
        char out[3] = "XX";
        EXPECT_EQ(hexstr_to_bin(hex, out, out_len), want) << hex;
        EXPECT_STREQ(out, want ? "\x0aX" : "XX") << hex;
    }
    char text[] = "0a1", key[2] = {'X', 'X'};
    EXPECT_EQ(hexstr2num(text, key, -1), -1);
    hex_to_key(-1, "0102", key);
    EXPECT_EQ(key[0], 'X');
    EXPECT_EQ(hexstr2num(text, key, 4), 1);   // an odd last digit is ignored
    EXPECT_EQ(key[0], 0x0a);
}

TEST(KeyText, KeyToHexIsValidAndReadsBack)
{
    std::mt19937 rng(7);
    for (int len : {1, 8, 12, 16, 17, 31}) {
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
    for (const auto& [text, len] : {std::pair{d16 + d16, 16}, {d16.substr(0, 15) + "g", 8},
                                    {d16 + "-" + std::string(7, 'a'), 12}, {std::string(7, 'a'), 4}})
        EXPECT_EQ(valid_hex_key(text.c_str(), len), 0) << text << " for " << len;

    // hex_to_key stops silently: at len bytes, or at a character that is not a digit.
    for (const auto& [len, hex, want] : {std::tuple{3, "0x0102-03", "\x01\x02\x03X"}, {2, "a-bc", "\xbcXXX"},
                                         {3, "0X0aZZ11", "\x0aXXX"}, {1, "0102", "\x01XXX"}}) {
        char key[] = "XXXX";
        hex_to_key(len, hex, key);
        EXPECT_STREQ(key, want) << hex;
    }
}

TEST(HexBinLiteral, Table)
{
    for (const auto& [text, bits, value] : {std::tuple{"0xFF", 8, 255u}, {"0xdeadBEEF", 32, 0xDEADBEEFu}, {"0b101", 3, 5u},
                                            {"0x123456789", -1, 77u}, {"0b102", -1, 77u}, {"0x", -1, 77u}}) {
        std::string copy = text;
        uint32_t v = 77;   // untouched on failure
        EXPECT_EQ(parse_hex_bin_value(copy.data(), &v), bits) << text;
        EXPECT_EQ(v, value) << text;
    }
}

}  // namespace
