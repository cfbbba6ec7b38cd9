/* The transport limit of the end-to-end benchmarks: one query done the way
 * the module's query does it, at the least possible cost.  It opens and
 * autobinds a datagram socket, sends one framed, digested request (the
 * module's request text for the target) to the query socket, and receives
 * every reply datagram with the payload scattered straight into one buffer,
 * until QUERY_SUCCESS_FIN.  Shared by the zel-transport-client program and
 * the in-process binding the suite times (zel_transport.node). */
#ifndef ZEL_BENCH_TRANSPORT_QUERY_H
#define ZEL_BENCH_TRANSPORT_QUERY_H

#include <stddef.h>
#include <sys/un.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Where replies are gathered; zero-filled before the first query, released
 * with zel_transport_free.  Grows to the largest reply, at most 64 MiB. */
struct zel_transport_buf {
    char* p;
    size_t cap;
};

/* Queries `target` (a path such as /bench/1MiB-plain) through the daemon at
 * `daemon`, with `serials` as the request path.  Returns the payload bytes of
 * the complete reply, or -1 with a message in `err`. */
long long zel_transport_query(struct zel_transport_buf* buf, const struct sockaddr_un* daemon, const char* serials,
                              const char* target, char* err, size_t err_len);

void zel_transport_free(struct zel_transport_buf* buf);

#ifdef __cplusplus
}
#endif

#endif
