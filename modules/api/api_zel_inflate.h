/* Body decompression of the relay: gzip bodies are inflated for clients that
 * do not accept gzip, whole in one call or as a stream across payloads, and
 * handed to the script in blocks of at most API_ZEL_JS_BUFF_SIZE bytes, which
 * is also the size of the first decode buffer. */
#ifndef ZEL_MODULES_API_INFLATE_H
#define ZEL_MODULES_API_INFLATE_H

#include <stdbool.h>
#include <stddef.h>

#include "modules/api/api_zel_host.h"
#include "modules/api/api_zel_stream.h"
#include "sysapi/sysutil/gzip.h"
#include "ulib/zel_export.h"

/* 15-bit window, zlib or gzip wrapper detected from the stream's start. */
#define API_ZEL_WBITS 47

ZEL_BEGIN_DECLS

/* Inflates a whole body with its own inflate state and, unless `length_only`,
 * hands every block to the script.  Returns the number of bytes inflated (0
 * when inflate cannot be set up; a corrupt body counts what came before the
 * error), or -1 when the output block cannot be allocated. */
ZEL_EXPORT int api_zel_send_decompressed_res(char* result_buf, size_t result_len, stream_callback_params* env,
                                             bool length_only);

/* Inflates one payload of a streamed gzip body.  Returns 0 when all input
 * was consumed and more is expected, 1 when the compressed stream ended or
 * the script took fewer bytes than were handed to it, -1 on failure. */
ZEL_EXPORT int gzip_stream_decode(char* stream_buf, size_t stream_len, stream_response_info* stream_info);

/* Appends `stream_len` compressed bytes to those not yet consumed.  Returns
 * the number of compressed bytes now held, or -1. */
ZEL_EXPORT int prepare_decomp_buff(char* stream_buf, int stream_len, stream_response_info* stream_info);

/* Ends streaming inflating: ends the inflate state and frees the decode
 * buffer.  Safe whether or not inflating is active, and when called twice. */
ZEL_EXPORT void cleanup_decomp_buff(stream_response_info* stream_info);

ZEL_END_DECLS

#endif
