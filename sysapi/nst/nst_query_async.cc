/* Non-blocking queries: the public face of the resumable send and the
 * batched receive of a poll context; see nst_query_async.h. */
#include "sysapi/nst/nst_query_async.h"

#include <errno.h>

#include "sysapi/nst/nst_internal.h"

static_assert(NSTD_QUERY_ASYNC_BATCH == nst_detail::k_batch_max, "one read takes one receive's batch");

int nstd_query_async_fd(const nst_query_poll_t* ctx)
{
    return ctx != nullptr ? ctx->s : -1;
}

int nstd_query_async_send(nst_query_poll_t* ctx, const char* daemon_path, const char* data, int data_len,
                          nstd_query_async_progress* progress, char* why, size_t why_size)
{
    if (why != nullptr && why_size > 0)
        why[0] = '\0';
    if (progress == nullptr)
        return ZEL_ERR_SEND;
    nst_detail::send_state st = {progress->sent};
    nst_detail::socket_trust trust{};
    const int rc = nst_detail::poll_send_to(ctx, daemon_path, data, data_len, &st, &trust);
    progress->sent = st.sent;
    if (trust.checked && trust.state == nst_detail::TRUST_REFUSED) {
        if (why != nullptr && why_size > 0)
            nst_detail::describe_distrust(daemon_path, trust, why, why_size);
        return rc;
    }
    return rc == ZEL_ERR_NOT_READY ? 1 : rc;
}

int nstd_query_async_read(nst_query_poll_t* ctx, nstd_query_payload_fn fn, void* args)
{
    return nst_detail::poll_read_queued(ctx, fn, args);
}
