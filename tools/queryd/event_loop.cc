#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>

#include "tools/queryd/queryd.h"

/* The event loop.  One epoll set holds the request socket, a signalfd (and,
 * with --watch-stdin, standard input), the two descriptors of every exchange
 * (a reply socket connected to the client's address, and the target
 * connection) and the socket of every refusal that waits for room at its
 * client.  Descriptors are level-triggered and
 * registered only while their owner waits on them, so a paused side costs
 * nothing and never spins.
 *
 * Room for requests: a request that arrives in one datagram never waits for
 * anything and goes straight to an exchange, of which --max-clients may run,
 * and --max-clients-per-sender (a quarter by default) for one sending process:
 * a process that holds its share is refused while others are still served.
 * Requests whose datagrams are still due are held in a table of their own
 * (--max-half-sent, a quarter of it per sending process); when it is full the
 * stalest gives way.  So half-sent requests, however many and however slowly
 * fed, cannot keep whole requests from being served.
 *
 * Back-pressure: a response is read from the target into a stage of at most
 * 16 reply datagrams' payloads and sent one datagram at a time; the target is
 * read again only when the stage is sent.  When the client's receive queue is
 * full the send fails with EAGAIN; the exchange then stops reading the target
 * and waits for EPOLLOUT on its reply socket, which the kernel raises when the
 * client's queue has room.  Each exchange therefore holds at most one stage
 * (64 KiB) and one reply datagram of the response. */

namespace queryd {

namespace {

/* Largest datagram the daemon sends: the oversized malformed answer. */
constexpr size_t kOutMax = 5000;
/* Datagrams taken from the request socket per wake-up, and replay datagrams
 * sent per exchange per wake-up, so one busy peer cannot starve the rest. */
constexpr int kBatch = 64;
/* A target is read when it has bytes or has shut its side, which tells the
 * last bytes of a response apart from the others. */
constexpr uint32_t kTargetIn = EPOLLIN | EPOLLRDHUP;
/* Response bytes read from the target at once: the payloads of a batch of
 * reply datagrams. */
constexpr size_t kStageMax = 16 * kReplyPayloadMax;

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

/* How a serial chain appears in the log; an empty one shows as "". */
std::string chain_label(std::string_view path)
{
    return path.empty() ? "\"\"" : printable(path);
}

std::string chain_text(const exchange& x)
{
    return chain_label(x.rq.path);
}

void watch(daemon_state& s, exchange& x, fd_role role, uint32_t events)
{
    const int fd = role == ROLE_REPLY ? x.reply.get() : x.target.get();
    uint32_t& cur = role == ROLE_REPLY ? x.reply_events : x.target_events;
    if (fd < 0 || cur == events)
        return;
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = x.id << kRoleBits | role;
    if (events == 0)
        epoll_ctl(s.epoll.get(), EPOLL_CTL_DEL, fd, nullptr);
    else
        epoll_ctl(s.epoll.get(), cur == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, fd, &ev);
    cur = events;
}

void close_target(exchange& x)
{
    x.target.reset();     /* closing also leaves the epoll set */
    x.target_events = 0;
}

/* Exchanges whose request is whole: those that count towards --max-clients. */
size_t active_count(const daemon_state& s)
{
    return s.by_id.size() - s.discarding - s.half_sent.order.size();
}

/* Request bytes taken in so far, header and path included. */
size_t received_bytes(const exchange& x)
{
    return NSTD_QUERY_HDR_LEN + x.rq.path.size() + 1 + x.rq.data.size();
}

/* True when `sender` already has as many whole requests as it may; a
 * sender without credentials is held to --max-clients only. */
bool sender_holds_share(const daemon_state& s, pid_t sender)
{
    if (sender == 0)
        return false;
    const auto it = s.per_sender.find(sender);
    return it != s.per_sender.end() && it->second >= exchange_sender_limit(*s.opts);
}

void erase(daemon_state& s, exchange& x)
{
    if (x.state == X_DISCARDING)
        --s.discarding;
    if (x.counted) {
        const auto it = s.per_sender.find(x.sender);
        if (it != s.per_sender.end() && --it->second == 0)
            s.per_sender.erase(it);
    }
    half_sent_remove(&s.half_sent, x.id);
    s.by_addr.erase(x.key);
    s.by_id.erase(x.id);   /* destroys x: its descriptors close */
}

void set_header(exchange& x, int code, size_t payload)
{
    nst_reply_hdr h{};
    h.type = static_cast<uint8_t>(code);
    h.len = static_cast<int32_t>(NSTD_REPLY_HDR_LEN + payload);
    h.offset = NSTD_REPLY_HDR_LEN;
    memcpy(x.out, &h, sizeof h);
    x.out_len = NSTD_REPLY_HDR_LEN + payload;
}

void log_refusal(const std::string& who, const sockaddr_un& from, socklen_t from_len, const char* reason, int code)
{
    fprintf(stderr, "zel-queryd: refused %s from %s: %s (%s)\n", who.c_str(), addr_text(from, from_len).c_str(),
            reason, reply_code_name(code).c_str());
}

send_result flush_out(exchange& x)
{
    const ssize_t n = send(x.reply.get(), x.out, x.out_len, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n >= 0) {
        x.out_len = 0;
        return SENT;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS || errno == EINTR)
        return BLOCKED;
    return GONE;
}

void client_gone(daemon_state& s, exchange& x, int err)
{
    fprintf(stderr, "zel-queryd: client %s gone (%s): dropped %s after %llu bytes\n",
            addr_text(x.client, x.client_len).c_str(), strerror(err), x.label.c_str(),
            static_cast<unsigned long long>(x.response_bytes));
    erase(s, x);
}

void finished(daemon_state& s, exchange& x)
{
    if (!s.opts->quiet && !x.refused)
        fprintf(stderr, "%s: %llu bytes%s\n", x.label.c_str(), static_cast<unsigned long long>(x.response_bytes),
                x.note);
    erase(s, x);
}

/* A send to the client failed for good.  When all that was left to send is
 * an empty final datagram, every byte of the response is already in the
 * client's queue: a client that reads the response's own framing
 * (Content-Length, the last chunk) knows it is complete and may close before
 * the end mark arrives, so the exchange counts as finished.  Otherwise the
 * client left before its reply was whole. */
void client_left(daemon_state& s, exchange& x, int err)
{
    const bool end_mark_only = x.out_final && !x.refused && x.out_len == NSTD_REPLY_HDR_LEN &&
                               static_cast<uint8_t>(x.out[0]) == QUERY_SUCCESS_FIN;
    if (end_mark_only)
        finished(s, x);
    else
        client_gone(s, x, err);
}

/* Sends the pending datagram; on success a final datagram ends the exchange.
 * Returns false when the exchange is gone. */
bool push(daemon_state& s, exchange& x)
{
    const send_result r = flush_out(x);
    if (r == GONE) {
        client_left(s, x, errno);
        return false;
    }
    if (r == BLOCKED) {
        watch(s, x, ROLE_TARGET, 0);
        watch(s, x, ROLE_REPLY, EPOLLOUT);
        x.deadline = steady::now() + std::chrono::seconds(kClientStallSec);
        return true;
    }
    if (x.out_final) {
        finished(s, x);
        return false;
    }
    return true;
}

/* Ends an exchange whose request is whole with a failure code. */
void fail(daemon_state& s, exchange& x, int code, const char* reason, const std::string& detail = {})
{
    fprintf(stderr, "zel-queryd: refused %s from %s: %s%s (%s)\n", x.label.c_str(),
            addr_text(x.client, x.client_len).c_str(), reason, detail.c_str(), reply_code_name(code).c_str());
    close_target(x);
    if (x.out_len != 0) {
        /* A reply datagram is still queued for a client that stopped
         * reading; the failure could not go out after it in time. */
        erase(s, x);
        return;
    }
    set_header(x, code, 0);
    x.out_final = true;
    x.refused = true;
    x.state = X_ANSWERING;
    push(s, x);
}

const char* answer_suffix(const options& o)
{
    if (o.fail_code >= 0)
        return ", then a failure code";
    if (o.malformed != MALFORMED_NONE)
        return ", then a malformed datagram";
    if (o.silent)
        return ", then silence";
    return "";
}

/* Fills the next datagram of a replay, fail, malformed or silent answer.
 * Returns false when nothing more is to be sent. */
bool next_answer(const options& o, exchange& x)
{
    const size_t file_len = o.replay_data.size();
    const bool override = o.fail_code >= 0 || o.malformed != MALFORMED_NONE || o.silent;
    if (!override || x.cursor.pos < file_len) {
        const size_t at = x.cursor.pos;
        const size_t n = replay_next(o.split, file_len, &x.cursor);
        /* Without an override the last piece travels in the final datagram. */
        x.out_final = !override && x.cursor.pos >= file_len;
        set_header(x, x.out_final ? QUERY_SUCCESS_FIN : QUERY_SUCCESS, n);
        if (n != 0)
            memcpy(x.out + NSTD_REPLY_HDR_LEN, o.replay_data.data() + at, n);
        x.response_bytes += n;
        return true;
    }
    x.out_final = true;
    if (o.fail_code >= 0) {
        set_header(x, o.fail_code, 0);
        return true;
    }
    switch (o.malformed) {
    case MALFORMED_LEN:
        set_header(x, QUERY_SUCCESS_FIN, 8);
        memset(x.out + NSTD_REPLY_HDR_LEN, 'x', 8);
        reinterpret_cast<nst_reply_hdr*>(x.out)->len += 1;
        return true;
    case MALFORMED_SHORT:
        set_header(x, QUERY_SUCCESS_FIN, 0);
        reinterpret_cast<nst_reply_hdr*>(x.out)->len = 8;
        x.out_len = 8;
        return true;
    case MALFORMED_BIG:
        set_header(x, QUERY_SUCCESS_FIN, kOutMax - NSTD_REPLY_HDR_LEN);
        memset(x.out + NSTD_REPLY_HDR_LEN, 'x', kOutMax - NSTD_REPLY_HDR_LEN);
        return true;
    case MALFORMED_NONE:
        break;
    }
    return false;   /* silent */
}

void answer_pump(daemon_state& s, exchange& x)
{
    for (int i = 0; i < kBatch; ++i) {
        if (x.out_len == 0 && !next_answer(*s.opts, x)) {
            finished(s, x);
            return;
        }
        const send_result r = flush_out(x);
        if (r == GONE) {
            client_left(s, x, errno);
            return;
        }
        x.deadline = steady::now() + std::chrono::seconds(kClientStallSec);
        if (r == BLOCKED)
            break;
        if (x.out_final) {
            finished(s, x);
            return;
        }
    }
    /* Level-triggered: the next wake-up continues where this batch ended. */
    watch(s, x, ROLE_REPLY, EPOLLOUT);
}

void send_request(daemon_state& s, exchange& x);

void start_relay(daemon_state& s, exchange& x)
{
    const route_verdict v = route_chain(x.rq.path, *s.opts);
    if (v.code != QUERY_SUCCESS) {
        fail(s, x, v.code, v.reason);
        return;
    }
    std::string_view method, url;
    const char* reason = nullptr;
    const bool http_ok = http_request_check(std::string_view(x.rq.data.data(), x.rq.data.size()), &method, &url, &reason);
    x.label = chain_label(x.rq.path) + " -> " + v.ep->text;
    if (!http_ok) {
        fail(s, x, QUERY_FAIL_MALFORMED_HTTP_REQ, reason);
        return;
    }
    x.label += " " + printable(method) + " " + printable(url);
    bool connected = false;
    const int fd = target_connect(*v.ep, &connected);
    if (fd < 0) {
        fail(s, x, QUERY_FAIL_REMOTE_ERR, "target unreachable: ", strerror(-fd));
        return;
    }
    x.target.reset(fd);
    x.deadline = steady::now() + std::chrono::seconds(s.opts->target_timeout);
    if (connected) {
        /* A Unix stream target accepts at once: the request goes out now,
         * without a round through the event loop. */
        x.state = X_SENDING_REQUEST;
        send_request(s, x);
        return;
    }
    x.state = X_CONNECTING;
    watch(s, x, ROLE_TARGET, EPOLLOUT);
}

/* The request is whole: open the reply path and answer or relay it. */
void start_exchange(daemon_state& s, exchange& x)
{
    x.label = chain_label(x.rq.path);
    if (x.sender != 0) {
        x.counted = true;
        ++s.per_sender[x.sender];
    }
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        fprintf(stderr, "zel-queryd: refused %s: no reply socket: %s\n", x.label.c_str(), strerror(errno));
        refusal_send(&s.refusals, x.client, x.client_len, QUERY_FAIL_LOW_MEMORY);
        erase(s, x);
        return;
    }
    x.reply.reset(fd);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&x.client), x.client_len) != 0) {
        client_gone(s, x, errno);
        return;
    }
    const options& o = *s.opts;
    if (o.replay || o.fail_code >= 0 || o.malformed != MALFORMED_NONE || o.silent) {
        std::string_view method, url;
        const char* reason = nullptr;
        x.label += " -> replay";
        if (http_request_check(std::string_view(x.rq.data.data(), x.rq.data.size()), &method, &url, &reason))
            x.label += " " + printable(method) + " " + printable(url);
        std::vector<char>().swap(x.rq.data);
        x.note = answer_suffix(o);
        x.state = X_ANSWERING;
        answer_pump(s, x);
        return;
    }
    start_relay(s, x);
}

void send_request(daemon_state& s, exchange& x)
{
    while (x.req_sent < x.rq.data.size()) {
        const ssize_t n = send(x.target.get(), x.rq.data.data() + x.req_sent, x.rq.data.size() - x.req_sent,
                               MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            watch(s, x, ROLE_TARGET, EPOLLOUT);
            return;
        }
        if (n < 0)
            break;   /* the target stopped reading; whatever it answered is still relayed */
        x.req_sent += static_cast<size_t>(n);
        x.deadline = steady::now() + std::chrono::seconds(s.opts->target_timeout);
    }
    std::vector<char>().swap(x.rq.data);
    x.state = X_RELAYING;
    watch(s, x, ROLE_TARGET, kTargetIn);
}

/* True when the target has shut its side and a read of `n` bytes into room
 * for `room` drained it: the bytes just read were the last. */
bool target_drained(const exchange& x, uint32_t events, ssize_t n, size_t room)
{
    if ((events & (EPOLLRDHUP | EPOLLHUP)) == 0 || n >= static_cast<ssize_t>(room))
        return false;
    char byte;
    return recv(x.target.get(), &byte, 1, MSG_DONTWAIT | MSG_PEEK) == 0;
}

/* Reads the target into the exchange's stage.  Returns true when the stage
 * holds bytes to send; false when the target has nothing now, or the
 * exchange ended or failed (it may be gone). */
bool refill_stage(daemon_state& s, exchange& x, uint32_t events)
{
    if (!x.stage) {
        x.stage.reset(static_cast<char*>(malloc(kStageMax)));
        if (!x.stage) {
            fail(s, x, QUERY_FAIL_LOW_MEMORY, "no room to stage the response");
            return false;
        }
    }
    const ssize_t n = recv(x.target.get(), x.stage.get(), kStageMax, MSG_DONTWAIT);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return false;
        if (x.response_bytes == 0 && errno == ECONNRESET)
            fail(s, x, QUERY_FAIL_CONNECTION_CLOSED, "target reset the connection without a response");
        else
            fail(s, x, QUERY_FAIL_REMOTE_ERR, "target connection failed: ", strerror(errno));
        return false;
    }
    if (n == 0) {
        if (x.response_bytes == 0) {
            fail(s, x, QUERY_FAIL_CONNECTION_CLOSED, "target closed without a response");
            return false;
        }
        close_target(x);
        set_header(x, QUERY_SUCCESS_FIN, 0);
        x.out_final = true;
        push(s, x);
        return false;
    }
    x.response_bytes += static_cast<uint64_t>(n);
    x.deadline = steady::now() + std::chrono::seconds(s.opts->target_timeout);
    x.stage_len = static_cast<size_t>(n);
    x.stage_pos = 0;
    /* The last bytes travel in the final datagram: the client wakes once
     * less, and a short response is one datagram. */
    x.stage_final = target_drained(x, events, n, kStageMax);
    if (x.stage_final)
        close_target(x);
    return true;
}

/* Sends the next datagram of the response, from the stage, refilled from the
 * target when it is used up.  Returns true when that datagram went out and
 * the relay can go on at once; false when the target has nothing now, the
 * client's queue is full, or the exchange ended (it may be gone). */
bool relay_response(daemon_state& s, exchange& x, uint32_t events)
{
    if (x.stage_pos == x.stage_len && !refill_stage(s, x, events))
        return false;
    const size_t n = std::min(kReplyPayloadMax, x.stage_len - x.stage_pos);
    memcpy(x.out + NSTD_REPLY_HDR_LEN, x.stage.get() + x.stage_pos, n);
    x.stage_pos += n;
    if (x.stage_final && x.stage_pos == x.stage_len) {
        set_header(x, QUERY_SUCCESS_FIN, n);
        x.out_final = true;
        push(s, x);
        return false;
    }
    set_header(x, QUERY_SUCCESS, n);
    return push(s, x) && x.out_len == 0;
}

/* Relays up to a batch of datagrams per wake-up, so a fast target is not
 * relayed one round of the event loop per datagram, and always what the
 * stage still holds: no target event may come for it. */
void relay_batch(daemon_state& s, exchange& x, uint32_t events)
{
    for (int i = 0; x.out_len == 0 && (i < kBatch || x.stage_pos < x.stage_len); ++i) {
        if (!relay_response(s, x, events))
            return;
    }
}

void on_target(daemon_state& s, exchange& x, uint32_t events)
{
    switch (x.state) {
    case X_CONNECTING: {
        const int err = target_connect_error(x.target.get());
        if (err != 0) {
            fail(s, x, QUERY_FAIL_REMOTE_ERR, "target unreachable: ", strerror(err));
            return;
        }
        x.state = X_SENDING_REQUEST;
        send_request(s, x);
        return;
    }
    case X_SENDING_REQUEST:
        send_request(s, x);
        return;
    case X_RELAYING:
        if (x.out_len == 0)
            relay_batch(s, x, events);
        return;
    default:
        return;
    }
}

void on_reply(daemon_state& s, exchange& x, uint32_t events)
{
    if ((events & EPOLLERR) != 0 && x.out_len != 0) {
        const int err = target_connect_error(x.reply.get());
        if (err != 0) {
            client_left(s, x, err);
            return;
        }
    }
    if (x.out_len != 0 && !push(s, x))
        return;
    if (x.out_len != 0)
        return;   /* still blocked */
    if (x.state == X_ANSWERING) {
        answer_pump(s, x);
        return;
    }
    /* The client's queue has room again: send what is staged, then resume
     * reading the target. */
    watch(s, x, ROLE_REPLY, 0);
    watch(s, x, ROLE_TARGET, kTargetIn);
    x.deadline = steady::now() + std::chrono::seconds(s.opts->target_timeout);
    if (x.stage_pos < x.stage_len)
        relay_batch(s, x, 0);
}

void refuse_new(daemon_state& s, const sockaddr_un& from, socklen_t from_len, const std::string& who,
                const char* reason, int code)
{
    log_refusal(who, from, from_len, reason, code);
    refusal_send(&s.refusals, from, from_len, code);
}

/* Why a request finds no room for its exchange. */
const char* full_reason(const daemon_state& s, pid_t sender)
{
    return sender_holds_share(s, sender) ? "its sender holds its share of clients" : "too many clients";
}

/* Records of refused requests whose remaining datagrams are swallowed. */
size_t discard_limit(const daemon_state& s)
{
    return 4 * static_cast<size_t>(s.opts->max_clients);
}

/* Keeps a record that swallows the rest of a refused request, so its
 * continuation datagrams are not taken for new requests and answered again. */
void discard_rest(daemon_state& s, std::unique_ptr<exchange> x, size_t left)
{
    if (left == 0 || s.discarding >= discard_limit(s))
        return;
    x->state = X_DISCARDING;
    x->discard_left = left;
    x->rq = request{};
    x->deadline = steady::now() + std::chrono::seconds(s.opts->request_timeout);
    ++s.discarding;
    s.by_addr[x->key] = x->id;
    s.by_id[x->id] = std::move(x);
}

/* Turns a refused half-sent request into a record that swallows the `left`
 * bytes still due, or ends it when none are due or no record can be kept. */
void swallow_rest(daemon_state& s, exchange& x, size_t left)
{
    half_sent_remove(&s.half_sent, x.id);
    if (left == 0 || s.discarding >= discard_limit(s)) {
        erase(s, x);
        return;
    }
    x.state = X_DISCARDING;
    x.discard_left = left;
    x.rq = request{};
    x.deadline = steady::now() + std::chrono::seconds(s.opts->request_timeout);
    ++s.discarding;
}

/* Refuses half-sent request `x` so that a newer one fits. */
void evict(daemon_state& s, exchange& x, bool own_share)
{
    const size_t got = received_bytes(x);
    const std::string reason = "evicted after " + std::to_string(got) + " of " + std::to_string(x.rq.hdr.total_len) +
                               " bytes, " +
                               (own_share ? "its sender holds its share of half-sent requests"
                                          : "too many half-sent requests");
    refuse_new(s, x.client, x.client_len, chain_text(x), reason.c_str(), QUERY_FAIL_LOW_MEMORY);
    swallow_rest(s, x, x.rq.hdr.total_len - got);
}

/* Makes room in the half-sent table for one more request from `sender`. */
void make_half_sent_room(daemon_state& s, pid_t sender)
{
    const size_t max = static_cast<size_t>(s.opts->max_half_sent);
    for (;;) {
        const uint64_t victim = half_sent_victim(s.half_sent, sender, max);
        const auto it = s.by_id.find(victim);
        if (victim == 0 || it == s.by_id.end())
            return;
        const auto own = s.half_sent.per_sender.find(sender);
        evict(s, *it->second,
              sender != 0 && own != s.half_sent.per_sender.end() && own->second >= half_sent_sender_limit(max));
    }
}

/* A datagram from the address of a half-sent request: its next piece. */
void on_continuation(daemon_state& s, exchange& x, const char* buf, size_t n)
{
    const std::string who = chain_text(x);
    const request_state st = n > NSTD_QUERY_MAX_DGRAM ? REQ_REFUSED : request_continue(&x.rq, buf, n);
    if (n > NSTD_QUERY_MAX_DGRAM) {
        x.rq.code = QUERY_FAIL_PATH_ERR;
        x.rq.reason = "datagram larger than the request datagram limit";
    }
    if (st == REQ_MORE) {
        half_sent_touch(&s.half_sent, x.id);
        x.deadline = steady::now() + std::chrono::seconds(s.opts->request_timeout);
        return;
    }
    if (st == REQ_DONE) {
        if (active_count(s) >= static_cast<size_t>(s.opts->max_clients) || sender_holds_share(s, x.sender)) {
            refuse_new(s, x.client, x.client_len, who, full_reason(s, x.sender), QUERY_FAIL_LOW_MEMORY);
            erase(s, x);
            return;
        }
        half_sent_remove(&s.half_sent, x.id);
        start_exchange(s, x);
        return;
    }
    refuse_new(s, x.client, x.client_len, who, x.rq.reason, x.rq.code);
    /* The refused datagram was not taken in but counts towards total_len;
     * after a digest mismatch nothing more is due. */
    const size_t got = received_bytes(x) + n;
    swallow_rest(s, x, x.rq.hdr.total_len > got ? x.rq.hdr.total_len - got : 0);
}

void on_datagram(daemon_state& s, const char* buf, size_t n, const sockaddr_un& from, socklen_t from_len, pid_t sender)
{
    if (from_len <= offsetof(sockaddr_un, sun_path)) {
        fprintf(stderr, "zel-queryd: ignored a datagram from an unbound socket: no address to answer\n");
        return;
    }
    std::string key(reinterpret_cast<const char*>(&from), from_len);
    const auto found = s.by_addr.find(key);
    if (found != s.by_addr.end()) {
        exchange& x = *s.by_id.at(found->second);
        if (x.state == X_DISCARDING) {
            x.discard_left -= std::min(x.discard_left, n);
            x.deadline = steady::now() + std::chrono::seconds(s.opts->request_timeout);
            if (x.discard_left == 0)
                erase(s, x);
            return;
        }
        if (x.state == X_RECEIVING) {
            on_continuation(s, x, buf, n);
            return;
        }
        /* A client sends one request and then only reads, so a new datagram
         * from this address comes from a new socket that reuses the address
         * of one that is gone. */
        fprintf(stderr, "zel-queryd: address %s reused: dropped %s after %llu bytes\n",
                addr_text(from, from_len).c_str(), x.label.c_str(), static_cast<unsigned long long>(x.response_bytes));
        erase(s, x);
    }

    if (n > NSTD_QUERY_MAX_DGRAM) {
        refuse_new(s, from, from_len, "request", "datagram larger than the request datagram limit",
                   QUERY_FAIL_PATH_ERR);
        return;
    }
    auto x = std::make_unique<exchange>();
    x->id = s.next_id++;
    x->key = std::move(key);
    x->client = from;
    x->client_len = from_len;
    x->sender = sender;
    if (active_count(s) >= static_cast<size_t>(s.opts->max_clients) || sender_holds_share(s, sender)) {
        refuse_new(s, from, from_len, "request", full_reason(s, sender), QUERY_FAIL_LOW_MEMORY);
        if (n >= NSTD_QUERY_HDR_LEN)
            memcpy(&x->rq.hdr, buf, NSTD_QUERY_HDR_LEN);
        const size_t left = request_bytes_left(x->rq, n);
        discard_rest(s, std::move(x), left);
        return;
    }
    const request_state st = request_begin(&x->rq, buf, n, s.opts->max_request);
    if (st == REQ_REFUSED) {
        const std::string who = x->rq.path.empty() ? "request" : chain_label(x->rq.path);
        refuse_new(s, from, from_len, who, x->rq.reason, x->rq.code);
        const size_t left = request_bytes_left(x->rq, n);
        discard_rest(s, std::move(x), left);
        return;
    }
    if (st == REQ_MORE) {
        make_half_sent_room(s, sender);
        half_sent_add(&s.half_sent, x->id, sender);
    }
    x->deadline = steady::now() + std::chrono::seconds(s.opts->request_timeout);
    exchange& ref = *x;
    s.by_addr[ref.key] = ref.id;
    s.by_id[ref.id] = std::move(x);
    if (st == REQ_DONE)
        start_exchange(s, ref);
}

/* Closes descriptors passed along with a request datagram: the daemon takes
 * none, and must not collect them. */
void close_passed_fds(msghdr* mh)
{
    for (cmsghdr* c = CMSG_FIRSTHDR(mh); c != nullptr; c = CMSG_NXTHDR(mh, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
            continue;
        const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int fd;
            memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
            close(fd);
        }
    }
}

/* Returns the pid in the datagram's credentials, or 0 when it has none. */
pid_t sender_pid(msghdr* mh)
{
    for (cmsghdr* c = CMSG_FIRSTHDR(mh); c != nullptr; c = CMSG_NXTHDR(mh, c))
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS && c->cmsg_len >= CMSG_LEN(sizeof(ucred))) {
            ucred cred;
            memcpy(&cred, CMSG_DATA(c), sizeof cred);
            return cred.pid;
        }
    return 0;
}

void on_listen(daemon_state& s)
{
    char buf[NSTD_QUERY_MAX_DGRAM];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    for (int i = 0; i < kBatch; ++i) {
        sockaddr_un from{};
        iovec iov{buf, sizeof buf};
        msghdr mh{};
        mh.msg_name = &from;
        mh.msg_namelen = sizeof from;
        mh.msg_iov = &iov;
        mh.msg_iovlen = 1;
        mh.msg_control = control;
        mh.msg_controllen = sizeof control;
        /* MSG_TRUNC reports the real size of a datagram larger than buf. */
        const ssize_t n = recvmsg(s.listen.get(), &mh, MSG_DONTWAIT | MSG_TRUNC | MSG_CMSG_CLOEXEC);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                fprintf(stderr, "zel-queryd: receive failed: %s\n", strerror(errno));
            return;
        }
        close_passed_fds(&mh);
        on_datagram(s, buf, static_cast<size_t>(n), from, mh.msg_namelen, sender_pid(&mh));
    }
}

/* Applies the deadlines; returns the epoll wait in milliseconds until the
 * nearest remaining one, or -1 when nothing waits. */
int expire(daemon_state& s)
{
    const steady::time_point now = steady::now();
    std::vector<uint64_t> due;
    steady::time_point nearest = refusal_expire(&s.refusals, now);
    for (const auto& [id, x] : s.by_id) {
        if (x->deadline <= now)
            due.push_back(id);
        else
            nearest = std::min(nearest, x->deadline);
    }
    for (uint64_t id : due) {
        const auto it = s.by_id.find(id);
        if (it == s.by_id.end())
            continue;
        exchange& x = *it->second;
        if (x.state == X_DISCARDING) {
            erase(s, x);
        } else if (x.state == X_RECEIVING) {
            const std::string got = std::to_string(received_bytes(x)) + " of " + std::to_string(x.rq.hdr.total_len) +
                                    " bytes";
            const std::string reason = "request incomplete after " + std::to_string(s.opts->request_timeout) +
                                       " s, " + got;
            refuse_new(s, x.client, x.client_len, chain_text(x), reason.c_str(), QUERY_FAIL_PATH_ERR);
            erase(s, x);
        } else if (x.out_len != 0 || x.state == X_ANSWERING) {
            fprintf(stderr, "zel-queryd: client %s took no reply for %d s: dropped %s\n",
                    addr_text(x.client, x.client_len).c_str(), kClientStallSec, x.label.c_str());
            erase(s, x);
        } else {
            /* A code of its own, so a client can tell a target that took
             * too long from one that could not be reached. */
            fail(s, x, QUERY_FAIL_DOWNNRV_ERR, "target silent for ",
                 std::to_string(s.opts->target_timeout) + " s");
        }
    }
    if (s.by_id.empty() && s.refusals.queued.empty())
        return -1;
    /* fail() may have left an exchange waiting to send; look again soon. */
    if (nearest == steady::time_point::max())
        return 100;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(nearest - now).count() + 1;
    return static_cast<int>(std::clamp<long long>(ms, 1, 1000));
}

/* Raises the soft descriptor limit to what the limits in `opts` can use at
 * once: two per exchange and one per queued refusal.  When the hard limit is
 * lower, says so: a refusal or exchange that finds no descriptor is then
 * answered from the request socket or refused. */
void allow_descriptors(const options& opts)
{
    const rlim_t want = 2 * static_cast<rlim_t>(opts.max_clients) + static_cast<rlim_t>(opts.max_queued_refusals) + 32;
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur >= want)
        return;
    lim.rlim_cur = lim.rlim_max == RLIM_INFINITY ? want : std::min(want, lim.rlim_max);
    setrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_cur < want)
        fprintf(stderr, "zel-queryd: only %llu descriptors allowed, the limits can use %llu\n",
                static_cast<unsigned long long>(lim.rlim_cur), static_cast<unsigned long long>(want));
}

}  // namespace

int run_daemon(options opts)
{
    daemon_state s;
    /* `opts` holds the routes in use: SIGHUP replaces them while exchanges
     * go on. */
    s.opts = &opts;

    signal(SIGPIPE, SIG_IGN);
    s.sig.reset(control_signal_fd());
    s.epoll.reset(epoll_create1(EPOLL_CLOEXEC));
    if (!s.sig.valid() || !s.epoll.valid()) {
        fprintf(stderr, "zel-queryd: cannot set up the event loop: %s\n", strerror(errno));
        return 1;
    }

    s.listen.reset(bind_query_socket(opts));
    if (!s.listen.valid())
        return 1;
    struct stat bound{};
    stat(opts.socket_path.c_str(), &bound);
    /* Credentials name the process behind each datagram, which is what the
     * half-sent table counts shares by. */
    const int on = 1;
    if (setsockopt(s.listen.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0)
        fprintf(stderr, "zel-queryd: no sender credentials (%s): half-sent requests are limited in all only\n",
                strerror(errno));
    s.refusals.epoll_fd = s.epoll.get();
    s.refusals.fallback_fd = s.listen.get();
    s.refusals.max = static_cast<size_t>(opts.max_queued_refusals);
    allow_descriptors(opts);

    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = ROLE_LISTEN;
    epoll_ctl(s.epoll.get(), EPOLL_CTL_ADD, s.listen.get(), &ev);
    if (!control_watch(s.epoll.get(), s.sig.get(), opts)) {
        unlink(opts.socket_path.c_str());
        return 1;
    }

    fprintf(stderr, "zel-queryd: listening on %s\n", opts.socket_path.c_str());

    epoll_event events[64];
    int wait_ms = -1;
    while (!s.stop) {
        const int n = epoll_wait(s.epoll.get(), events, 64, wait_ms);
        if (n < 0 && errno != EINTR) {
            fprintf(stderr, "zel-queryd: epoll_wait: %s\n", strerror(errno));
            break;
        }
        for (int i = 0; i < n; ++i) {
            const uint64_t tag = events[i].data.u64;
            const uint64_t role = tag & ((1u << kRoleBits) - 1);
            if (role == ROLE_LISTEN) {
                on_listen(s);
                continue;
            }
            if (role == ROLE_SIGNAL || role == ROLE_PARENT) {
                s.stop = role == ROLE_SIGNAL ? control_signals(s.sig.get(), &opts) : control_stdin();
                if (s.stop)
                    break;
                continue;
            }
            if (role == ROLE_REFUSAL) {
                refusal_retry(&s.refusals, tag >> kRoleBits);
                continue;
            }
            /* The exchange may have ended earlier in this batch. */
            const auto it = s.by_id.find(tag >> kRoleBits);
            if (it == s.by_id.end())
                continue;
            if (role == ROLE_REPLY)
                on_reply(s, *it->second, events[i].events);
            else
                on_target(s, *it->second, events[i].events);
        }
        wait_ms = expire(s);
    }

    s.by_addr.clear();
    s.by_id.clear();
    refusal_clear(&s.refusals);
    struct stat now{};
    if (stat(opts.socket_path.c_str(), &now) == 0 && now.st_ino == bound.st_ino && now.st_dev == bound.st_dev)
        unlink(opts.socket_path.c_str());
    fprintf(stderr, "zel-queryd: stopped\n");
    return 0;
}

}  // namespace queryd
