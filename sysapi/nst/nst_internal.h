/* Pieces shared by the stages of the query transport; not part of the
 * module's API. */
#ifndef ZEL_SYSAPI_NST_INTERNAL_H
#define ZEL_SYSAPI_NST_INTERNAL_H

#include <string.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

#include "sysapi/nst/nst_query.h"

namespace nst_detail {

/* The daemon's socket path: ZEL_QUERY_SOCKET when the environment sets it at
 * the first query, NSTD_QUERY_SOCK_PATH otherwise.  Never null. */
const char* daemon_path();
/* True when daemon_path() fits a sockaddr_un with its terminating NUL. */
bool daemon_path_fits();

/* The user ZEL_QUERY_UID adds to those trusted with the daemon's socket. */
struct query_uid_info {
    bool set;                     /* the variable was set, not empty */
    bool known;                   /* it named a user: uid is that user's */
    uid_t uid;
    char text[64];                /* the value as set, cut to fit */
};

/* ZEL_QUERY_UID as read at the first call (a number, or a user name resolved
 * with getpwnam_r) and kept for the life of the process.  Never null. */
const query_uid_info* query_uid();

enum trust_state {
    TRUST_OK = 0,                 /* socket and directory are trusted */
    TRUST_UNSEEN = 1,             /* one of them could not be looked at (err) */
    TRUST_REFUSED = 2,            /* fault says what is wrong */
};

enum trust_fault {
    FAULT_NONE = 0,
    FAULT_DIR_OWNER,              /* the directory's owner is not trusted */
    FAULT_DIR_WRITABLE,           /* group or others may write the directory */
    FAULT_DIR_SYMLINK,            /* the directory is a symbolic link */
    FAULT_SOCKET_OWNER,           /* the socket file's owner is not trusted */
    FAULT_SOCKET_SYMLINK,         /* the socket file is a symbolic link */
};

/* What check_daemon_socket found.  uid and mode (permission bits) are those
 * of the object a refusal is about, or of the socket file when trusted. */
struct socket_trust {
    bool checked;                 /* a check ran and filled the rest */
    int state;                    /* trust_state */
    int fault;                    /* trust_fault */
    int err;                      /* errno of TRUST_UNSEEN */
    bool on_socket;               /* the directory passed; the file was looked at */
    uid_t uid;
    mode_t mode;
    char dir[sizeof(sockaddr_un::sun_path)];   /* the socket's directory */
};

/* Checks the socket file `path` and its directory before anything is sent
 * there: both must belong to a trusted user (root, the process's effective
 * user, or query_uid()), the directory must not be writable by group or
 * others, and neither may be a symbolic link.  Returns TRUST_OK, TRUST_UNSEEN
 * (a missing file or directory: nothing can be sent there either) or
 * TRUST_REFUSED, and fills `out`.  See nst_query_trust.cc for what a
 * TRUST_OK guarantees. */
int check_daemon_socket(const char* path, socket_trust* out);

/* Writes, for a refusal `t` of `path`, a one-line message naming the path,
 * the owner (uid and name) and mode of what was refused, and who is trusted.
 * Returns what snprintf returns. */
int describe_distrust(const char* path, const socket_trust& t, char* buf, size_t size);

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

/* Who may answer one query.  Any local process can send a datagram to a
 * client's autobound name, so a reply datagram is taken only when the kernel
 * vouches (SCM_CREDENTIALS) that it comes from the user owning the daemon's
 * socket file, which check_daemon_socket found trusted before the request
 * went out, and, once one was taken, from that same process and socket.
 * Zero-filled, nobody is trusted; reply_guard_arm opens it for one query. */
struct reply_guard {
    bool uid_known;               /* the socket file passed the check */
    uid_t daemon_uid;             /* its owner */
    bool sender_known;            /* a datagram was taken */
    pid_t sender_pid;
    struct sockaddr_un sender_addr;   /* sender_len bytes; 0 for an unnamed socket */
    socklen_t sender_len;
};

/* Called when a query is sent: forgets any earlier sender and, when `trust`
 * is a passed check, takes the socket file's owner as the user replies must
 * come from.  Otherwise no reply will be taken. */
void reply_guard_arm(reply_guard* guard, const socket_trust& trust);

/* Receives the next reply datagram of `guard`'s query into `buf` (at most
 * `size` bytes; a longer datagram is cut, as recv cuts it).  Datagrams from
 * anyone else are dropped unseen and the wait goes on, but never past
 * `wait_sec` seconds from the call: a stream of foreign datagrams cannot keep
 * a reader waiting longer than silence would.  With `wait_sec` 0 the socket
 * is read without waiting.  Returns the datagram's size (0 for an empty one,
 * with errno 0), or -1 with errno set: EAGAIN when nothing acceptable arrived
 * in time or nothing is queued, otherwise the receive's own error.  A
 * waiting read blocks in the receive: the socket must be blocking with a
 * receive time-out of `wait_sec` seconds, as __nstd_query_sock(wait_sec)
 * makes it. */
ssize_t recv_reply(int s, char* buf, size_t size, reply_guard* guard, int wait_sec);

/* Reply datagrams taken from the socket in one receive.  A blocking read
 * takes the first datagram as recv_reply does and then whatever the daemon
 * has already queued behind it: one system call for up to k_batch_max
 * datagrams instead of one each. */
constexpr int k_batch_max = 16;

struct reply_batch {
    char data[k_batch_max][NSTD_REPLY_MAX_DGRAM];
    ssize_t len[k_batch_max];   /* a taken datagram's size; -1 for one dropped */
    int count;                  /* slots filled by the last receive */
    int next;                   /* the next slot to hand out */
};

/* Fills `batch` (emptied first) from `s`: waits for the first datagram as
 * recv_reply(s, ..., wait_sec) does, then takes what is queued without
 * waiting, up to k_batch_max.  Datagrams from anyone but the daemon are
 * dropped (their len is -1).  Returns the number of slots filled, at least
 * one of them taken; or -1 with errno set as recv_reply sets it. */
int recv_replies(int s, reply_batch* batch, reply_guard* guard, int wait_sec);

/* How far one request has gone out: bytes of header, path and data sent so
 * far.  Zero-filled before the first send; datagrams are sent whole, so the
 * count always stands at a datagram boundary. */
struct send_state {
    int sent;
};

/* Sends the request (header, path, data, split over datagrams) to the daemon
 * bound at `daemon_path`, resuming where `st` stands.  Before the first
 * datagram of a Unix-domain socket's request, the socket file and its
 * directory are checked (check_daemon_socket); the verdict goes to `trust`
 * when it is not null (trust->checked tells whether a check ran in this
 * call).  A socket of another family sends without the path and is not
 * checked.  Returns 0 when the whole request is out, ZEL_ERR_NOT_READY when a
 * non-blocking socket would block (call again later; `st` keeps the
 * progress), ZEL_ERR_SEND when an argument is unusable, the socket file or
 * its directory cannot be looked at (errno says why; nothing is sent) or a
 * send fails (errno says why), or ZEL_ERR_PATH_WRONG, with errno EPERM and
 * nothing sent, when the check refused the socket, and also when the first
 * datagram did not carry header and path.  With `trace`, progress and
 * failures are printed on standard output. */
int send_request(int s, const char* daemon_path, const char* path, int path_len, const char* data, int len,
                 unsigned int flag, zel_request_type_e type, send_state* st, bool trace, socket_trust* trust);

/* send_request for a whole request from the start on a blocking socket, with
 * the trace on, as __nstd_query_req_send makes it: a full queue fails the
 * send.  The check's verdict goes to `trust` when it is not null. */
int send_whole(int s, const char* path, int path_len, const char* data, int len, unsigned int flag,
               zel_request_type_e type, socket_trust* trust);

/* send_request for a poll context's query to the daemon at `daemon_path`,
 * quietly: the first call (`st` zero-filled) also arms the context's reply
 * guard with the check's verdict, so its replies are taken by
 * nstd_query_poll_read.  The verdict also goes to `trust` when it is not
 * null.  Returns what send_request returns; ZEL_ERR_SEND for a null context. */
int poll_send_to(nst_query_poll_t* ctx, const char* daemon_path, const char* data, int data_len, send_state* st,
                 socket_trust* trust);

/* Takes a payload handed over by poll_read_queued. */
using payload_fn = void (*)(void* args, const char* payload, int len);

/* For a non-blocking poll context: takes every reply datagram queued now, up
 * to k_batch_max, in one receive without waiting, and hands each one's
 * payload, in order, to `fn`.  Nothing is held back for a later call, so the
 * socket's readiness still tells whether more is to come.  Returns 1 when
 * the final datagram was among them (anything after it is dropped), 0 when
 * more is to come, ZEL_ERR_SOCK_EMPTY when nothing was queued, ZEL_ERR_REALLOC
 * when no room for the batch could be had, or what nstd_query_poll_read
 * returns for a bad datagram, after the payloads before it were handed
 * over. */
int poll_read_queued(nst_query_poll_t* ctx, payload_fn fn, void* args);

} // namespace nst_detail

#endif
