#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "tools/queryd/event_loop.h"

/* Relaying: the request goes to its target, and the target's response back
 * to the client in reply datagrams.
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

/* A target is read when it has bytes or has shut its side, which tells the
 * last bytes of a response apart from the others. */
constexpr uint32_t kTargetIn = EPOLLIN | EPOLLRDHUP;
/* Response bytes read from the target at once: the payloads of a batch of
 * reply datagrams. */
constexpr size_t kStageMax = 16 * kReplyPayloadMax;

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

}  // namespace

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

}  // namespace queryd
