/* Pieces shared by the stages of the query transport; not part of the
 * module's API. */
#ifndef ZEL_SYSAPI_NST_INTERNAL_H
#define ZEL_SYSAPI_NST_INTERNAL_H

#include <string.h>
#include <sys/types.h>
#include <unistd.h>

#include "sysapi/nst/nst_query.h"

namespace nst_detail {

/* The daemon's socket path: ZEL_QUERY_SOCKET when the environment sets it at
 * the first query, NSTD_QUERY_SOCK_PATH otherwise.  Never null. */
const char* daemon_path();
/* True when daemon_path() fits a sockaddr_un with its terminating NUL. */
bool daemon_path_fits();

/* Owns a descriptor until it is released to the caller; closes it on every
 * other way out of the scope. */
struct fd_owner {
    int fd = -1;

    explicit fd_owner(int d) : fd(d) {}
    fd_owner(const fd_owner&) = delete;
    fd_owner& operator=(const fd_owner&) = delete;
    ~fd_owner()
    {
        if (fd >= 0)
            close(fd);
    }
    int release()
    {
        const int d = fd;
        fd = -1;
        return d;
    }
};

/* A reply datagram whose framing has been checked. */
struct reply_view {
    unsigned int type;            /* nstd_reply_code as received, 0 to 255 */
    const char* payload;          /* null when the datagram carries none */
    int payload_len;
};

/* Returns 0 and fills `out` when the `n` bytes at `pkt` form a reply datagram,
 * or ZEL_ERR_BAD_LEN when they are shorter than the reply header or differ
 * from the header's len. */
inline int parse_reply(const char* pkt, ssize_t n, reply_view* out)
{
    if (n < NSTD_REPLY_HDR_LEN)
        return ZEL_ERR_BAD_LEN;
    nst_reply_hdr hdr;
    memcpy(&hdr, pkt, sizeof hdr);
    if (hdr.len != n)
        return ZEL_ERR_BAD_LEN;

    out->type = hdr.type;
    out->payload = nullptr;
    out->payload_len = 0;
    /* len equals the bytes received, so an offset in [0, len) keeps the whole
     * payload inside the datagram.  Any other offset means "no payload". */
    if (hdr.offset >= 0 && hdr.offset < hdr.len) {
        out->payload = pkt + hdr.offset;
        out->payload_len = hdr.len - hdr.offset;
    }
    return 0;
}

inline bool is_success(unsigned int type)
{
    return type == QUERY_SUCCESS || type == QUERY_SUCCESS_FIN;
}

} // namespace nst_detail

#endif
