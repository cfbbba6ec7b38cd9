/* Per-request state of the response relay.  Both records are zero-filled by
 * the request composer, linked by api_zel_init_stream_info and then driven by
 * the processor api_zel_chunked_response, one reply payload at a time. */
#ifndef ZEL_MODULES_API_STREAM_H
#define ZEL_MODULES_API_STREAM_H

#include <node_api.h>
#include <stdbool.h>
#include <zlib.h>

#include "ulib/zel_export.h"

ZEL_BEGIN_DECLS

/* Script-side handles of one call. */
typedef struct {
    napi_env env;
    napi_value global;            /* `this` of both callbacks */
    napi_value js_buffer;         /* the one 4096-byte Buffer for body pieces */
    int js_buff_size;             /* unused, stays 0 */
    napi_value js_callback_fn;    /* body callback */
    napi_value js_writehead_fn;   /* write-head function */
    bool header_sent;             /* unused, stays false */
    char* buffer;                 /* data area of js_buffer */
    napi_value js_decomp;         /* unused, stays null */
    napi_value js_http_status;
    napi_value js_header;         /* header object, keys in lower case */
} stream_callback_params;

/* Compressed input that inflate has not consumed yet: bytes_in_buf bytes at
 * buff + cur_pos. */
typedef struct {
    char* buff;
    int cur_buf_size;             /* zeroed at initialisation, not maintained */
    int bytes_decoded;            /* zeroed at initialisation, not maintained */
    int bytes_in_buf;
    int cur_pos;
} decode_buf_info;

/* States of the chunked decoder (api_zel_chunked.h), kept in chunk_state.
 * The decoder resumes in any of them at any byte of the next payload; only a
 * boundary that a payload's end cuts carries bytes over, in metadata_buff. */
typedef enum {
    /* The first size line, without a CR LF before it.  It must end in the
     * first body bytes: it is never held.  0, so a zero-filled record starts
     * here. */
    API_ZEL_CHUNK_FIRST_SIZE_LINE = 0,
    /* remaining_res_chunk_size data bytes of the current chunk to come. */
    API_ZEL_CHUNK_DATA,
    /* A boundary: two bytes that end the chunk's data (skipped unread), a
     * size line and its CR LF.  metadata_len_in_buff of its bytes are held
     * when a payload's end cut it: at most 31, or the relay fails. */
    API_ZEL_CHUNK_BOUNDARY,
    /* After the zero-size line: trailer fields, read past and never handed
     * on, up to the empty line; body_end_match and trailer_len count. */
    API_ZEL_CHUNK_TRAILER,
    /* The body ended: any further byte is no part of this response. */
    API_ZEL_CHUNK_END,
    /* Framing that cannot be read; the relay has failed. */
    API_ZEL_CHUNK_FAILED,
} api_zel_chunk_state;

/* The stream state.  The record's layout is part of the exported interface,
 * so fields that no step reads any more keep their place and stay 0 from the
 * composer's zero fill, written by nobody: pkt_seq_num, bytes_inflated,
 * cur_res_chunk_size, first_res_chunk and last_res_chunk (the last two are
 * now chunk_state).  New fields go at the end. */
typedef struct {
    stream_callback_params* cb_params;
    bool is_gzipped;
    bool is_chunked;              /* streaming mode */
    int pkt_seq_num;              /* layout only */
    bool gzip_accepted;
    bool need_decomp;
    bool header_sent;
    int actual_content_length;    /* body bytes received, framing included */
    int content_length_in_hdr;
    int bytes_inflated;           /* layout only */
    char* stored_header;          /* header received so far, not terminated */
    int stored_hdr_size;
    bool api_response_chunked;    /* chunked transfer coding is removed */
    int remaining_res_chunk_size; /* API_ZEL_CHUNK_DATA: data bytes still to come */
    int cur_res_chunk_size;       /* layout only */
    char metadata_buff[32];       /* API_ZEL_CHUNK_BOUNDARY: the bytes of a cut boundary */
    int metadata_len_in_buff;
    bool first_res_chunk;         /* layout only */
    bool last_res_chunk;          /* layout only */
    z_stream z_strm;
    decode_buf_info decode_buf;
    /* API_ZEL_CHUNK_TRAILER: how much of the CR LF CR LF that ends the
     * trailer section, and the body, has been matched (the zero-size line's
     * own CR LF is its first two bytes), and the trailer bytes read past. */
    int body_end_match;
    int trailer_len;
    int chunk_state;              /* an api_zel_chunk_state */
} stream_response_info;

/* Links `stream_info` to the callback record `env` and decides gzip
 * acceptance.  Returns 0, or -1 (nothing written) when an argument is null. */
ZEL_EXPORT int api_zel_init_stream_info(stream_response_info* stream_info, void* env, const char* accept_encoding);

/* True for "gzip" or "gzip;q=0" at the first occurrence of "gzip" to the end. */
ZEL_EXPORT bool is_gzip_accepted(const char* accept_encoding);

/* Processor of one reply payload (query_processor_fn); `args` is the
 * request's stream_response_info.  Returns -1 on failure, 0 while more is
 * expected, 1 when done, or the inflated byte count of a whole gzip body.
 * Bytes past the end of the response (past Content-Length, or past the end
 * of a chunked body) are never handed to the script and fail the relay. */
ZEL_EXPORT int api_zel_chunked_response(char* data, int data_len, void* args);

ZEL_END_DECLS

#endif
