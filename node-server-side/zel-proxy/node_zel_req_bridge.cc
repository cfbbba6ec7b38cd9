/* Node-API side of the script bridge: the header object, the status value,
 * the write-head call and the body callback.  The relay reaches the script
 * only through these operations.  Every call runs on the script thread inside
 * the exported function, so handles are used only within that call. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "node-server-side/zel-proxy/node_zel_common.h"
#include "node-server-side/zel-proxy/node_zel_req_handler.h"
#include "ulib/quiet.h"
#include "ulib/util.h"

namespace {

constexpr char k_no_header_object[] = "Tried to set key and value for empty object.";

/* Reports a failed script call.  When the failure is an exception thrown by
 * the callback, the exception is taken and thrown again, so it is still
 * pending when the exported function returns and the script sees it in place
 * of the result.  The error text is copied first: the last-error record, and
 * what its message points to, are only valid until the next Node-API call. */
void report_js_call_failure(napi_env env)
{
    const napi_extended_error_info* err_info = nullptr;
    napi_status code = napi_generic_failure;
    char message[256] = "";
    if (napi_get_last_error_info(env, &err_info) == napi_ok && err_info != nullptr) {
        code = err_info->error_code;
        if (err_info->error_message != nullptr)
            snprintf(message, sizeof message, "%s", err_info->error_message);
    }
    zel_detail::say("Failed to call Javascript callback.\n");
    if (code == napi_pending_exception) {
        bool pending = false;
        if (napi_is_exception_pending(env, &pending) == napi_ok && pending) {
            napi_value exception = nullptr;
            if (napi_get_and_clear_last_exception(env, &exception) == napi_ok)
                (void)napi_throw(env, exception);
        }
    }
    zel_detail::say("Error: %s\n", message);
}

} // namespace

napi_value node_zel_convert_http_header_key_string(napi_env env, const char* key, int len)
{
    if (key == nullptr)
        return nullptr;
    char* lower = strdup(key);
    if (lower == nullptr)
        return nullptr;
    str_tolower(lower);
    /* Never more bytes than the text holds. */
    const size_t text_len = strlen(lower);
    if (len > 0 && static_cast<size_t>(len) > text_len)
        len = static_cast<int>(text_len);
    napi_value js_key = node_zel_convert_string(env, lower, len);
    free(lower);
    return js_key;
}

namespace {

/* The lower-cased script key for `key` on a record that has a header object,
 * or null: a record without one is reported, and a failed conversion has
 * already thrown. */
napi_value header_key(stream_callback_params* cb_params, const char* key)
{
    if (cb_params->js_header == nullptr) {
        zel_detail::say("%s", k_no_header_object);
        return nullptr;
    }
    return node_zel_convert_http_header_key_string(cb_params->env, key, static_cast<int>(strlen(key)));
}

} // namespace

const char* node_zel_get_header(stream_callback_params* cb_params, const char* key)
{
    if (cb_params == nullptr || key == nullptr)
        return nullptr;
    napi_value js_key = header_key(cb_params, key);
    if (js_key == nullptr)
        return nullptr;
    napi_value js_val = nullptr;
    if (napi_get_property(cb_params->env, cb_params->js_header, js_key, &js_val) != napi_ok) {
        zel_detail::say("Failed to get response header: %s.\n", key);
        return nullptr;
    }
    /* An absent field reads as undefined and so gives empty_str. */
    return node_zel_create_str_from_napi_value(cb_params->env, js_val);
}

void node_zel_set_header(stream_callback_params* cb_params, const char* key, const char* val)
{
    if (cb_params == nullptr || key == nullptr || val == nullptr)
        return;
    napi_value js_key = header_key(cb_params, key);
    if (js_key == nullptr)
        return;
    /* An empty value makes no script string, so the field is not stored.
     * A value is made one character per byte (latin1), as Node's own HTTP
     * parser makes them: every byte the relay lets through (HTAB, SP,
     * visible ASCII, 0x80 and above) is then a character res.writeHead
     * accepts, and it writes the appliance's bytes back unchanged.  Read as
     * UTF-8 instead, a byte above 0x7F could become a character above
     * U+00FF, which res.writeHead throws on. */
    const size_t val_len = strlen(val);
    if (val_len == 0)
        return;
    napi_value js_val = nullptr;
    if (napi_create_string_latin1(cb_params->env, val, val_len, &js_val) != napi_ok) {
        (void)napi_throw_error(cb_params->env, "EINVAL", "Failed to convert string to Node string.");
        return;
    }
    if (napi_set_property(cb_params->env, cb_params->js_header, js_key, js_val) != napi_ok)
        zel_detail::say("Failed to set response header: %s.\n", key);
}

void node_zel_unset_header(stream_callback_params* cb_params, const char* key)
{
    if (cb_params == nullptr || key == nullptr)
        return;
    napi_value js_key = header_key(cb_params, key);
    if (js_key == nullptr)
        return;
    bool deleted = false;
    if (napi_delete_property(cb_params->env, cb_params->js_header, js_key, &deleted) != napi_ok)
        zel_detail::say("Failed to delete response header: %s.\n", key);
}

int node_zel_set_http_status(stream_callback_params* cb_params, int http_status)
{
    if (cb_params == nullptr)
        return -1;
    napi_value status = nullptr;
    if (napi_create_int32(cb_params->env, http_status, &status) != napi_ok || status == nullptr)
        return -1;
    cb_params->js_http_status = status;
    return 0;
}

int node_zel_send_http_header(stream_callback_params* cb_params)
{
    if (cb_params == nullptr)
        return -1;
    napi_env env = cb_params->env;
    napi_value argv[2] = {cb_params->js_http_status, cb_params->js_header};
    napi_value ret_from_js = nullptr;
    if (napi_call_function(env, cb_params->global, cb_params->js_writehead_fn, 2, argv, &ret_from_js) == napi_ok)
        return 0;
    report_js_call_failure(env);
    return -1;
}

int create_http_header(stream_callback_params* cb_params)
{
    if (cb_params == nullptr)
        return -1;
    if (napi_create_object(cb_params->env, &cb_params->js_header) != napi_ok) {
        zel_detail::say("Failed to create HTTP header object.\n");
        return -1;
    }
    return 0;
}

napi_value create_js_cb_params(napi_env env, napi_value response_buff, int data_len)
{
    napi_value key_response = node_zel_convert_string(env, "response", 8);
    napi_value key_size = node_zel_convert_string(env, "response_size", 13);
    if (response_buff == nullptr)
        return nullptr;
    if (key_response == nullptr || key_size == nullptr) {
        zel_detail::say("Failed to create response object.");
        return nullptr;
    }
    napi_value size = node_zel_convert_int32(env, data_len);
    if (size == nullptr) {
        zel_detail::say("Failed to create Javascript integer value.\n");
        return nullptr;
    }
    napi_value object = nullptr;
    if (napi_create_object(env, &object) != napi_ok) {
        zel_detail::say("Failed to create response object.\n");
        return nullptr;
    }
    if (napi_set_property(env, object, key_response, response_buff) != napi_ok) {
        zel_detail::say("Failed to set response body property.\n");
        return nullptr;
    }
    if (napi_set_property(env, object, key_size, size) != napi_ok) {
        zel_detail::say("Failed to set response size property.\n");
        return nullptr;
    }
    return object;
}

namespace {

/* Builds the body callback's argument in script and calls the callback with
 * the `this` it was called with.  An object literal made in script costs a
 * fraction of the same object built through Node-API property calls, and it
 * is the same object: "response" then "response_size", both plain data
 * properties.  Reflect.apply is taken when the module loads, so a callback's
 * own `call` property or a later change to Function.prototype cannot come
 * between the module and the callback. */
constexpr char k_deliver_source[] =
    "(function () {\n"
    "  'use strict';\n"
    "  const apply = Reflect.apply;\n"
    "  return function deliver(callback, response, response_size) {\n"
    "    apply(callback, this, [{ response, response_size }]);\n"
    "  };\n"
    "})()";

/* What one module instance (the main thread's, or a worker's) keeps. */
struct bridge_instance {
    napi_ref deliver;
};

void free_bridge_instance(napi_env env, void* data, void* /*hint*/)
{
    auto* instance = static_cast<bridge_instance*>(data);
    if (instance->deliver != nullptr)
        (void)napi_delete_reference(env, instance->deliver);
    free(instance);
}

/* The instance's delivery function, or null when the module instance has
 * none; the caller then builds the argument through Node-API. */
napi_value deliver_function(napi_env env)
{
    void* data = nullptr;
    napi_value deliver = nullptr;
    if (napi_get_instance_data(env, &data) != napi_ok || data == nullptr ||
        napi_get_reference_value(env, static_cast<bridge_instance*>(data)->deliver, &deliver) != napi_ok)
        return nullptr;
    return deliver;
}

/* The delivery function only calls functions; anything else takes the
 * Node-API road, whose failure is the one a caller has always seen. */
bool body_callback_is_function(stream_callback_params* cb_params)
{
    napi_valuetype type = napi_undefined;
    return cb_params->js_buffer != nullptr &&
           napi_typeof(cb_params->env, cb_params->js_callback_fn, &type) == napi_ok && type == napi_function;
}

/* Hands the piece in the Buffer to the body callback through the delivery
 * function.  Returns 0, or -1 after reporting the failure with the messages
 * of the Node-API road: while an earlier callback's exception is pending,
 * that road fails at setting the first property of the argument. */
int deliver_piece(stream_callback_params* cb_params, napi_value deliver, int piece)
{
    napi_env env = cb_params->env;
    bool pending = false;
    if (napi_is_exception_pending(env, &pending) != napi_ok || pending) {
        zel_detail::say("Failed to set response body property.\nFailed to create call back JS parameters.\n");
        return -1;
    }
    napi_value argv[3] = {cb_params->js_callback_fn, cb_params->js_buffer, nullptr};
    argv[2] = node_zel_convert_int32(env, piece);
    if (argv[2] == nullptr) {
        zel_detail::say("Failed to create Javascript integer value.\nFailed to create call back JS parameters.\n");
        return -1;
    }
    if (napi_call_function(env, cb_params->global, deliver, 3, argv, nullptr) != napi_ok) {
        report_js_call_failure(env);
        return -1;
    }
    return 0;
}

/* The same through Node-API property calls.  Returns 0, or -1 after
 * reporting the failure. */
int call_with_built_argument(stream_callback_params* cb_params, int piece)
{
    napi_env env = cb_params->env;
    napi_value arg = create_js_cb_params(env, cb_params->js_buffer, piece);
    if (arg == nullptr) {
        zel_detail::say("Failed to create call back JS parameters.\n");
        return -1;
    }
    if (napi_call_function(env, cb_params->global, cb_params->js_callback_fn, 1, &arg, nullptr) != napi_ok) {
        report_js_call_failure(env);
        return -1;
    }
    return 0;
}

} // namespace

/* The one Buffer holds 4096 bytes: a longer run is handed on in successive
 * pieces, and the first piece the script fails on ends the hand-over. */
int node_zel_js_response(char* data, int data_len, stream_callback_params* cb_params)
{
    if (data == nullptr || cb_params == nullptr || cb_params->buffer == nullptr)
        return -1;
    if (data_len < 1)
        return data_len;

    napi_env env = cb_params->env;
    napi_value deliver = body_callback_is_function(cb_params) ? deliver_function(env) : nullptr;
    for (int done = 0; done < data_len;) {
        const int piece = data_len - done < API_ZEL_JS_BUFF_SIZE ? data_len - done : API_ZEL_JS_BUFF_SIZE;
        memcpy(cb_params->buffer, data + done, static_cast<size_t>(piece));
        const int rc = deliver != nullptr ? deliver_piece(cb_params, deliver, piece)
                                          : call_with_built_argument(cb_params, piece);
        if (rc < 0)
            return -1;
        done += piece;
    }
    return data_len;
}

int node_zel_bridge_init(napi_env env)
{
    api_zel_set_host_ops(&node_zel_host_ops);

    auto* instance = static_cast<bridge_instance*>(calloc(1, sizeof(bridge_instance)));
    if (instance == nullptr)
        return -1;
    napi_value source = nullptr;
    napi_value deliver = nullptr;
    if (napi_create_string_utf8(env, k_deliver_source, NAPI_AUTO_LENGTH, &source) != napi_ok ||
        napi_run_script(env, source, &deliver) != napi_ok ||
        napi_create_reference(env, deliver, 1, &instance->deliver) != napi_ok) {
        /* Without the function, pieces take the Node-API road; loading the
         * module must not fail or leave an exception behind for that. */
        napi_value ignored = nullptr;
        (void)napi_get_and_clear_last_exception(env, &ignored);
        free(instance);
        return -1;
    }
    if (napi_set_instance_data(env, instance, free_bridge_instance, nullptr) != napi_ok) {
        free_bridge_instance(env, instance, nullptr);
        return -1;
    }
    return 0;
}

const api_zel_host_ops node_zel_host_ops = {
    node_zel_set_http_status, node_zel_get_header,       node_zel_set_header,
    node_zel_unset_header,    node_zel_send_http_header, node_zel_js_response,
};
