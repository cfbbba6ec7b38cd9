/* The addon's entry: module record, the script function node_zel_req and its
 * argument record. */
#ifndef ZEL_NODE_ZEL_MOD_H
#define ZEL_NODE_ZEL_MOD_H

#include <node_api.h>
#include <stdbool.h>
#include <stddef.h>

#include "ulib/zel_export.h"

ZEL_BEGIN_DECLS

/* Slot number of each script argument. */
typedef enum {
    HTTP_ARG_METHOD = 0,
    HTTP_ARG_URL = 1,
    HTTP_ARG_NEW_URL = 2,
    HTTP_ARG_ACCEPT_ENCODING = 3,
    HTTP_ARG_ADMIN_NAME = 4,
    HTTP_ARG_ADMIN_PROF = 5,
    HTTP_ARG_IS_SUPER_ADMIN = 6,
    HTTP_ARG_POST_BODY = 7,
    HTTP_ARG_STR_ARG_MAX = 8,     /* the first eight slots are texts */
    HTTP_ARG_JS_CALLBACK = 8,
    HTTP_ARG_JS_WRITEHEAD_FN = 9,
    HTTP_ARG_SIZE = 10,
} node_zel_req_params_e;

/* The ten arguments of one call.  Text fields are heap copies owned by the
 * record, or empty_str; the two handles are borrowed from the call. */
typedef struct {
    char* method;
    char* url;
    char* new_url;
    char* accept_encoding;
    char* admin_name;
    char* admin_prof;
    char* is_super_admin;
    char* post_body;
    napi_value js_callback;
    napi_value js_writehead_fn;
} node_zel_req_params;

/* Slot i of `args` is the field whose node_zel_req_params_e value is i. */
typedef union {
    void* args[HTTP_ARG_SIZE];
    node_zel_req_params http_params;
} arg_container;

typedef struct {
    int method_num;
    const char* method_str;
} http_method;

ZEL_EXPORT extern const http_method method_def[];
ZEL_EXPORT extern const int num_valid_methods;
ZEL_EXPORT extern napi_module _module;

/* Static constructor: registers _module with the host. */
ZEL_EXPORT void _register_NODE_GYP_MODULE_NAME(void);
/* Puts node_zel_req on `exports`; returns `exports`, or null on failure. */
ZEL_EXPORT napi_value init(napi_env env, napi_value exports);
/* The script function.  Returns the handler's result: 0 or -1 after an
 * exchange, or null (undefined in the script) when no request could be
 * composed, without a throw.  Refused arguments give null after an "EINVAL"
 * error was thrown.  An exception a script callback threw is pending when it
 * returns, whatever the result. */
ZEL_EXPORT napi_value node_zel_req(napi_env env, napi_callback_info info);
/* Copies the first num_expected_args texts into `parsed`.  Returns true when
 * all were copied; false otherwise, with nothing left allocated: after an
 * "EINVAL" error was thrown for too few arguments or a text that cannot be
 * copied, without one for a null `parsed` or `args`, or more texts than the
 * record has slots for. */
ZEL_EXPORT bool node_zel_parse_napi_args(napi_env env, size_t argc, napi_value* args, size_t num_expected_args,
                                         arg_container* parsed);
/* Frees the text slots that are neither null nor empty_str; safe twice. */
ZEL_EXPORT void node_zel_release_args(arg_container* args);
/* Returns the method's number from method_def (exact match), or -1. */
ZEL_EXPORT int node_zel_get_http_method_num(const char* method_str);

ZEL_END_DECLS

#ifdef __cplusplus
static_assert(sizeof(arg_container) == sizeof(void*) * HTTP_ARG_SIZE, "argument slots overlay the record");
#endif

#endif
