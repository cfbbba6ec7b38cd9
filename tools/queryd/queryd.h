/* zel-queryd, the reference query daemon: records and functions shared by its
 * files.  options.cc reads the command line and the route file, request.cc
 * reassembles and checks framed requests, half_sent.cc chooses which half-sent
 * request gives way when their table is full, routing.cc reads the serial
 * chain and the HTTP request line, target.cc opens target connections,
 * replay.cc cuts a replay file into payloads, refusal.cc sends refusals and
 * holds those a client has no room for, log.cc shows addresses and texts in
 * the log, socket_path.cc binds the request socket where no other user can
 * stand in for it, control.cc takes signals and watches the parent, reload.cc
 * re-reads the routes, and socket_owner.cc finds the process behind a socket
 * path.  The event loop's files share event_loop.h besides: event_loop.cc
 * sets up and runs the loop, listener.cc takes request datagrams and makes
 * room for them, exchange.cc keeps the exchanges and their reply path,
 * relay_pump.cc relays a target's response, canned.cc sends the daemon's own
 * answers, and expiry.cc applies the deadlines. */
#ifndef ZEL_TOOLS_QUERYD_H
#define ZEL_TOOLS_QUERYD_H

#include <openssl/md5.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include <chrono>
#include <list>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "sysapi/nst/nst_query.h"

namespace queryd {

/* Payload room of one reply datagram. */
constexpr size_t kReplyPayloadMax = NSTD_REPLY_MAX_DGRAM - NSTD_REPLY_HDR_LEN;
/* A client that takes no reply datagram for this long is dropped. */
constexpr int kClientStallSec = 60;

using steady = std::chrono::steady_clock;

/* Every descriptor in the event loop's epoll set is tagged with (id << 3) |
 * role, so an event finds its owner after the owner may have gone. */
enum fd_role : uint64_t {
    ROLE_LISTEN = 0,
    ROLE_SIGNAL = 1,
    ROLE_REPLY = 2,
    ROLE_TARGET = 3,
    ROLE_REFUSAL = 4,
    ROLE_PARENT = 5,
};
constexpr int kRoleBits = 3;

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
    int socket_mode = -1;             /* permission bits of the socket file; -1: what the umask gives */
    bool socket_group_set = false;
    gid_t socket_group = 0;           /* the socket file's group, when set */
    std::vector<route> routes;
    std::vector<std::string> route_files;   /* --routes, in order: re-read on SIGHUP */
    std::vector<std::string> route_args;    /* --route SERIAL=ENDPOINT, applied after the files */
    int max_hops = 8;
    int request_timeout = 5;          /* seconds a half-sent request is kept */
    int target_timeout = 10;          /* seconds a target may stay silent */
    int max_clients = 256;            /* whole requests being relayed or answered */
    int max_clients_per_sender = 0;   /* of them from one process; 0: a quarter, at least 1 */
    int max_half_sent = 64;           /* requests whose datagrams are still due */
    int max_queued_refusals = 256;    /* refusals waiting for room at their client */
    size_t max_request = 1u << 20;    /* largest total_len accepted */
    bool replay = false;
    std::string replay_path;
    std::vector<char> replay_data;
    split_form split;
    int fail_code = -1;               /* reply code for --fail, or -1 */
    malformed_kind malformed = MALFORMED_NONE;
    bool silent = false;
    bool quiet = false;
    bool watch_stdin = false;         /* stop when standard input ends */
};

/* --- options.cc --- */

/* Returns 0 when `opts` is ready, 1 when --help was printed, or -1 with the
 * reason in `err`. */
int parse_options(int argc, char** argv, options* opts, std::string* err);

/* Returns the name of a reply code, or "code N" text for unnamed values. */
std::string reply_code_name(int code);

/* Reads the routes of `opts.route_files`, then `opts.route_args`, into
 * `routes` (a later route for a serial replaces an earlier one).  Returns 0,
 * or -1 with the reason in `err` and `routes` untouched. */
int read_routes(const options& opts, std::vector<route>* routes, std::string* err);

/* --- reload.cc --- */

/* Re-reads the routes into `opts->routes` and says so on standard error.  A
 * file that cannot be read or holds a bad line leaves the routes as they
 * were, and the line says why.  Returns true when the routes were replaced. */
bool reload_routes(options* opts);

/* --- control.cc --- */

/* Blocks SIGINT, SIGTERM and SIGHUP and returns a signalfd that receives
 * them, or -1 with errno set. */
int control_signal_fd();

/* Adds `sig_fd` and, with --watch-stdin, standard input to `epoll_fd`.
 * Returns false, after saying why, when standard input cannot be watched. */
bool control_watch(int epoll_fd, int sig_fd, const options& opts);

/* Takes the signals queued on `sig_fd`: SIGHUP re-reads the routes into
 * `opts`.  Returns true when SIGINT or SIGTERM asks the daemon to stop. */
bool control_signals(int sig_fd, options* opts);

/* Reads what standard input holds.  Returns true when it has ended (the
 * parent that holds its other end is gone), after saying so. */
bool control_stdin();

/* --- socket_owner.cc --- */

/* Returns the id of a process that has a Unix socket bound at `path`, or 0
 * when none can be seen (/proc shows another user's descriptors only to
 * root). */
pid_t socket_owner(const std::string& path);

/* --- log.cc --- */

/* Returns `s` (at most 200 bytes) with every byte outside printable ASCII
 * shown as '?'. */
std::string printable(std::string_view s);

/* Returns how a client address appears in the log: "@" and the abstract
 * name, a path, or "(unbound)". */
std::string addr_text(const sockaddr_un& a, socklen_t len);

/* --- target.cc --- */

/* Returns 0 when `text` names an endpoint (host:port, unix:/path or /path),
 * or -1 with the reason in `err`. */
int parse_endpoint(std::string_view text, endpoint* ep, std::string* err);

/* Returns a non-blocking stream socket whose connect to `ep` has started or
 * finished (then *connected is true), or -errno when the connect failed at
 * once. */
int target_connect(const endpoint& ep, bool* connected);

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

/* --- half_sent.cc --- */

/* The half-sent requests, stalest first: ordered by the arrival of their
 * latest datagram.  A sender is the process that sent the datagrams (its pid
 * from the socket credentials), so one process with many sockets counts as
 * one sender.  A value-initialised record is an empty table. */
struct half_sent_entry {
    uint64_t id;
    pid_t sender;
};

struct half_sent_table {
    std::list<half_sent_entry> order;
    std::unordered_map<uint64_t, std::list<half_sent_entry>::iterator> by_id;
    std::unordered_map<pid_t, size_t> per_sender;
};

/* Returns how many half-sent requests one sender may hold when `max` are
 * allowed in all: a quarter, at least one. */
size_t half_sent_sender_limit(size_t max);

/* Returns how many whole requests one sending process may have relayed or
 * answered at once: --max-clients-per-sender, else a quarter of --max-clients,
 * at least 1. */
size_t exchange_sender_limit(const options& opts);

/* Returns the id of the request that must give way before one more from
 * `sender` fits under `max`: the sender's own stalest when it holds its share,
 * else the stalest of all when the table is full; 0 when it fits as it is.
 * Sender 0 (no credentials) is held to the overall limit only. */
uint64_t half_sent_victim(const half_sent_table& t, pid_t sender, size_t max);

/* Adds request `id` as the freshest; it must not be in the table. */
void half_sent_add(half_sent_table* t, uint64_t id, pid_t sender);

/* Marks request `id` as the freshest, after a datagram of it arrived. */
void half_sent_touch(half_sent_table* t, uint64_t id);

/* Removes request `id`; does nothing when it is not in the table. */
void half_sent_remove(half_sent_table* t, uint64_t id);

/* --- refusal.cc --- */

/* A refusal that found its client's receive queue full.  It waits on its own
 * socket, connected to the client, until the kernel reports room. */
struct queued_refusal {
    int fd;
    sockaddr_un to;
    socklen_t to_len;
    int code;
    steady::time_point deadline;
};

/* The refusals waiting for room, oldest first (ids only grow).  `epoll_fd`
 * is the event loop's epoll set and `fallback_fd` the bound request socket,
 * used only when no socket of its own can be opened for a refusal.  A
 * value-initialised record with those two set is an empty queue;
 * refusal_clear closes what it still holds. */
struct refusal_queue {
    int epoll_fd = -1;
    int fallback_fd = -1;
    size_t max = 256;
    uint64_t next_id = 1;
    std::map<uint64_t, queued_refusal> queued;
};

/* Sends a one-datagram reply with `code` to `to` from a socket of its own,
 * so refusals never fill the request socket's send buffer.  When the client's
 * queue is full the refusal is queued; when the queue is at its limit the
 * oldest queued refusal is dropped with a line on standard error.  A refusal
 * that cannot be sent or queued is reported there too, never lost silently. */
void refusal_send(refusal_queue* q, const sockaddr_un& to, socklen_t to_len, int code);

/* Retries queued refusal `id` after its socket reported an event. */
void refusal_retry(refusal_queue* q, uint64_t id);

/* Drops, with a line each, the refusals whose client took nothing for
 * kClientStallSec seconds; returns the nearest remaining deadline, or
 * steady::time_point::max() when none is queued. */
steady::time_point refusal_expire(refusal_queue* q, steady::time_point now);

/* Closes every queued refusal's socket without sending it. */
void refusal_clear(refusal_queue* q);

/* --- routing.cc --- */

/* Returns `s` without leading and trailing blanks (space, tab), as header
 * field values are read. */
std::string_view trim(std::string_view s);

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

/* --- socket_path.cc --- */

/* Returns the bound, non-blocking request socket at opts.socket_path, or -1
 * after saying why on standard error.  Missing directories are created with
 * mode 0755; the socket's directory must be this daemon's user's or root's,
 * not a symbolic link and not writable by group or others; a stale socket
 * file is replaced, a live one refused; --socket-group and --socket-mode are
 * applied to the new file. */
int bind_query_socket(const options& opts);

/* --- event_loop.cc --- */

/* Returns the process exit status: 0 after a clean stop by SIGINT/SIGTERM
 * (or the end of standard input with --watch-stdin), 1 when the socket cannot
 * be set up.  `opts` is the daemon's own: SIGHUP replaces its routes. */
int run_daemon(options opts);

}  // namespace queryd

#endif
