/* The client socket of the query transport. */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>

#include "sysapi/nst/nst_internal.h"
#include "sysapi/nst/nst_query.h"
#include "ulib/quiet.h"

/* Returns a bound descriptor, or ZEL_ERR_SOCKET, ZEL_ERR_SOCK_OPT or ZEL_ERR_BIND. */
int __nstd_query_sock(int timeout)
{
    nst_detail::fd_owner s(socket(AF_UNIX, SOCK_DGRAM, 0));
    if (s.fd < 0)
        return ZEL_ERR_SOCKET;

    /* The kernel attaches each sender's credentials to what this socket
     * receives: a reply is taken only from the daemon (recv_reply). */
    const int on = 1;
    if (setsockopt(s.fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0)
        return ZEL_ERR_SOCK_OPT;

    if (timeout != 0) {
        /* Only receives wait; a send to a full daemon queue blocks as the
         * kernel decides. */
        const struct timeval tv = {timeout, 0};
        if (setsockopt(s.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0)
            return ZEL_ERR_SOCK_OPT;
    } else {
        const int fl = fcntl(s.fd, F_GETFL);
        (void)fcntl(s.fd, F_SETFL, fl | O_NONBLOCK);
    }

    /* An address of the family alone makes Linux autobind the socket to a
     * fresh abstract name: replies find their way back without a file, and
     * the name dies with the socket. */
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (bind(s.fd, reinterpret_cast<const struct sockaddr*>(&addr), sizeof(sa_family_t)) != 0) {
        char msg[256];
        zel_detail::say("bind query sock: %s\n", strerror_r(errno, msg, sizeof msg));
        return ZEL_ERR_BIND;
    }
    return s.release();
}

/* Returns what __nstd_query_sock(timeout) returns; the daemon's path is fixed,
 * so `path` is not used. */
int __nstd_query_sock_open(const char* path, int timeout)
{
    (void)path;
    return __nstd_query_sock(timeout);
}
