#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <chrono>
#include <string>

#include "tools/queryd/event_loop.h"

/* Exchanges: the records of one request and its reply, the reply path to the
 * client (one socket connected to its address) and how an exchange ends. */

namespace queryd {

namespace {

void client_gone(daemon_state& s, exchange& x, int err)
{
    fprintf(stderr, "zel-queryd: client %s gone (%s): dropped %s after %llu bytes\n",
            addr_text(x.client, x.client_len).c_str(), strerror(err), x.label.c_str(),
            static_cast<unsigned long long>(x.response_bytes));
    erase(s, x);
}

}  // namespace

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
void fail(daemon_state& s, exchange& x, int code, const char* reason, const std::string& detail)
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
        start_answer(s, x);
        return;
    }
    start_relay(s, x);
}

}  // namespace queryd
