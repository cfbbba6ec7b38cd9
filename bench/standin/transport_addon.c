/* zel_transport.node: the transport limit as a function the end-to-end
 * suite calls in its own process, timed the way node_zel_req is timed, so
 * that neither contender gains or loses by running in another process.
 *
 *   query(socketPath, target) -> payload bytes of the complete reply
 *
 * Throws an Error with the query's message when the reply is not complete.
 * Node-API and libcrypto come from the hosting Node process. */
#include <node_api.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "transport_query.h"

static struct zel_transport_buf g_buf;

static void free_buf(napi_env env, void* data, void* hint)
{
    (void)env;
    (void)data;
    (void)hint;
    zel_transport_free(&g_buf);
}

static napi_value query(napi_env env, napi_callback_info info)
{
    size_t argc = 2;
    napi_value argv[2];
    char path[sizeof(((struct sockaddr_un*)0)->sun_path)];
    char target[1024];
    size_t path_len = 0;
    size_t target_len = 0;
    if (napi_get_cb_info(env, info, &argc, argv, NULL, NULL) != napi_ok || argc < 2 ||
        napi_get_value_string_utf8(env, argv[0], path, sizeof path, &path_len) != napi_ok ||
        napi_get_value_string_utf8(env, argv[1], target, sizeof target, &target_len) != napi_ok ||
        path_len + 1 >= sizeof path || target_len + 1 >= sizeof target) {
        napi_throw_type_error(env, NULL, "query(socketPath, target): two strings, of usable lengths");
        return NULL;
    }
    struct sockaddr_un daemon;
    memset(&daemon, 0, sizeof daemon);
    daemon.sun_family = AF_UNIX;
    memcpy(daemon.sun_path, path, path_len);

    char err[256] = "";
    const long long got = zel_transport_query(&g_buf, &daemon, "B0:B1", target, err, sizeof err);
    if (got < 0) {
        napi_throw_error(env, NULL, err);
        return NULL;
    }
    napi_value result;
    if (napi_create_double(env, (double)got, &result) != napi_ok)
        return NULL;
    return result;
}

static napi_value init(napi_env env, napi_value exports)
{
    napi_value fn;
    if (napi_create_function(env, "query", NAPI_AUTO_LENGTH, query, NULL, &fn) != napi_ok ||
        napi_set_named_property(env, exports, "query", fn) != napi_ok)
        return NULL;
    /* The reply buffer lives as long as the module instance. */
    (void)napi_set_instance_data(env, &g_buf, free_buf, NULL);
    return exports;
}

NAPI_MODULE(NODE_GYP_MODULE_NAME, init)
