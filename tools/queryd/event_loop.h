/* The event loop's records, the exchanges and the daemon's state, and the
 * functions by which its files (listed in queryd.h) call one another.  Used
 * by those files only. */
#ifndef ZEL_TOOLS_QUERYD_EVENT_LOOP_H
#define ZEL_TOOLS_QUERYD_EVENT_LOOP_H

#include <stdint.h>
#include <stdlib.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "tools/queryd/queryd.h"

namespace queryd {

/* Largest datagram the daemon sends: the oversized malformed answer. */
constexpr size_t kOutMax = 5000;
/* Datagrams taken from the request socket per wake-up, and replay datagrams
 * sent per exchange per wake-up, so one busy peer cannot starve the rest. */
constexpr int kBatch = 64;

struct free_deleter {
    void operator()(char* p) const { free(p); }
};

struct unique_fd {
    int fd = -1;
    unique_fd() = default;
    explicit unique_fd(int f) : fd(f) {}
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    ~unique_fd() { reset(); }
    void reset(int f = -1)
    {
        if (fd >= 0)
            close(fd);
        fd = f;
    }
    int get() const { return fd; }
    bool valid() const { return fd >= 0; }
};

enum xstate {
    X_RECEIVING,        /* continuation datagrams due */
    X_DISCARDING,       /* refused; the rest of its datagrams are swallowed */
    X_CONNECTING,       /* target connect in progress */
    X_SENDING_REQUEST,  /* writing the request text to the target */
    X_RELAYING,         /* streaming the target's response */
    X_ANSWERING,        /* replay, fail, malformed or silent answer */
};

struct exchange {
    uint64_t id = 0;
    std::string key;                  /* client address bytes */
    pid_t sender = 0;                 /* sending process, 0 without credentials */
    bool counted = false;             /* holds one of its sender's exchanges */
    sockaddr_un client{};
    socklen_t client_len = 0;
    xstate state = X_RECEIVING;
    request rq{};
    size_t discard_left = 0;
    unique_fd reply;
    unique_fd target;
    uint32_t reply_events = 0;
    uint32_t target_events = 0;
    std::string label;                /* "CHAIN -> ENDPOINT METHOD URL" */
    size_t req_sent = 0;
    char out[kOutMax];                /* the one reply datagram not yet sent */
    std::unique_ptr<char, free_deleter> stage;   /* response bytes read, not yet sent */
    size_t stage_len = 0;
    size_t stage_pos = 0;             /* sent up to here */
    bool stage_final = false;         /* the target is done: the stage ends the response */
    size_t out_len = 0;
    bool out_final = false;
    uint64_t response_bytes = 0;
    bool refused = false;             /* its refusal line is already out */
    const char* note = "";            /* end of its finished line */
    replay_cursor cursor{};
    steady::time_point deadline;
};

struct daemon_state {
    const options* opts = nullptr;
    unique_fd epoll;
    unique_fd listen;
    unique_fd sig;
    std::unordered_map<uint64_t, std::unique_ptr<exchange>> by_id;
    std::unordered_map<std::string, uint64_t> by_addr;
    uint64_t next_id = 1;
    size_t discarding = 0;
    half_sent_table half_sent;        /* the exchanges in X_RECEIVING */
    std::unordered_map<pid_t, size_t> per_sender;   /* whole requests of each sender */
    refusal_queue refusals;
    bool stop = false;
};

enum send_result { SENT, BLOCKED, GONE };

/* --- exchange.cc --- */

/* How a serial chain appears in the log; an empty one shows as "". */
std::string chain_label(std::string_view path);

/* The serial chain of `x`'s request as the log shows it. */
std::string chain_text(const exchange& x);

/* Sets the events the epoll set waits for on `x`'s reply socket (ROLE_REPLY)
 * or target connection (ROLE_TARGET); 0 takes the descriptor out of the set. */
void watch(daemon_state& s, exchange& x, fd_role role, uint32_t events);

/* Closes `x`'s target connection, which also takes it out of the epoll set. */
void close_target(exchange& x);

/* Exchanges whose request is whole: those that count towards --max-clients. */
size_t active_count(const daemon_state& s);

/* Request bytes taken in so far, header and path included. */
size_t received_bytes(const exchange& x);

/* True when `sender` already has as many whole requests as it may; a
 * sender without credentials is held to --max-clients only. */
bool sender_holds_share(const daemon_state& s, pid_t sender);

/* Removes `x` from every table and destroys it: its descriptors close. */
void erase(daemon_state& s, exchange& x);

/* Writes the header of a reply datagram with `code` and `payload` bytes to
 * x.out and sets x.out_len. */
void set_header(exchange& x, int code, size_t payload);

/* Sends x.out to the client without waiting: SENT (x.out_len is then 0),
 * BLOCKED when its queue is full, GONE when the send failed for good. */
send_result flush_out(exchange& x);

/* Logs `x`'s finished line, unless --quiet or refused, and erases it. */
void finished(daemon_state& s, exchange& x);

/* A send to the client failed for good with `err`: finishes `x` when only the
 * empty end mark was left to send, else logs the client as gone; `x` is
 * erased either way. */
void client_left(daemon_state& s, exchange& x, int err);

/* Sends the pending datagram; on success a final datagram ends the exchange.
 * Returns false when the exchange is gone. */
bool push(daemon_state& s, exchange& x);

/* Ends an exchange whose request is whole with a failure code. */
void fail(daemon_state& s, exchange& x, int code, const char* reason, const std::string& detail = {});

/* The request is whole: open the reply path and answer or relay it. */
void start_exchange(daemon_state& s, exchange& x);

/* --- canned.cc --- */

/* The request is whole and the daemon answers it itself: a replay, then a
 * failure code, a malformed datagram or silence when asked. */
void start_answer(daemon_state& s, exchange& x);

/* Sends up to a batch of the answer's datagrams, until the client's queue
 * is full or the answer ends (then `x` is gone). */
void answer_pump(daemon_state& s, exchange& x);

/* --- relay_pump.cc --- */

/* Routes `x`'s request, connects to its target and sends the request there;
 * a route or a connect that fails answers the client with its code. */
void start_relay(daemon_state& s, exchange& x);

/* The epoll set reported `events` on `x`'s target connection. */
void on_target(daemon_state& s, exchange& x, uint32_t events);

/* The epoll set reported `events` on `x`'s reply socket: the client's queue
 * has room again, or the socket failed. */
void on_reply(daemon_state& s, exchange& x, uint32_t events);

/* --- listener.cc --- */

/* Logs and sends the refusal of a request that has no exchange (any more). */
void refuse_new(daemon_state& s, const sockaddr_un& from, socklen_t from_len, const std::string& who,
                const char* reason, int code);

/* Takes up to a batch of the datagrams queued on the request socket. */
void on_listen(daemon_state& s);

/* --- expiry.cc --- */

/* Applies the deadlines; returns the epoll wait in milliseconds until the
 * nearest remaining one, or -1 when nothing waits. */
int expire(daemon_state& s);

}  // namespace queryd

#endif
