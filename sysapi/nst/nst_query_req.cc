/* The one-shot query: one request, and the whole reply joined into one buffer
 * that is handed to the caller. */
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include <memory>

#include "sysapi/nst/nst_internal.h"
#include "sysapi/nst/nst_query.h"

namespace {

constexpr int kStep = NSTD_REPLY_MAX_DGRAM;

struct free_deleter {
    void operator()(char* p) const { free(p); }
};
using reply_buf = std::unique_ptr<char, free_deleter>;

} // namespace

/* Returns a malloc'ed buffer holding *rlen payload bytes (0 or more), or null
 * with *rlen a zel_error_codes value or the daemon's reply code (2 to 255);
 * null without touching rlen when rlen is null. */
char* __nstd_query_req(const char* path, int path_len, const char* data, int len, int* rlen,
                       zel_request_type_e type)
{
    if (rlen == nullptr)
        return nullptr;

    /* Which step of the socket set-up failed is not passed on. */
    nst_detail::fd_owner s(__nstd_query_sock_open(path, NSTD_QUERY_TIMEOUT_SEC));
    if (s.fd < 0) {
        *rlen = ZEL_ERR_SOCKET;
        return nullptr;
    }
    nst_detail::socket_trust trust;
    const int sent = nst_detail::send_whole(s.fd, path, path_len, data, len, 0, type, &trust);
    if (sent != 0) {
        *rlen = sent;
        return nullptr;
    }
    nst_detail::reply_guard guard;
    nst_detail::reply_guard_arm(&guard, trust);

    reply_buf buf;
    int cap = 0;
    int got = 0;
    for (;;) {
        /* Room for one whole datagram's payload after what was collected. */
        if (got + (kStep - 1) >= cap) {
            if (cap > INT_MAX - kStep) {
                *rlen = ZEL_ERR_REALLOC;
                return nullptr;
            }
            char* grown = static_cast<char*>(realloc(buf.get(), static_cast<size_t>(cap) + kStep));
            if (grown == nullptr) {
                *rlen = ZEL_ERR_REALLOC;
                return nullptr;
            }
            (void)buf.release();
            buf.reset(grown);
            cap += kStep;
        }

        char pkt[NSTD_REPLY_MAX_DGRAM];
        const ssize_t n = nst_detail::recv_reply(s.fd, pkt, sizeof pkt, &guard, NSTD_QUERY_TIMEOUT_SEC);
        nst_detail::reply_view reply;
        const int framing = n > 0 ? nst_detail::parse_reply(pkt, n, &reply) : ZEL_ERR_RECV_FROM;
        if (framing != 0) {
            /* A reply cut short after some payload passes for a complete one:
             * the caller gets what arrived. */
            *rlen = got > 0 ? got : framing;
            return got > 0 ? buf.release() : nullptr;
        }
        if (!nst_detail::is_success(reply.type)) {
            *rlen = static_cast<int>(reply.type);
            return nullptr;
        }
        if (reply.payload_len > 0) {
            memcpy(buf.get() + got, reply.payload, static_cast<size_t>(reply.payload_len));
            got += reply.payload_len;
        }
        if (reply.type == QUERY_SUCCESS_FIN) {
            *rlen = got;
            return buf.release();
        }
    }
}

/* Returns what __nstd_query_req returns for a request of type zel_req_query. */
char* nstd_query_req(const char* path, int path_len, const char* req, int req_len, int* rlen)
{
    return __nstd_query_req(path, path_len, req, req_len, rlen, zel_req_query);
}
