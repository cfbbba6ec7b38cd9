/* The utility library's parsers and string helpers on fuzz-chosen text, each
 * text in a heap block of exactly its size so that any read past it is caught.
 * Where a printer and a parser meet, what is printed must parse back to the
 * same value; elsewhere results stay in their documented ranges, and the
 * string helpers agree with plain reference code. */
#include <ctype.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ulib/bitfield.h"
#include "ulib/datetime.h"
#include "ulib/hex.h"
#include "ulib/inet.h"
#include "ulib/number.h"
#include "ulib/protocol.h"
#include "ulib/strlcpy.h"
#include "ulib/strnstr.h"
#include "ulib/util.h"

namespace {

[[noreturn]] void fail(const char* what)
{
    fprintf(stderr, "utility invariant broken: %s\n", what);
    abort();
}

void expect(bool ok, const char* what)
{
    if (!ok)
        fail(what);
}

/* A NUL-terminated copy in a block of exactly its size. */
struct c_text {
    std::unique_ptr<char[]> p;
    size_t len;

    explicit c_text(std::string_view s) : p(new char[s.size() + 1]), len(s.size())
    {
        memcpy(p.get(), s.data(), s.size());
        p[s.size()] = '\0';
    }
    char* get() const { return p.get(); }
};

std::string text(FuzzedDataProvider& in, size_t max = 64)
{
    const std::string s = in.ConsumeRandomLengthString(max);
    return s.substr(0, s.find('\0'));
}

void strings(FuzzedDataProvider& in)
{
    /* strnstr: the haystack has no terminator of its own. */
    const std::string hay = in.ConsumeRandomLengthString(256);
    const c_text find(text(in, 16));
    const size_t slen = in.ConsumeIntegralInRange<size_t>(0, hay.size());
    std::unique_ptr<char[]> block(new char[slen == 0 ? 1 : slen]);
    memcpy(block.get(), hay.data(), slen);
    const std::string_view seen(block.get(), strnlen(block.get(), slen));
    const size_t at = seen.find(find.get());
    const char* got = strnstr(block.get(), find.get(), slen);
    expect(got == (at == std::string_view::npos ? nullptr : block.get() + at), "strnstr");

    /* strlcpy */
    const c_text src(text(in, 128));
    const size_t siz = in.ConsumeIntegralInRange<size_t>(1, 200);
    std::unique_ptr<char[]> dst(new char[siz]);
    expect(strlcpy(dst.get(), src.get(), siz) == src.len, "strlcpy result");
    expect(std::string(dst.get()) == std::string(src.get()).substr(0, siz - 1), "strlcpy copy");

    /* trimming and case */
    const std::string raw = text(in, 128);
    c_text trimmed(raw);
    nrv_trim_space(trimmed.get());
    const size_t b = raw.find_first_not_of(' ');
    expect(trimmed.get() == (b == std::string::npos ? "" : raw.substr(b, raw.find_last_not_of(' ') - b + 1)), "trim");
    c_text lower(raw);
    str_tolower(lower.get());
    c_text upper(raw);
    string_to_unicase(upper.get(), 1);
    for (size_t i = 0; i < raw.size(); ++i) {
        expect(lower.get()[i] == static_cast<char>(tolower(static_cast<unsigned char>(raw[i]))), "str_tolower");
        expect(upper.get()[i] == static_cast<char>(toupper(static_cast<unsigned char>(raw[i]))), "upper case");
    }
}

void numbers(FuzzedDataProvider& in)
{
    const c_text s(text(in));
    const long long lo = in.ConsumeIntegral<long long>();
    const long long hi = in.ConsumeIntegral<long long>();
    const long long v = string_to_number_int64(s.get(), lo, hi);
    expect(v == LLONG_MIN || (v >= lo && v <= hi), "int64 value outside its range");

    const int ilo = in.ConsumeIntegralInRange(0, INT_MAX);
    const int ihi = in.ConsumeIntegralInRange(0, INT_MAX);
    const int iv = string_to_number(s.get(), ilo, ihi);
    expect(iv == -1 || (iv >= ilo && iv <= ihi), "int value outside its range");

    const unsigned long ulo = in.ConsumeIntegral<unsigned long>();
    const unsigned long uhi = in.ConsumeIntegral<unsigned long>();
    unsigned long uv = 77;
    const int rc = string_to_unsigned_number(s.get(), &uv, ulo, uhi);
    expect(rc == 0 ? uv >= ulo && uv <= uhi : rc == -1 && uv == 77, "unsigned value or result");
}

void hex(FuzzedDataProvider& in)
{
    /* Bytes to hex text and back. */
    const std::string bytes = in.ConsumeRandomLengthString(64);
    const int room = in.ConsumeIntegralInRange(1, 140);
    std::unique_ptr<char[]> hexbuf(new char[room]());  /* empty text when nothing is written */
    const int digits = num2hexstr(bytes.data(), static_cast<int>(bytes.size()), hexbuf.get(), room);
    expect(digits % 2 == 0 && digits < room && static_cast<size_t>(digits) <= 2 * bytes.size(), "num2hexstr count");
    std::unique_ptr<char[]> back(new char[bytes.size() + 1]);
    const int n = hexstr_to_bin(hexbuf.get(), back.get(), static_cast<int>(bytes.size()) + 1);
    expect(n == digits / 2 && memcmp(back.get(), bytes.data(), static_cast<size_t>(n)) == 0, "hex round trip");

    /* Keys to dashed text and back. */
    const int klen = static_cast<int>(bytes.size());
    std::unique_ptr<char[]> key_text(new char[2 * bytes.size() + (bytes.size() + 7) / 8 + 1]);
    key_to_hex(klen, reinterpret_cast<const unsigned char*>(bytes.data()), key_text.get());
    if (klen > 0) {
        expect(valid_hex_key(key_text.get(), bytes.size()) == 1, "printed key not valid");
        std::unique_ptr<char[]> key(new char[bytes.size()]);
        hex_to_key(klen, key_text.get(), key.get());
        expect(memcmp(key.get(), bytes.data(), bytes.size()) == 0, "key round trip");
    }

    /* Text of any kind. */
    const c_text s(text(in));
    (void)valid_hex_key(s.get(), in.ConsumeIntegralInRange<size_t>(0, 40));
    std::unique_ptr<char[]> key(new char[40]);
    hex_to_key(in.ConsumeIntegralInRange(0, 40), s.get(), key.get());
    uint32_t value = 0;
    const int bits = parse_hex_bin_value(s.get(), &value);
    expect(bits == -1 || (bits >= 1 && bits <= 32), "parse_hex_bin_value bits");
    expect(bits < 1 || bits >= 32 || (value >> bits) == 0, "parse_hex_bin_value value wider than its bits");
    const int out_len = in.ConsumeIntegralInRange(0, 40);
    std::unique_ptr<char[]> out(new char[out_len == 0 ? 1 : out_len]);
    expect(hexstr_to_bin(s.get(), out.get(), out_len) <= out_len, "hexstr_to_bin count");
    const int buf_len = in.ConsumeIntegralInRange(0, 40);
    c_text pairs(text(in));
    std::unique_ptr<char[]> buf(new char[buf_len == 0 ? 1 : buf_len]);
    expect(hexstr2num(pairs.get(), buf.get(), buf_len) <= buf_len, "hexstr2num count");
}

void inet(FuzzedDataProvider& in)
{
    const c_text s(text(in, 32));
    unsigned int ip = 0;
    const int kind = ip2l(s.get(), &ip);
    expect(kind >= -1 && kind <= 5, "ip2l result");
    if (kind >= 0) {
        const c_text dotted(addr_to_dotted(&ip));
        unsigned int again = 0;
        expect(ip2l(dotted.get(), &again) == kind && again == ip, "address round trip");
        const in_addr* a = dotted_to_addr(dotted.get());
        expect(a != nullptr && a->s_addr == ip, "dotted_to_addr");
    }
    unsigned int mask = 0;
    if (ismaskok(s.get(), &mask) == 1) {
        const int len = mask2len(mask);
        expect(len >= 0 && len <= 32, "mask length");
    }
    (void)dotted_to_addr(s.get());
    uint16_t ports[2] = {0, 0};
    (void)parse_ports(s.get(), ports);
    unsigned char mac[6];
    (void)str_to_macaddress(s.get(), mac);
    (void)is_ppp_name(s.get());
    const c_text d1(text(in, 32)), n2(text(in, 32)), d2(text(in, 32));
    expect(is_same_fqdn(s.get(), d1.get(), n2.get(), d2.get()) == is_same_fqdn(n2.get(), d2.get(), s.get(), d1.get()),
           "is_same_fqdn not symmetric");
}

void dates(FuzzedDataProvider& in)
{
    const c_text s(text(in, 32));
    short h = -1, m = -1, sec = -1;
    const int t = check_full_time_str(s.get(), &h, &m, &sec);
    expect(t == 0 || (t == 1 && h >= 0 && h <= 23 && m >= 0 && m <= 59 && sec >= 0 && sec <= 59), "time fields");
    expect(check_time_string(s.get()) == (t == 1 ? 0 : -134), "check_time_string agrees");
    int y = 0, mo = 0, d = 0;
    const int date = check_iso_date_string(s.get(), &y, &mo, &d);
    expect(date == 0 || (date == 1 && y >= 2001 && y <= 2037 &&
                         validate_day_month(static_cast<short>(y), static_cast<short>(mo), static_cast<short>(d))),
           "date fields");
    const int dt = check_date_time_string(s.get());
    expect(dt == 0 || dt == -130 || dt == -134, "check_date_time_string result");
    expect(date != 1 || dt == 0, "a valid date alone is a valid date-time");
}

void protocols(FuzzedDataProvider& in)
{
    const c_text s(text(in, 24));
    const short n = parse_protocol(s.get());
    expect(n >= -1, "parse_protocol result");
    const int num = get_protocol_no(s.get());
    if (num > 0) {
        const char* name = get_protocol(static_cast<uint8_t>(num));
        expect(num < ZEL_PROTO_TABLE_SIZE && name != nullptr && strcasecmp(name, s.get()) == 0, "protocol name");
        expect(n == num, "parse_protocol disagrees with the table");
    }
}

void bitfields(FuzzedDataProvider& in)
{
    /* Bits set through the API print and parse back to the same bits, as
     * far as the text goes: bytes 0 to lastbyte, the byte of the last bit
     * set. */
    banword_bitfield_t a{};
    bitfield_setlistid(&a, in.ConsumeIntegral<uint32_t>());
    for (size_t i = in.ConsumeIntegralInRange<size_t>(0, 40); i > 0; --i)
        bitfield_setbit(&a, in.ConsumeIntegralInRange<unsigned>(0, 5000));
    std::vector<unsigned char> printed(8192);
    bitfield_tostring(&a, printed.data(), static_cast<unsigned>(printed.size()));
    banword_bitfield_t b{};
    expect(bitfield_fromstring(printed.data(), static_cast<unsigned>(printed.size()), &b) == 0, "printed set refused");
    const size_t shown = a.lastbyte + 1;
    expect(b.listid == a.listid && memcmp(a.bitfield, b.bitfield, shown) == 0, "bit set round trip");
    for (unsigned bit = 0; bit < 8 * shown; bit += 7)
        expect(bitfield_getbit(&a, bit) == bitfield_getbit(&b, bit), "bit differs after round trip");

    /* Any text: the set it parses to prints as text that parses back to the
     * same bytes.  (Not to the same text: a parsed text that ends in a blank
     * counts the position after it, so each round adds a byte.) */
    const std::string raw = in.ConsumeRandomLengthString(600);
    std::unique_ptr<unsigned char[]> block(new unsigned char[raw.size() + 1]);
    memcpy(block.get(), raw.data(), raw.size());
    banword_bitfield_t c{};
    if (bitfield_fromstring(block.get(), static_cast<unsigned>(raw.size()), &c) == 0) {
        expect(c.lastbyte < BANWORD_BITFIELD_BYTES, "lastbyte out of range");
        std::vector<unsigned char> once(8192);
        bitfield_tostring(&c, once.data(), static_cast<unsigned>(once.size()));
        banword_bitfield_t e{};
        expect(bitfield_fromstring(once.data(), static_cast<unsigned>(once.size()), &e) == 0, "printed set refused");
        expect(e.listid == c.listid && memcmp(e.bitfield, c.bitfield, c.lastbyte + 1) == 0,
               "parsed set does not print and parse back to the same bytes");
    }

    /* Heap bit sets. */
    const unsigned long bits = in.ConsumeIntegralInRange<unsigned long>(0, 3000);
    bit_field_t* f = alloc_bit_field(bits);
    expect((f == nullptr) == (bits == 0), "alloc_bit_field");
    const unsigned long bit = in.ConsumeIntegralInRange<unsigned long>(0, 3100);
    set_bf_bit(f, bit);
    expect(test_bf_bit(f, bit) == (bit < bits ? 1 : 0), "set_bf_bit");
    clear_bf_bit(f, bit);
    expect(test_bf_bit(f, bit) == 0, "clear_bf_bit");
    free_bit_field(f);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    switch (in.ConsumeIntegralInRange(0, 6)) {
    case 0: strings(in); break;
    case 1: numbers(in); break;
    case 2: hex(in); break;
    case 3: inet(in); break;
    case 4: dates(in); break;
    case 5: protocols(in); break;
    default: bitfields(in); break;
    }
    return 0;
}
