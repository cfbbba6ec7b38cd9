/* Poll contexts: one client socket, one request, and the reply taken in one
 * datagram per read; and the streamed query that drives a context to its end. */
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include <atomic>
#include <memory>

#include "sysapi/nst/nst_internal.h"
#include "sysapi/nst/nst_query.h"

namespace {

/* Growth step of the receive buffer, and the most payload one datagram can
 * bring (a payload may start at offset 0). */
constexpr int kStep = NSTD_REPLY_MAX_DGRAM;

bool has_flag(const nst_query_poll_t* ctx, int f)
{
    return (static_cast<unsigned char>(ctx->flag) & f) != 0;
}

/* Keeps room for one whole payload and the terminating 0 after the `rlen`
 * bytes held.  Returns 0, or ZEL_ERR_REALLOC with buffer and capacity
 * unchanged. */
int reserve_datagram(nst_query_poll_t* ctx)
{
    /* A count outside the buffer could not be served by one step. */
    if (ctx->rlen < 0 || ctx->rlen > ctx->blen)
        return ZEL_ERR_REALLOC;
    if (ctx->blen > ctx->rlen + (kStep - 1))
        return 0;
    if (ctx->blen > INT_MAX - kStep - 1)
        return ZEL_ERR_REALLOC;
    char* grown = static_cast<char*>(realloc(ctx->buf, static_cast<size_t>(ctx->blen) + kStep + 1));
    if (grown == nullptr)
        return ZEL_ERR_REALLOC;
    ctx->buf = grown;
    ctx->blen += kStep;
    return 0;
}

/* A context and what it knows of the daemon answering it.  The context is
 * the block's first member, so the context pointer handed out is also the
 * block's address; every context comes from nstd_query_poll_open. */
struct ctx_block {
    nst_query_poll_t ctx;
    nst_detail::reply_guard guard;
    nst_detail::reply_batch* batch;   /* a blocking context's, from its first read */
};

ctx_block* block_of(nst_query_poll_t* ctx)
{
    return reinterpret_cast<ctx_block*>(ctx);
}

nst_detail::reply_guard* guard_of(nst_query_poll_t* ctx)
{
    return &block_of(ctx)->guard;
}

/* One batch kept between queries: a blocking query takes it instead of
 * allocating 64 KiB, and gives it back when it closes.  A query running
 * while another holds it (a nested or concurrent one) allocates its own. */
std::atomic<nst_detail::reply_batch*> g_spare_batch{nullptr};

nst_detail::reply_batch* take_batch()
{
    nst_detail::reply_batch* b = g_spare_batch.exchange(nullptr, std::memory_order_acquire);
    return b != nullptr ? b : static_cast<nst_detail::reply_batch*>(malloc(sizeof(nst_detail::reply_batch)));
}

void give_back_batch(nst_detail::reply_batch* b)
{
    if (b == nullptr)
        return;
    nst_detail::reply_batch* expected = nullptr;
    if (!g_spare_batch.compare_exchange_strong(expected, b, std::memory_order_release))
        free(b);
}

/* A new request starts with nothing held from an earlier one. */
void forget_batch(nst_query_poll_t* ctx)
{
    if (nst_detail::reply_batch* b = block_of(ctx)->batch) {
        b->count = 0;
        b->next = 0;
    }
}

/* The next datagram of a blocking context's reply: from the batch while it
 * lasts, then from one receive that refills it.  Returns the datagram's size
 * with *pkt at its bytes, -1 with errno set as recv_reply sets it, or -2 when
 * the batch cannot be allocated. */
ssize_t next_batched(nst_query_poll_t* ctx, const char** pkt)
{
    ctx_block* block = block_of(ctx);
    if (block->batch == nullptr) {
        block->batch = take_batch();
        if (block->batch == nullptr)
            return -2;
        forget_batch(ctx);
    }
    nst_detail::reply_batch* b = block->batch;
    for (;;) {
        while (b->next < b->count) {
            const int i = b->next++;
            if (b->len[i] >= 0) {
                *pkt = b->data[i];
                return b->len[i];
            }
        }
        if (nst_detail::recv_replies(ctx->s, b, &block->guard, NSTD_QUERY_TIMEOUT_SEC) < 0)
            return -1;
    }
}

struct ctx_closer {
    void operator()(nst_query_poll_t* ctx) const { nstd_query_poll_close(ctx); }
};

} // namespace

/* Returns a new context with an open client socket, or null when the context,
 * its socket or its buffer cannot be had. */
nst_query_poll_t* nstd_query_poll_open(const char* path, int path_len, char flags)
{
    /* The path is only stored here; the send step checks it. */
    /* Zero-filled, the guard takes no reply until a request was sent. */
    auto* block = static_cast<ctx_block*>(calloc(1, sizeof(ctx_block)));
    if (block == nullptr)
        return nullptr;
    std::unique_ptr<nst_query_poll_t, ctx_closer> ctx(&block->ctx);
    ctx->s = -1;
    ctx->flag = flags;

    const int timeout = has_flag(ctx.get(), NSTD_QUERY_F_NONBLOCK) ? 0 : NSTD_QUERY_TIMEOUT_SEC;
    const int s = __nstd_query_sock_open(path, timeout);
    if (s < 0)
        return nullptr;
    ctx->s = s;
    ctx->path = path;
    ctx->path_len = path_len;

    if (has_flag(ctx.get(), NSTD_QUERY_F_PARTIAL)) {
        /* Per-datagram delivery: one buffer serves the whole reply. */
        ctx->buf = static_cast<char*>(malloc(kStep + 1));
        if (ctx->buf == nullptr)
            return nullptr;
        ctx->blen = kStep;
    }
    return ctx.release();
}

/* Returns 0, ZEL_ERR_SEND (also for a null context) or ZEL_ERR_PATH_WRONG
 * (also for an untrusted socket: nothing is sent). */
int nstd_query_poll_send(nst_query_poll_t* ctx, const char* data, int data_len)
{
    if (ctx == nullptr)
        return ZEL_ERR_SEND;
    forget_batch(ctx);
    nst_detail::socket_trust trust;
    const int rc = nst_detail::send_whole(ctx->s, ctx->path, ctx->path_len, data, data_len,
                                          static_cast<unsigned char>(ctx->flag), zel_req_query, &trust);
    nst_detail::reply_guard_arm(guard_of(ctx), trust);
    return rc;
}

int nst_detail::poll_send_to(nst_query_poll_t* ctx, const char* daemon_path, const char* data, int data_len,
                             send_state* st, socket_trust* trust)
{
    if (trust != nullptr)
        trust->checked = false;
    if (ctx == nullptr)
        return ZEL_ERR_SEND;
    if (st->sent == 0)
        forget_batch(ctx);
    socket_trust local;
    socket_trust* t = trust != nullptr ? trust : &local;
    const int rc = send_request(ctx->s, daemon_path, ctx->path, ctx->path_len, data, data_len,
                                static_cast<unsigned char>(ctx->flag), zel_req_query, st, false, t);
    /* The verdict of the check before the first datagram opens the guard;
     * later calls continue the same request and leave it as it is. */
    if (t->checked)
        reply_guard_arm(guard_of(ctx), *t);
    return rc;
}

namespace {

/* What one reply datagram says: 0 more to come, 1 final, or the failure
 * nstd_query_poll_read returns for it; its payload in `reply`. */
int judge_datagram(const char* pkt, ssize_t n, nst_detail::reply_view* reply)
{
    if (n <= 0)
        return ZEL_ERR_RECV_FROM;
    const int framing = nst_detail::parse_reply(pkt, n, reply);
    if (framing != 0)
        return framing;
    if (!nst_detail::is_success(reply->type))
        return -static_cast<int>(reply->type);
    return reply->type == QUERY_SUCCESS_FIN ? 1 : 0;
}

} // namespace

int nst_detail::poll_read_queued(nst_query_poll_t* ctx, payload_fn fn, void* args)
{
    if (ctx == nullptr || fn == nullptr)
        return ZEL_ERR_RECV_FROM;
    reply_batch* b = take_batch();
    if (b == nullptr)
        return ZEL_ERR_REALLOC;
    int rc = ZEL_ERR_SOCK_EMPTY;
    if (recv_replies(ctx->s, b, guard_of(ctx), 0) < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            rc = ZEL_ERR_RECV_FROM;
    } else {
        for (int i = 0; i < b->count; ++i) {
            if (b->len[i] < 0)
                continue;
            reply_view reply;
            rc = judge_datagram(b->data[i], b->len[i], &reply);
            if (rc < 0)
                break;
            if (reply.payload_len > 0)
                fn(args, reply.payload, reply.payload_len);
            if (rc == 1)
                break;
        }
    }
    give_back_batch(b);
    return rc;
}

/* Returns 0 for a non-final datagram, 1 for the final one, or ZEL_ERR_REALLOC,
 * ZEL_ERR_SOCK_EMPTY, ZEL_ERR_RECV_FROM (also for a null context),
 * ZEL_ERR_BAD_LEN, or the daemon's reply code negated (-2 to -255). */
int nstd_query_poll_read(nst_query_poll_t* ctx)
{
    if (ctx == nullptr)
        return ZEL_ERR_RECV_FROM;
    if (has_flag(ctx, NSTD_QUERY_F_PARTIAL))
        ctx->rlen = 0;
    const int room = reserve_datagram(ctx);
    if (room != 0)
        return room;

    char one[NSTD_REPLY_MAX_DGRAM];
    const char* pkt = one;
    ssize_t n;
    if (has_flag(ctx, NSTD_QUERY_F_NONBLOCK)) {
        /* Read one at a time: what the socket's readiness says must stay
         * true of what is left to read. */
        n = nst_detail::recv_reply(ctx->s, one, sizeof one, guard_of(ctx), 0);
    } else {
        n = next_batched(ctx, &pkt);
        if (n == -2)
            return ZEL_ERR_REALLOC;
    }
    /* Only a failed receive says EAGAIN; a datagram of no bytes is a bad
     * reply, not an expired wait. */
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return ZEL_ERR_SOCK_EMPTY;
    nst_detail::reply_view reply;
    const int verdict = judge_datagram(pkt, n, &reply);
    if (verdict < 0)
        return verdict;

    /* reserve_datagram left room for kStep payload bytes and the 0. */
    if (reply.payload_len > 0) {
        memcpy(ctx->buf + ctx->rlen, reply.payload, static_cast<size_t>(reply.payload_len));
        ctx->rlen += reply.payload_len;
    }
    /* Terminated after every datagram, so a processor may always treat the
     * payload as a C string and write its last byte. */
    ctx->buf[ctx->rlen] = '\0';
    return reply.type == QUERY_SUCCESS_FIN ? 1 : 0;
}

/* Closes the socket and frees buffer and context; null is ignored. */
void nstd_query_poll_close(nst_query_poll_t* ctx)
{
    if (ctx == nullptr)
        return;
    if (ctx->s >= 0)
        close(ctx->s);
    give_back_batch(block_of(ctx)->batch);
    free(ctx->buf);
    free(reinterpret_cast<ctx_block*>(ctx));
}

/* Returns 1 when the reply was complete and every payload accepted, 0 when fn
 * is null (nothing is opened or sent), ZEL_ERR_CTX_OPEN, what a failed
 * nstd_query_poll_send returns (ZEL_ERR_SEND, or ZEL_ERR_PATH_WRONG for an
 * untrusted socket), ZEL_ERR_PROCESS_FAILED, a failed read's code, or a
 * negated reply code. */
int nstd_query_req_partial(const char* path, int path_len, const char* req, int req_len,
                           query_processor_fn fn, void* args)
{
    if (fn == nullptr)
        return 0;
    std::unique_ptr<nst_query_poll_t, ctx_closer> ctx(nstd_query_poll_open(path, path_len, NSTD_QUERY_F_PARTIAL));
    if (!ctx)
        return ZEL_ERR_CTX_OPEN;
    const int sent = nstd_query_poll_send(ctx.get(), req, req_len);
    if (sent != 0)
        return sent;

    for (;;) {
        const int rc = nstd_query_poll_read(ctx.get());
        if (rc < 0)
            return rc;
        /* The processor sees this datagram's payload only, with a writable 0
         * after it; a refusal leaves the rest of the reply unread. */
        if (fn(ctx->buf, ctx->rlen, args) < 0)
            return ZEL_ERR_PROCESS_FAILED;
        if (rc == 1)
            return 1;
    }
}
