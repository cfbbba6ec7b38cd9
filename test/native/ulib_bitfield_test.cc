#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ulib/bitfield.h"

namespace {

std::string to_text(const banword_bitfield_t& b, unsigned int buflen = 4096)
{
    std::vector<unsigned char> buf(buflen, 0xAA);
    bitfield_tostring(&b, buf.data(), buflen);
    return std::string(reinterpret_cast<const char*>(buf.data()));
}

/* Parses `text` from a heap block of exactly `buflen` bytes with no
 * terminator after it, so a read past the length is caught by ASan. */
int from_text(const std::string& text, size_t buflen, banword_bitfield_t* b)
{
    std::unique_ptr<unsigned char[]> copy(new unsigned char[buflen]);
    memcpy(copy.get(), text.data(), buflen);
    return bitfield_fromstring(copy.get(), static_cast<unsigned int>(buflen), b);
}

TEST(Banword, SetGetAndToString)
{
    banword_bitfield_t b{};
    bitfield_setbit(&b, 4095);
    EXPECT_EQ(b.bitfield[511], 0x80);
    bitfield_setbit(&b, 4096);
    EXPECT_EQ(b.lastbyte, 511U);
    bitfield_setbit(&b, 13);
    EXPECT_EQ(bitfield_getbit(&b, 13), 32U);
    EXPECT_EQ(bitfield_getbit(&b, 4095), 0U);   // past lastbyte, which followed bit 13

    banword_bitfield_t z{};
    bitfield_setlistid(&z, 1);
    EXPECT_EQ(to_text(z), "1-0 ");
    z.lastbyte = 3;
    EXPECT_EQ(to_text(z), "1-n4 ");
    bitfield_setlistid(&z, 0x2A);
    z.bitfield[0] = 0x01;
    z.bitfield[4] = 0x80;
    z.lastbyte = 4;
    EXPECT_EQ(to_text(z), "2A-1 n3 80 ");
    EXPECT_EQ(to_text(z, 6), "2A-1 ");   // cut at the buffer's end, terminated
}

TEST(Banword, FromStringExamples)
{
    const struct {
        const char* text;
        int rc;
        unsigned int lastbyte;
        std::vector<int> bytes;   // the first bytes afterwards
    } cases[] = {
        {"2A-1 n3 80", 0, 4, {1, 0, 0, 0, 0x80, 0xEE}}, {"2A-", 0, 0, {0xEE}},
        {"2A-1FF 7", 0, 1, {0xFF, 7, 0xEE}},           {"2A-n200 5", 0, 1, {0xEE, 5}},
        {"2A 1", -1, 0, {0xEE}},
    };
    for (const auto& c : cases) {
        banword_bitfield_t b;
        memset(b.bitfield, 0xEE, sizeof b.bitfield);
        b.lastbyte = 0;
        EXPECT_EQ(from_text(c.text, strlen(c.text), &b), c.rc) << c.text;
        EXPECT_EQ(b.listid, 0x2AU) << c.text;   // stored even when the rest fails
        EXPECT_EQ(b.lastbyte, c.lastbyte) << c.text;
        for (size_t i = 0; i < c.bytes.size(); ++i)
            EXPECT_EQ(b.bitfield[i], c.bytes[i]) << c.text << " byte " << i;
    }
    banword_bitfield_t b{};
    EXPECT_EQ(from_text("", 0, &b), -1);
    EXPECT_EQ(from_text("2A-1 n3 80", 9, &b), 0);   // the length cuts the last token
    EXPECT_EQ(b.bitfield[4], 8);

    // Numbers are read as strtoul reads them, within the length.
    for (const char* t : {" +1a-", "-1-", "0x-", "FFFFFFFFFFFFFFFFFFFF-", "zz-"}) {
        from_text(t, strlen(t), &b);
        EXPECT_EQ(b.listid, static_cast<uint32_t>(strtoul(t, nullptr, 16))) << t;
    }
}

TEST(Banword, TextRoundTrip)
{
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
    for (unsigned long bits : {1UL, 64UL, 65UL, 1000UL}) {
        bit_field_t* f = alloc_bit_field(bits);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(test_bf_bit(f, bits - 1), 0);
        set_bf_bit(f, bits - 1);   // in the last word: ASan checks it was allocated
        EXPECT_EQ(test_bf_bit(f, bits - 1), 1);
        set_bf_bit(f, bits);       // out of range: no write
        EXPECT_EQ(test_bf_bit(f, bits), 0);
        clear_bf_bit(f, bits - 1);
        EXPECT_EQ(test_bf_bit(f, bits - 1), 0);
        free_bit_field(f);
    }
    EXPECT_EQ(test_bf_bit(nullptr, 0), 0);
}

}  // namespace
