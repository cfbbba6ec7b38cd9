#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/epoll.h>
#include <unistd.h>

#include "tools/queryd/queryd.h"

/* Refusals.  Each refusal leaves from a socket of its own, connected to the
 * client: a datagram waiting in a client's queue is charged to the socket
 * that sent it, so refusals sent from the request socket to clients that do
 * not read would fill its send buffer, and every later refusal to any client
 * would fail.  A connected socket also learns from the kernel when a full
 * client queue has room again (EPOLLOUT), so a queued refusal is retried only
 * then and never by polling. */

namespace queryd {

namespace {

enum send_outcome { OUT_SENT, OUT_BLOCKED, OUT_GONE };

nst_reply_hdr code_header(int code)
{
    nst_reply_hdr h{};
    h.type = static_cast<uint8_t>(code);
    h.len = NSTD_REPLY_HDR_LEN;
    h.offset = NSTD_REPLY_HDR_LEN;
    return h;
}

send_outcome send_code(int fd, int code)
{
    const nst_reply_hdr h = code_header(code);
    for (;;) {
        if (send(fd, &h, sizeof h, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0)
            return OUT_SENT;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS)
            return OUT_BLOCKED;
        return OUT_GONE;
    }
}

void log_gone(const sockaddr_un& to, socklen_t to_len, int code, int err)
{
    fprintf(stderr, "zel-queryd: client %s gone (%s): its refusal (%s) not sent\n", addr_text(to, to_len).c_str(),
            strerror(err), reply_code_name(code).c_str());
}

void drop(refusal_queue* q, std::map<uint64_t, queued_refusal>::iterator it)
{
    close(it->second.fd);   /* closing also leaves the epoll set */
    q->queued.erase(it);
}

}  // namespace

void refusal_send(refusal_queue* q, const sockaddr_un& to, socklen_t to_len, int code)
{
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        const int err = errno;
        const nst_reply_hdr h = code_header(code);
        if (sendto(q->fallback_fd, &h, sizeof h, MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to),
                   to_len) == static_cast<ssize_t>(sizeof h))
            return;
        fprintf(stderr, "zel-queryd: refusal (%s) to %s lost: no socket to send it from (%s)\n",
                reply_code_name(code).c_str(), addr_text(to, to_len).c_str(), strerror(err));
        return;
    }
    if (connect(fd, reinterpret_cast<const sockaddr*>(&to), to_len) != 0) {
        log_gone(to, to_len, code, errno);
        close(fd);
        return;
    }
    const send_outcome r = send_code(fd, code);
    if (r != OUT_BLOCKED) {
        if (r == OUT_GONE)
            log_gone(to, to_len, code, errno);
        close(fd);
        return;
    }

    /* The client's queue is full: the refusal waits for room, and the queue
     * of waiting refusals stays bounded by giving up its oldest. */
    if (q->queued.size() >= q->max && !q->queued.empty()) {
        const auto oldest = q->queued.begin();
        fprintf(stderr, "zel-queryd: dropped the refusal (%s) queued for %s: more than %zu refusals wait for "
                        "clients that do not read\n",
                reply_code_name(oldest->second.code).c_str(),
                addr_text(oldest->second.to, oldest->second.to_len).c_str(), q->max);
        drop(q, oldest);
    }
    const uint64_t id = q->next_id++;
    epoll_event ev{};
    ev.events = EPOLLOUT;
    ev.data.u64 = id << kRoleBits | ROLE_REFUSAL;
    if (epoll_ctl(q->epoll_fd, EPOLL_CTL_ADD, fd, &ev) != 0) {
        fprintf(stderr, "zel-queryd: refusal (%s) to %s lost: its client's queue is full and it cannot wait (%s)\n",
                reply_code_name(code).c_str(), addr_text(to, to_len).c_str(), strerror(errno));
        close(fd);
        return;
    }
    q->queued[id] = queued_refusal{fd, to, to_len, code, steady::now() + std::chrono::seconds(kClientStallSec)};
}

void refusal_retry(refusal_queue* q, uint64_t id)
{
    const auto it = q->queued.find(id);
    if (it == q->queued.end())
        return;
    const queued_refusal& r = it->second;
    switch (send_code(r.fd, r.code)) {
    case OUT_BLOCKED:
        return;   /* woken with the others waiting on the same client; wait on */
    case OUT_GONE:
        log_gone(r.to, r.to_len, r.code, errno);
        break;
    case OUT_SENT:
        break;
    }
    drop(q, it);
}

steady::time_point refusal_expire(refusal_queue* q, steady::time_point now)
{
    /* Deadlines follow the ids, so the expired ones are at the front. */
    while (!q->queued.empty() && q->queued.begin()->second.deadline <= now) {
        const queued_refusal& r = q->queued.begin()->second;
        fprintf(stderr, "zel-queryd: client %s took no reply for %d s: dropped its refusal (%s)\n",
                addr_text(r.to, r.to_len).c_str(), kClientStallSec, reply_code_name(r.code).c_str());
        drop(q, q->queued.begin());
    }
    return q->queued.empty() ? steady::time_point::max() : q->queued.begin()->second.deadline;
}

void refusal_clear(refusal_queue* q)
{
    while (!q->queued.empty())
        drop(q, q->queued.begin());
}

}  // namespace queryd
