/* zel-queryd, the reference query daemon: records and functions shared by its
 * files.  options.cc reads the command line and the route file, request.cc
 * reassembles and checks framed requests, routing.cc reads the serial chain and
 * the HTTP request line, target.cc opens target connections, replay.cc cuts a
 * replay file into payloads and event_loop.cc runs the exchanges. */
#ifndef ZEL_TOOLS_QUERYD_H
#define ZEL_TOOLS_QUERYD_H

#include <openssl/md5.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>

#include <string>
#include <string_view>
#include <vector>

#include "sysapi/nst/nst_query.h"

namespace queryd {

/* Payload room of one reply datagram. */
constexpr size_t kReplyPayloadMax = NSTD_REPLY_MAX_DGRAM - NSTD_REPLY_HDR_LEN;
/* A client that takes no reply datagram for this long is dropped. */
constexpr int kClientStallSec = 60;

/* A target: TCP host:port or a Unix stream socket path. */
struct endpoint {
    sockaddr_storage addr;
    socklen_t addr_len;
    std::string text;             /* as written in the route */
};

struct route {
    std::string serial;
    endpoint ep;
};

enum split_kind { SPLIT_FIXED, SPLIT_RANDOM, SPLIT_AT };

/* How a replayed response is cut into payloads. */
struct split_form {
    split_kind kind = SPLIT_FIXED;
    size_t size = kReplyPayloadMax;   /* fixed: bytes per payload */
    uint64_t seed = 0;                /* random: generator seed */
    size_t max = kReplyPayloadMax;    /* random: largest payload */
    std::vector<size_t> cuts;         /* at: sorted offsets into the file */
};

enum malformed_kind { MALFORMED_NONE, MALFORMED_LEN, MALFORMED_SHORT, MALFORMED_BIG };

struct options {
    std::string socket_path = NSTD_QUERY_SOCK_PATH;
    std::vector<route> routes;
    int max_hops = 8;
    int request_timeout = 5;          /* seconds a half-sent request is kept */
    int target_timeout = 10;          /* seconds a target may stay silent */
    int max_clients = 256;            /* exchanges in progress */
    size_t max_request = 1u << 20;    /* largest total_len accepted */
    bool replay = false;
    std::string replay_path;
    std::vector<char> replay_data;
    split_form split;
    int fail_code = -1;               /* reply code for --fail, or -1 */
    malformed_kind malformed = MALFORMED_NONE;
    bool silent = false;
    bool quiet = false;
};

/* --- options.cc --- */

/* Returns 0 when `opts` is ready, 1 when --help was printed, or -1 with the
 * reason in `err`. */
int parse_options(int argc, char** argv, options* opts, std::string* err);

/* Returns the name of a reply code, or "code N" text for unnamed values. */
std::string reply_code_name(int code);

/* --- target.cc --- */

/* Returns 0 when `text` names an endpoint (host:port, unix:/path or /path),
 * or -1 with the reason in `err`. */
int parse_endpoint(std::string_view text, endpoint* ep, std::string* err);

/* Returns a non-blocking stream socket whose connect to `ep` has started or
 * finished, or -errno when the connect failed at once. */
int target_connect(const endpoint& ep);

/* Returns 0 when the started connect of `fd` succeeded, else its errno. */
int target_connect_error(int fd);

/* --- request.cc --- */

enum request_state { REQ_MORE, REQ_DONE, REQ_REFUSED };

/* One request being reassembled.  A value-initialised record is ready for
 * request_begin. */
struct request {
    zel_query_header hdr;
    std::string path;                 /* without its NUL */
    std::vector<char> data;
    size_t data_expected;             /* total_len - header - path with NUL */
    MD5_CTX md5;
    int code;                         /* reply code when refused */
    const char* reason;               /* why it was refused */
};

/* Takes the first datagram of a request.  Returns REQ_MORE while continuation
 * datagrams are due, REQ_DONE when the request is whole and its digest
 * matches, or REQ_REFUSED with `code` and `reason` set. */
request_state request_begin(request* rq, const char* dgram, size_t len, size_t max_request);

/* Takes a continuation datagram; results as request_begin. */
request_state request_continue(request* rq, const char* dgram, size_t len);

/* Returns the bytes still due after a refused first datagram, or 0 when the
 * sender's framing is unknown. */
size_t request_bytes_left(const request& rq, size_t first_len);

/* --- routing.cc --- */

struct route_verdict {
    int code;                         /* QUERY_SUCCESS or the refusal code */
    const char* reason;
    const endpoint* ep;               /* the target's endpoint on success */
};

/* Returns the target endpoint of serial chain `path`, or the refusal code. */
route_verdict route_chain(std::string_view path, const options& opts);

/* Returns true when `data` is one HTTP/1.1 request, with its method and
 * request target in `method` and `target`; else false with `reason` set. */
bool http_request_check(std::string_view data, std::string_view* method, std::string_view* target,
                        const char** reason);

/* --- replay.cc --- */

/* Returns 0 when `text` is a split form (fixed:N, random:SEED[:MAX],
 * at:O1,O2,...), or -1 with the reason in `err`. */
int parse_split(std::string_view text, split_form* split, std::string* err);

/* Position of one exchange in the replay file.  Zero-filled is the start. */
struct replay_cursor {
    size_t pos;
    size_t cut_index;
    uint64_t rng;
    bool started;
};

/* Returns the length of the next payload from `cur.pos` (1 to
 * kReplyPayloadMax), or 0 when the file is used up; advances the cursor. */
size_t replay_next(const split_form& split, size_t file_len, replay_cursor* cur);

/* --- event_loop.cc --- */

/* Returns the process exit status: 0 after a clean stop by SIGINT/SIGTERM,
 * 1 when the socket cannot be set up. */
int run_daemon(const options& opts);

}  // namespace queryd

#endif
