/* Request framing: header, digest and the splitting of a request over
 * datagrams of at most NSTD_QUERY_MAX_DGRAM bytes. */
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

/* The destination of every request: the whole sockaddr_un, path area
 * zero-filled after the path, as the daemon binds it.  The caller has checked
 * that the path fits. */
struct sockaddr_un daemon_addr()
{
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, nst_detail::daemon_path());
    return addr;
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

/* Returns 0 when the whole request was sent, ZEL_ERR_SEND when an argument is
 * unusable, the path leaves no room in the first datagram or a send fails, and
 * ZEL_ERR_PATH_WRONG when the first datagram did not carry header and path. */
int __nstd_query_req_send(int s, const char* path, int path_len, const char* data, int len,
                          unsigned int flag, zel_request_type_e type)
{
    if (!valid_piece(path, path_len) || !valid_piece(data, len))
        return ZEL_ERR_SEND;
    /* Header and path must share the first datagram. */
    if (path_len > NSTD_QUERY_FIRST_ROOM) {
        if (!zel_detail::quiet())
            printf("%s Error: sizeof path is too big (%d)\n", kSendFn, path_len);
        return ZEL_ERR_SEND;
    }
    /* total_len and the running count below are int-sized. */
    if (len > INT_MAX - NSTD_QUERY_HDR_LEN - path_len)
        return ZEL_ERR_SEND;

    /* A socket of another family is taken to be connected and its datagrams
     * carry no address; a failed query leaves the preset AF_UNIX. */
    int domain = AF_UNIX;
    socklen_t dlen = sizeof domain;
    (void)getsockopt(s, SOL_SOCKET, SO_DOMAIN, &domain, &dlen);
    /* A ZEL_QUERY_SOCKET too long for an address names no daemon we can
     * reach; nothing is sent. */
    if (domain == AF_UNIX && !nst_detail::daemon_path_fits()) {
        if (!zel_detail::quiet())
            printf("%s Error: query socket path is too long (%s)\n", kSendFn, nst_detail::daemon_path());
        return ZEL_ERR_SEND;
    }
    struct sockaddr_un addr = daemon_addr();

    const int head = NSTD_QUERY_HDR_LEN + path_len;
    zel_query_header hdr;
    memset(&hdr, 0, sizeof hdr);
    hdr.type = type;
    hdr.flags = flag;
    hdr.total_len = static_cast<uint32_t>(head + len);
    /* Computed over the whole data before anything is sent, so it does not
     * depend on how the request is split. */
    query_md5(path, path_len, data, len, reinterpret_cast<char*>(hdr.request_digest));

    const int first_data = (head + len <= NSTD_QUERY_MAX_DGRAM) ? len : NSTD_QUERY_FIRST_ROOM - path_len;
    struct iovec iov[3] = {
        {&hdr, sizeof hdr},
        {const_cast<char*>(path), static_cast<size_t>(path_len)},
        {const_cast<char*>(data), static_cast<size_t>(first_data)},
    };
    struct msghdr msg;
    memset(&msg, 0, sizeof msg);
    if (domain == AF_UNIX) {
        msg.msg_name = &addr;
        msg.msg_namelen = NSTD_QUERY_ADDR_LEN;
    }
    msg.msg_iov = iov;
    msg.msg_iovlen = 3;

    /* Data bytes sent so far; header and path count as negative so that the
     * count reaches 0 exactly where the data begins. */
    int base = -head;
    while (base < len) {
        const ssize_t sent = sendmsg(s, &msg, 0);
        if (sent < 0) {
            if (!zel_detail::quiet())
                printf("%s error while sending %m\n", kSendFn);
            return ZEL_ERR_SEND;
        }
        base += static_cast<int>(sent);
        if (base < 0) {
            if (!zel_detail::quiet())
                printf("%s Error: sizeof path is too big (%d)\n", kSendFn, path_len);
            return ZEL_ERR_PATH_WRONG;
        }
        if (!zel_detail::quiet())
            printf("base:%d to_send:%d\n", base, len - base);

        /* Continuation datagrams are bare data, read straight from the
         * caller's buffer. */
        const int rest = len - base;
        iov[0].iov_base = const_cast<char*>(data) + base;
        iov[0].iov_len = static_cast<size_t>(rest < NSTD_QUERY_MAX_DGRAM ? rest : NSTD_QUERY_MAX_DGRAM);
        msg.msg_iovlen = 1;
    }
    return 0;
}
