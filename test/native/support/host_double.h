/* A recording host for the relay, installed through the relay's operations
 * table in place of the addon's Node-API side.  The header object is a map
 * with lower-cased keys; switches make the status, write-head or body
 * callback fail the way a throwing script callback does (-1).  Shared by the
 * native tests and the relay benchmark. */
#ifndef ZEL_TEST_SUPPORT_HOST_DOUBLE_H
#define ZEL_TEST_SUPPORT_HOST_DOUBLE_H

#include <stddef.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "modules/api/api_zel_host.h"

namespace zel_test {

using header_map = std::map<std::string, std::string>;

/* What the relay did through the host, and the switches. */
struct bridge_record {
    int status = 0;
    header_map header;
    std::vector<std::pair<int, header_map>> write_heads; /* status and header object at each call */
    std::vector<std::string> pieces;                     /* body hand-overs the script took */
    size_t body_bytes = 0;                               /* bytes the script took */
    int body_calls = 0;                                  /* refused ones included */
    int pieces_before_head = 0;

    bool fail_status = false;
    bool fail_write_head = false;
    int fail_body_from = -1;    /* this body call (from 0) and every later one throws */
    bool keep_pieces = true;    /* false: only count and copy, as a host's Buffer would */

    std::string body() const;
};

/* The record of the double. */
bridge_record& bridge();

/* Clears the record, installs the double's table, and gives `cb` the header
 * object and piece Buffer the real host would. */
void install_host_double(stream_callback_params* cb);

} // namespace zel_test

#endif
