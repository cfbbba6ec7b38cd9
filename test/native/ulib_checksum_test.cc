#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <string.h>

#include <random>
#include <vector>

#include "ulib/checksum.h"

namespace {

/* RFC 1071 by its definition: big-endian 16-bit words, zero padding, end-
 * around carry.  Returns the folded sum as the machine-order word whose bytes
 * in memory are the sum in network order, as the library returns it. */
uint16_t reference_sum(const std::vector<uint8_t>& data)
{
    uint64_t sum = 0;
    for (size_t i = 0; i < data.size(); i += 2)
        sum += (uint32_t{data[i]} << 8) | (i + 1 < data.size() ? data[i + 1] : 0);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return htons(static_cast<uint16_t>(sum));
}

TEST(Checksum, Rfc1071ExampleAndRealIpv4Header)
{
    const uint8_t rfc[8] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
    EXPECT_EQ(csum_complete(rfc, 8), htons(0xddf2));
    EXPECT_EQ(csum_fold(0x1FFFE), 0);
    EXPECT_EQ(csum_fold(0), 0xFFFF);
    const uint8_t ff[2] = {0xFF, 0xFF};
    EXPECT_EQ(csum_partial(ff, 2, 0xFFFF), 0x1FFFEU);   // not folded again

    // A UDP datagram's IP header 192.168.0.1 -> 192.168.0.199, whose checksum
    // field (bytes 10-11) carries b8 61 on the wire.
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
    for (size_t len : {0, 1, 3, 1499, 131072, 200000}) {
        for (bool ones : {false, true}) {
            std::vector<uint8_t> data(len);
            for (auto& b : data)
                b = ones ? 0xFF : static_cast<uint8_t>(rng());
            EXPECT_EQ(csum_complete(data.data(), static_cast<int>(len)), reference_sum(data)) << len;
            EXPECT_EQ(ip_cksum(data.data(), static_cast<int>(len)), static_cast<uint16_t>(~reference_sum(data))) << len;
        }
    }
}

TEST(Checksum, UdpChecksumMatchesTheDefinition)
{
    // A UDP segment (ports 5353 -> 53, 1000 bytes of payload, checksum field
    // 0) summed with the pseudo-header the definition puts in front of it.
    const uint32_t saddr = inet_addr("10.0.0.1"), daddr = inet_addr("192.168.200.7");
    const uint16_t len = 1009;
    std::vector<uint8_t> pseudo = {10, 0, 0, 1, 192, 168, 200, 7, 0, 17, len >> 8, len & 0xFF,
                                   0x14, 0xe9, 0x00, 0x35, len >> 8, len & 0xFF, 0, 0};
    std::mt19937 rng(5);
    while (pseudo.size() < 12u + len)
        pseudo.push_back(static_cast<uint8_t>(rng()));
    const unsigned int seg_sum = csum_complete(pseudo.data() + 12, len);
    EXPECT_EQ(csum_tcpudp_magic(saddr, daddr, len, 17, seg_sum), static_cast<uint16_t>(~reference_sum(pseudo)));
}

}  // namespace
