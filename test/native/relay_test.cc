/* Fixed cases of the response relay, each documenting one rule: gzip
 * acceptance, header lines, header parsing and holding, chunked decoding,
 * streaming by Content-Length, inflating, and failing script callbacks. */
#include <gtest/gtest.h>
#include <string.h>
#include <zlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "modules/api/api_zel_chunked.h"
#include "modules/api/api_zel_header.h"
#include "modules/api/api_zel_http_util.h"
#include "modules/api/api_zel_inflate.h"
#include "support/bridge_double.h"
#include "support/relay_harness.h"

using zel_test::bridge;
using zel_test::header_map;
using zel_test::relay_harness;

namespace {

std::string response(const std::string& lines, const std::string& body)
{
    return "HTTP/1.1 200 OK\r\n" + lines + "\r\n" + body;
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

TEST(StreamInfo, GzipAcceptanceByTheFirstGzipInTheText)
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

TEST(StreamInfo, InitLinksRecordsAndRefusesNullArguments)
{
    stream_response_info si;
    memset(&si, 0xA5, sizeof(si));
    stream_response_info before = si;
    stream_callback_params cb{};
    EXPECT_EQ(api_zel_init_stream_info(&si, nullptr, "gzip"), -1);
    EXPECT_EQ(memcmp(&si, &before, sizeof(si)), 0);
    EXPECT_EQ(api_zel_init_stream_info(nullptr, &cb, "gzip"), -1);

    ASSERT_EQ(api_zel_init_stream_info(&si, &cb, "deflate, gzip"), 0);
    EXPECT_EQ(si.cb_params, &cb);
    EXPECT_TRUE(si.gzip_accepted);
    EXPECT_EQ(si.stored_header, nullptr);
    EXPECT_EQ(si.decode_buf.buff, nullptr);
    /* Safe on a stream that never inflated, and twice. */
    cleanup_decomp_buff(&si);
    cleanup_decomp_buff(&si);
    cleanup_stored_header(&si);
}

TEST(HeaderLine, NameLowerCasedValueAfterSpaces)
{
    struct row {
        const char* line;
        header_map stored;
    } rows[] = {
        {"Content-Type:   application/json", {{"content-type", "application/json"}}},
        {"X-A:\tv", {{"x-a", "\tv"}}},
        {"Content-Type : text/html", {{"content-type ", "text/html"}}},
        {"no colon here", {}},
        {"X-Empty:", {}},
        {"X-Colon: a:b", {{"x-colon", "a:b"}}},
    };
    for (const row& r : rows) {
        relay_harness h;
        api_zel_set_header_by_line(&h.cb, r.line, static_cast<int>(strlen(r.line)));
        EXPECT_EQ(bridge().header, r.stored) << r.line;
    }

    relay_harness h;
    /* Only line_len bytes count. */
    api_zel_set_header_by_line(&h.cb, "X-Cut: abcdef", 9);
    EXPECT_EQ(bridge().header, (header_map{{"x-cut", "ab"}}));

    api_zel_set_header_by_line(&h.cb, "Set-Cookie: a=1", 15);
    api_zel_set_header_by_line(&h.cb, "Set-Cookie: b=2", 15);
    EXPECT_EQ(bridge().header.at("set-cookie"), "b=2");
}

TEST(ResponseHeader, WholeBodyInOnePayload)
{
    relay_harness h;
    const std::string text = response("Content-Type: application/json\r\nContent-Length: 5\r\n", "hello");
    EXPECT_EQ(h.feed(text), 1);
    ASSERT_EQ(bridge().write_heads.size(), 1u);
    EXPECT_EQ(bridge().write_heads[0].status, 200);
    EXPECT_EQ(bridge().write_heads[0].header,
              (header_map{{"content-type", "application/json"}, {"content-length", "5"}}));
    EXPECT_LT(bridge().first_log("write-head"), bridge().first_log("body"));
    EXPECT_EQ(bridge().pieces, std::vector<std::string>{"hello"});
    EXPECT_FALSE(h.si.is_chunked);
    EXPECT_EQ(h.si.stored_header, nullptr);
}

TEST(ResponseHeader, ParseResults)
{
    struct row {
        const char* name;
        std::string text;
        int header_len;  /* 0: does not parse */
        int status;
        header_map header;
    } rows[] = {
        {"crlf lines", "HTTP/1.1 201 Created\r\nA: 1\r\nB: 2\r\n\r\nbody", 36, 201, {{"a", "1"}, {"b", "2"}}},
        {"bare lf lines", "HTTP/1.1 404 Not Found\nA: 1\nB: 2\n\r\n\r\n", 37, 404, {{"a", "1"}, {"b", "2"}}},
        {"status line only", "HTTP/1.1 204 No Content\r\n\r\n", 27, 204, {}},
        {"no status number", "HTTP/1.1 OK\r\nA: 1\r\n\r\n", 0, 0, {}},
        {"not http", "HTTX/1.1 200 OK\r\n\r\n", 0, 0, {}},
        {"no end marker", "HTTP/1.1 200 OK\r\nA: 1\r\n", 0, 0, {}},
        {"no status after version", "HTTP/1.1\r\n\r\n200", 0, 0, {}},
    };
    for (const row& r : rows) {
        relay_harness h;
        EXPECT_EQ(api_zel_parse_response_header(&h.cb, r.text.data(), static_cast<int>(r.text.size())), r.header_len)
            << r.name;
        EXPECT_EQ(bridge().status, r.status) << r.name;
        EXPECT_EQ(bridge().header, r.header) << r.name;
    }
    relay_harness h;
    EXPECT_EQ(api_zel_parse_response_header(nullptr, "HTTP/1.1 200 OK\r\n\r\n", 19), 0);
    bridge().fail_status = true;
    EXPECT_EQ(api_zel_parse_response_header(&h.cb, "HTTP/1.1 200 OK\r\nA: 1\r\n\r\n", 25), 0);
    EXPECT_TRUE(bridge().header.empty());
}

TEST(ResponseHeader, StatusWithoutNumberFailsBeforeWriteHead)
{
    relay_harness h;
    EXPECT_EQ(h.feed("HTTP/1.1 OK\r\nContent-Length: 2\r\n\r\nhi"), -1);
    EXPECT_TRUE(bridge().write_heads.empty());
    EXPECT_TRUE(bridge().pieces.empty());
    EXPECT_EQ(h.si.stored_header, nullptr);
}

TEST(ResponseHeader, HeaderCutAcrossPayloads)
{
    const std::string text = response("Content-Length: 3\r\n", "abc");
    const size_t marker = text.find("\r\n\r\n");
    struct row {
        const char* name;
        std::vector<size_t> cuts;
        std::vector<int> results;
    } rows[] = {
        {"inside a name", {26}, {0, 1}},
        {"between the CR LF pairs", {marker + 2}, {0, 1}},
        {"before the last LF", {marker + 3}, {0, 1}},
        {"marker over four payloads", {marker + 1, marker + 2, marker + 3}, {0, 0, 0, 1}},
        {"header ends with the payload", {marker + 4}, {0, 1}},
    };
    for (const row& r : rows) {
        relay_harness h;
        EXPECT_EQ(h.feed_cut(text, r.cuts), r.results) << r.name;
        ASSERT_EQ(bridge().write_heads.size(), 1u) << r.name;
        EXPECT_EQ(bridge().write_heads[0].status, 200) << r.name;
        EXPECT_EQ(bridge().body(), "abc") << r.name;
        EXPECT_EQ(h.si.stored_header, nullptr) << r.name;
    }
}

TEST(ResponseHeader, HeaderEndingWithPayloadStreamsTheBody)
{
    relay_harness h;
    EXPECT_EQ(h.feed(response("Content-Length: 3\r\n", "")), 0);
    ASSERT_EQ(bridge().write_heads.size(), 1u);
    EXPECT_EQ(bridge().write_heads[0].header.count("content-length"), 0u);
    EXPECT_TRUE(bridge().pieces.empty());
    EXPECT_EQ(h.feed("ab"), 0);
    EXPECT_EQ(h.feed("c"), 1);
    EXPECT_EQ(bridge().body(), "abc");
}

TEST(ContentLength, StreamedInTwoPayloads)
{
    relay_harness h;
    const std::string body = pattern(6000);
    EXPECT_EQ(h.feed(response("Content-Length: 6000\r\n", body.substr(0, 3000))), 0);
    EXPECT_EQ(h.feed(body.substr(3000)), 1);
    EXPECT_EQ(piece_sizes(), (std::vector<int>{3000, 3000}));
    EXPECT_EQ(bridge().body(), body);
    EXPECT_TRUE(h.si.is_chunked);
}

TEST(ContentLength, MoreBytesThanDeclaredAreAllHandedOn)
{
    relay_harness h;
    EXPECT_EQ(h.feed(response("Content-Length: 3\r\n", "abcdef")), 1);
    EXPECT_FALSE(h.si.is_chunked);
    EXPECT_EQ(bridge().body(), "abcdef");
}

/* Chunked bodies, whole and cut.  Cut offsets count from the start of the
 * body; the header always travels with the first piece of it. */
TEST(Chunked, DecodingAcrossCuts)
{
    const std::string hex_case = "1A\r\n" + pattern(26) + "\r\n1a\r\n" + pattern(26) + "\r\n0\r\n\r\n";
    const std::string ext_case = "5;name=value\r\nhello\r\n6;q=\"x y\"\r\n world\r\n0;end\r\n\r\n";
    /* A boundary of exactly 31 bytes: CR LF, a 27-byte size line, CR LF. */
    const std::string long_line = "5;" + std::string(25, 'x');
    const std::string max_case = "3\r\nabc\r\n" + long_line + "\r\nhello\r\n0\r\n\r\n";
    const std::string tail_case = k_hundred_chunked;
    struct row {
        const char* name;
        std::string body;
        std::vector<size_t> cuts;
        std::vector<int> results;
        std::vector<int> sizes;
    } rows[] = {
        {"whole", k_hundred_chunked, {}, {1}, {100}},
        {"inside the 50-byte chunk", k_hundred_chunked, {65}, {0, 1}, {55, 45}},
        {"3 bytes into the second boundary", k_hundred_chunked, {37}, {0, 1}, {30, 70}},
        {"at a chunk's end", k_hundred_chunked, {34}, {0, 1}, {30, 70}},
        {"boundary over 1-byte payloads", k_hundred_chunked, {34, 35, 36, 37, 38}, {0, 0, 0, 0, 0, 1}, {30, 70}},
        {"framing-only last payload", k_hundred_chunked, {k_hundred_chunked.size() - 7}, {0, 1}, {100}},
        {"final CR LF alone", k_hundred_chunked, {k_hundred_chunked.size() - 2}, {1, 1}, {100}},
        {"right after the first size line", k_hundred_chunked, {4}, {0, 1}, {100}},
        {"inside the first size line", k_hundred_chunked, {1}, {0, 1}, {100}},
        {"before the first size line", k_hundred_chunked, {0}, {0, 1}, {100}},
        {"upper and lower case sizes", hex_case, {}, {1}, {52}},
        {"chunk extensions", ext_case, {}, {1}, {11}},
        {"chunk extensions cut", ext_case, {3, 9, 27}, {0, 0, 0, 1}, {5, 6}},
        {"31-byte boundary", max_case, {}, {1}, {8}},
        {"31-byte boundary cut", max_case, {10, 20, 30}, {0, 0, 0, 1}, {3, 5}},
        {"empty body", "0\r\n\r\n", {}, {1}, {}},
    };
    for (const row& r : rows) {
        relay_harness h;
        const std::string text = response("Transfer-Encoding: chunked\r\n", r.body);
        std::vector<size_t> cuts;
        for (size_t c : r.cuts)
            cuts.push_back(text.size() - r.body.size() + c);
        EXPECT_EQ(h.feed_cut(text, cuts), r.results) << r.name;
        EXPECT_EQ(piece_sizes(), r.sizes) << r.name;
        EXPECT_EQ(bridge().oversized_pieces, 0) << r.name;
        EXPECT_EQ(bridge().write_heads.size(), 1u) << r.name;
        EXPECT_TRUE(h.si.last_res_chunk) << r.name;
    }
    relay_harness h;
    EXPECT_EQ(h.feed(response("", k_hundred_chunked)), 1);
    EXPECT_EQ(bridge().body(), k_hundred);
    EXPECT_EQ(bridge().write_heads[0].header.count("transfer-encoding"), 0u);
}

TEST(Chunked, StateBetweenPayloads)
{
    const std::string head = response("", "");
    relay_harness inside_chunk;
    inside_chunk.feed(head + k_hundred_chunked.substr(0, 65));
    EXPECT_EQ(inside_chunk.si.remaining_res_chunk_size, 25);
    EXPECT_EQ(inside_chunk.si.metadata_len_in_buff, 0);

    /* A held boundary is finished by the payload's first bytes, which are
     * skipped by the offset rather than moved. */
    relay_harness h;
    h.feed(head + k_hundred_chunked.substr(0, 37));
    EXPECT_STREQ(h.si.metadata_buff, "\r\n3");
    EXPECT_EQ(h.si.metadata_len_in_buff, 3);
    std::string rest = k_hundred_chunked.substr(37);
    int offset = -1;
    int meta_size = -1;
    ASSERT_EQ(process_chunk_boundary(&h.si, rest.data(), static_cast<int>(rest.size()), &offset, &meta_size), 0);
    EXPECT_EQ(offset, 3);
    EXPECT_EQ(std::string(rest.data() + offset, rest.size() - meta_size), k_hundred.substr(30));
}

TEST(Chunked, MalformedFramingFails)
{
    const std::string over_long = "3\r\nabc\r\n5;" + std::string(26, 'x') + "\r\nhello\r\n0\r\n\r\n";
    struct row {
        const char* name;
        std::string body;
        std::vector<size_t> cuts;
        std::vector<int> results;
    } rows[] = {
        {"size line not hexadecimal", "zz\r\nabc\r\n0\r\n\r\n", {}, {-1}},
        {"JSON without Content-Length", "{\"a\":1}", {}, {-1}},
        {"JSON line without Content-Length", "{\"a\":1}\r\n", {}, {-1}},
        {"empty size line", "3\r\nabc\r\n\r\n3\r\nabc\r\n0\r\n\r\n", {}, {-1}},
        {"empty size line cut", "3\r\nabc\r\n\r\n3\r\nabc\r\n0\r\n\r\n", {8}, {0, -1}},
        /* Known bad as soon as the line's first byte is seen. */
        {"empty size line cut early", "3\r\nabc\r\n\r\n3\r\nabc\r\n0\r\n\r\n", {9}, {-1, -1}},
        {"size above int", "80000000\r\nabc", {}, {-1}},
        {"size above int in a later boundary", "3\r\nabc\r\n100000000\r\nabc", {}, {-1}},
        {"first size line too long, cut", "1" + std::string(30, '0'), {}, {-1}},
        {"32-byte boundary", over_long, {}, {-1}},
        {"32-byte boundary cut", over_long, {8, 20}, {0, 0, -1}},
        {"32-byte boundary in 1-byte payloads", over_long, {8, 9, 10, 11}, {0, 0, 0, 0, -1}},
    };
    for (const row& r : rows) {
        relay_harness h;
        const std::string text = response("", r.body);
        std::vector<size_t> cuts;
        for (size_t c : r.cuts)
            cuts.push_back(text.size() - r.body.size() + c);
        EXPECT_EQ(h.feed_cut(text, cuts), r.results) << r.name;
    }

    /* The largest int is a size, not an overflow. */
    relay_harness h;
    EXPECT_EQ(h.feed(response("", "7fffffff\r\nabc")), 0);
    EXPECT_EQ(h.si.remaining_res_chunk_size, 0x7fffffff - 3);
}

namespace {

const std::string k_plain_10000 = [] {
    std::string s;
    while (s.size() < 10000)
        s += "0123456789";
    return s;
}();

/* gzip of 5000 bytes ending in a full flush, then a block of the reserved
 * type: inflating fails after the first 4096 bytes were handed on. */
std::string corrupt_gzip()
{
    const std::string plain = pattern(5000);
    z_stream strm{};
    EXPECT_EQ(deflateInit2(&strm, 6, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(deflateBound(&strm, plain.size()) + 64, '\0');
    strm.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
    strm.avail_in = static_cast<uInt>(plain.size());
    strm.next_out = reinterpret_cast<Bytef*>(out.data());
    strm.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&strm, Z_FULL_FLUSH), Z_OK);
    out.resize(strm.total_out);
    deflateEnd(&strm);
    return out + "\x07garbage-after-the-bad-block";
}

} // namespace

TEST(Gzip, WholeBodyInflatedInBlocks)
{
    relay_harness h("deflate");
    const std::string packed = zel_test::gzip_of(k_plain_10000);
    ASSERT_LT(packed.size(), 200u);
    const std::string lines = "Content-Length: " + std::to_string(packed.size()) + "\r\nContent-Encoding: gzip\r\n";
    EXPECT_EQ(h.feed(response(lines, packed)), 10000);
    EXPECT_EQ(piece_sizes(), (std::vector<int>{4096, 4096, 1808}));
    EXPECT_EQ(bridge().body(), k_plain_10000);
    ASSERT_EQ(bridge().write_heads.size(), 1u);
    EXPECT_EQ(bridge().write_heads[0].header, header_map{});
    EXPECT_TRUE(h.si.need_decomp);
    EXPECT_EQ(h.si.decode_buf.buff, nullptr);
}

TEST(Gzip, ClientThatAcceptsGzipGetsTheCompressedBody)
{
    relay_harness h("gzip");
    const std::string packed = zel_test::gzip_of(k_plain_10000);
    const std::string length = std::to_string(packed.size());
    EXPECT_EQ(h.feed(response("Content-Length: " + length + "\r\nContent-Encoding: gzip\r\n", packed)), 1);
    EXPECT_EQ(bridge().pieces, std::vector<std::string>{packed});
    EXPECT_EQ(bridge().write_heads[0].header,
              (header_map{{"content-length", length}, {"content-encoding", "gzip"}}));
    EXPECT_FALSE(h.si.need_decomp);
}

TEST(Gzip, PayloadThatFillsAnOutputBlockExactlyIsNotAnError)
{
    /* Stored blocks inflate byte for byte, so a payload of the gzip header,
     * the block header and 4096 data bytes fills one output block exactly
     * and leaves inflate nothing to do on its next call. */
    relay_harness h("");
    const std::string plain = pattern(8192);
    const std::string packed = zel_test::gzip_of(plain, 0);
    ASSERT_EQ(static_cast<unsigned char>(packed[10]), 0x01) << "one final stored block expected";
    const std::string text = response("Content-Length: " + std::to_string(packed.size()) + "\r\n", "");
    EXPECT_EQ(h.feed(text + packed.substr(0, 15)), 0);
    EXPECT_EQ(h.feed(packed.substr(15, 4096)), 0);
    EXPECT_EQ(h.feed(packed.substr(15 + 4096)), 1);
    EXPECT_EQ(bridge().body(), plain);
}

TEST(Gzip, CorruptWholeBodyReturnsWhatWasInflated)
{
    relay_harness h("");
    const std::string packed = corrupt_gzip();
    EXPECT_EQ(h.feed(response("Content-Length: " + std::to_string(packed.size()) + "\r\n", packed)), 4096);
    EXPECT_EQ(bridge().body(), pattern(5000).substr(0, 4096));
}

TEST(Gzip, CorruptStreamedBodyFailsAndEndsInflating)
{
    relay_harness h("");
    const std::string packed = corrupt_gzip();
    const std::string text = response("Content-Length: " + std::to_string(packed.size() + 100) + "\r\n", packed);
    EXPECT_EQ(h.feed(text), -1);
    EXPECT_EQ(h.si.decode_buf.buff, nullptr);
    EXPECT_EQ(h.feed("more"), -1);
}

TEST(Gzip, OnlyGzipMagicInTheHeaderPayloadInflates)
{
    const std::string packed = zel_test::gzip_of("hello, hello, hello");
    const std::string lines = "Content-Length: " + std::to_string(packed.size()) + "\r\nContent-Encoding: gzip\r\n";
    {
        /* One body byte with the header: not known to be gzip, relayed as is. */
        relay_harness h("");
        EXPECT_EQ(h.feed_cut(response(lines, packed), {response(lines, "").size() + 1}), (std::vector<int>{0, 1}));
        EXPECT_EQ(bridge().body(), packed);
        EXPECT_EQ(bridge().write_heads[0].header.at("content-encoding"), "gzip");
    }
    {
        /* A zlib-wrapped (deflate) body is never inflated. */
        relay_harness h("");
        uLongf len = 256;
        std::string zlib_body(len, '\0');
        ASSERT_EQ(compress2(reinterpret_cast<Bytef*>(zlib_body.data()), &len,
                            reinterpret_cast<const Bytef*>("hello"), 5, 6), Z_OK);
        zlib_body.resize(len);
        EXPECT_EQ(h.feed(response("Content-Length: " + std::to_string(len) + "\r\n", zlib_body)), 1);
        EXPECT_EQ(bridge().body(), zlib_body);
    }
}

/* Which header fields the script sees changed, by relay mode, gzip body and
 * the client's acceptance of gzip. */
TEST(HeaderObject, FieldChangesByMode)
{
    const std::string packed = zel_test::gzip_of(k_plain_10000);
    const std::string plain = "plain body";
    struct row {
        const char* name;
        bool streaming;
        bool gzip;
        const char* accept;
        header_map expected;
        bool sets_encoding;
    } rows[] = {
        {"whole, plain", false, false, "gzip", {{"content-length", "10"}, {"transfer-encoding", "identity"}, {"x-trace", "t1"}}, false},
        {"whole, gzip, accepted", false, true, "gzip",
         {{"content-length", std::to_string(packed.size())}, {"transfer-encoding", "identity"},
          {"content-encoding", "gzip"}, {"x-trace", "t1"}}, false},
        {"whole, gzip, not accepted", false, true, "deflate", {{"transfer-encoding", "identity"}, {"x-trace", "t1"}}, false},
        {"streaming, plain", true, false, "deflate", {{"x-trace", "t1"}}, false},
        {"streaming, gzip, accepted", true, true, "gzip", {{"content-encoding", "gzip"}, {"x-trace", "t1"}}, true},
        {"streaming, gzip, not accepted", true, true, "", {{"x-trace", "t1"}}, false},
    };
    for (const row& r : rows) {
        relay_harness h(r.accept);
        const std::string& body = r.gzip ? packed : plain;
        std::string lines = "Content-Length: " + std::to_string(body.size() + (r.streaming ? 5 : 0)) +
                            "\r\nTransfer-Encoding: identity\r\nX-Trace: t1\r\n";
        if (r.gzip)
            lines += "Content-Encoding: gzip\r\n";
        EXPECT_GE(h.feed(response(lines, body)), 0) << r.name;
        ASSERT_EQ(bridge().write_heads.size(), 1u) << r.name;
        EXPECT_EQ(bridge().write_heads[0].header, r.expected) << r.name;
        /* Parsing stores the daemon's own field; the relay may set it again. */
        const auto sets = std::count(bridge().log.begin(), bridge().log.end(), "set content-encoding");
        EXPECT_EQ(sets, (r.gzip ? 1 : 0) + (r.sets_encoding ? 1 : 0)) << r.name;
        EXPECT_EQ(h.si.is_chunked, r.streaming) << r.name;
    }
}

TEST(Callbacks, FailingScriptCallbacks)
{
    const std::string packed = zel_test::gzip_of(k_plain_10000);
    const std::string gzip_lines = "Content-Length: " + std::to_string(packed.size()) + "\r\n";
    struct row {
        const char* name;
        const char* accept;
        bool fail_write_head;
        int fail_body_from;
        std::string text;
        int result;
        std::vector<int> taken;
    } rows[] = {
        /* The write-head result is dropped: the body still follows. */
        {"write-head throws", "", true, -1, response("Content-Length: 5\r\n", "hello"), 1, {5}},
        {"body throws, whole body", "", false, 0, response("Content-Length: 5\r\n", "hello"), 1, {}},
        {"body throws, streaming", "", false, 0, response("Content-Length: 9\r\n", "hello"), 0, {}},
        {"body throws, chunked", "", false, 0, response("", "5\r\nhello\r\n0\r\n\r\n"), 1, {}},
        /* The refused block is counted: it was inflated. */
        {"second block refused, whole gzip", "", false, 1, response(gzip_lines, packed), 8192, {4096}},
    };
    for (const row& r : rows) {
        relay_harness h(r.accept);
        bridge().fail_write_head = r.fail_write_head;
        bridge().fail_body_from = r.fail_body_from;
        EXPECT_EQ(h.feed(r.text), r.result) << r.name;
        EXPECT_EQ(piece_sizes(), r.taken) << r.name;
    }
}

TEST(Callbacks, FailingBodyEndsStreamedInflating)
{
    relay_harness h("");
    const std::string packed = zel_test::gzip_of(pattern(20000), 1);
    const std::string text = response("Content-Length: " + std::to_string(packed.size()) + "\r\n", packed);
    const size_t cut = text.size() - packed.size() + packed.size() / 2;
    bridge().fail_body_from = 0;
    EXPECT_EQ(h.feed(text.substr(0, cut)), 1);
    EXPECT_EQ(h.si.decode_buf.buff, nullptr);
    EXPECT_EQ(h.feed(text.substr(cut)), -1);
}

TEST(SendResponse, PiecesNeverExceedTheBuffer)
{
    std::string data = pattern(10000);
    struct row {
        const char* name;
        int len;
        int fail_from;
        int result;
        std::vector<int> taken;
    } rows[] = {
        {"empty", 0, -1, -1, {}},
        {"negative", -5, -1, -1, {}},
        {"one byte", 1, -1, 1, {1}},
        {"exactly the buffer", 4096, -1, 4096, {4096}},
        {"one past the buffer", 4097, -1, 4097, {4096, 1}},
        {"10000 bytes", 10000, -1, 10000, {4096, 4096, 1808}},
        {"second piece refused", 10000, 1, -1, {4096}},
    };
    for (const row& r : rows) {
        relay_harness h;
        bridge().fail_body_from = r.fail_from;
        EXPECT_EQ(api_zel_send_response(data.data(), r.len, &h.cb), r.result) << r.name;
        EXPECT_EQ(piece_sizes(), r.taken) << r.name;
        EXPECT_EQ(bridge().oversized_pieces, 0) << r.name;
    }
    relay_harness h;
    EXPECT_EQ(api_zel_send_response(nullptr, 5, &h.cb), -1);
    EXPECT_EQ(api_zel_send_response(data.data(), 5, nullptr), -1);
    EXPECT_TRUE(bridge().log.empty());
}
