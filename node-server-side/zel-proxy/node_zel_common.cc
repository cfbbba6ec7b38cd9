#include "node-server-side/zel-proxy/node_zel_common.h"

#include <stdio.h>
#include <stdlib.h>

#include "ulib/quiet.h"

namespace {

/* Every failure of a conversion reaches the script as one "EINVAL" error.
 * While an exception is pending Node-API refuses a second throw, so the first
 * message of a call is the one the script sees; the throw's status is moot. */
void throw_einval(napi_env env, const char* msg)
{
    (void)napi_throw_error(env, "EINVAL", msg);
}

} // namespace

char* node_zel_create_str_from_napi_value(napi_env env, napi_value str_value)
{
    if (env == nullptr || str_value == nullptr)
        return nullptr;

    napi_valuetype type;
    if (napi_typeof(env, str_value, &type) != napi_ok) {
        throw_einval(env, "Failed to get type of napi_value argument.");
        return nullptr;
    }
    if (type == napi_undefined || type == napi_null)
        return empty_str;
    if (type != napi_string) {
        throw_einval(env, "Tried to create string buffer from non-string napi_value.");
        return nullptr;
    }

    size_t req_size = 0;
    if (napi_get_value_string_utf8(env, str_value, nullptr, 0, &req_size) != napi_ok) {
        throw_einval(env, "Failed to get length of napi_value string.");
        return nullptr;
    }
    char* buffer = static_cast<char*>(calloc(req_size + 1, 1));
    if (buffer == nullptr) {
        throw_einval(env, "Failed to allocate buffer for request string.");
        return nullptr;
    }
    if (napi_get_value_string_utf8(env, str_value, buffer, req_size + 1, &req_size) != napi_ok) {
        throw_einval(env, "Failed to get request string.\n");
        free(buffer);
        return nullptr;
    }
    return buffer;
}

napi_value node_zel_convert_string(napi_env env, const char* str, int len)
{
    if (str == nullptr || len < 1)
        return nullptr;
    napi_value node_str = nullptr;
    if (napi_create_string_utf8(env, str, static_cast<size_t>(len), &node_str) != napi_ok) {
        throw_einval(env, "Failed to convert string to Node string.");
        return nullptr;
    }
    return node_str;
}

napi_value node_zel_convert_int32(napi_env env, int value)
{
    napi_value node_int32 = nullptr;
    if (napi_create_int32(env, value, &node_int32) != napi_ok) {
        throw_einval(env, "Failed to convert integer to Node number.");
        return nullptr;
    }
    return node_int32;
}

napi_value get_js_property(napi_env env, napi_value global, const char* func_name)
{
    napi_value js_property = nullptr;
    if (napi_get_named_property(env, global, func_name, &js_property) != napi_ok) {
        zel_detail::say("Failed to get function: %s\n", func_name);
        return nullptr;
    }
    return js_property;
}
