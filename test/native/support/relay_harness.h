/* The relay's records wired up as the request composer does it, with a
 * recording stand-in for the Node-API side of the script bridge behind them.
 *
 * The stand-in replaces the addon's node_zel_* operations: the header object
 * is a map with lower-cased keys, and switches make the status, write-head or
 * body callback fail the way a throwing script callback does (-1).  Payloads
 * are fed each in its own heap block with exactly one writable byte after it,
 * as the transport hands them over, so the sanitizer sees any access beyond. */
#ifndef ZEL_TEST_SUPPORT_RELAY_HARNESS_H
#define ZEL_TEST_SUPPORT_RELAY_HARNESS_H

#include <zlib.h>

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "modules/api/api_zel_stream.h"

namespace zel_test {

using header_map = std::map<std::string, std::string>;

/* What the relay did through the bridge, and the switches. */
struct bridge_record {
    int status = 0;
    header_map header;
    std::vector<std::pair<int, header_map>> write_heads; /* status and header object at each call */
    std::vector<std::string> pieces;                     /* body pieces the script took */
    int body_calls = 0;                                  /* refused ones included */
    int pieces_before_head = 0;
    int oversized_pieces = 0;                            /* longer than the 4096-byte Buffer */

    bool fail_status = false;
    bool fail_write_head = false;
    int fail_body_from = -1; /* this body call (from 0) and every later one throws */

    std::string body() const;
};

/* The record of the current harness. */
bridge_record& bridge();

struct relay_harness {
    stream_callback_params cb{};
    stream_response_info si{};
    char js_buffer[4096] = {};

    /* Clears the bridge record and links fresh records. */
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
