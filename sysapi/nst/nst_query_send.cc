/* Request framing: header, digest and the splitting of a request over
 * datagrams of at most NSTD_QUERY_MAX_DGRAM bytes. */
#include <errno.h>
#include <limits.h>
#include <openssl/md5.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>

#include "sysapi/nst/nst_internal.h"
#include "sysapi/nst/nst_query.h"
#include "ulib/quiet.h"

namespace {

constexpr const char* kSendFn = "__nstd_query_req_send";

/* The destination of a request: the whole sockaddr_un, path area zero-filled
 * after the path, as the daemon binds it.  Returns false when the path does
 * not fit. */
bool daemon_addr(const char* daemon_path, struct sockaddr_un* addr)
{
    memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    const size_t n = strlen(daemon_path);
    if (n == 0 || n >= sizeof addr->sun_path)
        return false;
    memcpy(addr->sun_path, daemon_path, n);
    return true;
}

static_assert(sizeof(struct sockaddr_un) == NSTD_QUERY_ADDR_LEN, "daemon address length");
static_assert(sizeof NSTD_QUERY_SOCK_PATH <= sizeof(sockaddr_un::sun_path),
              "default daemon path fits the address");

/* A piece of memory is usable when it is empty or present. */
bool valid_piece(const char* p, int len)
{
    return len >= 0 && (len == 0 || p != nullptr);
}

} // namespace

/* Writes the MD5 of the path bytes followed by the data bytes to md5_buf;
 * null or empty pieces count as no bytes, and a null md5_buf is ignored. */
void query_md5(const char* path, int path_len, const char* data, int data_len, char* md5_buf)
{
    if (md5_buf == nullptr)
        return;
    MD5_CTX ctx;
    MD5_Init(&ctx);
    if (path != nullptr && path_len > 0)
        MD5_Update(&ctx, path, static_cast<size_t>(path_len));
    if (data != nullptr && data_len > 0)
        MD5_Update(&ctx, data, static_cast<size_t>(data_len));
    MD5_Final(reinterpret_cast<unsigned char*>(md5_buf), &ctx);
}

int nst_detail::send_request(int s, const char* daemon_path, const char* path, int path_len, const char* data,
                             int len, unsigned int flag, zel_request_type_e type, send_state* st, bool trace,
                             socket_trust* trust)
{
    if (trust != nullptr)
        trust->checked = false;
    if (!valid_piece(path, path_len) || !valid_piece(data, len) || daemon_path == nullptr || st == nullptr)
        return ZEL_ERR_SEND;
    /* Header and path must share the first datagram. */
    if (path_len > NSTD_QUERY_FIRST_ROOM) {
        if (trace)
            zel_detail::say("%s Error: sizeof path is too big (%d)\n", kSendFn, path_len);
        return ZEL_ERR_SEND;
    }
    /* total_len and the running count below are int-sized. */
    if (len > INT_MAX - NSTD_QUERY_HDR_LEN - path_len)
        return ZEL_ERR_SEND;
    const int head = NSTD_QUERY_HDR_LEN + path_len;
    if (st->sent < 0 || st->sent > head + len || (st->sent > 0 && st->sent < head))
        return ZEL_ERR_SEND;

    struct sockaddr_un addr;
    if (!daemon_addr(daemon_path, &addr)) {
        /* A ZEL_QUERY_SOCKET too long for an address names no daemon we can
         * reach; nothing is sent. */
        if (trace)
            zel_detail::say("%s Error: query socket path is too long (%s)\n", kSendFn, daemon_path);
        errno = ENAMETOOLONG;
        return ZEL_ERR_SEND;
    }

    /* Nothing goes to a socket a local user could have put there in the
     * daemon's place.  Checked once per request, before its first datagram:
     * the rest follows to the same directory, which only trusted users can
     * change.  A socket of another family is connected, not sent by path. */
    int domain = AF_UNIX;
    socklen_t domain_len = sizeof domain;
    if (st->sent == 0 && (getsockopt(s, SOL_SOCKET, SO_DOMAIN, &domain, &domain_len) != 0 || domain == AF_UNIX)) {
        socket_trust local;
        socket_trust* t = trust != nullptr ? trust : &local;
        const int verdict = check_daemon_socket(daemon_path, t);
        if (verdict == TRUST_UNSEEN) {
            errno = t->err;
            if (trace)
                zel_detail::say("%s error while sending %m\n", kSendFn);
            return ZEL_ERR_SEND;
        }
        if (verdict == TRUST_REFUSED) {
            if (trace && !zel_detail::quiet()) {
                char why[1024];
                describe_distrust(daemon_path, *t, why, sizeof why);
                zel_detail::say("%s Error: %s\n", kSendFn, why);
            }
            errno = EPERM;
            return ZEL_ERR_PATH_WRONG;
        }
    }

    zel_query_header hdr;
    memset(&hdr, 0, sizeof hdr);
    hdr.type = type;
    hdr.flags = flag;
    hdr.total_len = static_cast<uint32_t>(head + len);
    /* Computed over the whole data before anything is sent, so it does not
     * depend on how the request is split. */
    if (st->sent == 0)
        query_md5(path, path_len, data, len, reinterpret_cast<char*>(hdr.request_digest));

    const int first_data = (head + len <= NSTD_QUERY_MAX_DGRAM) ? len : NSTD_QUERY_FIRST_ROOM - path_len;
    struct iovec iov[3] = {
        {&hdr, sizeof hdr},
        {const_cast<char*>(path), static_cast<size_t>(path_len)},
        {const_cast<char*>(data), static_cast<size_t>(first_data)},
    };
    struct msghdr msg;
    memset(&msg, 0, sizeof msg);
    msg.msg_name = &addr;
    msg.msg_namelen = NSTD_QUERY_ADDR_LEN;
    msg.msg_iov = iov;
    msg.msg_iovlen = 3;

    /* Data bytes sent so far; header and path count as negative so that the
     * count reaches 0 exactly where the data begins. */
    int base = st->sent - head;
    for (;;) {
        if (base >= 0) {
            if (base >= len)
                return 0;
            /* Continuation datagrams are bare data, read straight from the
             * caller's buffer. */
            const int rest = len - base;
            iov[0].iov_base = const_cast<char*>(data) + base;
            iov[0].iov_len = static_cast<size_t>(rest < NSTD_QUERY_MAX_DGRAM ? rest : NSTD_QUERY_MAX_DGRAM);
            msg.msg_iovlen = 1;
        }
        ssize_t sent = sendmsg(s, &msg, MSG_NOSIGNAL);
        if (sent < 0 && msg.msg_name != nullptr && (errno == EAFNOSUPPORT || errno == EISCONN)) {
            /* A socket of another family is taken to be connected: its
             * datagrams go without the daemon's address. */
            msg.msg_name = nullptr;
            msg.msg_namelen = 0;
            sent = sendmsg(s, &msg, MSG_NOSIGNAL);
        }
        if (sent < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return ZEL_ERR_NOT_READY;
            if (trace)
                zel_detail::say("%s error while sending %m\n", kSendFn);
            return ZEL_ERR_SEND;
        }
        base += static_cast<int>(sent);
        st->sent = base + head;
        if (base < 0) {
            if (trace)
                zel_detail::say("%s Error: sizeof path is too big (%d)\n", kSendFn, path_len);
            return ZEL_ERR_PATH_WRONG;
        }
        if (trace)
            zel_detail::say("base:%d to_send:%d\n", base, len - base);
    }
}

int nst_detail::send_whole(int s, const char* path, int path_len, const char* data, int len, unsigned int flag,
                           zel_request_type_e type, socket_trust* trust)
{
    send_state st = {};
    const int rc = send_request(s, daemon_path(), path, path_len, data, len, flag, type, &st, true, trust);
    /* A blocking socket never reports a full queue; a non-blocking one that
     * does has failed this one-call send. */
    if (rc == ZEL_ERR_NOT_READY) {
        zel_detail::say("%s error while sending %m\n", kSendFn);
        return ZEL_ERR_SEND;
    }
    return rc;
}

/* Returns 0 when the whole request was sent; ZEL_ERR_SEND when an argument is
 * unusable, the path leaves no room in the first datagram, the daemon's socket
 * file or directory cannot be looked at, or a send fails; ZEL_ERR_PATH_WRONG
 * when the socket file or its directory is not a trusted user's (nothing is
 * sent), or the first datagram did not carry header and path. */
int __nstd_query_req_send(int s, const char* path, int path_len, const char* data, int len,
                          unsigned int flag, zel_request_type_e type)
{
    return nst_detail::send_whole(s, path, path_len, data, len, flag, type, nullptr);
}
