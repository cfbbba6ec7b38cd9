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
  bridge: [
    'node_zel_convert_http_header_key_string', 'node_zel_get_header', 'node_zel_set_header',
    'node_zel_unset_header', 'node_zel_set_http_status', 'node_zel_send_http_header', 'node_zel_js_response',
    'create_http_header', 'create_js_cb_params', 'api_zel_set_header', 'api_zel_get_header',
    'api_zel_unset_header', 'api_zel_set_http_status', 'api_zel_send_http_header', 'api_zel_send_response',
    'api_zel_set_header_by_line',
  ],
  relay: [
    'api_zel_init_stream_info', 'is_gzip_accepted', 'api_zel_parse_response_header', 'append_header',
    'process_header', 'send_stream_header', 'alloc_buff_for_split_header', 'cleanup_stored_header',
    'api_zel_chunked_response', 'process_data', 'process_chunk_boundary', 'send_chunked_response',
    'api_zel_send_decompressed_res', 'gzip_stream_decode', 'prepare_decomp_buff', 'cleanup_decomp_buff',
  ],
  transport: [
    '__nstd_query_sock', '__nstd_query_sock_open', '__nstd_query_req_send', 'query_md5', '__nstd_query_req',
    'nstd_query_poll_open', 'nstd_query_poll_send', 'nstd_query_poll_read', 'nstd_query_poll_close',
    'nstd_query_req_partial', 'nstd_query_req',
  ],
  strings: ['strnstr', 'strlcpy', 'str_tolower', 'string_to_unicase', 'nrv_trim_space'],
  numbers: [
    'string_to_unsigned_number', 'string_to_number', 'string_to_number_int64', 'char_to_hex', 'hex2num',
    'num2hex', 'chk_hex_digit', 'num2hexstr', 'hexstr2num', 'hexstr_to_bin', 'key_to_hex', 'hex_to_key',
    'valid_hex_key', 'parse_hex_bin_value',
  ],
  addresses: [
    'ip2l', 'ismaskok', 'dotted_to_addr', 'addr_to_dotted', 'parse_ports', 'samesubnet', 'issubnet2',
    'mask2len', 'str_to_macaddress', 'is_same_fqdn', 'is_ppp_name',
  ],
  protocols: ['chain_protos', 'parse_protocol', 'get_protocol', 'get_protocol_no'],
  dates: [
    'is_leap_year', 'max_month_days', 'validate_day_month', 'check_full_time_str', 'check_time_string',
    'check_iso_date_string', 'check_date_time_string', 'upd_utils_expiration_display_date',
    'upd_utils_get_expiry_date_str',
  ],
  bitfields: [
    'bitfield_setlistid', 'bitfield_setbit', 'bitfield_getbit', 'bitfield_tostring', 'bitfield_fromstring',
    'alloc_bit_field', 'free_bit_field', 'set_bf_bit', 'clear_bf_bit', 'test_bf_bit',
  ],
  checksums: ['csum_complete', 'csum_partial', 'csum_fold', 'ip_cksum', 'csum_tcpudp_magic'],
  descriptors: ['fd_set_nonblock', 'fd_set_block', 'print_ascii_file'],
  compression: ['fgzip', 'gzip_to_file', 'sgzip', 'is_gzip_buffer', 'is_gzip', 'zlib_compress', 'zip_compress_string'],
};
