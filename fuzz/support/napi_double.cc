/* The few Node-API operations the request composer makes before it sends,
 * standing in for the engine: a global object, one 4096-byte Buffer, an empty
 * header object and script numbers, all as opaque non-null handles. */
#include <node_api.h>

#include "node-server-side/zel-proxy/node_zel_common.h"
#include "node-server-side/zel-proxy/node_zel_req_handler.h"

namespace {

char g_buffer[4096];
int g_handle_tag;

napi_value handle()
{
    return reinterpret_cast<napi_value>(&g_handle_tag);
}

} // namespace

napi_status napi_get_global(napi_env env, napi_value* result)
{
    if (env == nullptr || result == nullptr)
        return napi_invalid_arg;
    *result = handle();
    return napi_ok;
}

napi_status napi_create_buffer(napi_env env, size_t size, void** data, napi_value* result)
{
    if (env == nullptr || result == nullptr || size > sizeof g_buffer)
        return napi_invalid_arg;
    if (data != nullptr)
        *data = g_buffer;
    *result = handle();
    return napi_ok;
}

int create_http_header(stream_callback_params* cb_params)
{
    if (cb_params == nullptr)
        return -1;
    cb_params->js_header = handle();
    return 0;
}

napi_value node_zel_convert_int32(napi_env, int)
{
    return handle();
}
