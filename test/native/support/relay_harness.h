/* The relay's records wired up the way the request composer does it, with
 * the bridge double behind them, and payloads fed the way the transport feeds
 * them: each in its own heap block with exactly one writable byte after it,
 * so that the sanitizer sees any access beyond. */
#ifndef ZEL_TEST_SUPPORT_RELAY_HARNESS_H
#define ZEL_TEST_SUPPORT_RELAY_HARNESS_H

#include <string>
#include <string_view>
#include <vector>

#include "modules/api/api_zel_stream.h"

namespace zel_test {

struct relay_harness {
    stream_callback_params cb{};
    stream_response_info si{};
    char js_buffer[4096] = {};

    /* Resets the bridge double and links fresh records. */
    explicit relay_harness(const char* accept_encoding = "");
    /* Frees what the relay may have left, as the composer does. */
    ~relay_harness();
    relay_harness(const relay_harness&) = delete;
    relay_harness& operator=(const relay_harness&) = delete;

    /* Hands one payload to the processor and returns its result. */
    int feed(std::string_view payload);
    /* Feeds `response` cut at the given offsets (ascending, inside the
     * text); returns every processor result in order. */
    std::vector<int> feed_cut(std::string_view response, const std::vector<size_t>& cuts);
};

/* gzip-wrapped deflate of `plain` at `level`. */
std::string gzip_of(std::string_view plain, int level = 6);
/* Inflates a gzip or zlib text; the test fails if it is not one. */
std::string gunzip(std::string_view packed);

} // namespace zel_test

#endif
