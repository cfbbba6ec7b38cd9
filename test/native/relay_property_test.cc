/* Randomized responses of many shapes, fed to the processor in payloads cut
 * at random points, at every single point and at every pair of points.  For
 * each run the script must see exactly the expected body, one write-head call
 * before any body piece, the header object with exactly the relay's field
 * changes, no piece over 4096 bytes, no negative result on the way and a
 * positive final result.
 *
 * The seed is printed; set ZEL_SEED to replay a failure. */
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/bridge_double.h"
#include "support/relay_harness.h"

using zel_test::bridge;
using zel_test::header_map;
using zel_test::relay_harness;

namespace {

uint64_t test_seed()
{
    static const uint64_t seed = [] {
        const char* env = getenv("ZEL_SEED");
        const uint64_t s = env != nullptr && *env != '\0' ? strtoull(env, nullptr, 0) : std::random_device{}();
        printf("relay property seed: ZEL_SEED=%llu\n", static_cast<unsigned long long>(s));
        return s;
    }();
    return seed;
}

struct client {
    const char* accept;
    bool accepts_gzip;
};
constexpr client k_clients[] = {
    {"gzip", true}, {"deflate, gzip", true}, {"", false}, {"gzip, deflate", false}, {"deflate", false},
};

/* One response as the daemon sends it, and what its body is. */
struct shape {
    std::string plain;        /* the body as the application wrote it */
    std::string wire_body;    /* gzip of plain, or plain */
    std::string text;         /* header and framed body */
    size_t header_len = 0;
    bool content_length = false;
    bool gzip = false;
    client who{};
    std::string describe;
};

class generator {
public:
    explicit generator(uint64_t seed) : rng_(seed) {}

    size_t below(size_t n) { return n == 0 ? 0 : std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
    bool coin(int percent) { return below(100) < static_cast<size_t>(percent); }

    std::string body(size_t len)
    {
        std::string s(len, '\0');
        const bool binary = coin(30);
        for (char& c : s) {
            /* Text from a small alphabet compresses; binary brings NULs and
             * stray CR LF into the body. */
            c = binary ? static_cast<char>(below(256)) : "abc\r\n{}\":, 0123"[below(16)];
        }
        return s;
    }

    std::string size_line(size_t size)
    {
        static const char* lower = "0123456789abcdef";
        static const char* upper = "0123456789ABCDEF";
        const char* digits = coin(50) ? lower : upper;
        std::string hex;
        do {
            hex.insert(hex.begin(), digits[size % 16]);
            size /= 16;
        } while (size != 0);
        hex.insert(0, below(3), '0');
        /* Extensions keep the whole boundary within 31 bytes. */
        if (coin(30)) {
            std::string ext = ";" + std::string(1, static_cast<char>('a' + below(26)));
            if (coin(50))
                ext += "=" + std::string(below(27 - hex.size() - ext.size() - 1), 'v');
            hex += ext;
        }
        return hex + "\r\n";
    }

    std::string chunked(const std::string& body, size_t max_chunk)
    {
        std::string out;
        for (size_t at = 0; at < body.size();) {
            const size_t n = std::min(body.size() - at, 1 + below(max_chunk));
            out += size_line(n) + body.substr(at, n) + "\r\n";
            at += n;
        }
        return out + size_line(0) + "\r\n";
    }

    shape response(size_t max_body, size_t max_chunk)
    {
        shape s;
        s.content_length = coin(50);
        s.gzip = coin(50);
        s.who = k_clients[below(std::size(k_clients))];
        size_t len = below(max_body + 1);
        /* A Content-Length body is never empty (0 means chunked), nor is a
         * gzip body, whose inflated count is the final result. */
        if ((s.content_length || s.gzip) && len == 0)
            len = 1;
        s.plain = body(len);
        s.wire_body = s.gzip ? zel_test::gzip_of(s.plain, static_cast<int>(below(10))) : s.plain;

        std::string header = "HTTP/1.1 200 OK\r\nX-T: 1\r\n";
        std::string framed = s.wire_body;
        if (s.content_length) {
            header += "Content-Length: " + std::to_string(framed.size()) + "\r\n";
        } else {
            header += "Transfer-Encoding: chunked\r\n";
            framed = chunked(s.wire_body, max_chunk);
        }
        if (s.gzip)
            header += "Content-Encoding: gzip\r\n";
        header += "\r\n";
        s.header_len = header.size();
        s.text = header + framed;

        std::ostringstream d;
        d << (s.content_length ? "content-length" : "chunked") << (s.gzip ? " gzip" : " plain") << " body "
          << s.plain.size() << " wire " << s.text.size() << " accept '" << s.who.accept << "'";
        s.describe = d.str();
        return s;
    }

    /* Payload sizes as the transport may deliver them: at most 4096 bytes,
     * often tiny, now and then a datagram without payload. */
    std::vector<std::string> random_payloads(const std::string& text)
    {
        std::vector<std::string> out;
        for (size_t at = 0; at < text.size();) {
            if (coin(3)) {
                out.emplace_back();
                continue;
            }
            const size_t cap = coin(30) ? 8 : coin(50) ? 64 : 4096;
            const size_t n = std::min(text.size() - at, 1 + below(cap));
            out.push_back(text.substr(at, n));
            at += n;
        }
        return out;
    }

private:
    std::mt19937_64 rng_;
};

std::vector<std::string> cut_at(const std::string& text, const std::vector<size_t>& cuts)
{
    std::vector<std::string> out;
    size_t from = 0;
    for (size_t c : cuts) {
        out.push_back(text.substr(from, c - from));
        from = c;
    }
    out.push_back(text.substr(from));
    return out;
}

/* What the relay must make of `s` delivered as `payloads`. */
struct expected {
    std::string body;
    header_map header;
    int final_result = 1;
};

expected expect(const shape& s, const std::vector<std::string>& payloads)
{
    /* Body bytes that came in the payload completing the header. */
    size_t seen = 0;
    size_t with_header = 0;
    for (const std::string& p : payloads) {
        seen += p.size();
        if (seen >= s.header_len) {
            with_header = seen - s.header_len;
            break;
        }
    }
    const std::string framed = s.text.substr(s.header_len);
    const bool gzip_seen = with_header >= 2 && static_cast<unsigned char>(framed[0]) == 0x1F &&
                           static_cast<unsigned char>(framed[1]) == 0x8B;
    const bool streaming = !s.content_length || with_header < framed.size();
    const bool inflate = gzip_seen && !s.who.accepts_gzip;

    expected e;
    e.header["x-t"] = "1";
    if (s.content_length)
        e.header["content-length"] = std::to_string(framed.size());
    else
        e.header["transfer-encoding"] = "chunked";
    if (s.gzip)
        e.header["content-encoding"] = "gzip";
    if (streaming) {
        e.header.erase("content-length");
        e.header.erase("transfer-encoding");
        if (gzip_seen && s.who.accepts_gzip)
            e.header["content-encoding"] = "gzip";
    }
    if (inflate) {
        e.header.erase("content-length");
        e.header.erase("content-encoding");
    }
    e.body = inflate ? s.plain : s.wire_body;
    e.final_result = !streaming && inflate ? static_cast<int>(s.plain.size()) : 1;
    return e;
}

std::string show_cuts(const std::vector<std::string>& payloads)
{
    std::ostringstream o;
    o << "payload sizes:";
    for (const std::string& p : payloads)
        o << ' ' << p.size();
    return o.str();
}

::testing::AssertionResult relays_exactly(const shape& s, const std::vector<std::string>& payloads)
{
    const expected e = expect(s, payloads);
    relay_harness h(s.who.accept);
    std::vector<int> results;
    for (const std::string& p : payloads) {
        results.push_back(h.feed(p));
        if (results.back() < 0)
            break;
    }
    auto fail = [&](const std::string& what) {
        std::ostringstream o;
        o << what << "\n  " << s.describe << "\n  " << show_cuts(payloads) << "\n  results:";
        for (int r : results)
            o << ' ' << r;
        return ::testing::AssertionFailure() << o.str();
    };

    for (size_t i = 0; i + 1 < results.size(); ++i) {
        if (results[i] < 0)
            return fail("negative result for payload " + std::to_string(i));
    }
    if (results.size() != payloads.size() || results.back() != e.final_result)
        return fail("final result, expected " + std::to_string(e.final_result));
    const zel_test::bridge_record& b = bridge();
    if (b.write_heads.size() != 1)
        return fail("write-head calls: " + std::to_string(b.write_heads.size()));
    const int first_body = b.first_log("body");
    if (first_body >= 0 && first_body < b.first_log("write-head"))
        return fail("body piece before write-head");
    if (b.write_heads[0].status != 200)
        return fail("status");
    if (b.write_heads[0].header != e.header)
        return fail("header object");
    if (b.oversized_pieces != 0)
        return fail("piece over 4096 bytes");
    if (b.body() != e.body)
        return fail("body differs: got " + std::to_string(b.body().size()) + " bytes, expected " +
                    std::to_string(e.body.size()));
    if (h.si.stored_header != nullptr || h.si.decode_buf.buff != nullptr)
        return fail("held header or decode buffer left after the response");
    return ::testing::AssertionSuccess();
}

} // namespace

TEST(RelayProperty, RandomShapesRandomCuts)
{
    generator gen(test_seed());
    for (int i = 0; i < 400; ++i) {
        const bool large = gen.coin(40);
        const shape s = large ? gen.response(20000, 6000) : gen.response(300, 40);
        for (int k = 0; k < 4; ++k)
            ASSERT_TRUE(relays_exactly(s, gen.random_payloads(s.text))) << "ZEL_SEED=" << test_seed();
    }
}

TEST(RelayProperty, SmallResponsesCutAtEveryPoint)
{
    generator gen(test_seed() + 1);
    for (int i = 0; i < 60; ++i) {
        const shape s = gen.response(120, 12);
        ASSERT_TRUE(relays_exactly(s, {s.text})) << "ZEL_SEED=" << test_seed();
        for (size_t c = 1; c < s.text.size(); ++c)
            ASSERT_TRUE(relays_exactly(s, cut_at(s.text, {c}))) << "ZEL_SEED=" << test_seed();
    }
}

TEST(RelayProperty, TinyResponsesCutAtEveryPairOfPoints)
{
    generator gen(test_seed() + 2);
    for (int i = 0; i < 8; ++i) {
        const shape s = gen.response(24, 6);
        for (size_t a = 1; a < s.text.size(); ++a) {
            for (size_t c = a + 1; c < s.text.size(); ++c)
                ASSERT_TRUE(relays_exactly(s, cut_at(s.text, {a, c}))) << "ZEL_SEED=" << test_seed();
        }
    }
}

TEST(RelayProperty, OneBytePayloads)
{
    generator gen(test_seed() + 3);
    for (int i = 0; i < 40; ++i) {
        const shape s = gen.response(200, 30);
        std::vector<size_t> cuts;
        for (size_t c = 1; c < s.text.size(); ++c)
            cuts.push_back(c);
        ASSERT_TRUE(relays_exactly(s, cut_at(s.text, cuts))) << "ZEL_SEED=" << test_seed();
    }
}
