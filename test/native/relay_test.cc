/* Fixed cases of the response relay, each documenting one rule: gzip
 * acceptance, header lines and parsing, chunked framing, streaming by
 * Content-Length, inflating, and failing script callbacks.  Responses of
 * random shapes cut at random points are in relay_property_test.cc. */
#include <gtest/gtest.h>
#include <limits.h>
#include <string.h>
#include <zlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "modules/api/api_zel_chunked.h"
#include "modules/api/api_zel_head_checks.h"
#include "modules/api/api_zel_header.h"
#include "modules/api/api_zel_http_util.h"
#include "support/relay_harness.h"

using zel_test::bridge;
using zel_test::cut_at;
using zel_test::header_map;
using zel_test::relay_harness;

namespace {

std::string response(const std::string& lines, const std::string& body)
{
    return "HTTP/1.1 200 OK\r\n" + lines + "\r\n" + body;
}

std::string length_line(size_t n)
{
    return "Content-Length: " + std::to_string(n) + "\r\n";
}

std::string pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
    return s;
}

std::vector<int> piece_sizes()
{
    std::vector<int> sizes;
    for (const std::string& p : bridge().pieces)
        sizes.push_back(static_cast<int>(p.size()));
    return sizes;
}

/* 30 + 50 + 20 data bytes in three chunks. */
const std::string k_hundred = pattern(100);
const std::string k_hundred_chunked = "1e\r\n" + k_hundred.substr(0, 30) + "\r\n32\r\n" + k_hundred.substr(30, 50) +
                                      "\r\n14\r\n" + k_hundred.substr(80, 20) + "\r\n0\r\n\r\n";

} // namespace

TEST(StreamInfo, GzipAcceptedOnlyWhenItEndsTheListBareOrAtQZero)
{
    struct row {
        const char* accept;
        bool accepted;
    } rows[] = {
        {nullptr, false},           {"", false},           {"deflate", false},
        {"br", false},              {"gzip", true},        {"deflate, gzip", true},
        {"gzip;q=0", true},         {"deflate, gzip;q=0", true}, {"gzip, deflate", false},
        {"gzip;q=0.5", false},      {"gzip;q=0, deflate", false}, {"x-gzip, gzip", false},
        {"gzip;", false},           {"GZIP", false},
    };
    for (const row& r : rows)
        EXPECT_EQ(is_gzip_accepted(r.accept), r.accepted) << (r.accept ? r.accept : "(null)");
}

TEST(HeaderLine, SpacesAfterTheColonDroppedEmptyOrColonlessLinesNotStored)
{
    struct row {
        const char* line;
        int len;  /* -1: the whole line */
        header_map stored;
    } rows[] = {
        {"Content-Type:   application/json", -1, {{"content-type", "application/json"}}},
        {"X-A:\tv", -1, {{"x-a", "\tv"}}},
        {"Content-Type : text/html", -1, {{"content-type ", "text/html"}}},
        {"no colon here", -1, {}},
        {"X-Empty:", -1, {}},
        {"X-Colon: a:b", -1, {{"x-colon", "a:b"}}},
        {"X-Cut: abcdef", 9, {{"x-cut", "ab"}}},
    };
    for (const row& r : rows) {
        relay_harness h;
        api_zel_set_header_by_line(&h.cb, r.line, r.len < 0 ? static_cast<int>(strlen(r.line)) : r.len);
        EXPECT_EQ(bridge().header, r.stored) << r.line;
    }
}

TEST(ResponseHeader, OnlyAnEndedHeadWithAStatusLineParses)
{
    struct row {
        std::string text;
        int header_len;  /* 0: does not parse */
        int status;
        header_map header;
    } rows[] = {
        {"HTTP/1.1 201 Created\r\nA: 1\r\nB: 2\r\n\r\nbody", 36, 201, {{"a", "1"}, {"b", "2"}}},
        {"HTTP/1.1 404 Not Found\nA: 1\nB: 2\n\r\n\r\n", 37, 404, {{"a", "1"}, {"b", "2"}}},
        {"HTTP/1.1 204 No Content\r\n\r\n", 27, 204, {}},
        {"HTTP/1.1 OK\r\nA: 1\r\n\r\n", 0, 0, {}},
        {"HTTX/1.1 200 OK\r\n\r\n", 0, 0, {}},
        {"HTTP/1.1 200 OK\r\nA: 1\r\n", 0, 0, {}},
        {"HTTP/1.1\r\n\r\n200", 0, 0, {}},
    };
    for (const row& r : rows) {
        relay_harness h;
        EXPECT_EQ(api_zel_parse_response_header(&h.cb, r.text.data(), static_cast<int>(r.text.size())), r.header_len)
            << r.text;
        EXPECT_EQ(bridge().status, r.status) << r.text;
        EXPECT_EQ(bridge().header, r.header) << r.text;
    }
    relay_harness h;
    bridge().fail_status = true;
    EXPECT_EQ(api_zel_parse_response_header(&h.cb, "HTTP/1.1 200 OK\r\nA: 1\r\n\r\n", 25), 0);
    EXPECT_TRUE(bridge().header.empty());
    /* A header that does not parse fails the processor before write-head. */
    relay_harness bad;
    EXPECT_EQ(bad.feed("HTTP/1.1 OK\r\nContent-Length: 2\r\n\r\nhi"), -1);
    EXPECT_TRUE(bridge().write_heads.empty() && bridge().pieces.empty());
}

/* What reaches the script, and in which pieces, from whole responses cut into
 * payloads, with script callbacks that throw.
 *
 * Stored gzip blocks inflate byte for byte, so a payload of the block's next
 * 4096 data bytes fills one output block as its input runs out; the next
 * inflate call has nothing to do and reports Z_BUF_ERROR, which ends streamed
 * inflating like any other inflate error.  One byte more leaves input over. */
TEST(Relay, EveryBodyByteReachesTheScriptOnceAndNoneAfterAFailedCallback)
{
    const std::string text = response("Content-Length: 3\r\n", "abc");
    const size_t marker = text.find("\r\n\r\n");
    const std::string hello = response("Content-Length: 5\r\n", "hello");
    const std::string p6000 = pattern(6000), p10000 = pattern(10000), p8192 = pattern(8192);
    const std::string big_text = response(length_line(6000), p6000);
    const std::string packed = zel_test::gzip_of(p10000);
    const std::string packed_text = response(length_line(packed.size()) + "Content-Encoding: gzip\r\n", packed);
    const std::string fast = zel_test::gzip_of(pattern(20000), 1);
    const std::string fast_text = response(length_line(fast.size()), fast);
    uLongf zlib_len = 256;
    std::string zlib_body(zlib_len, '\0');
    ASSERT_EQ(compress2(reinterpret_cast<Bytef*>(zlib_body.data()), &zlib_len, reinterpret_cast<const Bytef*>("hi"), 2, 6),
              Z_OK);
    zlib_body.resize(zlib_len);
    /* gzip of 5000 bytes ending in a full flush, then a block of the reserved
     * type: inflating fails after the first 4096 bytes. */
    const std::string corrupt = zel_test::gzip_of(pattern(5000), 6, Z_FULL_FLUSH) + "\x07garbage-after-the-bad-block";
    const std::string exact = zel_test::gzip_of(pattern(4096), 0);
    const std::string stored = zel_test::gzip_of(p8192, 0);
    ASSERT_EQ(static_cast<unsigned char>(stored[10]), 0x01) << "one final stored block expected";
    const std::string stored_text = response(length_line(stored.size()), stored);
    const size_t at15 = stored_text.size() - stored.size() + 15;
    struct row {
        const char* name;
        std::string text;
        std::vector<size_t> cuts;
        std::vector<int> results;
        std::vector<std::string> pieces;
        bool fail_write_head = false;
        int fail_body_from = -1;
    } rows[] = {
        {"end marker over four payloads", text, {marker + 1, marker + 2, marker + 3}, {0, 0, 0, 1}, {"abc"}},
        {"Content-Length 6000 streamed", big_text, {big_text.size() - 3000}, {0, 1},
         {p6000.substr(0, 3000), p6000.substr(3000)}},
        /* Inflated in 4096-byte blocks; the result is the inflated count. */
        {"whole gzip body", packed_text, {}, {10000}, {p10000.substr(0, 4096), p10000.substr(4096, 4096), p10000.substr(8192)}},
        {"whole gzip body filling its last block exactly", response(length_line(exact.size()), exact), {}, {4096},
         {pattern(4096)}},
        {"zlib-wrapped body is not inflated", response(length_line(zlib_len), zlib_body), {}, {1}, {zlib_body}},
        {"corrupt whole gzip body", response(length_line(corrupt.size()), corrupt), {}, {4096}, {pattern(4096)}},
        {"corrupt streamed gzip body", response(length_line(corrupt.size() + 100), corrupt), {}, {-1}, {pattern(4096)}},
        {"payload fills an output block exactly", stored_text, {at15, at15 + 4096}, {0, -1}, {p8192.substr(0, 4096)}},
        {"payload one byte over an output block", stored_text, {at15, at15 + 4097}, {0, 0, 1},
         {p8192.substr(0, 4096), p8192.substr(4096, 1), p8192.substr(4097)}},
        /* The write-head result is dropped: the body still follows. */
        {"write-head throws", hello, {}, {1}, {"hello"}, true},
        {"body throws, whole body", hello, {}, {1}, {}, false, 0},
        {"body throws, streaming", response("Content-Length: 9\r\n", "hello"), {}, {0}, {}, false, 0},
        {"body throws, chunked", response("", "5\r\nhello\r\n0\r\n\r\n"), {}, {1}, {}, false, 0},
        /* The refused block is counted: it was inflated. */
        {"second block refused, whole gzip", packed_text, {}, {8192}, {p10000.substr(0, 4096)}, false, 1},
        /* A refused block ends streamed inflating: the next payload fails. */
        {"body throws, streamed gzip", fast_text, {fast_text.size() - fast.size() / 2}, {1, -1}, {}, false, 0},
    };
    for (const row& r : rows) {
        relay_harness h;
        bridge().fail_write_head = r.fail_write_head;
        bridge().fail_body_from = r.fail_body_from;
        EXPECT_EQ(h.feed_all(cut_at(r.text, r.cuts)), r.results) << r.name;
        /* Write-head comes once, before the body. */
        ASSERT_EQ(bridge().write_heads.size(), 1u) << r.name;
        EXPECT_EQ(bridge().pieces_before_head, 0) << r.name;
        EXPECT_TRUE(bridge().pieces == r.pieces) << r.name;
        EXPECT_EQ(h.si.stored_header, nullptr) << r.name;
    }
}

namespace {

voidpf refuse_alloc(voidpf, uInt, uInt)
{
    return Z_NULL;
}

} // namespace

/* Streamed inflating that cannot be set up fails the relay before
 * write-head, and the header step releases the head it held across payloads
 * as it does on every other way out. */
TEST(Relay, InflateSetUpFailureLeavesNothingHeld)
{
    const std::string packed = zel_test::gzip_of(pattern(10000));
    const std::string text = response(length_line(packed.size()), packed.substr(0, 100));
    relay_harness h;
    h.si.z_strm.zalloc = refuse_alloc;
    EXPECT_EQ(h.feed_all(cut_at(text, {10})), (std::vector<int>{0, -1}));
    EXPECT_TRUE(bridge().write_heads.empty());
    EXPECT_EQ(h.si.stored_header, nullptr);
    EXPECT_EQ(h.si.decode_buf.buff, nullptr);
}

/* The daemon's final datagram ends an exchange; the reply was relayed only
 * when the response reached its end by its own framing. */
TEST(Relay, CompleteOnlyAtTheBodysEnd)
{
    const std::string head = response("", "");
    const std::string no_zero = k_hundred_chunked.substr(0, k_hundred_chunked.size() - 5);
    const std::string packed = zel_test::gzip_of(pattern(10000));
    struct row {
        const char* name;
        std::vector<std::string> payloads;
        bool complete;
    } rows[] = {
        {"nothing arrived", {}, false},
        {"empty final payload only", {""}, false},
        {"header cut", {"HTTP/1.1 200 OK\r\nContent-Le"}, false},
        {"Content-Length reached", {response("Content-Length: 5\r\n", "hello")}, true},
        {"Content-Length reached over payloads", {response("Content-Length: 9\r\n", "hello"), " you"}, true},
        {"Content-Length short", {response("Content-Length: 100\r\n", "0123456789")}, false},
        {"Content-Length short by one", {response("Content-Length: 9\r\n", "hello"), "you"}, false},
        {"gzip streamed, short", {response(length_line(packed.size()), packed.substr(0, 100))}, false},
        {"chunked to its zero-size chunk", {head + k_hundred_chunked}, true},
        {"chunked over payloads", {head + k_hundred_chunked.substr(0, 37), k_hundred_chunked.substr(37)}, true},
        {"chunked without the zero-size chunk", {head + no_zero}, false},
        {"chunked cut inside a chunk", {head + k_hundred_chunked.substr(0, 50)}, false},
        {"chunked cut inside the zero-size line", {head + no_zero + "\r\n0"}, false},
        {"chunked, empty body", {head + "0\r\n\r\n"}, true},
        {"chunked cut before its final CR LF", {head + k_hundred_chunked.substr(0, k_hundred_chunked.size() - 2)}, false},
        {"chunked cut inside a trailer field", {head + "0\r\nX-Sum: 1\r\n"}, false},
        /* No length and no body byte: an empty body, as for a 204. */
        {"no body, no length", {"HTTP/1.1 204 No Content\r\n\r\n"}, true},
        {"Content-Length 0", {response("Content-Length: 0\r\n", "")}, true},
    };
    for (const row& r : rows) {
        relay_harness h;
        for (const std::string& p : r.payloads)
            h.feed(p);
        EXPECT_EQ(api_zel_response_complete(&h.si), r.complete) << r.name;
    }
    EXPECT_FALSE(api_zel_response_complete(nullptr));
}

/* The chunked decoder starts afresh at each response head, whatever state a
 * record that was not zero-filled (or reused) carries. */
TEST(Chunked, TheHeadStartsTheDecoderAfresh)
{
    relay_harness h;
    h.si.chunk_state = API_ZEL_CHUNK_END;
    h.si.remaining_res_chunk_size = 3;
    h.si.metadata_len_in_buff = 7;
    h.si.body_end_match = 2;
    h.si.trailer_len = 9;
    EXPECT_EQ(h.feed(response("", k_hundred_chunked.substr(0, 37))), 0);
    EXPECT_EQ(h.feed(k_hundred_chunked.substr(37)), 1);
    EXPECT_EQ(bridge().body(), k_hundred);
}

/* The count of body bytes received stops at INT_MAX instead of wrapping (a
 * chunked body counts its framing too), and the largest declared length is
 * reached exactly. */
TEST(Relay, CountersSaturate)
{
    relay_harness h;
    EXPECT_EQ(h.feed(response("", "3\r\nabc")), 0);
    h.si.actual_content_length = INT_MAX - 2;
    EXPECT_EQ(h.feed("\r\n4\r\ndefg\r\n0\r\n\r\n"), 1);
    EXPECT_EQ(h.si.actual_content_length, INT_MAX);
    EXPECT_TRUE(api_zel_response_complete(&h.si));
    EXPECT_EQ(bridge().body(), "abcdefg");

    relay_harness most;
    EXPECT_EQ(most.feed(response("Content-Length: 2147483647\r\n", "abc")), 0);
    most.si.actual_content_length = INT_MAX - 4;
    EXPECT_EQ(most.feed("defg"), 1);
    EXPECT_TRUE(api_zel_response_complete(&most.si));
}

/* A boundary longer than the 31 bytes that can be held fails when a payload
 * end cuts it, and is fine when uncut. */
TEST(Chunked, BoundaryCutWithinTheHoldAreaIsKeptLongerOneFails)
{
    const std::string ext_case = "5;name=value\r\nhello\r\n6;q=\"x y\"\r\n world\r\n0;end\r\n\r\n";
    const auto boundary_case = [](size_t len) {
        return "3\r\nabc\r\n5;" + std::string(len - 6, 'x') + "\r\nhello\r\n0\r\n\r\n";
    };
    const std::string trailer_case = "5\r\nhello\r\n0\r\nX-Sum: 1\r\n\r\n";
    struct row {
        const char* name;
        std::string body;
        std::vector<size_t> cuts;  /* offsets into the body */
        std::vector<int> results;
        std::string delivered;
    } rows[] = {
        {"whole", k_hundred_chunked, {}, {1}, k_hundred},
        {"empty body", "0\r\n\r\n", {}, {1}, ""},
        {"empty body cut after the zero-size line", "0\r\n\r\n", {3}, {0, 1}, ""},
        {"inside the 50-byte chunk", k_hundred_chunked, {65}, {0, 1}, k_hundred},
        {"3 bytes into the second boundary", k_hundred_chunked, {37}, {0, 1}, k_hundred},
        {"chunk extensions cut", ext_case, {16, 24, 40}, {0, 0, 0, 1}, "hello world"},
        {"31-byte boundary cut", boundary_case(31), {10, 20, 30}, {0, 0, 0, 1}, "abchello"},
        {"32-byte boundary cut before its LF", boundary_case(32), {37}, {0, -1}, "abc"},
        {"40-byte boundary uncut", boundary_case(40), {}, {1}, "abchello"},
        {"40-byte boundary cut after 10 bytes", boundary_case(40), {16}, {0, -1}, "abc"},
        /* Trailer fields are framing: read past, never handed on. */
        {"trailer", trailer_case, {}, {1}, "hello"},
        {"trailer cut", trailer_case, {12, 14, 22}, {0, 0, 0, 1}, "hello"},
        {"first size line cut", k_hundred_chunked, {1}, {-1}, ""},
        {"first size line cut, nothing with the header", k_hundred_chunked, {0, 1}, {0, -1}, ""},
        {"JSON without Content-Length", "{\"a\":1}", {}, {-1}, ""},
        /* The two bytes that end a chunk's data are skipped unread. */
        {"data ended by other bytes than CR LF", "3\r\nabcXY5\r\nhello\r\n0\r\n\r\n", {}, {1}, "abchello"},
        {"data ended by other bytes, cut between them", "3\r\nabcXY5\r\nhello\r\n0\r\n\r\n", {7}, {0, 1}, "abchello"},
        /* A held boundary is judged only once it is complete. */
        {"empty size line held", "3\r\nabc\r\n\r\n3\r\nabc\r\n0\r\n\r\n", {8}, {0, -1}, "abc"},
    };
    for (const row& r : rows) {
        relay_harness h;
        const std::string head = response("", "");
        std::vector<size_t> cuts;
        for (size_t c : r.cuts)
            cuts.push_back(head.size() + c);
        EXPECT_EQ(h.feed_all(cut_at(head + r.body, cuts)), r.results) << r.name;
        EXPECT_EQ(bridge().body(), r.delivered) << r.name;
    }
    /* The chunks of one payload go to the script as one piece. */
    relay_harness h;
    EXPECT_EQ(h.feed(response("Transfer-Encoding: chunked\r\n", k_hundred_chunked)), 1);
    EXPECT_EQ(piece_sizes(), std::vector<int>{100});
}

/* Trailer fields are read past up to the empty line, but the section, from
 * after the zero-size line to its end, is bounded like a head: 64 KiB of it
 * end the body, a byte more fails, whole or cut into payloads. */
TEST(Chunked, TrailerSectionEndsWithinTheHeadCap)
{
    const std::string head = response("", "");
    /* A trailer section of exactly `len` bytes, its closing CR LF CR LF included. */
    const auto body_of = [](size_t len) { return "3\r\nabc\r\n0\r\nX-Pad: " + std::string(len - 11, 'p') + "\r\n\r\n"; };
    struct row {
        size_t len;
        size_t payload;  /* bytes per payload after the first; 0: one payload */
        int result;
        const char* delivered;  /* a failing payload hands nothing on */
    } rows[] = {
        {API_ZEL_HEAD_MAX, 0, 1, "abc"},
        {API_ZEL_HEAD_MAX, 4084, 1, "abc"},
        {API_ZEL_HEAD_MAX + 1, 0, -1, ""},
        {API_ZEL_HEAD_MAX + 1, 4084, -1, "abc"},
        {API_ZEL_HEAD_MAX + 1, 1, -1, "abc"},
    };
    for (const row& r : rows) {
        const std::string text = head + body_of(r.len);
        std::vector<size_t> cuts;
        for (size_t at = head.size() + 8; r.payload > 0 && at < text.size(); at += r.payload)
            cuts.push_back(at);
        relay_harness h;
        const std::vector<int> results = h.feed_all(cut_at(text, cuts));
        EXPECT_EQ(results.back(), r.result) << r.len << " in payloads of " << r.payload;
        EXPECT_EQ(bridge().body(), r.delivered) << r.len << " in payloads of " << r.payload;
        EXPECT_EQ(api_zel_response_complete(&h.si), r.result == 1) << r.len << " in payloads of " << r.payload;
    }
}

/* Size lines are read as "%x" reads them, in the first line and in a later
 * boundary alike, within the line's own bytes; -1 marks a line that fails. */
TEST(Chunked, SizeLinesReadAsHexUpToIntMaxOthersFail)
{
    struct row {
        const char* line;
        int size;
    } rows[] = {
        {"1A", 26},      {"1a", 26},       {"0x1e", 30},      {"+1e", 30},        {" \t1e", 30},
        {"001e", 30},    {"1e;name=v", 30}, {"1eg", 30},      {"0xg", 0},         {"-0", 0},
        {"7fffffff", 0x7fffffff},          {"0x", 0},         {"", -1},           {"g", -1},
        {";ext", -1},    {"-1", -1},       {"-FFFFFFFF", -1}, {"80000000", -1},   {"100000000", -1},
    };
    for (const row& r : rows) {
        for (const char* before : {"", "3\r\nabc\r\n"}) {
            relay_harness h;
            const int result = h.feed(response("", std::string(before) + r.line + "\r\n"));
            EXPECT_EQ(result < 0 ? result : h.si.remaining_res_chunk_size, r.size)
                << "'" << r.line << "' after '" << before << "'";
        }
    }
}

/* The host cuts a run into Buffer-sized pieces; the relay hands it on whole
 * and passes on a refusal, so a failed script is never counted as served. */
TEST(SendResponse, RefusalOrBadArgumentIsNeverReportedAsTaken)
{
    std::string data = pattern(5000);
    struct row {
        char* data;
        int len;
        bool with_record;
        int fail_from;
        int result;
        int calls;
    } rows[] = {
        {data.data(), 5000, true, -1, 5000, 1},
        {data.data(), 5000, true, 0, -1, 1},
        {data.data(), 0, true, -1, -1, 0},
        {nullptr, 5, true, -1, -1, 0},
        {data.data(), 5, false, -1, -1, 0},
    };
    for (const row& r : rows) {
        relay_harness h;
        bridge().fail_body_from = r.fail_from;
        EXPECT_EQ(api_zel_send_response(r.data, r.len, r.with_record ? &h.cb : nullptr), r.result) << r.len;
        EXPECT_EQ(bridge().body_calls, r.calls) << r.len;
    }
}

/* A hostile appliance.  Its reply reaches a script whose write-head is
 * Node's res.writeHead and whose body callback writes to the client: a head
 * that res.writeHead throws on, or body bytes past the response's own end (a
 * second response for the client), must never get there, and a head that
 * never ends must not hold memory without bound.  Every case is fed whole,
 * and one byte at a time. */
namespace {

/* The text whole, and one byte per payload after its first `first` bytes. */
std::vector<std::vector<std::string>> whole_and_bytewise(const std::string& text, size_t first = 1)
{
    std::vector<size_t> every;
    for (size_t c = first; c < text.size(); ++c)
        every.push_back(c);
    return {{text}, cut_at(text, every)};
}

const std::string k_smuggled = "HTTP/1.1 200 OK\r\nSet-Cookie: sid=evil\r\nContent-Length: 8\r\n\r\n<script>";

} // namespace

TEST(Appliance, BytesPastTheResponseEndFailTheRelayUnseen)
{
    const std::string gz = zel_test::gzip_of(k_hundred);
    struct row {
        const char* name;
        std::string reply;      /* a whole response */
        std::string behind;     /* what follows it */
        std::string delivered;
        const char* accept = "";
    } rows[] = {
        {"three bytes over Content-Length", response("Content-Length: 3\r\n", "abc"), "def", "abc"},
        {"a response behind the declared body", response("Content-Length: 3\r\n", "abc"), k_smuggled, "abc"},
        {"Content-Length 0 and a body", response("Content-Length: 0\r\n", ""), "5\r\nhello\r\n0\r\n\r\n", ""},
        {"gzip body inflated, then more", response(length_line(gz.size()), gz), k_smuggled, k_hundred},
        {"gzip body passed on, then more", response(length_line(gz.size()), gz), "x", gz, "gzip"},
        {"a response behind the chunked body", response("", k_hundred_chunked), k_smuggled, k_hundred},
        {"another chunk behind the chunked body", response("", k_hundred_chunked), "\r\n5\r\nhello", k_hundred},
        {"junk behind an empty chunked body", response("", "0\r\n\r\n"), "junk", ""},
        {"a response behind trailer fields", response("", "3\r\nabc\r\n0\r\nX-Sum: 1\r\n\r\n"), k_smuggled, "abc"},
    };
    for (const row& r : rows) {
        /* The relay reads gzip's magic bytes and the first size line in the
         * body bytes that come with the head: those arrive together. */
        const size_t head = r.reply.find("\r\n\r\n") + 4;
        const size_t first = r.reply.find("Content-Length") != std::string::npos
                                 ? std::min(head + 2, r.reply.size())
                                 : r.reply.find("\r\n", head) + 2;
        for (const std::vector<std::string>& payloads : whole_and_bytewise(r.reply + r.behind, first)) {
            const std::string how = std::string(r.name) + (payloads.size() > 1 ? ", bytewise" : ", whole");
            relay_harness h(r.accept);
            const std::vector<int> results = h.feed_all(payloads);
            /* The relay fails with the first byte past the end, after what
             * came before it was handed on. */
            EXPECT_EQ(results.size(), payloads.size() > 1 ? r.reply.size() - first + 2 : 1) << how;
            EXPECT_EQ(results.back(), -1) << how;
            EXPECT_EQ(bridge().body(), r.delivered) << how;
            EXPECT_EQ(bridge().write_heads.size(), 1u) << how;
        }
        /* The same reply without the bytes behind it is relayed whole. */
        relay_harness h(r.accept);
        EXPECT_GE(h.feed(r.reply), 0) << r.name;
        EXPECT_TRUE(api_zel_response_complete(&h.si)) << r.name;
    }
}

/* A length that is not one plain number, or that does not fit an int, used
 * to be read as far as strtoul got and then cut to 32 bits (4294967298 was
 * 2).  Such a head is refused before write-head, as are framing fields that
 * disagree about where the body ends. */
TEST(Appliance, ContentLengthIsOnePlainNumberThatFitsAndAgreesWithTheFraming)
{
    struct value_row {
        const char* text;
        int length;  /* -1: refused */
    } values[] = {
        {"5", 5},           {" 5 ", 5},          {"\t5\t", 5},      {"007", 7},
        {"0", 0},           {"2147483647", INT_MAX},               {"2147483648", -1},
        {"4294967298", -1}, {"99999999999999999999", -1},          {"-1", -1},
        {"+5", -1},         {"5a", -1},          {"0x10", -1},      {"1e3", -1},
        {"5 5", -1},        {"5,5", -1},         {"5, 5", -1},      {"", -1},
        {"  ", -1},         {"\xd9\xa5", -1},
    };
    for (const value_row& v : values) {
        EXPECT_EQ(api_zel_content_length_of(v.text, static_cast<int>(strlen(v.text))), v.length) << v.text;
        relay_harness h;
        const int result = h.feed(response("Content-Length:" + std::string(v.text) + "\r\n", ""));
        EXPECT_EQ(result < 0, v.length < 0) << v.text;
        EXPECT_EQ(bridge().write_heads.size(), v.length < 0 ? 0u : 1u) << v.text;
    }

    struct head_row {
        const char* name;
        std::string lines;
        bool refused;
    } heads[] = {
        {"the same length twice", "Content-Length: 5\r\ncontent-length:5 \r\n", false},
        {"two lengths", "Content-Length: 5\r\nContent-Length: 6\r\n", true},
        {"two lengths, the real one last", "Content-Length: 50\r\nContent-Length: 5\r\n", true},
        {"length and chunked coding", "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n", true},
        {"chunked coding and length", "Transfer-Encoding: chunked\r\nContent-Length: 5\r\n", true},
        {"length and identity coding", "Content-Length: 5\r\nTransfer-Encoding: identity\r\n", true},
        {"a bare-LF length line", "Content-Length: 5\nX-A: 1\r\n", false},
    };
    for (const head_row& r : heads) {
        for (const std::vector<std::string>& payloads : whole_and_bytewise(response(r.lines, "hello"))) {
            relay_harness h;
            const std::vector<int> results = h.feed_all(payloads);
            EXPECT_EQ(results.back() < 0, r.refused) << r.name;
            EXPECT_EQ(bridge().write_heads.size(), r.refused ? 0u : 1u) << r.name;
            EXPECT_EQ(bridge().body(), r.refused ? "" : "hello") << r.name;
            EXPECT_EQ(h.si.stored_header, nullptr) << r.name;
        }
    }
}

/* A head is held until its end arrives, but never more than 64 KiB of it:
 * the payload that takes it past the cap fails, the held part is freed, and
 * write-head is never called. */
TEST(Appliance, HeadIsHeldUpTo64KiBAndRefusedPastIt)
{
    const std::string status = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n";
    /* A head of exactly `len` bytes: status line, length, padding, end. */
    const auto head_of = [&](size_t len) {
        return status + "X-Pad: " + std::string(len - status.size() - 7 - 4, 'p') + "\r\n\r\n";
    };
    struct row {
        const char* name;
        std::string text;
        size_t payload;   /* bytes per payload */
        bool refused;
    } rows[] = {
        {"64 KiB head", head_of(API_ZEL_HEAD_MAX) + "ok", 4084, false},
        {"64 KiB head, its end cut", head_of(API_ZEL_HEAD_MAX) + "ok", 65534, false},
        {"64 KiB and one byte", head_of(API_ZEL_HEAD_MAX + 1) + "ok", 4084, true},
        {"64 KiB and one byte, one payload", head_of(API_ZEL_HEAD_MAX + 1) + "ok", 70000, true},
        {"64 KiB and one byte, its end cut", head_of(API_ZEL_HEAD_MAX + 1) + "ok", 65535, true},
        {"a head that never ends", status + std::string(200000, 'x'), 4084, true},
        {"a field that never ends", status + "X-A: " + std::string(200000, 'a'), 1000, true},
    };
    for (const row& r : rows) {
        std::vector<size_t> cuts;
        for (size_t at = r.payload; at < r.text.size(); at += r.payload)
            cuts.push_back(at);
        relay_harness h;
        const std::vector<int> results = h.feed_all(cut_at(r.text, cuts));
        EXPECT_EQ(results.back() < 0, r.refused) << r.name;
        if (r.refused) {
            /* The failure comes with the payload that passes the cap. */
            EXPECT_EQ((results.size() - 1) * r.payload <= API_ZEL_HEAD_MAX, true) << r.name;
            EXPECT_GT(results.size() * r.payload, static_cast<size_t>(API_ZEL_HEAD_MAX)) << r.name;
        }
        EXPECT_EQ(bridge().write_heads.size(), r.refused ? 0u : 1u) << r.name;
        EXPECT_EQ(h.si.stored_header, nullptr) << r.name;
        EXPECT_EQ(h.si.stored_hdr_size, 0) << r.name;
    }
}

/* Heads that res.writeHead throws on: a field value with a control byte, a
 * field name that is not a token, a status outside 100 to 999.  Each fails
 * the relay before write-head; the heads next to them still pass, with the
 * value the script gets.  Lines ended by a bare LF parse as CR LF lines. */
TEST(Appliance, OnlyHeadsWriteHeadTakesAreHandedOn)
{
    using namespace std::string_literals;
    struct row {
        std::string head;          /* up to the end marker, which is added */
        int status;                /* 0: refused */
        header_map header;
    } rows[] = {
        {"HTTP/1.1 200 OK\r\nX-Bad: a\x01" "b", 0, {}},
        {"HTTP/1.1 200 OK\r\nX-Bad: a\x7f" "b", 0, {}},
        {"HTTP/1.1 200 OK\r\nX-Bad: a\0b"s, 0, {}},
        {"HTTP/1.1 200 OK\r\nX-Bad: a\rb", 0, {}},
        {"HTTP/1.1 200 OK\r\nX-Bad: a\x1b[31m", 0, {}},
        {"HTTP/1.1 200 OK\r\nX-Bad: a\x0b" "b", 0, {}},
        {"HTTP/1.1 200 OK\r\nX-Tab: a\tb", 200, {{"x-tab", "a\tb"}}},
        {"HTTP/1.1 200 OK\r\nX-Latin: caf\xe9", 200, {{"x-latin", "caf\xe9"}}},
        {"HTTP/1.1 200 OK\r\nX-Utf8: \xe2\x82\xac", 200, {{"x-utf8", "\xe2\x82\xac"}}},
        {"HTTP/1.1 200 OK\r\nBad Name: x", 0, {}},
        {"HTTP/1.1 200 OK\r\nBad\"Name: x", 0, {}},
        {"HTTP/1.1 200 OK\r\nX-\xc3\xa9: x", 0, {}},
        {"HTTP/1.1 200 OK\r\nContent-Type : text/html", 0, {}},
        {"HTTP/1.1 200 OK\r\n: x", 0, {}},
        {"HTTP/1.1 200 OK\r\nno colon here", 0, {}},
        /* Obsolete line folding: a continuation line has no name. */
        {"HTTP/1.1 200 OK\r\nX-A: 1\r\n folded", 0, {}},
        {"HTTP/1.1 200 OK\r\nX-A: 1\r\n\tfolded", 0, {}},
        {"HTTP/1.1 200 OK\nX-A: 1\nX-B: 2\n", 200, {{"x-a", "1"}, {"x-b", "2"}}},
        {"HTTP/1.1 200 OK\r\nX-A: 1\n\nX-B: 2", 200, {{"x-a", "1"}, {"x-b", "2"}}},
        /* A Trailer field is not handed on: trailers never are. */
        {"HTTP/1.1 200 OK\r\nTrailer: X-Sum\r\nX-A: 1", 200, {{"x-a", "1"}}},
        {"HTTP/1.1 99 Too Low", 0, {}},
        {"HTTP/1.1 099 Too Low", 0, {}},
        {"HTTP/1.1 000 Zero", 0, {}},
        {"HTTP/1.1 1000 Too High", 0, {}},
        {"HTTP/1.1 -200 OK", 0, {}},
        {"HTTP/1.1  200 OK", 0, {}},
        {"HTTP/1.1 200OK", 0, {}},
        {"HTTP/1.1 20 OK", 0, {}},
        {"HTTP/1.1 200 O\x01K", 0, {}},
        {"HTTP/2 200 OK", 0, {}},
        {"HTTP/1.1x 200 OK", 0, {}},
        {"http/1.1 200 OK", 0, {}},
        {"HTTP/1.1 200", 200, {}},
        {"HTTP/1.1 200 ", 200, {}},
        {"HTTP/1.0 404 Not Found", 404, {}},
        {"HTTP/1.1 100 Continue", 100, {}},
        {"HTTP/1.1 999 Whatever", 999, {}},
    };
    for (const row& r : rows) {
        /* No body: the head is all there is to judge. */
        const std::string text = r.head + "\r\n\r\n";
        for (const std::vector<std::string>& payloads : whole_and_bytewise(text)) {
            const std::string how = testing::PrintToString(r.head) + (payloads.size() > 1 ? ", bytewise" : "");
            relay_harness h;
            const std::vector<int> results = h.feed_all(payloads);
            EXPECT_EQ(results.back() < 0, r.status == 0) << how;
            EXPECT_EQ(h.si.stored_header, nullptr) << how;
            if (r.status == 0) {
                EXPECT_TRUE(bridge().write_heads.empty()) << how;
                EXPECT_EQ(bridge().body_calls, 0) << how;
                continue;
            }
            ASSERT_EQ(bridge().write_heads.size(), 1u) << how;
            EXPECT_EQ(bridge().write_heads[0].first, r.status) << how;
            EXPECT_EQ(bridge().write_heads[0].second, r.header) << how;
        }
        /* The parser alone agrees, and gives the host nothing for a refused
         * head. */
        relay_harness h;
        const std::string head = r.head + "\r\n\r\n";
        EXPECT_EQ(api_zel_parse_response_header(&h.cb, head.data(), static_cast<int>(head.size())),
                  r.status == 0 ? 0 : static_cast<int>(head.size()))
            << testing::PrintToString(r.head);
        if (r.status == 0) {
            EXPECT_TRUE(bridge().header.empty() && bridge().status == 0) << testing::PrintToString(r.head);
        }
    }
}
