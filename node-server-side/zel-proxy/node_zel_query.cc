/* Non-blocking queries for the script side.
 *
 * A query is one poll context opened with NSTD_QUERY_F_NONBLOCK and
 * NSTD_QUERY_F_PARTIAL, so every reply datagram passes the transport's own
 * receive checks.  The event loop watches its socket with a uv_poll_t; no
 * thread ever waits on it.  Each wake-up reads what is queued, receive after
 * receive while the daemon keeps refilling the socket's short queue, up to
 * a byte budget, and hands the payloads to the script in one Buffer.  While the script has paused
 * the query nothing is read, the socket's queue fills and the daemon holds
 * back the target: back-pressure reaches the appliance.
 *
 * Script side (hidden properties of the binding's exports):
 *   _queryOpen(socketPath, serials, onEvent) -> handle
 *   _querySend(handle, request) -> 0 sent, 1 the daemon's queue is full
 *       (call again later with the same request), or a negative value:
 *       -errno of a failed send, or a zel_error_codes value.  Throws an
 *       Error with code ZEL_ERR_UNTRUSTED_SOCKET, nothing sent, when the
 *       socket file or its directory is not a trusted user's (the message
 *       names the path, the owner and the mode).
 *   _queryResume(handle), _queryPause(handle), _queryClose(handle)
 *   onEvent(payload: Buffer | undefined, status): status 0 more to come,
 *       1 the reply is complete, negative: what nstd_query_poll_read
 *       returned (a negated reply code, ZEL_ERR_BAD_LEN, ...).  No event
 *       follows a status other than 0. */
#include "node-server-side/zel-proxy/node_zel_query.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <uv.h>

#include <atomic>

#include "sysapi/nst/nst_query.h"
#include "sysapi/nst/nst_query_async.h"

namespace {

/* Receives per wake-up at most, each of up to NSTD_QUERY_ASYNC_BATCH
 * datagrams: a Buffer of at most 256 KiB for the script, and a bounded time
 * on the loop for one query.  The socket's queue holds only a few datagrams
 * (net.unix.max_dgram_qlen, 10 by default), so a wake-up that stopped after
 * one receive left the daemon waiting for the loop's next turn. */
constexpr int kReceives = 4;
constexpr size_t kGatherBytes = static_cast<size_t>(kReceives) * NSTD_QUERY_ASYNC_BATCH * NSTD_REPLY_MAX_DGRAM;

/* Where a wake-up gathers payloads.  The payloads are copied into the
 * script's Buffer before the wake-up returns, so one block kept between
 * wake-ups serves them all; a wake-up on another loop thread (a worker's)
 * while it is taken allocates its own.  No thread_local: the module must
 * not need the dynamic loader's TLS entry points. */
std::atomic<char*> g_spare_gather{nullptr};

char* take_gather()
{
    char* b = g_spare_gather.exchange(nullptr, std::memory_order_acquire);
    return b != nullptr ? b : static_cast<char*>(malloc(kGatherBytes));
}

void give_back_gather(char* b)
{
    char* expected = nullptr;
    if (!g_spare_gather.compare_exchange_strong(expected, b, std::memory_order_release))
        free(b);
}

struct query_rec {
    napi_env env;
    nst_query_poll_t* ctx;
    uv_poll_t poll;
    napi_ref on_event;
    napi_async_context async;
    char* daemon_path;
    char* serials;             /* the context's path points here */
    nstd_query_async_progress send;
    int refs;                  /* the script's handle, and the open uv handle */
    bool polling;
    bool finished;             /* a final status went to the script */
    bool closing;
    napi_async_cleanup_hook_handle hook; /* environment clean-up, until on_closed */
};

#define QUERY_CALL(env, call)                                              \
    do {                                                                   \
        if ((call) != napi_ok) {                                           \
            throw_last(env);                                               \
            return nullptr;                                                \
        }                                                                  \
    } while (0)

/* Throws the engine's own message for the last failed call, unless an
 * exception is already pending.  Called right after the failed call: every
 * Node-API call, the check for a pending exception included, replaces the
 * last-error record, so its text is copied first. */
void throw_last(napi_env env)
{
    const napi_extended_error_info* info = nullptr;
    char message[256] = "Node-API call failed";
    if (napi_get_last_error_info(env, &info) == napi_ok && info != nullptr && info->error_message != nullptr)
        snprintf(message, sizeof message, "%s", info->error_message);
    bool pending = false;
    if (napi_is_exception_pending(env, &pending) == napi_ok && pending)
        return;
    (void)napi_throw_error(env, "ZEL_ERR_INTERNAL", message);
}

void unref(query_rec* q)
{
    if (--q->refs > 0)
        return;
    free(q->daemon_path);
    free(q->serials);
    free(q);
}

void on_closed(uv_handle_t* h)
{
    query_rec* q = static_cast<query_rec*>(h->data);
    /* The descriptor is closed only now: closing it while the loop still
     * knew it could drop the loop's interest in a descriptor reopened under
     * the same number. */
    nstd_query_poll_close(q->ctx);
    q->ctx = nullptr;
    /* An environment that tears down (a worker ends) waits for this before
     * it unloads the module, whose code this callback is. */
    if (q->hook != nullptr)
        (void)napi_remove_async_cleanup_hook(q->hook);
    q->hook = nullptr;
    unref(q);
}

/* Stops watching and releases socket, callback and async context; safe to
 * call more than once.  The record lives on until on_closed. */
void close_query(query_rec* q)
{
    if (q->closing)
        return;
    q->closing = true;
    q->polling = false;
    if (q->on_event != nullptr) {
        (void)napi_delete_reference(q->env, q->on_event);
        q->on_event = nullptr;
    }
    if (q->async != nullptr) {
        (void)napi_async_destroy(q->env, q->async);
        q->async = nullptr;
    }
    uv_close(reinterpret_cast<uv_handle_t*>(&q->poll), on_closed);
}

/* The environment goes away (a worker ends) with the query still open:
 * the clean-up ends in on_closed. */
void teardown(napi_async_cleanup_hook_handle, void* arg)
{
    close_query(static_cast<query_rec*>(arg));
}

void finalize_handle(napi_env, void* data, void*)
{
    query_rec* q = static_cast<query_rec*>(data);
    if (!q->closing)
        close_query(q);
    unref(q);
}

/* Hands a payload and a status to the script.  An exception thrown there is
 * reported as uncaught, as for any event callback. */
void deliver(query_rec* q, const char* data, size_t len, int status)
{
    napi_env env = q->env;
    napi_handle_scope scope;
    if (napi_open_handle_scope(env, &scope) != napi_ok)
        return;
    napi_value fn, recv, argv[2];
    bool ok = q->on_event != nullptr && napi_get_reference_value(env, q->on_event, &fn) == napi_ok &&
              napi_get_global(env, &recv) == napi_ok && napi_create_int32(env, status, &argv[1]) == napi_ok;
    if (ok)
        ok = len > 0 ? napi_create_buffer_copy(env, len, data, nullptr, &argv[0]) == napi_ok
                     : napi_get_undefined(env, &argv[0]) == napi_ok;
    if (ok && napi_make_callback(env, q->async, recv, fn, 2, argv, nullptr) != napi_ok) {
        napi_value exc;
        if (napi_get_and_clear_last_exception(env, &exc) == napi_ok)
            (void)napi_fatal_exception(env, exc);
    }
    (void)napi_close_handle_scope(env, scope);
}

/* Where one wake-up gathers the payloads it read. */
struct gathered {
    char* at;
    size_t len;
};

void gather(void* args, const char* payload, int len)
{
    auto* g = static_cast<gathered*>(args);
    memcpy(g->at + g->len, payload, static_cast<size_t>(len));
    g->len += static_cast<size_t>(len);
}

void on_readable(uv_poll_t* h, int status, int)
{
    query_rec* q = static_cast<query_rec*>(h->data);
    if (q->closing || q->finished)
        return;
    char* const buf = take_gather();
    if (buf == nullptr)
        status = UV_ENOMEM;
    gathered g = {buf, 0};
    int rc = 0;
    if (status < 0) {
        rc = status == UV_ENOMEM ? ZEL_ERR_REALLOC : ZEL_ERR_RECV_FROM;
    } else {
        /* Each receive takes what is queued, at most NSTD_QUERY_ASYNC_BATCH datagrams;
         * the next one takes what the daemon queued meanwhile, until the
         * queue is found empty, the reply ends or the budget is spent. */
        for (int i = 0; i < kReceives; ++i) {
            rc = nstd_query_async_read(q->ctx, gather, &g);
            if (rc != 0)
                break;
        }
        if (rc == ZEL_ERR_SOCK_EMPTY)
            rc = 0;
    }
    const size_t len = g.len;
    if (rc != 0) {
        q->finished = true;
        q->polling = false;
        uv_poll_stop(&q->poll);
    }
    if (len > 0 || rc != 0) {
        /* A failure after some payload: the payload first, so the script
         * sees every byte that arrived before the verdict. */
        if (len > 0 && rc < 0)
            deliver(q, buf, len, 0);
        if (!q->closing)
            deliver(q, buf, rc < 0 ? 0 : len, rc);
    }
    give_back_gather(buf);
}

query_rec* get_rec(napi_env env, napi_callback_info info, size_t want, napi_value* argv)
{
    size_t argc = want;
    if (napi_get_cb_info(env, info, &argc, argv, nullptr, nullptr) != napi_ok) {
        throw_last(env);
        return nullptr;
    }
    void* data = nullptr;
    napi_valuetype t = napi_undefined;
    if (argc < 1 || napi_typeof(env, argv[0], &t) != napi_ok || t != napi_external ||
        napi_get_value_external(env, argv[0], &data) != napi_ok || data == nullptr) {
        (void)napi_throw_type_error(env, "ERR_INVALID_ARG_TYPE", "not a query handle");
        return nullptr;
    }
    return static_cast<query_rec*>(data);
}

/* Returns a malloc'ed copy of a script string, or null after a throw. */
char* copy_string(napi_env env, napi_value v, const char* what)
{
    size_t n = 0;
    if (napi_get_value_string_utf8(env, v, nullptr, 0, &n) != napi_ok) {
        char msg[96];
        snprintf(msg, sizeof msg, "%s must be a string", what);
        (void)napi_throw_type_error(env, "ERR_INVALID_ARG_TYPE", msg);
        return nullptr;
    }
    char* s = static_cast<char*>(malloc(n + 1));
    if (s == nullptr || napi_get_value_string_utf8(env, v, s, n + 1, &n) != napi_ok) {
        free(s);
        (void)napi_throw_error(env, "ZEL_ERR_INTERNAL", "out of memory");
        return nullptr;
    }
    /* A NUL inside would silently cut the text on its way to the daemon. */
    if (strlen(s) != n) {
        free(s);
        char msg[96];
        snprintf(msg, sizeof msg, "%s must not contain NUL", what);
        (void)napi_throw_type_error(env, "ERR_INVALID_CHAR", msg);
        return nullptr;
    }
    return s;
}

/* What query_open holds until it hands the record to the script.  Every
 * failure throws first and then returns, so the release runs after the
 * throw: the Node-API calls it makes cannot replace the error meant for the
 * caller. */
struct opening {
    query_rec* q = nullptr;
    bool watched = false;       /* the uv handle exists and holds a reference */

    opening() = default;
    opening(const opening&) = delete;
    opening& operator=(const opening&) = delete;
    ~opening()
    {
        if (q == nullptr)
            return;
        if (watched)
            close_query(q);     /* closes the socket in on_closed */
        else
            nstd_query_poll_close(q->ctx);
        unref(q);
    }
};

napi_value query_open(napi_env env, napi_callback_info info)
{
    size_t argc = 3;
    napi_value argv[3];
    QUERY_CALL(env, napi_get_cb_info(env, info, &argc, argv, nullptr, nullptr));
    napi_valuetype fn_t = napi_undefined;
    if (argc < 3 || napi_typeof(env, argv[2], &fn_t) != napi_ok || fn_t != napi_function) {
        (void)napi_throw_type_error(env, "ERR_INVALID_ARG_TYPE", "_queryOpen takes a path, a chain and a function");
        return nullptr;
    }

    opening held;
    query_rec* q = static_cast<query_rec*>(calloc(1, sizeof(query_rec)));
    if (q == nullptr) {
        (void)napi_throw_error(env, "ZEL_ERR_INTERNAL", "out of memory");
        return nullptr;
    }
    held.q = q;
    q->env = env;
    q->refs = 1;
    q->daemon_path = copy_string(env, argv[0], "socketPath");
    q->serials = q->daemon_path ? copy_string(env, argv[1], "serials") : nullptr;
    if (q->serials == nullptr) {
        bool pending = false;
        (void)napi_is_exception_pending(env, &pending);
        if (!pending)
            (void)napi_throw_error(env, "ZEL_ERR_INTERNAL", "out of memory");
        return nullptr;
    }
    uv_loop_t* loop = nullptr;
    if (napi_get_uv_event_loop(env, &loop) != napi_ok) {
        throw_last(env);
        return nullptr;
    }
    /* The daemon takes the chain with its terminating NUL as the path. */
    const size_t serials_len = strlen(q->serials) + 1;
    if (serials_len > NSTD_QUERY_FIRST_ROOM) {
        (void)napi_throw_range_error(env, "ERR_INVALID_ARG_VALUE", "serials too long");
        return nullptr;
    }
    q->ctx = nstd_query_poll_open(q->serials, static_cast<int>(serials_len),
                                  NSTD_QUERY_F_NONBLOCK | NSTD_QUERY_F_PARTIAL);
    if (q->ctx == nullptr) {
        char msg[128];
        snprintf(msg, sizeof msg, "the query socket could not be set up: %s", strerror(errno));
        (void)napi_throw_error(env, "ZEL_ERR_SOCKET", msg);
        return nullptr;
    }
    if (uv_poll_init(loop, &q->poll, nstd_query_async_fd(q->ctx)) != 0) {
        (void)napi_throw_error(env, "ZEL_ERR_SOCKET", "the event loop cannot watch the query socket");
        return nullptr;
    }
    q->poll.data = q;
    q->refs = 2; /* from here the uv handle holds one reference until on_closed */
    held.watched = true;

    napi_value handle, name, resource;
    const bool ok = napi_create_reference(env, argv[2], 1, &q->on_event) == napi_ok &&
                    napi_create_string_utf8(env, "ZEL_QUERY", NAPI_AUTO_LENGTH, &name) == napi_ok &&
                    napi_create_object(env, &resource) == napi_ok &&
                    napi_async_init(env, resource, name, &q->async) == napi_ok &&
                    napi_add_async_cleanup_hook(env, teardown, q, &q->hook) == napi_ok;
    if (!ok || napi_create_external(env, q, finalize_handle, nullptr, &handle) != napi_ok) {
        throw_last(env);
        return nullptr;
    }
    held.q = nullptr; /* the script's handle owns the record now */
    return handle;
}

napi_value query_send(napi_env env, napi_callback_info info)
{
    napi_value argv[2];
    query_rec* q = get_rec(env, info, 2, argv);
    if (q == nullptr)
        return nullptr;
    bool is_buf = false;
    void* data = nullptr;
    size_t data_len = 0;
    if (napi_is_buffer(env, argv[1], &is_buf) != napi_ok || !is_buf ||
        napi_get_buffer_info(env, argv[1], &data, &data_len) != napi_ok) {
        (void)napi_throw_type_error(env, "ERR_INVALID_ARG_TYPE", "request must be a Buffer");
        return nullptr;
    }
    if (data_len > static_cast<size_t>(INT32_MAX / 2)) {
        (void)napi_throw_range_error(env, "ERR_INVALID_ARG_VALUE", "request too large");
        return nullptr;
    }
    int rc = ZEL_ERR_SEND;
    if (!q->closing) {
        errno = 0;
        char why[NSTD_QUERY_ASYNC_WHY_MAX];
        rc = nstd_query_async_send(q->ctx, q->daemon_path, static_cast<const char*>(data),
                                   static_cast<int>(data_len), &q->send, why, sizeof why);
        if (why[0] != '\0') {
            (void)napi_throw_error(env, "ZEL_ERR_UNTRUSTED_SOCKET", why);
            return nullptr;
        }
        if (rc == ZEL_ERR_SEND && errno > 0)
            rc = -errno;
    }
    napi_value out;
    QUERY_CALL(env, napi_create_int32(env, rc, &out));
    return out;
}

napi_value query_resume(napi_env env, napi_callback_info info)
{
    napi_value argv[1];
    query_rec* q = get_rec(env, info, 1, argv);
    if (q == nullptr)
        return nullptr;
    if (!q->closing && !q->finished && !q->polling) {
        if (uv_poll_start(&q->poll, UV_READABLE, on_readable) == 0)
            q->polling = true;
    }
    return nullptr;
}

napi_value query_pause(napi_env env, napi_callback_info info)
{
    napi_value argv[1];
    query_rec* q = get_rec(env, info, 1, argv);
    if (q == nullptr)
        return nullptr;
    if (!q->closing && q->polling) {
        uv_poll_stop(&q->poll);
        q->polling = false;
    }
    return nullptr;
}

napi_value query_close(napi_env env, napi_callback_info info)
{
    napi_value argv[1];
    query_rec* q = get_rec(env, info, 1, argv);
    if (q == nullptr)
        return nullptr;
    close_query(q);
    return nullptr;
}

} // namespace

bool node_zel_query_register(napi_env env, napi_value exports)
{
    const napi_property_descriptor props[] = {
        {"_queryOpen", nullptr, query_open, nullptr, nullptr, nullptr, napi_default, nullptr},
        {"_querySend", nullptr, query_send, nullptr, nullptr, nullptr, napi_default, nullptr},
        {"_queryResume", nullptr, query_resume, nullptr, nullptr, nullptr, napi_default, nullptr},
        {"_queryPause", nullptr, query_pause, nullptr, nullptr, nullptr, napi_default, nullptr},
        {"_queryClose", nullptr, query_close, nullptr, nullptr, nullptr, napi_default, nullptr},
    };
    return napi_define_properties(env, exports, sizeof props / sizeof props[0], props) == napi_ok;
}
