/* Query transport: framed, digested requests to the local query daemon over a
 * Unix-domain datagram socket, and the daemon's reply datagrams.
 *
 * Wire formats are in the host's byte order and carry no padding beyond what
 * is shown; the static_asserts below pin the layouts. */
#ifndef ZEL_SYSAPI_NST_QUERY_H
#define ZEL_SYSAPI_NST_QUERY_H

#include <stdint.h>

#include "ulib/zel_export.h"

#define NSTD_QUERY_SOCK_PATH "/tmp/nst/.nst.query"
#define NSTD_QUERY_ADDR_LEN 110        /* sizeof(struct sockaddr_un) */
#define NSTD_QUERY_TIMEOUT_SEC 12      /* receive time-out of a blocking socket */
#define NSTD_QUERY_HDR_LEN 28          /* sizeof(zel_query_header) */
#define NSTD_QUERY_MAX_DGRAM 3584      /* largest request datagram */
#define NSTD_QUERY_FIRST_ROOM 3556     /* path and data room in the first datagram */
#define NSTD_REPLY_HDR_LEN 12          /* sizeof(nst_reply_hdr) */
#define NSTD_REPLY_MAX_DGRAM 4096      /* receive size of a reply datagram */

ZEL_BEGIN_DECLS

typedef enum {
    zel_req_query = 0,
    zel_req_appliance_feed = 1,
} zel_request_type_e;

/* First 28 bytes of the first datagram of a request. */
typedef struct {
    int32_t type;                 /* zel_request_type_e */
    uint32_t flags;               /* sender's flags: 1 streamed, 0 one-shot */
    uint32_t total_len;           /* 28 + path length + data length */
    unsigned char request_digest[16]; /* MD5 of path bytes then all data bytes */
} zel_query_header;

/* First 12 bytes of every reply datagram. */
typedef struct nst_reply_header {
    uint8_t type;                 /* nstd_reply_code */
    uint8_t pad[3];
    int32_t len;                  /* whole datagram, header included */
    int32_t offset;               /* payload runs from offset to len */
} nst_reply_hdr;

typedef enum {
    QUERY_SUCCESS = 0,
    QUERY_SUCCESS_FIN = 1,
    QUERY_FAIL_REMOTE_ERR = 2,
    QUERY_FAIL_PATH_ERR = 3,
    QUERY_FAIL_PATH_LOOP = 4,
    QUERY_FAIL_ROUTE_ERR = 5,
    QUERY_FAIL_DOWNNRV_ERR = 6,
    QUERY_FAIL_DROP_TTL = 7,
    QUERY_FAIL_CONNECTION_CLOSED = 8,
    QUERY_FAIL_LOW_MEMORY = 9,
    KEY_UPD_SUCCESS = 10,
    FIXED_KEY_SET = 11,
    APPLIANCE_REP_INVALID_JSON = 12,
    APPLIANCE_REP_JSON_FAILED = 13,
    NSTD_HELLO_AUTH_MODE_CERT = 14,
    QUERY_FAIL_MALFORMED_HTTP_REQ = 15,
    FAIL_UNKNOWN_COMMAND = 255,
} nstd_reply_code;

typedef enum {
    ZEL_ERR_SOCKET = -1000,
    ZEL_ERR_SOCK_OPT = -999,
    ZEL_ERR_BIND = -998,
    ZEL_ERR_SEND = -997,
    ZEL_ERR_REALLOC = -996,
    ZEL_ERR_ALLOCATE = -995,      /* reserved */
    ZEL_ERR_RECV_FROM = -994,
    ZEL_ERR_BAD_LEN = -993,
    ZEL_ERR_NOT_READY = -992,     /* reserved */
    ZEL_ERR_SOCK_EMPTY = -991,
    ZEL_ERR_PATH_WRONG = -990,
    ZEL_ERR_CTX_OPEN = -989,
    ZEL_ERR_PROCESS_FAILED = -988,
} zel_error_codes;

/* Poll context flags; the whole value also goes into the request's flags. */
#define NSTD_QUERY_F_PARTIAL 1    /* per-datagram delivery, 4096 + 1 byte buffer */
#define NSTD_QUERY_F_NONBLOCK 2   /* non-blocking socket instead of the time-out */

typedef struct _nst_query_poll {
    int32_t s;                    /* client socket */
    const char* path;             /* caller's path, not copied */
    int32_t path_len;
    char flag;
    char* buf;                    /* blen + 1 bytes */
    int32_t blen;
    int32_t rlen;                 /* payload bytes held in buf */
} nst_query_poll_t;

/* Processor of one reply payload.  `data[len]` is writable.  A negative
 * return aborts the query; 0 or more lets it go on. */
typedef int (*query_processor_fn)(char* data, int len, void* args);

/* Internal steps, exported for the daemon's and the tests' use. */

/* Returns a bound client socket, or ZEL_ERR_SOCKET, ZEL_ERR_SOCK_OPT or
 * ZEL_ERR_BIND.  timeout 0 makes the socket non-blocking. */
ZEL_EXPORT int __nstd_query_sock(int timeout);
/* Same as __nstd_query_sock(timeout); `path` is ignored. */
ZEL_EXPORT int __nstd_query_sock_open(const char* path, int timeout);
/* Returns 0 when the whole request was sent, else ZEL_ERR_SEND (also for a
 * null piece with a length, a negative length, a path longer than
 * NSTD_QUERY_FIRST_ROOM, or a daemon socket file or directory that cannot be
 * looked at, none of which is sent) or ZEL_ERR_PATH_WRONG (also, with nothing
 * sent, when the daemon's socket is not trusted: see "Trusted socket" below).
 * The socket stays open. */
ZEL_EXPORT int __nstd_query_req_send(int s, const char* path, int path_len, const char* data, int len,
                                     unsigned int flag, zel_request_type_e type);
/* Writes the 16-byte MD5 of path then data to md5_buf. */
ZEL_EXPORT void query_md5(const char* path, int path_len, const char* data, int data_len, char* md5_buf);
/* One-shot query with a request type; see nstd_query_req. */
ZEL_EXPORT char* __nstd_query_req(const char* path, int path_len, const char* data, int len, int* rlen,
                                  zel_request_type_e type);

/* Public operations.
 *
 * Trusted socket: before a request goes out, the daemon's socket file and its
 * directory must belong to root, to the process's effective user, or to the
 * user ZEL_QUERY_UID names (a uid or a user name, read at the first query),
 * the directory must not be writable by group or others, and neither may be a
 * symbolic link.  Otherwise nothing is sent and the send fails with
 * ZEL_ERR_PATH_WRONG; reply datagrams are taken only from the user owning the
 * socket file. */

/* Returns a new poll context, or null on any failure.  Contexts are made only
 * here: the transport keeps, next to each, who may answer its request. */
ZEL_EXPORT nst_query_poll_t* nstd_query_poll_open(const char* path, int path_len, char flags);
/* Returns 0, ZEL_ERR_SEND (also for a null context) or ZEL_ERR_PATH_WRONG
 * (also for an untrusted socket, with nothing sent). */
ZEL_EXPORT int nstd_query_poll_send(nst_query_poll_t* ctx, const char* data, int data_len);
/* Returns 0 for a non-final datagram, 1 for the final one, or a negative
 * code: ZEL_ERR_REALLOC, ZEL_ERR_SOCK_EMPTY, ZEL_ERR_RECV_FROM (also for a
 * null context), ZEL_ERR_BAD_LEN, or the daemon's reply code negated (-2 to
 * -255).  After a read, buf holds rlen payload bytes followed by a 0.
 * Only datagrams of the daemon's user, and after the first one taken only
 * those of the same sender, are read; others are dropped unseen. */
ZEL_EXPORT int nstd_query_poll_read(nst_query_poll_t* ctx);
/* Closes the socket and frees the context; null is ignored. */
ZEL_EXPORT void nstd_query_poll_close(nst_query_poll_t* ctx);
/* Streamed query.  Returns 1 when the reply was complete and every payload
 * accepted, 0 when fn is null, otherwise a negative code: ZEL_ERR_PATH_WRONG
 * when the daemon's socket is not trusted (nothing was sent), ZEL_ERR_SEND
 * for any other failed send. */
ZEL_EXPORT int nstd_query_req_partial(const char* path, int path_len, const char* req, int req_len,
                                      query_processor_fn fn, void* args);
/* One-shot query.  Returns a malloc'ed buffer of *rlen payload bytes, or null
 * with *rlen a zel_error_codes value (ZEL_ERR_PATH_WRONG for an untrusted
 * socket, nothing sent) or the daemon's reply code (2 to 255); null with
 * nothing sent when rlen is null. */
ZEL_EXPORT char* nstd_query_req(const char* path, int path_len, const char* req, int req_len, int* rlen);

ZEL_END_DECLS

#ifdef __cplusplus
static_assert(sizeof(zel_query_header) == NSTD_QUERY_HDR_LEN, "request header layout");
static_assert(sizeof(nst_reply_hdr) == NSTD_REPLY_HDR_LEN, "reply header layout");
#endif

#endif
