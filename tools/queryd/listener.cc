#include <errno.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <utility>

#include "tools/queryd/event_loop.h"

/* The request socket: datagrams are taken in, reassembled into requests, and
 * refused when no room is left for them.
 *
 * Room for requests: a request that arrives in one datagram never waits for
 * anything and goes straight to an exchange, of which --max-clients may run,
 * and --max-clients-per-sender (a quarter by default) for one sending process:
 * a process that holds its share is refused while others are still served.
 * Requests whose datagrams are still due are held in a table of their own
 * (--max-half-sent, a quarter of it per sending process); when it is full the
 * stalest gives way.  So half-sent requests, however many and however slowly
 * fed, cannot keep whole requests from being served. */

namespace queryd {

namespace {

void log_refusal(const std::string& who, const sockaddr_un& from, socklen_t from_len, const char* reason, int code)
{
    fprintf(stderr, "zel-queryd: refused %s from %s: %s (%s)\n", who.c_str(), addr_text(from, from_len).c_str(),
            reason, reply_code_name(code).c_str());
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

/* Makes `x` a record that swallows the `left` bytes still due of a refused
 * request, so its continuation datagrams are not taken for new requests and
 * answered again.  False, with `x` unchanged, when none are due or no more
 * such records may be kept. */
bool start_discarding(daemon_state& s, exchange& x, size_t left)
{
    if (left == 0 || s.discarding >= discard_limit(s))
        return false;
    x.state = X_DISCARDING;
    x.discard_left = left;
    x.rq = request{};
    x.deadline = steady::now() + std::chrono::seconds(s.opts->request_timeout);
    ++s.discarding;
    return true;
}

/* A refused request that was never recorded: recorded now to swallow the rest. */
void discard_rest(daemon_state& s, std::unique_ptr<exchange> x, size_t left)
{
    if (!start_discarding(s, *x, left))
        return;
    s.by_addr[x->key] = x->id;
    s.by_id[x->id] = std::move(x);
}

/* Turns a refused half-sent request into a record that swallows the `left`
 * bytes still due, or ends it when none are due or no record can be kept. */
void swallow_rest(daemon_state& s, exchange& x, size_t left)
{
    half_sent_remove(&s.half_sent, x.id);
    if (!start_discarding(s, x, left))
        erase(s, x);
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

}  // namespace

void refuse_new(daemon_state& s, const sockaddr_un& from, socklen_t from_len, const std::string& who,
                const char* reason, int code)
{
    log_refusal(who, from, from_len, reason, code);
    refusal_send(&s.refusals, from, from_len, code);
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

}  // namespace queryd
