// Throughput of the response relay against plain baselines, in one run.
//
//   chunked: de-framing a chunked body in place and handing it on, against
//            copying the same payloads into the 4096-byte piece buffer;
//   gzip:    streaming inflate through the relay, against zlib inflating the
//            same compressed body in one call.
//
// Prints one line per case with both rates and their ratio (relay/baseline
// time); ratios, not seconds, are what to compare between builds.
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "modules/api/api_zel_header.h"
#include "modules/api/api_zel_inflate.h"
#include "modules/api/api_zel_stream.h"
#include "support/host_double.h"

// The relay's host is the tests' recording double with piece recording off:
// it copies each piece into a 4096-byte buffer and counts it, as the real host
// copies it into its Buffer.  The baseline copies into this one.
static char g_piece[4096];

namespace {

constexpr int kPayload = 4084; // the reference daemon's payload size

using clock_type = std::chrono::steady_clock;

template <class F>
double best_seconds(int rounds, F&& f)
{
    double best = 1e9;
    for (int i = 0; i < rounds; ++i) {
        auto t0 = clock_type::now();
        f();
        best = std::min(best, std::chrono::duration<double>(clock_type::now() - t0).count());
    }
    return best;
}

std::vector<std::string> cut(const std::string& text)
{
    std::vector<std::string> out;
    for (size_t at = 0; at < text.size(); at += kPayload)
        out.push_back(text.substr(at, kPayload));
    return out;
}

size_t relay(const std::vector<std::string>& payloads, const char* accept)
{
    stream_callback_params cb{};
    stream_response_info si{};
    zel_test::install_host_double(&cb);
    zel_test::bridge().keep_pieces = false;
    api_zel_init_stream_info(&si, &cb, accept);
    std::vector<char> buf(kPayload + 1);
    for (const auto& p : payloads) {
        memcpy(buf.data(), p.data(), p.size());
        if (api_zel_chunked_response(buf.data(), static_cast<int>(p.size()), &si) < 0)
            break;
    }
    cleanup_stored_header(&si);
    cleanup_decomp_buff(&si);
    return zel_test::bridge().body_bytes;
}

void report(const char* name, size_t bytes, double relay_s, double base_s)
{
    printf("%-8s %6.1f MiB  relay %8.1f MiB/s  baseline %8.1f MiB/s  ratio %.2f\n", name,
           static_cast<double>(bytes) / 1048576.0, static_cast<double>(bytes) / 1048576.0 / relay_s,
           static_cast<double>(bytes) / 1048576.0 / base_s, relay_s / base_s);
}

} // namespace

int main()
{
    const size_t body_size = 16u << 20;
    std::mt19937 rng(42);
    std::string body(body_size, '\0');
    for (auto& c : body)
        c = static_cast<char>('a' + rng() % 26);

    // Chunked: uneven chunk sizes, as servers that stream produce them.
    std::string chunked = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n";
    for (size_t at = 0; at < body.size();) {
        size_t n = std::min<size_t>(body.size() - at, 100 + rng() % 8000);
        char line[32];
        snprintf(line, sizeof line, "%zx\r\n", n);
        chunked += line;
        chunked.append(body, at, n);
        chunked += "\r\n";
        at += n;
    }
    chunked += "0\r\n\r\n";
    const auto chunked_payloads = cut(chunked);
    size_t got = 0;
    const double relay_s = best_seconds(5, [&] { got = relay(chunked_payloads, "gzip"); });
    const double copy_s = best_seconds(5, [&] {
        for (const auto& p : chunked_payloads)
            memcpy(g_piece, p.data(), std::min(p.size(), sizeof g_piece));
    });
    if (got != body.size()) {
        fprintf(stderr, "chunked relay delivered %zu of %zu bytes\n", got, body.size());
        return 1;
    }
    report("chunked", body.size(), relay_s, copy_s);

    // Gzip, streamed (Content-Length larger than the first payload), for a
    // client that does not accept gzip.
    uLongf packed_len = compressBound(body.size()) + 64;
    std::string packed(packed_len, '\0');
    z_stream zs{};
    deflateInit2(&zs, 6, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
    zs.next_in = reinterpret_cast<Bytef*>(body.data());
    zs.avail_in = static_cast<uInt>(body.size());
    zs.next_out = reinterpret_cast<Bytef*>(packed.data());
    zs.avail_out = static_cast<uInt>(packed.size());
    deflate(&zs, Z_FINISH);
    packed.resize(zs.total_out);
    deflateEnd(&zs);
    const std::string gz = "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: " +
                           std::to_string(packed.size()) + "\r\n\r\n" + packed;
    const auto gz_payloads = cut(gz);
    const double gz_relay_s = best_seconds(3, [&] { got = relay(gz_payloads, "deflate"); });
    std::string out(body.size(), '\0');
    const double gz_base_s = best_seconds(3, [&] {
        z_stream is{};
        inflateInit2(&is, 47);
        is.next_in = reinterpret_cast<Bytef*>(packed.data());
        is.avail_in = static_cast<uInt>(packed.size());
        is.next_out = reinterpret_cast<Bytef*>(out.data());
        is.avail_out = static_cast<uInt>(out.size());
        inflate(&is, Z_FINISH);
        inflateEnd(&is);
    });
    if (got != body.size()) {
        fprintf(stderr, "gzip relay delivered %zu of %zu bytes\n", got, body.size());
        return 1;
    }
    report("gzip", body.size(), gz_relay_s, gz_base_s);
    return 0;
}
