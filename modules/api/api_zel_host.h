/* The relay's one way to its host: a table of the operations that reach the
 * script side (status, header object, write-head, body pieces), installed by
 * the host with one call.  The addon installs its Node-API operations when it
 * is loaded; native tests and benchmarks install a recording double.  The
 * relay itself never names a host function. */
#ifndef ZEL_MODULES_API_HOST_H
#define ZEL_MODULES_API_HOST_H

#include "modules/api/api_zel_stream.h"
#include "ulib/zel_export.h"

ZEL_BEGIN_DECLS

/* Size of the host's piece Buffer: the host hands a body to the script in
 * pieces of at most this many bytes, and the relay inflates in output blocks
 * of this size so that each block is one piece. */
#define API_ZEL_JS_BUFF_SIZE 4096

/* The shared empty text: what get_header returns for an absent field, and
 * what the host uses for undefined and null texts.  Never freed or written. */
ZEL_EXPORT extern char empty_str[1];

/* Every operation is called with a non-null callback record and non-null
 * texts; the relay checks its own arguments before it forwards. */
typedef struct {
    /* Stores the status for write-head.  Returns 0, or -1 on failure. */
    int (*set_http_status)(stream_callback_params* cb_params, int http_status);
    /* Returns header field `key` as a heap text owned by the caller, empty_str
     * when the field is absent, or null on failure. */
    const char* (*get_header)(stream_callback_params* cb_params, const char* key);
    /* Sets field `key` (lower-cased) to `val`; an empty value stores nothing. */
    void (*set_header)(stream_callback_params* cb_params, const char* key, const char* val);
    /* Removes field `key`. */
    void (*unset_header)(stream_callback_params* cb_params, const char* key);
    /* Calls write-head with status and header object.  Returns 0, or -1 when
     * the script call failed. */
    int (*send_http_header)(stream_callback_params* cb_params);
    /* Hands `data_len` (at least 1) body bytes to the body callback, in
     * pieces of at most API_ZEL_JS_BUFF_SIZE bytes.  Returns `data_len` when
     * every piece was taken, -1 when one was refused. */
    int (*send_body)(char* data, int data_len, stream_callback_params* cb_params);
} api_zel_host_ops;

/* Makes `ops` the table every relay call goes through; the table must stay
 * valid while relays run.  Installing the same table again, from any thread,
 * is harmless.  Until a table is installed every operation fails. */
void api_zel_set_host_ops(const api_zel_host_ops* ops);

ZEL_END_DECLS

#endif
