/* Recording stand-in for the Node-API side of the script bridge.
 *
 * Linked into native tests in place of the addon's node_zel_* operations, it
 * keeps the header object as a map with lower-cased keys, records the status,
 * every write-head call with a snapshot of the header object, every body
 * piece with its bytes, and the order of all calls.  Switches make the
 * write-head function or a body callback fail the way a throwing script
 * callback does (the operation returns -1). */
#ifndef ZEL_TEST_SUPPORT_BRIDGE_DOUBLE_H
#define ZEL_TEST_SUPPORT_BRIDGE_DOUBLE_H

#include <map>
#include <string>
#include <vector>

#include "modules/api/api_zel_stream.h"

namespace zel_test {

using header_map = std::map<std::string, std::string>;

struct write_head_call {
    int status;
    header_map header;
};

struct bridge_record {
    /* What the relay did. */
    bool status_set = false;
    int status = 0;
    header_map header;
    std::vector<write_head_call> write_heads;
    std::vector<std::string> pieces;   /* body pieces the script took */
    std::vector<std::string> log;      /* "status", "set k", "unset k", "get k", "write-head", "body n" */
    int oversized_pieces = 0;          /* pieces longer than the 4096-byte Buffer */

    /* Switches. */
    bool fail_status = false;          /* the status value cannot be made */
    bool fail_write_head = false;      /* write-head throws */
    int fail_body_from = -1;           /* body call number n (from 0) and every later one throws */
    int body_calls = 0;                /* body callback calls so far, refused ones included */

    std::string body() const;
    /* Index of the first log entry equal to `entry` or starting with it, or
     * -1. */
    int first_log(const std::string& prefix) const;
};

/* The record every operation of the double writes to. */
bridge_record& bridge();
/* Clears the record and its switches. */
void bridge_reset();

/* A non-null stand-in for the script's header object and Buffer. */
napi_value fake_header_object();

} // namespace zel_test

#endif
