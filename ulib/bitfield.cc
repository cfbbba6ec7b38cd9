#include "ulib/bitfield.h"
#include "ulib/hex.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

constexpr unsigned int k_banword_bits = BANWORD_BITFIELD_BYTES * 8;
constexpr unsigned int k_last_byte = BANWORD_BITFIELD_BYTES - 1;
constexpr unsigned int k_word_bits = 64;

bool is_c_space(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

/* strtoul(p, stop, 16) over the text [p, end) only: the same value and stop
 * position as strtoul gives when a NUL stands at `end`, without reading past
 * it.  The text form need not be terminated within its length. */
unsigned long bounded_strtoul16(const char* p, const char* end, const char** stop)
{
    const char* const start = p;
    auto at = [end](const char* q) { return q < end ? *q : '\0'; };
    while (is_c_space(at(p)))
        ++p;
    bool negative = false;
    if (at(p) == '+' || at(p) == '-') {
        negative = at(p) == '-';
        ++p;
    }
    const char* digits = p;
    if (at(p) == '0' && (at(p + 1) == 'x' || at(p + 1) == 'X')) {
        if (hex2num(at(p + 2)) < 0) {
            // "0x" without hex digits reads as the 0, ending at the 'x'.
            *stop = p + 1;
            return 0;
        }
        digits = p += 2;
    }
    unsigned long v = 0;
    bool overflow = false;
    for (int d; (d = hex2num(at(p))) >= 0; ++p) {
        if (v > (ULONG_MAX - static_cast<unsigned long>(d)) / 16)
            overflow = true;
        else
            v = v * 16 + static_cast<unsigned long>(d);
    }
    if (p == digits) {
        *stop = start;
        return 0;
    }
    *stop = p;
    if (overflow)
        return ULONG_MAX;
    return negative ? 0UL - v : v;
}

/* Appends one snprintf piece at *off; false once the buffer is full, the
 * text then being cut at the buffer's end and terminated. */
template <typename... Args>
bool append(char* buf, unsigned int buflen, unsigned int* off, const char* fmt, Args... args)
{
    const unsigned int room = buflen - *off;
    const int n = snprintf(buf + *off, room, fmt, args...);
    if (n < 0 || static_cast<unsigned int>(n) >= room)
        return false;
    *off += static_cast<unsigned int>(n);
    return true;
}

}  // namespace

void bitfield_setlistid(banword_bitfield_t* btf, unsigned int listid)
{
    if (btf != nullptr)
        btf->listid = listid;
}

void bitfield_setbit(banword_bitfield_t* btf, unsigned int bit)
{
    if (btf == nullptr || bit >= k_banword_bits)
        return;
    btf->bitfield[bit / 8] |= static_cast<unsigned char>(1U << (bit % 8));
    btf->lastbyte = bit / 8;
}

unsigned int bitfield_getbit(const banword_bitfield_t* btf, unsigned int bit)
{
    if (btf == nullptr || bit >= k_banword_bits || bit / 8 > btf->lastbyte)
        return 0;
    return btf->bitfield[bit / 8] & (1U << (bit % 8));
}

void bitfield_tostring(const banword_bitfield_t* btf, unsigned char* buf, unsigned int buflen)
{
    if (btf == nullptr || buf == nullptr || buflen == 0)
        return;
    char* out = reinterpret_cast<char*>(buf);
    unsigned int off = 0;
    if (!append(out, buflen, &off, "%X-", btf->listid))
        return;
    const unsigned int last = btf->lastbyte < k_last_byte ? btf->lastbyte : k_last_byte;
    const unsigned char* bytes = btf->bitfield;
    for (unsigned int i = 0; i <= last;) {
        if (bytes[i] == 0 && i < last && bytes[i + 1] == 0) {
            unsigned int run = 0;
            while (i + run <= last && bytes[i + run] == 0)
                ++run;
            if (!append(out, buflen, &off, "n%X ", run))
                return;
            i += run;
        } else {
            if (!append(out, buflen, &off, "%X ", static_cast<unsigned int>(bytes[i])))
                return;
            ++i;
        }
    }
}

int bitfield_fromstring(const unsigned char* buf, unsigned int buflen, banword_bitfield_t* btf)
{
    if (buf == nullptr || btf == nullptr)
        return -1;
    const char* p = reinterpret_cast<const char*>(buf);
    // The text is the first buflen bytes, or less if a NUL comes first.
    const char* const end = p + strnlen(p, buflen);
    if (end == p)
        return -1;

    const char* stop = nullptr;
    btf->listid = static_cast<uint32_t>(bounded_strtoul16(p, end, &stop));
    p = stop;
    if (p >= end || *p != '-')
        return -1;
    ++p;
    if (p >= end) {
        btf->lastbyte = 0;
        return 0;
    }

    unsigned int pos = 0;
    for (;;) {
        unsigned int next = pos + 1;
        if (*p == 'n') {
            const unsigned long run = bounded_strtoul16(p + 1, end, &stop);
            // A run that would reach byte 511 or beyond is not applied and
            // stands for its one position only.
            if (run != 0 && run <= k_last_byte - pos) {
                memset(btf->bitfield + pos, 0, run);
                next = pos + static_cast<unsigned int>(run);
            }
        } else {
            btf->bitfield[pos] = static_cast<unsigned char>(bounded_strtoul16(p, end, &stop) & 0xFF);
        }
        p = stop;
        if (p >= end || *p != ' ') {
            btf->lastbyte = next - 1;
            return 0;
        }
        ++p;
        if (p >= end || next > k_last_byte) {
            // The position after the text, kept inside the record: a text
            // that fills all 512 bytes ends with lastbyte 511.
            btf->lastbyte = next > k_last_byte ? k_last_byte : next;
            return 0;
        }
        pos = next;
    }
}

bit_field_t* alloc_bit_field(unsigned long bits)
{
    if (bits == 0)
        return nullptr;
    const unsigned long words = bits / k_word_bits + (bits % k_word_bits != 0 ? 1 : 0);
    // words <= 2^58, so the size cannot wrap.
    auto* f = static_cast<bit_field_t*>(calloc(1, sizeof(bit_field_t) + words * sizeof(bf_data_t)));
    if (f == nullptr)
        return nullptr;
    f->bits = bits;
    return f;
}

void free_bit_field(bit_field_t* f)
{
    free(f);
}

void set_bf_bit(bit_field_t* f, unsigned long bit_num)
{
    if (f == nullptr || bit_num >= f->bits)
        return;
    f->data[bit_num / k_word_bits] |= bf_data_t{1} << (bit_num % k_word_bits);
}

void clear_bf_bit(bit_field_t* f, unsigned long bit_num)
{
    if (f == nullptr || bit_num >= f->bits)
        return;
    f->data[bit_num / k_word_bits] &= ~(bf_data_t{1} << (bit_num % k_word_bits));
}

int test_bf_bit(const bit_field_t* f, unsigned long bit_num)
{
    if (f == nullptr || bit_num >= f->bits)
        return 0;
    return (f->data[bit_num / k_word_bits] >> (bit_num % k_word_bits)) & 1;
}
