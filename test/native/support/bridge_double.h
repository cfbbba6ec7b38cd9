/* Recording stand-in for the Node-API side of the script bridge, linked into
 * native tests in place of the addon's node_zel_* operations.  The header
 * object is a map with lower-cased keys; switches make the status, the
 * write-head function or the body callback fail the way a throwing script
 * callback does (the operation returns -1). */
#ifndef ZEL_TEST_SUPPORT_BRIDGE_DOUBLE_H
#define ZEL_TEST_SUPPORT_BRIDGE_DOUBLE_H

#include <map>
#include <string>
#include <vector>

#include "modules/api/api_zel_stream.h"

namespace zel_test {

using header_map = std::map<std::string, std::string>;

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

/* The record every operation of the double writes to. */
bridge_record& bridge();
/* Clears the record and its switches. */
void bridge_reset();
/* A non-null stand-in for the script's header object. */
napi_value fake_header_object();

} // namespace zel_test

#endif
