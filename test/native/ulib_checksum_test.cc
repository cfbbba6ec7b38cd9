#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <string.h>

#include <random>
#include <vector>

#include "ulib/checksum.h"

namespace {

/* RFC 1071 by its definition: big-endian 16-bit words, zero padding, end-
 * around carry.  Returns the folded sum as a host value. */
uint16_t reference_sum(const std::vector<uint8_t>& data)
{
    uint64_t sum = 0;
    for (size_t i = 0; i < data.size(); i += 2)
        sum += (uint32_t{data[i]} << 8) | (i + 1 < data.size() ? data[i + 1] : 0);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(sum);
}

/* The two bytes of a machine-order result as they land in memory. */
std::vector<uint8_t> bytes_of(unsigned int v)
{
    const uint16_t w = static_cast<uint16_t>(v);
    uint8_t b[2];
    memcpy(b, &w, 2);
    return {b[0], b[1]};
}

std::vector<uint8_t> be(uint16_t v)
{
    return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}

TEST(Checksum, Rfc1071Example)
{
    const std::vector<uint8_t> data = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
    EXPECT_EQ(bytes_of(csum_complete(data.data(), 8)), (std::vector<uint8_t>{0xdd, 0xf2}));
    EXPECT_EQ(csum_fold(0x1FFFE), 0);
    EXPECT_EQ(csum_fold(0), 0xFFFF);
    const uint8_t ff[2] = {0xFF, 0xFF};
    EXPECT_EQ(csum_partial(ff, 2, 0xFFFF), 0x1FFFEU);   // not folded again
}

TEST(Checksum, RealIpv4Header)
{
    // 20-byte header of a UDP datagram 192.168.0.1 -> 192.168.0.199, whose
    // checksum field (bytes 10-11) carries b8 61 on the wire.
    uint8_t hdr[20] = {0x45, 0x00, 0x00, 0x73, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11,
                       0x00, 0x00, 0xc0, 0xa8, 0x00, 0x01, 0xc0, 0xa8, 0x00, 0xc7};
    const uint16_t ck = ip_cksum(hdr, sizeof hdr);
    memcpy(hdr + 10, &ck, 2);
    EXPECT_EQ(hdr[10], 0xb8);
    EXPECT_EQ(hdr[11], 0x61);
    EXPECT_EQ(ip_cksum(hdr, sizeof hdr), 0);
}

TEST(Checksum, MatchesTheDefinitionOnAnyLength)
{
    std::mt19937 rng(99);
    // 200000 bytes of 0xFF overflow a 32-bit accumulator; the sum stays exact.
    const size_t lengths[] = {0, 1, 2, 3, 1499, 131072, 200000};
    for (size_t len : lengths) {
        for (bool ones : {false, true}) {
            std::vector<uint8_t> data(len);
            for (auto& b : data)
                b = ones ? 0xFF : static_cast<uint8_t>(rng());
            const unsigned int sum = csum_complete(data.data(), static_cast<int>(len));
            EXPECT_LE(sum, 0xFFFFU);
            EXPECT_EQ(bytes_of(sum), be(reference_sum(data))) << len;
            EXPECT_EQ(bytes_of(ip_cksum(data.data(), static_cast<int>(len))),
                      be(static_cast<uint16_t>(~reference_sum(data))))
                << len;
        }
    }
}

TEST(Checksum, UdpChecksumMatchesTheDefinition)
{
    std::mt19937 rng(5);
    const uint32_t saddr = inet_addr("10.0.0.1"), daddr = inet_addr("192.168.200.7");
    for (size_t payload : {0, 1, 17, 1000}) {
        // UDP header (ports 5353 -> 53, length, checksum 0) and payload.
        const uint16_t len = static_cast<uint16_t>(8 + payload);
        std::vector<uint8_t> seg = {0x14, 0xe9, 0x00, 0x35, static_cast<uint8_t>(len >> 8),
                                    static_cast<uint8_t>(len), 0, 0};
        for (size_t i = 0; i < payload; ++i)
            seg.push_back(static_cast<uint8_t>(rng()));

        std::vector<uint8_t> pseudo(12);
        memcpy(pseudo.data(), &saddr, 4);
        memcpy(pseudo.data() + 4, &daddr, 4);
        pseudo[9] = 17;
        pseudo[10] = static_cast<uint8_t>(len >> 8);
        pseudo[11] = static_cast<uint8_t>(len);
        pseudo.insert(pseudo.end(), seg.begin(), seg.end());

        const unsigned int seg_sum = csum_complete(seg.data(), static_cast<int>(seg.size()));
        const uint16_t ck = csum_tcpudp_magic(saddr, daddr, len, 17, seg_sum);
        EXPECT_EQ(bytes_of(ck), be(static_cast<uint16_t>(~reference_sum(pseudo)))) << payload;
    }
}

}  // namespace
