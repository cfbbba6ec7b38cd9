/* Module registration and the script entry node_zel_req.
 *
 * A call copies its eight text arguments, hands the record to the request
 * handler and frees every copy before it returns, whatever the outcome.
 * Refused arguments reach the script as an "EINVAL" error. */
#include "node-server-side/zel-proxy/node_zel_mod.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "modules/api/api_zel_request_checks.h"
#include "node-server-side/zel-proxy/node_zel_common.h"
#include "node-server-side/zel-proxy/node_zel_query.h"
#include "node-server-side/zel-proxy/node_zel_req_handler.h"
#include "ulib/quiet.h"

/* "POST" is 2 and "PUT" 1, although POST stands first: the numbers are the
 * appliance API's, the order is the table's. */
const http_method method_def[] = {
    {0, "GET"},
    {2, "POST"},
    {1, "PUT"},
    {3, "DELETE"},
};
const int num_valid_methods = 4;

napi_module _module = {
    1,                       /* nm_version */
    0,                       /* nm_flags */
    "node_zel_mod.cc",       /* nm_filename */
    init,                    /* nm_register_func */
    "NODE_GYP_MODULE_NAME",  /* nm_modname */
    nullptr,                 /* nm_priv */
    {nullptr, nullptr, nullptr, nullptr},
};

/* Runs when the loader maps the file.  The host keeps the registration for
 * the file, so a second load (a worker thread) initialises from it again. */
__attribute__((constructor)) void _register_NODE_GYP_MODULE_NAME(void)
{
    napi_module_register(&_module);
}

napi_value init(napi_env env, napi_value exports)
{
    (void)node_zel_bridge_init(env);
    napi_value node_fn_handler = nullptr;
    if (napi_create_function(env, nullptr, 0, node_zel_req, nullptr, &node_fn_handler) != napi_ok)
        return nullptr;
    if (napi_set_named_property(env, exports, "node_zel_req", node_fn_handler) != napi_ok)
        return nullptr;
    if (!node_zel_query_register(env, exports))
        return nullptr;
    return exports;
}

int node_zel_get_http_method_num(const char* method_str)
{
    if (method_str == nullptr)
        return -1;
    for (int i = 0; i < num_valid_methods; ++i) {
        if (strcmp(method_str, method_def[i].method_str) == 0)
            return method_def[i].method_num;
    }
    return -1;
}

void node_zel_release_args(arg_container* args)
{
    if (args == nullptr)
        return;
    for (int i = 0; i < HTTP_ARG_STR_ARG_MAX; ++i) {
        char* slot = static_cast<char*>(args->args[i]);
        if (slot != nullptr && slot != empty_str) {
            free(slot);
            args->args[i] = nullptr;
        }
    }
}

bool node_zel_parse_napi_args(napi_env env, size_t argc, napi_value* args, size_t num_expected_args,
                              arg_container* parsed)
{
    if (parsed == nullptr)
        return false;
    for (int i = 0; i < HTTP_ARG_SIZE; ++i)
        parsed->args[i] = nullptr;

    if (argc < num_expected_args) {
        char err_msg[128];
        snprintf(err_msg, sizeof err_msg, "Number of parameters: %zu does not match expected: %zu", argc,
                 num_expected_args);
        (void)napi_throw_error(env, "EINVAL", err_msg);
        return false;
    }
    /* Only the text slots can hold copies; asking for more would write past
     * the record. */
    if (num_expected_args > HTTP_ARG_STR_ARG_MAX || (num_expected_args > 0 && args == nullptr))
        return false;

    for (size_t i = 0; i < num_expected_args; ++i) {
        char* str = node_zel_create_str_from_napi_value(env, args[i]);
        if (str == nullptr) {
            node_zel_release_args(parsed);
            return false;
        }
        parsed->args[i] = str;
    }
    return true;
}

namespace {

/* How each text argument is checked. */
enum class arg_kind {
    head,     /* an identity field value: no CR, LF or NUL */
    method,   /* also an HTTP token */
    target,   /* the request target: also no SP, HTAB, VT or FF */
    body,     /* may hold anything but NUL, where its C text would end */
};

/* The arguments that end up in the request, with the names the script knows
 * them by.  accept_encoding only chooses between two fixed values. */
struct checked_arg {
    int slot;
    const char* name;
    arg_kind kind;
};
constexpr checked_arg k_checked_args[] = {
    {HTTP_ARG_METHOD, "method", arg_kind::method},
    {HTTP_ARG_URL, "url", arg_kind::head},
    {HTTP_ARG_NEW_URL, "new_url", arg_kind::target},
    {HTTP_ARG_ADMIN_NAME, "admin_name", arg_kind::head},
    {HTTP_ARG_ADMIN_PROF, "admin_prof", arg_kind::head},
    {HTTP_ARG_IS_SUPER_ADMIN, "is_super_admin", arg_kind::head},
    {HTTP_ARG_POST_BODY, "post_body", arg_kind::body},
};

int check_arg(const char* text, size_t len, arg_kind kind)
{
    switch (kind) {
    case arg_kind::method:
        return zel_check_head_text(text, len, true);
    case arg_kind::target:
        return zel_check_request_target(text, len);
    case arg_kind::body:
        return zel_check_body_text(text, len);
    case arg_kind::head:
        break;
    }
    return zel_check_head_text(text, len, false);
}

const char* refusal_format(int verdict)
{
    switch (verdict) {
    case ZEL_HEAD_TEXT_NOT_TOKEN:
        return "%s holds a character that is not an HTTP token character";
    case ZEL_HEAD_TEXT_BLANK:
        return "%s holds a space, tab, vertical tab or form feed character";
    case ZEL_HEAD_TEXT_NUL:
        return "%s holds a NUL character";
    default:
        return "%s holds a CR, LF or NUL character";
    }
}

/* Refuses a text argument that could change the structure of the request
 * or would be cut: a CR, LF or NUL in a head text (a NUL inside a script
 * string is refused, not taken as the end of the text), a method that is not
 * an HTTP token, a target holding a blank, a body holding a NUL.  Returns
 * true when all are fine; otherwise throws an "EINVAL" error that names the
 * argument and returns false. */
bool text_args_acceptable(napi_env env, const napi_value* argv, const arg_container* parsed)
{
    for (const checked_arg& a : k_checked_args) {
        const char* text = static_cast<const char*>(parsed->args[a.slot]);
        size_t len = 0;
        /* The copy holds every byte of the script string, NULs included;
         * the string's own length says how many. */
        if (text != empty_str && napi_get_value_string_utf8(env, argv[a.slot], nullptr, 0, &len) != napi_ok) {
            (void)napi_throw_error(env, "EINVAL", "Failed to get length of napi_value string.");
            return false;
        }
        const int verdict = check_arg(text, len, a.kind);
        if (verdict == ZEL_HEAD_TEXT_OK)
            continue;
        char msg[128];
        snprintf(msg, sizeof msg, refusal_format(verdict), a.name);
        (void)napi_throw_error(env, "EINVAL", msg);
        return false;
    }
    return true;
}

} // namespace

napi_value node_zel_req(napi_env env, napi_callback_info info)
{
    size_t argc = HTTP_ARG_SIZE;
    napi_value argv[HTTP_ARG_SIZE] = {};
    arg_container parsed_args;
    for (int i = 0; i < HTTP_ARG_SIZE; ++i)
        parsed_args.args[i] = nullptr;

    const char* err = nullptr;
    if (napi_get_cb_info(env, info, &argc, argv, nullptr, nullptr) != napi_ok) {
        err = "Failed to get JS callback info.";
    } else if (!node_zel_parse_napi_args(env, argc, argv, HTTP_ARG_STR_ARG_MAX, &parsed_args)) {
        err = "Failed to parse arguments.";
    } else if (!text_args_acceptable(env, argv, &parsed_args)) {
        /* Nothing is composed or sent for a refused text. */
        err = "Failed to parse arguments.";
    } else {
        parsed_args.http_params.js_callback = argv[HTTP_ARG_JS_CALLBACK];
        parsed_args.http_params.js_writehead_fn = argv[HTTP_ARG_JS_WRITEHEAD_FN];
        if (parsed_args.http_params.js_callback == nullptr)
            err = "JS callback can't be NULL.";
        else if (parsed_args.http_params.js_writehead_fn == nullptr)
            err = "JS send_header callback can't be NULL.";
    }

    if (err != nullptr) {
        zel_detail::say("%s\n", err);
        node_zel_release_args(&parsed_args);
        /* Refused while an inner step's error is pending; the first error
         * is the one the script sees. */
        (void)napi_throw_error(env, "EINVAL", "Error occured during API request handling.\n");
        return nullptr;
    }

    napi_value response = node_zel_req_handler(env, &parsed_args.http_params);
    node_zel_release_args(&parsed_args);
    return response;
}
