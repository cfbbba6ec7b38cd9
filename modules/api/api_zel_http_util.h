/* Relay-facing side of the script bridge: the header object, the status, the
 * write-head call and the body pieces, keyed by the relay's own records.  The
 * relay reaches the script only through these, and they only through the
 * host's operations table (api_zel_host.h). */
#ifndef ZEL_MODULES_API_HTTP_UTIL_H
#define ZEL_MODULES_API_HTTP_UTIL_H

#include "modules/api/api_zel_host.h"
#include "modules/api/api_zel_stream.h"
#include "ulib/zel_export.h"

ZEL_BEGIN_DECLS

/* Sets header field `key` (lower-cased) to `val`; does nothing when an
 * argument is null. */
ZEL_EXPORT void api_zel_set_header(stream_response_info* stream_info, const char* key, const char* val);

/* Returns the value of header field `key` as a heap text owned by the caller,
 * empty_str when the field is absent, or null on failure or a null argument. */
ZEL_EXPORT const char* api_zel_get_header(stream_response_info* stream_info, const char* key);

/* Removes header field `key`; does nothing when an argument is null. */
ZEL_EXPORT void api_zel_unset_header(stream_response_info* stream_info, const char* key);

/* Stores the status for the write-head call; `env` is the callback record.
 * Returns 0, or -1 when `env` is null or the value cannot be made. */
ZEL_EXPORT int api_zel_set_http_status(void* env, int http_status);

/* Calls the script's write-head function with status and header object; a
 * failure is reported by the bridge and not returned. */
ZEL_EXPORT void api_zel_send_http_header(stream_response_info* stream_info);

/* Hands `data_len` body bytes to the body callback, which takes them in
 * pieces of at most 4096 bytes; `env_args` is the callback record.  Returns
 * `data_len` when every piece was taken, -1 when one was refused, or when
 * `data` or `env_args` is null or `data_len` is below 1. */
ZEL_EXPORT int api_zel_send_response(char* data, int data_len, void* env_args);

/* Stores one header line "name: value" (name untrimmed and lower-cased,
 * leading spaces of the value skipped); a line without ':' or with an empty
 * value stores nothing. */
ZEL_EXPORT void api_zel_set_header_by_line(void* env, const char* line_start, int line_len);

ZEL_END_DECLS

#endif
