/* The relay's records wired up as the request composer does it, with the
 * recording host double (host_double.h) installed behind them.  Payloads are
 * fed each in its own heap block with exactly one writable byte after it, as
 * the transport hands them over, so the sanitizer sees any access beyond. */
#ifndef ZEL_TEST_SUPPORT_RELAY_HARNESS_H
#define ZEL_TEST_SUPPORT_RELAY_HARNESS_H

#include <zlib.h>

#include <string>
#include <string_view>
#include <vector>

#include "modules/api/api_zel_stream.h"
#include "support/host_double.h"

namespace zel_test {

struct relay_harness {
    stream_callback_params cb{};
    stream_response_info si{};

    /* Installs a cleared host double and links fresh records. */
    explicit relay_harness(const char* accept_encoding = "");
    /* Frees what the relay may have left, as the composer does. */
    ~relay_harness();
    relay_harness(const relay_harness&) = delete;
    relay_harness& operator=(const relay_harness&) = delete;

    /* Hands one payload to the processor and returns its result. */
    int feed(std::string_view payload);
    /* Feeds the payloads in order and returns the results; like the
     * transport, stops after the first negative one. */
    std::vector<int> feed_all(const std::vector<std::string>& payloads);
};

/* `text` cut at the given ascending offsets. */
std::vector<std::string> cut_at(std::string_view text, const std::vector<size_t>& cuts);
/* gzip-wrapped deflate of `plain` at `level`, ended by `flush`. */
std::string gzip_of(std::string_view plain, int level = 6, int flush = Z_FINISH);

} // namespace zel_test

#endif
