/* Non-blocking queries: one request sent piece by piece as the daemon's queue
 * takes it, and the reply read as an event loop finds the socket readable.
 *
 * A context for these is opened with nstd_query_poll_open and the flags
 * NSTD_QUERY_F_NONBLOCK | NSTD_QUERY_F_PARTIAL, and closed with
 * nstd_query_poll_close (nst_query.h).  Every reply datagram passes the same
 * checks as for nstd_query_poll_read: its framing, and that it comes from the
 * daemon's user and, after the first one taken, from the same sender.
 *
 * These names have C linkage but are not exported from the module file: the
 * module's own script side is their only user. */
#ifndef ZEL_SYSAPI_NST_QUERY_ASYNC_H
#define ZEL_SYSAPI_NST_QUERY_ASYNC_H

#include <stddef.h>
#include <stdint.h>

#include "sysapi/nst/nst_query.h"
#include "ulib/zel_export.h"

/* Reply datagrams one nstd_query_async_read takes at most: a caller that
 * gathers their payloads needs room for this many NSTD_REPLY_MAX_DGRAM. */
#define NSTD_QUERY_ASYNC_BATCH 16

/* Room for the message nstd_query_async_send writes when it refuses the
 * daemon's socket. */
#define NSTD_QUERY_ASYNC_WHY_MAX 1024

ZEL_BEGIN_DECLS

/* How far one request has gone out.  Zero-filled before its first
 * nstd_query_async_send; the same record goes to every later call for that
 * request. */
typedef struct {
    int32_t sent;                 /* bytes of header, path and data sent so far */
} nstd_query_async_progress;

/* Takes one reply payload handed over by nstd_query_async_read. */
typedef void (*nstd_query_payload_fn)(void* args, const char* payload, int len);

/* Returns the descriptor of `ctx`'s socket, which an event loop watches for
 * readability (it stays the context's: nstd_query_poll_close closes it), or
 * -1 for a null context. */
int nstd_query_async_fd(const nst_query_poll_t* ctx);

/* Sends the request `data` of `data_len` bytes of the context's query to the
 * daemon bound at `daemon_path`, resuming where `progress` stands.  Before
 * the first datagram the socket file and its directory are checked as for
 * every query ("Trusted socket" in nst_query.h); when the check refuses them,
 * nothing is sent and `why` (when not null) receives a one-line message
 * naming the path, the owner and the mode of what was refused and who is
 * trusted, cut to `why_size` bytes; otherwise `why` is left an empty text.
 *
 * Returns 0 when the whole request is out, 1 when the daemon's queue is full
 * (call again later with the same request and progress), ZEL_ERR_SEND when
 * the context or an argument is unusable, the socket file or its directory
 * cannot be looked at or a send fails (errno says why in the last two
 * cases), or ZEL_ERR_PATH_WRONG when the check refused the socket (errno
 * EPERM, `why` filled) or the first datagram did not carry header and path. */
int nstd_query_async_send(nst_query_poll_t* ctx, const char* daemon_path, const char* data, int data_len,
                          nstd_query_async_progress* progress, char* why, size_t why_size);

/* Takes, without waiting, every reply datagram queued now (at most
 * NSTD_QUERY_ASYNC_BATCH) and hands each one's payload, in order, to `fn`;
 * nothing is held back, so the socket's readiness still tells whether more
 * is to come.
 *
 * Returns 0 when more is to come, 1 when the final datagram was among them
 * (anything queued after it is dropped), ZEL_ERR_SOCK_EMPTY when nothing was
 * queued, ZEL_ERR_REALLOC when no room for the batch could be had,
 * ZEL_ERR_RECV_FROM when the receive failed, a datagram was empty, or `ctx`
 * or `fn` is null,
 * ZEL_ERR_BAD_LEN for a datagram whose framing is wrong, or the daemon's
 * reply code negated (-2 to -255) for a failure it reports; a failure comes
 * after the payloads queued before it were handed over. */
int nstd_query_async_read(nst_query_poll_t* ctx, nstd_query_payload_fn fn, void* args);

ZEL_END_DECLS

#endif
