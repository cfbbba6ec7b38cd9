'use strict';
// Every C name the module file exports, by subsystem.
module.exports = {
  frame: [
    '_module', '_register_NODE_GYP_MODULE_NAME', 'init', 'node_zel_req', 'node_zel_parse_napi_args',
    'node_zel_release_args', 'node_zel_get_http_method_num', 'method_def', 'num_valid_methods',
    'empty_str', 'node_zel_create_str_from_napi_value', 'node_zel_convert_string',
    'node_zel_convert_int32', 'get_js_property',
  ],
  routing: ['node_zel_req_handler', 'api_parse_url_segments', 'create_proxied_request'],
  transport: [
    '__nstd_query_sock', '__nstd_query_sock_open', '__nstd_query_req_send', 'query_md5', '__nstd_query_req',
    'nstd_query_poll_open', 'nstd_query_poll_send', 'nstd_query_poll_read', 'nstd_query_poll_close',
    'nstd_query_req_partial', 'nstd_query_req',
  ],
  strings: ['strnstr', 'strlcpy', 'str_tolower', 'string_to_unicase', 'nrv_trim_space'],
};
