#include "ulib/checksum.h"

#include <arpa/inet.h>
#include <stdint.h>
#include <string.h>

namespace {

/* Folds a one's-complement sum of any width down to 16 bits. */
uint32_t fold16(uint64_t sum)
{
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>(sum);
}

}  // namespace

unsigned int csum_complete(const void* addr, int len)
{
    if (addr == nullptr || len <= 0)
        return 0;
    const auto* p = static_cast<const unsigned char*>(addr);
    // A 64-bit accumulator holds the carries of any int-sized buffer, so the
    // sum stays exact past 131072 bytes; shorter buffers give the same result
    // as a 32-bit one.
    uint64_t sum = 0;
    const int words = len / 2;
    for (int i = 0; i < words; ++i) {
        uint16_t w;
        memcpy(&w, p + 2 * i, sizeof w);
        sum += w;
    }
    if (len % 2 != 0) {
        const unsigned char pad[2] = {p[len - 1], 0};
        uint16_t w;
        memcpy(&w, pad, sizeof w);
        sum += w;
    }
    return fold16(sum);
}

unsigned int csum_partial(const void* buf, int len, unsigned short osum)
{
    // Both terms are at most 0xFFFF, so the addition cannot carry out.
    return csum_complete(buf, len) + osum;
}

unsigned short csum_fold(unsigned int sum)
{
    return static_cast<unsigned short>(~fold16(sum) & 0xFFFF);
}

unsigned short ip_cksum(const void* addr, int len)
{
    return csum_fold(csum_complete(addr, len));
}

unsigned short csum_tcpudp_magic(unsigned int saddr, unsigned int daddr, unsigned short len,
                                  unsigned short protocol, unsigned int sum)
{
    unsigned char pseudo[16];
    memcpy(pseudo, &saddr, 4);
    memcpy(pseudo + 4, &daddr, 4);
    pseudo[8] = 0;
    pseudo[9] = static_cast<unsigned char>(protocol);
    const uint16_t nlen = htons(len);
    memcpy(pseudo + 10, &nlen, 2);
    memcpy(pseudo + 12, &sum, 4);
    return ip_cksum(pseudo, sizeof pseudo);
}
