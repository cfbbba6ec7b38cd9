/* Reply processor fed a response cut into fuzz-chosen payloads, each in a heap
 * block of exactly its size and the one writable byte the transport promises.
 *
 * Every input: write-head is called at most once and before any body piece,
 * and no piece is longer than the 4096-byte script Buffer.  What reaches
 * write-head is a head Node's res.writeHead takes: a status of 100 to 999,
 * token names, values of HTAB, SP, visible ASCII and bytes from 0x80, no
 * Trailer field and never Content-Length with Transfer-Encoding; a body
 * handed on with its Content-Length kept never runs past that length; and no
 * more than 64 KiB of a head is ever held.
 * Generated responses (well-formed, Content-Length or chunked, plain or gzip)
 * must also give the same body whatever the cut: the wire body, or the plain
 * body when the relay inflates it.  A refusal is allowed only where a cut may
 * cause one (a first size line not whole in the first body bytes, streamed
 * inflating that zlib stops), and what was handed on before it is a prefix of
 * that body.  Bytes after a generated response's end must be refused and
 * never handed on. */
#include <fuzzer/FuzzedDataProvider.h>
#include <stdint.h>
#include <stdlib.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include "support/relay_harness.h"

namespace {

constexpr size_t k_block = 4096;
constexpr size_t k_daemon_payload = 4084;

struct switches {
    bool fail_status = false;
    bool fail_write_head = false;
    int fail_body_from = -1;
};

struct outcome {
    std::vector<int> results;
    zel_test::bridge_record record;
    int held = 0;                 /* head bytes still held at the end */
};

/* The most of a response head the relay may hold. */
constexpr int k_head_max = 64 * 1024;

/* The one place that drives the relay through the test double. */
outcome relay(const char* accept, const std::vector<std::string>& payloads, const switches& sw)
{
    zel_test::relay_harness h(accept);
    zel_test::bridge_record& b = zel_test::bridge();
    b.fail_status = sw.fail_status;
    b.fail_write_head = sw.fail_write_head;
    b.fail_body_from = sw.fail_body_from;
    outcome out;
    out.results = h.feed_all(payloads);
    out.record = b;
    out.held = h.si.stored_header != nullptr ? h.si.stored_hdr_size : 0;
    return out;
}

/* What the failing run was, for the report. */
std::string g_context;

[[noreturn]] void fail(const char* what)
{
    fprintf(stderr, "relay invariant broken: %s\n%s\n", what, g_context.c_str());
    abort();
}

std::string describe(const char* accept, const std::vector<std::string>& payloads, const outcome& o)
{
    std::string d = std::string("accept '") + accept + "' payloads:";
    for (const std::string& p : payloads)
        d += " " + std::to_string(p.size());
    d += "\nresults:";
    for (int r : o.results)
        d += " " + std::to_string(r);
    d += "\nbody pieces: " + std::to_string(o.record.pieces.size()) + ", " + std::to_string(o.record.body().size()) +
         " bytes";
    return d;
}

std::string gzip_of(const std::string& plain, int level)
{
    z_stream strm{};
    if (deflateInit2(&strm, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        abort();
    std::string out(deflateBound(&strm, plain.size()) + 32, '\0');
    strm.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
    strm.avail_in = static_cast<uInt>(plain.size());
    strm.next_out = reinterpret_cast<Bytef*>(out.data());
    strm.avail_out = static_cast<uInt>(out.size());
    if (deflate(&strm, Z_FINISH) != Z_STREAM_END)
        abort();
    out.resize(strm.total_out);
    deflateEnd(&strm);
    return out;
}

/* Payload lengths from the input's tail; once it is used up, the rest goes in
 * payloads of the daemon's usual size. */
std::vector<std::string> cut(FuzzedDataProvider& in, const std::string& text)
{
    std::vector<std::string> out;
    for (size_t at = 0; at < text.size();) {
        size_t n = in.remaining_bytes() > 0 ? in.ConsumeIntegralInRange<size_t>(0, k_block) : k_daemon_payload;
        n = std::min(n, text.size() - at);
        out.push_back(text.substr(at, n));
        at += n;
    }
    return out;
}

/* A well-formed response and what decides its relay. */
struct response {
    std::string text;
    std::string behind;           /* bytes after the response's end */
    std::string plain;
    std::string wire_body;
    size_t header_len = 0;
    size_t first_line_len = 0;    /* chunked: the first size line with its CR LF */
    bool content_length = false;
    int status = 200;
};

std::string size_line(FuzzedDataProvider& in, size_t size)
{
    char digits[24];
    snprintf(digits, sizeof digits, in.ConsumeBool() ? "%zx" : "%zX", size);
    std::string line = std::string(in.ConsumeIntegralInRange<size_t>(0, 2), '0') + digits;
    /* An extension that keeps the whole boundary within the 31-byte hold. */
    if (in.ConsumeBool() && line.size() < 20)
        line += ";e=" + std::string(in.ConsumeIntegralInRange<size_t>(0, 20 - line.size()), 'v');
    return line + "\r\n";
}

response generate(FuzzedDataProvider& in)
{
    response r;
    r.status = in.ConsumeIntegralInRange(100, 599);
    r.content_length = in.ConsumeBool();
    const bool gzip = in.ConsumeBool();
    const int level = in.ConsumeIntegralInRange(0, 9);
    r.plain = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 12000));
    /* The relay knows gzip by its magic bytes alone; a plain body that starts
     * with them is not a response this oracle can judge. */
    if (!gzip && r.plain.compare(0, 2, "\x1F\x8B") == 0)
        r.plain[0] = 'x';
    r.wire_body = gzip ? gzip_of(r.plain, level) : r.plain;

    r.text = "HTTP/1.1 " + std::to_string(r.status) + " Whatever\r\nX-Test: 1\r\n";
    if (r.content_length)
        r.text += (in.ConsumeBool() ? "Content-Length: " : "content-length:  ") + std::to_string(r.wire_body.size()) + "\r\n";
    else
        r.text += "Transfer-Encoding: chunked\r\n";
    if (gzip)
        r.text += "Content-Encoding: gzip\r\n";
    r.text += "\r\n";
    r.header_len = r.text.size();
    /* Now and then a second response, or junk, follows this one. */
    if (in.ConsumeIntegralInRange(0, 7) == 0)
        r.behind = in.ConsumeBool() ? "HTTP/1.1 200 OK\r\nSet-Cookie: s=1\r\n\r\n" : "x";
    if (r.content_length) {
        r.text += r.wire_body + r.behind;
        return r;
    }
    size_t at = 0, n = 0;
    do {
        n = std::min(r.wire_body.size() - at, in.ConsumeIntegralInRange<size_t>(1, 6000));
        const std::string line = (at == 0 ? "" : "\r\n") + size_line(in, n);
        if (at == 0)
            r.first_line_len = line.size();
        r.text += line + r.wire_body.substr(at, n);
        at += n;
    } while (n != 0);
    r.text += "\r\n" + r.behind;
    return r;
}

/* res.writeHead's own rules, kept apart from the relay's checks: a token
 * name, and a value of HTAB, SP, visible ASCII or bytes from 0x80. */
bool writehead_takes(const std::string& name, const std::string& value)
{
    static const std::string tchar = "!#$%&'*+-.^_`|~";
    if (name.empty())
        return false;
    for (char c : name)
        if (!isalnum(static_cast<unsigned char>(c)) && tchar.find(c) == std::string::npos)
            return false;
    for (char c : value) {
        const unsigned char u = static_cast<unsigned char>(c);
        if ((u < 0x20 && u != '\t') || u == 0x7f)
            return false;
    }
    return true;
}

void check_common(const outcome& o)
{
    const zel_test::bridge_record& b = o.record;
    if (b.write_heads.size() > 1)
        fail("write-head called more than once");
    if (b.pieces_before_head != 0)
        fail("body piece before write-head");
    /* The relay hands the host what one payload or one inflate block
     * yields, never more than the script's 4096-byte Buffer holds. */
    for (const std::string& p : b.pieces)
        if (p.size() > k_block)
            fail("body piece over 4096 bytes");
    if (o.held > k_head_max)
        fail("more than 64 KiB of response head held");
    if (b.write_heads.empty())
        return;
    const int status = b.write_heads[0].first;
    const zel_test::header_map& head = b.write_heads[0].second;
    if (status < 100 || status > 999)
        fail("write-head given a status outside 100 to 999");
    for (const auto& [name, value] : head)
        if (!writehead_takes(name, value))
            fail("write-head given a field res.writeHead throws on");
    if (head.count("trailer") != 0)
        fail("write-head given a Trailer field");
    const auto length = head.find("content-length");
    if (length == head.end())
        return;
    if (head.count("transfer-encoding") != 0)
        fail("write-head given Content-Length and Transfer-Encoding");
    /* A length handed on is a plain number, and the body stops there. */
    const std::string& v = length->second;
    const size_t from = v.find_first_not_of(" \t");
    const size_t to = v.find_last_not_of(" \t");
    const std::string digits = from == std::string::npos ? "" : v.substr(from, to - from + 1);
    if (digits.empty() || digits.size() > 10 || digits.find_first_not_of("0123456789") != std::string::npos ||
        std::stoull(digits) > INT_MAX)
        fail("write-head given a Content-Length that is not a plain number");
    if (b.body_bytes > std::stoull(digits))
        fail("body handed on past Content-Length");
}

/* Stand-in for the stream record's decision, kept apart so the oracle does not
 * trust the code it checks: gzip is accepted when the text's first "gzip" is
 * its last entry, bare or as "gzip;q=0". */
bool accepts_gzip(const char* accept)
{
    const std::string a = accept;
    const size_t at = a.find("gzip");
    return at != std::string::npos && (a.compare(at, std::string::npos, "gzip") == 0 ||
                                       a.compare(at, std::string::npos, "gzip;q=0") == 0);
}

void check_generated(const response& r, const char* accept, const std::vector<std::string>& payloads,
                     const outcome& o)
{
    /* Body bytes in the header's payload, and the payload with the first body
     * bytes: the relay decides gzip and reads the first size line there. */
    size_t end = 0, with_header = 0, first_body_to = 0;
    bool header_seen = false, body_seen = false;
    for (const std::string& p : payloads) {
        end += p.size();
        if (!header_seen && end >= r.header_len) {
            header_seen = true;
            with_header = end - r.header_len;
        }
        if (!body_seen && end > r.header_len) {
            body_seen = true;
            first_body_to = end - r.header_len;
        }
    }
    const std::string framed = r.text.substr(r.header_len, r.text.size() - r.header_len - r.behind.size());
    const bool gzip_seen = with_header >= 2 && framed.compare(0, 2, "\x1F\x8B") == 0;
    const bool inflate = gzip_seen && !accepts_gzip(accept);
    const bool streaming = !r.content_length || with_header < framed.size();
    const std::string& body = inflate ? r.plain : r.wire_body;

    bool may_fail = inflate && streaming;
    if (!r.content_length && body_seen && first_body_to < r.first_line_len)
        may_fail = true;

    const zel_test::bridge_record& b = o.record;
    if (b.write_heads.size() != 1)
        fail("well-formed header not handed on once");
    if (b.write_heads[0].first != r.status)
        fail("status differs");
    const std::string got = b.body();
    const bool refused = std::find(o.results.begin(), o.results.end(), -1) != o.results.end();
    if (!r.behind.empty()) {
        if (!refused)
            fail("bytes after the response's end accepted");
        if (body.compare(0, got.size(), got) != 0 || (!may_fail && got != body))
            fail("body before the bytes after the end differs");
        return;
    }
    if (refused) {
        if (!may_fail)
            fail("well-formed response refused");
        if (body.compare(0, got.size(), got) != 0)
            fail("body before the refusal is not a prefix of the body");
        return;
    }
    if (got != body)
        fail("body differs from the body sent");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const char* const accepts[] = {"", "gzip", "deflate", "gzip, deflate", "deflate, gzip", "gzip;q=0", "br"};
    FuzzedDataProvider in(data, size);
    const char* accept = accepts[in.ConsumeIntegralInRange<size_t>(0, std::size(accepts) - 1)];

    if (in.ConsumeBool()) {
        const response r = generate(in);
        const std::vector<std::string> payloads = cut(in, r.text);
        const outcome o = relay(accept, payloads, switches{});
        g_context = describe(accept, payloads, o) + "\n" + (r.content_length ? "content-length" : "chunked") +
                    " plain " + std::to_string(r.plain.size()) + " wire " + std::to_string(r.wire_body.size()) +
                    " header " + std::to_string(r.header_len) + "\n" + r.text.substr(0, r.header_len);
        check_common(o);
        check_generated(r, accept, payloads, o);
        return 0;
    }

    switches sw;
    const uint8_t which = in.ConsumeIntegral<uint8_t>();
    sw.fail_status = (which & 0x0F) == 1;
    sw.fail_write_head = (which & 0x0F) == 2;
    sw.fail_body_from = (which & 0x0F) == 3 ? which >> 4 : -1;
    const std::string text = in.ConsumeRandomLengthString(1 << 17);
    const std::vector<std::string> payloads = cut(in, text);
    const outcome o = relay(accept, payloads, sw);
    g_context = describe(accept, payloads, o);
    check_common(o);
    return 0;
}
