/* Receiving reply datagrams: only the daemon's own are taken. */
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>

#include "sysapi/nst/nst_internal.h"
#include "sysapi/nst/nst_query.h"

namespace nst_detail {

namespace {

/* Foreign datagrams dropped in one read of a socket that does not wait,
 * before the read gives up for now; the caller polls again. */
constexpr int k_drop_max_nowait = 64;

long long now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

/* The sender's credentials, if the kernel attached them.  Descriptors passed
 * along (SCM_RIGHTS) are closed at once: no reply carries any, and a foreign
 * sender must not leave open files behind. */
bool sender_creds(struct msghdr* msg, struct ucred* cred)
{
    bool found = false;
    for (struct cmsghdr* c = CMSG_FIRSTHDR(msg); c != nullptr; c = CMSG_NXTHDR(msg, c)) {
        if (c->cmsg_level != SOL_SOCKET)
            continue;
        if (c->cmsg_type == SCM_CREDENTIALS && c->cmsg_len >= CMSG_LEN(sizeof(struct ucred))) {
            memcpy(cred, CMSG_DATA(c), sizeof *cred);
            found = true;
        } else if (c->cmsg_type == SCM_RIGHTS) {
            const size_t n = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t i = 0; i < n; ++i) {
                int fd;
                memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
                close(fd);
            }
            return false;
        }
    }
    /* A cut control area may have hidden descriptors; such a datagram is
     * not the daemon's either. */
    return found && (msg->msg_flags & MSG_CTRUNC) == 0;
}

/* True when the datagram may belong to the reply; the first one taken fixes
 * the sender for the rest of it. */
bool take_sender(reply_guard* guard, const struct ucred& cred, const struct sockaddr_un& from, socklen_t from_len)
{
    if (!guard->uid_known || cred.uid != guard->daemon_uid)
        return false;
    if (from_len > sizeof from)
        return false;
    if (!guard->sender_known) {
        guard->sender_known = true;
        guard->sender_pid = cred.pid;
        guard->sender_addr = from;
        guard->sender_len = from_len;
        return true;
    }
    return cred.pid == guard->sender_pid && from_len == guard->sender_len &&
           memcmp(&from, &guard->sender_addr, from_len) == 0;
}

} // namespace

void reply_guard_arm(reply_guard* guard, const char* daemon_path)
{
    memset(guard, 0, sizeof *guard);
    /* statx rather than stat: glibc exports stat itself only from 2.33,
     * statx from 2.28, the oldest glibc the Node.js releases run on. */
    struct statx st;
    if (daemon_path != nullptr && statx(AT_FDCWD, daemon_path, 0, STATX_UID, &st) == 0 && (st.stx_mask & STATX_UID)) {
        guard->uid_known = true;
        guard->daemon_uid = st.stx_uid;
    }
}

namespace {

/* Sets the receive time-out of `s` to `ms` milliseconds (at least 1). */
void set_recv_timeout(int s, long long ms)
{
    struct timeval tv = {static_cast<time_t>(ms / 1000), static_cast<suseconds_t>((ms % 1000) * 1000)};
    (void)setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

/* Address and control area of one datagram being received.  The control
 * area has room for credentials and a few descriptors, so that descriptors a
 * foreign sender passes arrive here and are closed. */
struct recv_meta {
    struct sockaddr_un from;
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(struct ucred)) + CMSG_SPACE(16 * sizeof(int))];
    struct iovec iov;
};

/* Receives up to `max` datagrams into bufs[i] (`size` bytes each) and sets
 * lens[i] to each one's size, or -1 for one not from the daemon.  Returns how
 * many slots were filled, at least one taken, or -1 with errno set.
 *
 * A waiting read blocks in the receive itself, on the socket's own time-out,
 * and takes further datagrams only as far as they are already queued: one
 * system call however many the daemon has sent ahead.  After a foreign
 * datagram or a signal the time-out is cut to what is left of the wait, and
 * restored before returning, so that neither can keep the reader waiting
 * longer than silence would. */
int receive(int s, char* const* bufs, size_t size, ssize_t* lens, int max, reply_guard* guard, int wait_sec)
{
    const int flags = MSG_CMSG_CLOEXEC | (wait_sec > 0 ? MSG_WAITFORONE : MSG_DONTWAIT);
    const long long deadline = wait_sec > 0 ? now_ms() + static_cast<long long>(wait_sec) * 1000 : 0;
    bool cut = false;
    int dropped = 0;
    int result;
    recv_meta meta[k_batch_max];
    struct mmsghdr mm[k_batch_max];
    if (max > k_batch_max)
        max = k_batch_max;
    for (;;) {
        if (wait_sec <= 0 && dropped >= k_drop_max_nowait) {
            errno = EAGAIN;
            result = -1;
            break;
        }
        memset(mm, 0, sizeof(mm[0]) * static_cast<size_t>(max));
        for (int i = 0; i < max; ++i) {
            meta[i].iov = {bufs[i], size};
            struct msghdr& m = mm[i].msg_hdr;
            m.msg_name = &meta[i].from;
            m.msg_namelen = sizeof meta[i].from;
            m.msg_iov = &meta[i].iov;
            m.msg_iovlen = 1;
            m.msg_control = meta[i].control;
            m.msg_controllen = sizeof meta[i].control;
        }

        const int got = recvmmsg(s, mm, static_cast<unsigned int>(max), flags, nullptr);
        if (got < 0 && errno != EINTR) {
            result = -1;
            break;
        }
        int taken = 0;
        for (int i = 0; i < got; ++i) {
            struct ucred cred;
            struct msghdr& m = mm[i].msg_hdr;
            if (sender_creds(&m, &cred) && take_sender(guard, cred, meta[i].from, m.msg_namelen)) {
                lens[i] = static_cast<ssize_t>(mm[i].msg_len);
                ++taken;
            } else {
                lens[i] = -1;
                ++dropped;
            }
        }
        if (taken > 0) {
            errno = 0;
            result = got;
            break;
        }
        if (wait_sec > 0) {
            const long long t = now_ms();
            if (t >= deadline) {
                errno = EAGAIN;
                result = -1;
                break;
            }
            set_recv_timeout(s, deadline - t);
            cut = true;
        }
    }
    if (cut) {
        const int saved = errno;
        set_recv_timeout(s, static_cast<long long>(wait_sec) * 1000);
        errno = saved;
    }
    return result;
}

} // namespace

ssize_t recv_reply(int s, char* buf, size_t size, reply_guard* guard, int wait_sec)
{
    ssize_t len = -1;
    return receive(s, &buf, size, &len, 1, guard, wait_sec) < 0 ? -1 : len;
}

int recv_replies(int s, reply_batch* batch, reply_guard* guard, int wait_sec)
{
    char* bufs[k_batch_max];
    for (int i = 0; i < k_batch_max; ++i)
        bufs[i] = batch->data[i];
    batch->next = 0;
    batch->count = 0;
    const int got = receive(s, bufs, sizeof batch->data[0], batch->len, k_batch_max, guard, wait_sec);
    if (got > 0)
        batch->count = got;
    return got;
}

} // namespace nst_detail
