/* Request routing, request composition, and the Node-API side of the script
 * bridge that the response relay calls. */
#ifndef ZEL_NODE_ZEL_REQ_HANDLER_H
#define ZEL_NODE_ZEL_REQ_HANDLER_H

#include <node_api.h>

#include "modules/api/api_zel_host.h"
#include "modules/api/api_zel_stream.h"
#include "node-server-side/zel-proxy/node_zel_mod.h"
#include "node-server-side/zel-proxy/url_segments.h"
#include "ulib/zel_export.h"

ZEL_BEGIN_DECLS

/* Routing: cuts the URL at '?' and hands its second segment to
 * create_proxied_request.  Returns that result, or null. */
ZEL_EXPORT napi_value node_zel_req_handler(napi_env env, node_zel_req_params* http_req);

/* Composes the request, runs the exchange with the daemon and relays the
 * reply.  Returns the script number 0 (relayed to its end) or -1 (failed, or
 * nothing sent because a head text was refused: a CR, LF or NUL, a blank in
 * the target, a method that is not a token), or null when no request could be
 * composed. */
ZEL_EXPORT napi_value create_proxied_request(napi_env env, const char* path, node_zel_req_params* http_req);

/* Script bridge, Node-API side.  The relay reaches the script only through
 * these operations, by way of the table node_zel_host_ops. */
ZEL_EXPORT napi_value node_zel_convert_http_header_key_string(napi_env env, const char* key, int len);
ZEL_EXPORT const char* node_zel_get_header(stream_callback_params* cb_params, const char* key);
ZEL_EXPORT void node_zel_set_header(stream_callback_params* cb_params, const char* key, const char* val);
ZEL_EXPORT void node_zel_unset_header(stream_callback_params* cb_params, const char* key);
ZEL_EXPORT int node_zel_set_http_status(stream_callback_params* cb_params, int http_status);
ZEL_EXPORT int node_zel_send_http_header(stream_callback_params* cb_params);
ZEL_EXPORT int node_zel_js_response(char* data, int data_len, stream_callback_params* cb_params);
ZEL_EXPORT int create_http_header(stream_callback_params* cb_params);
ZEL_EXPORT napi_value create_js_cb_params(napi_env env, napi_value response_buff, int data_len);

/* The operations above as the relay's host table. */
extern const api_zel_host_ops node_zel_host_ops;
/* Readies the bridge for one module instance: installs node_zel_host_ops and
 * prepares the script function that hands body pieces over.  Returns 0, or
 * -1 when that function cannot be made (pieces are then handed over through
 * Node-API property calls, more slowly but the same). */
int node_zel_bridge_init(napi_env env);

ZEL_END_DECLS

#endif
