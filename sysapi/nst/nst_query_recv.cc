/* Receiving reply datagrams: only the daemon's own are taken. */
#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
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
    struct stat st;
    if (daemon_path != nullptr && stat(daemon_path, &st) == 0) {
        guard->uid_known = true;
        guard->daemon_uid = st.st_uid;
    }
}

ssize_t recv_reply(int s, char* buf, size_t size, reply_guard* guard, int wait_sec)
{
    const long long deadline = now_ms() + static_cast<long long>(wait_sec) * 1000;
    int dropped = 0;
    for (;;) {
        if (wait_sec > 0) {
            const long long left = deadline - now_ms();
            if (left <= 0) {
                errno = EAGAIN;
                return -1;
            }
            struct pollfd p = {s, POLLIN, 0};
            const int ready = poll(&p, 1, left > INT_MAX ? INT_MAX : static_cast<int>(left));
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready < 0)
                return -1;
            if (ready == 0) {
                errno = EAGAIN;
                return -1;
            }
        } else if (dropped >= k_drop_max_nowait) {
            errno = EAGAIN;
            return -1;
        }

        struct sockaddr_un from;
        memset(&from, 0, sizeof from);
        struct iovec iov = {buf, size};
        /* Room for credentials and a few descriptors, so that descriptors a
         * foreign sender passes arrive here and are closed. */
        alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(struct ucred)) + CMSG_SPACE(16 * sizeof(int))];
        struct msghdr msg;
        memset(&msg, 0, sizeof msg);
        msg.msg_name = &from;
        msg.msg_namelen = sizeof from;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;

        const ssize_t n = recvmsg(s, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
        if (n < 0) {
            /* Taken by nobody else, but readiness can still be spurious. */
            if ((errno == EAGAIN || errno == EWOULDBLOCK) && wait_sec > 0)
                continue;
            if (errno == EINTR)
                continue;
            return -1;
        }
        struct ucred cred;
        if (sender_creds(&msg, &cred) && take_sender(guard, cred, from, msg.msg_namelen)) {
            errno = 0;
            return n;
        }
        ++dropped;
    }
}

} // namespace nst_detail
