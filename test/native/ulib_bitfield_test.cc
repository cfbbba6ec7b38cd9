#include <gtest/gtest.h>
#include <string.h>

#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "ulib/bitfield.h"

namespace {

std::string to_text(const banword_bitfield_t& b, unsigned int buflen = 4096)
{
    std::vector<unsigned char> buf(buflen, 0xAA);
    bitfield_tostring(&b, buf.data(), buflen);
    return reinterpret_cast<const char*>(buf.data());
}

/* Parses the first `len` bytes of `text` from a heap block of exactly that
 * size, so that ASan catches a read past the length. */
int from_text(const std::string& text, size_t len, banword_bitfield_t* b)
{
    const std::vector<unsigned char> copy(text.begin(), text.begin() + static_cast<ptrdiff_t>(len));
    return bitfield_fromstring(copy.data(), static_cast<unsigned int>(len), b);
}

TEST(Banword, SetGetAndToString)
{
    banword_bitfield_t b{};
    bitfield_setbit(&b, 4095);
    bitfield_setbit(&b, 4096);   // ignored
    EXPECT_EQ(b.bitfield[511], 0x80);
    EXPECT_EQ(b.lastbyte, 511U);
    bitfield_setbit(&b, 13);
    EXPECT_EQ(bitfield_getbit(&b, 13), 32U);
    EXPECT_EQ(bitfield_getbit(&b, 4095), 0U);   // past lastbyte, which followed bit 13

    banword_bitfield_t z = {{0, 0, 0, 0, 0x80}, 0x2A, 4};
    EXPECT_EQ(to_text(z), "2A-n4 80 ");
    z.bitfield[0] = 1;
    EXPECT_EQ(to_text(z), "2A-1 n3 80 ");
    EXPECT_EQ(to_text(z, 6), "2A-1 ");   // cut at the buffer's end, terminated
}

TEST(Banword, FromStringExamplesAndRoundTrip)
{
    // text, bytes given, result, listid, lastbyte, the first bytes afterwards (0xEE: untouched)
    using row = std::tuple<std::string, size_t, int, unsigned int, unsigned int, std::vector<int>>;
    for (const auto& [text, len, rc, listid, lastbyte, bytes] : {
             row{"2A-", 3, 0, 0x2A, 0, {0xEE}},
             row{"2A-1 n3 80", 9, 0, 0x2A, 4, {1, 0, 0, 0, 8, 0xEE}},   // the length cuts the last token
             row{"2A-1FF 7", 8, 0, 0x2A, 1, {0xFF, 7, 0xEE}},
             row{"2A-n200 5", 9, 0, 0x2A, 1, {0xEE, 5}},   // a run past byte 511 covers one position
             row{"2A 1", 4, -1, 0x2A, 0, {0xEE}},          // the identifier is stored all the same
             row{"", 0, -1, 0x55555555, 0, {0xEE}}}) {
        banword_bitfield_t b;
        memset(&b, 0xEE, sizeof b);
        b.listid = 0x55555555;
        b.lastbyte = 0;
        EXPECT_EQ(from_text(text, len, &b), rc) << text;
        EXPECT_EQ(b.listid, listid) << text;
        EXPECT_EQ(b.lastbyte, lastbyte) << text;
        EXPECT_EQ(std::vector<int>(b.bitfield, b.bitfield + bytes.size()), bytes) << text;
    }

    std::mt19937 rng(1234);
    for (int round = 0; round < 200; ++round) {
        banword_bitfield_t b{};
        bitfield_setlistid(&b, static_cast<unsigned int>(rng()));
        b.lastbyte = rng() % 510;   // a run reaching byte 511 is not re-applied
        for (unsigned int i = 0; i <= b.lastbyte; ++i)
            b.bitfield[i] = (rng() % 3 == 0) ? static_cast<unsigned char>(rng()) : 0;
        const std::string text = to_text(b);
        banword_bitfield_t back;
        memset(&back, 0x55, sizeof back);
        ASSERT_EQ(from_text(text, text.size() - 1, &back), 0) << text;   // without the last space
        EXPECT_EQ(back.listid, b.listid);
        ASSERT_EQ(back.lastbyte, b.lastbyte) << text;
        EXPECT_EQ(memcmp(back.bitfield, b.bitfield, b.lastbyte + 1), 0) << text;
        ASSERT_EQ(from_text(text, text.size(), &back), 0);
        EXPECT_EQ(back.lastbyte, b.lastbyte + 1);   // with it, one position further
    }
    // A text that fills all 512 bytes, or runs past them, ends at byte 511.
    banword_bitfield_t full{};
    memset(full.bitfield, 1, sizeof full.bitfield);
    full.lastbyte = 511;
    const std::string text = to_text(full) + "5 6";
    for (size_t len : {text.size() - 3, text.size()}) {
        EXPECT_EQ(from_text(text, len, &full), 0);
        EXPECT_EQ(full.lastbyte, 511U);
        EXPECT_EQ(full.bitfield[511], 1);
    }
}

TEST(BitField, AllocSetClearTest)
{
    EXPECT_EQ(alloc_bit_field(0), nullptr);
    for (unsigned long bits : {1UL, 64UL, 65UL}) {
        bit_field_t* f = alloc_bit_field(bits);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(test_bf_bit(f, bits - 1), 0);
        set_bf_bit(f, bits - 1);   // in the last word: ASan checks it was allocated
        set_bf_bit(f, bits);       // out of range: no write
        EXPECT_EQ(test_bf_bit(f, bits - 1), 1);
        EXPECT_EQ(test_bf_bit(f, bits), 0);
        clear_bf_bit(f, bits - 1);
        EXPECT_EQ(test_bf_bit(f, bits - 1), 0);
        free_bit_field(f);
    }
    EXPECT_EQ(test_bf_bit(nullptr, 0), 0);
}

}  // namespace
