#include "ulib/hex.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include "ulib/quiet.h"

namespace {

constexpr char k_hex_digits[] = "0123456789abcdef";

bool is_hex_digit(char c)
{
    return hex2num(c) >= 0;
}

}  // namespace

int hex2num(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int char_to_hex(char ch)
{
    const int v = hex2num(ch);
    if (v < 0) {
        // The byte is shown widened as a signed char, so 0xE9 prints ffffffe9.
        zel_detail::say("char_to_hex: value error %x\n",
                        static_cast<unsigned int>(static_cast<int>(static_cast<signed char>(ch))));
    }
    return v;
}

unsigned char num2hex(unsigned char num)
{
    return static_cast<unsigned char>(k_hex_digits[num & 0x0F]);
}

int chk_hex_digit(char digit)
{
    const int c = tolower(static_cast<unsigned char>(digit));
    return (c >= '0' && c <= 'f') ? 0 : -1;
}

int num2hexstr(const char* data, int len_data, char* buf, int len_buf)
{
    if (data == nullptr || buf == nullptr || len_data <= 0 || len_buf <= 0)
        return 0;
    int count = len_data;
    // Compared in 64 bits: 2 * len_data may not fit in an int.
    if (2LL * count >= len_buf)
        count = (len_buf - 1) / 2;
    for (int i = 0; i < count; ++i) {
        const auto b = static_cast<unsigned char>(data[i]);
        buf[2 * i] = k_hex_digits[b >> 4];
        buf[2 * i + 1] = k_hex_digits[b & 0x0F];
    }
    buf[2 * count] = '\0';
    return 2 * count;
}

int hexstr2num(char* string, char* buf, int buf_len)
{
    if (string == nullptr || buf == nullptr)
        return 0;
    const size_t text_len = strlen(string);
    // When 2 * buf_len >= text_len, text_len / 2 <= buf_len, so it fits an int.
    const int count = (2LL * buf_len < static_cast<long long>(text_len))
                          ? buf_len
                          : static_cast<int>(text_len / 2);
    for (int i = 0; i < count; ++i) {
        const int v = 16 * hex2num(string[2 * i]) + hex2num(string[2 * i + 1]);
        buf[i] = static_cast<char>(v & 0xFF);
    }
    return count;
}

int hexstr_to_bin(const char* hex, char* out, int out_len)
{
    if (hex == nullptr || out == nullptr || out_len < 1)
        return 0;
    if (hex[0] == '\0' || hex[1] == '\0')
        return 0;
    int n = 0;
    // The first digit of a pair is checked before the second is read, so the
    // walk never passes the terminator.
    while (n < out_len && is_hex_digit(hex[2 * n]) && is_hex_digit(hex[2 * n + 1])) {
        out[n] = static_cast<char>(hex2num(hex[2 * n]) * 16 + hex2num(hex[2 * n + 1]));
        ++n;
    }
    return n;
}

void key_to_hex(int len, const unsigned char* key, char* value)
{
    // A negative length describes a buffer of no bytes at all: nothing is
    // written, not even the terminator.
    if (value == nullptr || len < 0 || (key == nullptr && len > 0))
        return;
    char* p = value;
    for (int i = 0; i < len; ++i) {
        *p++ = k_hex_digits[key[i] >> 4];
        *p++ = k_hex_digits[key[i] & 0x0F];
        if ((i + 1) % 8 == 0 && i != len - 1)
            *p++ = '-';
    }
    *p = '\0';
}

void hex_to_key(int len, const char* hex, char* key)
{
    if (hex == nullptr || key == nullptr || len < 1)
        return;
    const char* p = hex;
    if (p[0] == '0' && tolower(static_cast<unsigned char>(p[1])) == 'x')
        p += 2;
    int stored = 0;
    while (stored < len && *p != '\0') {
        if (*p == '-') {
            ++p;
            continue;
        }
        if (!is_hex_digit(p[0]))
            return;
        if (is_hex_digit(p[1])) {
            key[stored++] = static_cast<char>(hex2num(p[0]) * 16 + hex2num(p[1]));
        } else if (p[1] != '-') {
            return;
        }
        // A digit followed by a dash is consumed with it and stores nothing.
        p += 2;
    }
}

int valid_hex_key(const char* hex, size_t binary_key_len)
{
    if (hex == nullptr || binary_key_len == 0)
        return 0;
    const size_t k = binary_key_len;
    const size_t full = k / 8;
    const bool short_tail = (k % 8) != 0;
    const size_t groups_max = full + (short_tail ? 1 : 0);
    const size_t len = strlen(hex);
    if (k > (static_cast<size_t>(-1) - groups_max) / 2)
        return 0;
    if (len != 2 * k + groups_max - 1 && len != 2 * k + full - 1)
        return 0;

    size_t pos = 0;
    size_t groups = 0;
    size_t digits = 0;
    for (;;) {
        for (int n = 0; n < 16 && hex[pos] != '\0'; ++n, ++pos) {
            if (chk_hex_digit(hex[pos]) != 0)
                return 0;
            ++digits;
        }
        ++groups;
        if (hex[pos] == '\0')
            break;
        if (groups >= groups_max)
            return 0;
        if (hex[pos] == '-')
            ++pos;
        else if (!(short_tail && groups == full))
            return 0;
    }
    // A key text holds exactly two digits per key byte; the length test alone
    // would let through a dashed text one digit short.
    return groups >= full && digits == 2 * k;
}

int parse_hex_bin_value(char* num, uint32_t* value)
{
    if (num == nullptr)
        return -1;
    const size_t len = strlen(num);
    if (len < 3 || num[0] != '0')
        return -1;
    const int prefix = tolower(static_cast<unsigned char>(num[1]));
    uint32_t v = 0;
    int bits = 0;
    if (prefix == 'x') {
        if (len > 10)
            return -1;
        for (size_t i = len; i-- > 2;) {
            const int d = hex2num(num[i]);
            if (d < 0)
                return -1;
            v |= static_cast<uint32_t>(d) << bits;
            bits += 4;
        }
    } else if (prefix == 'b') {
        if (len > 34)
            return -1;
        for (size_t i = len; i-- > 2;) {
            if (num[i] != '0' && num[i] != '1')
                return -1;
            v |= static_cast<uint32_t>(num[i] - '0') << bits;
            bits += 1;
        }
    } else {
        return -1;
    }
    if (value != nullptr)
        *value = v;
    return bits;
}
