/* Response header step of the relay: collects the daemon's response header
 * across payloads, parses it into the script's status and header object,
 * fixes the relay mode and calls the script's write-head function once. */
#ifndef ZEL_MODULES_API_HEADER_H
#define ZEL_MODULES_API_HEADER_H

#include "modules/api/api_zel_stream.h"
#include "ulib/zel_export.h"

ZEL_BEGIN_DECLS

/* The longest response head held, end marker included.  A longer head fails
 * the relay: a head that never ends cannot hold memory without bound. */
#define API_ZEL_HEAD_MAX 65536

/* Parses the status line and header lines of `result_buf` into the callback
 * record `env`, but only once the whole head passed the checks of
 * api_zel_head_checks.h: a status line "HTTP/1.x NNN" with a status of 100 to
 * 999, field lines of a token name, a colon and a value without control bytes
 * (no obsolete line folding), every Content-Length one plain number, all of
 * them equal, and no Content-Length together with Transfer-Encoding.  Lines
 * may end in CR LF or a bare LF; the head ends at the first CR LF CR LF.
 * Returns the header length (up to and including that marker), or 0 when the
 * text is not a complete head that passes; nothing reaches `env` then. */
ZEL_EXPORT int api_zel_parse_response_header(void* env, const char* result_buf, int result_len);

/* Appends `append_len` bytes to the held header.  Returns 0, or -1 when an
 * argument is null, `append_len` is below 1, or memory runs out (the held
 * header is then released). */
ZEL_EXPORT int append_header(stream_response_info* stream_info, char* data, int append_len);

/* Starts holding a header cut by the payload's end with a copy of the
 * payload.  Returns 0, or -1 on a bad argument or when memory runs out. */
ZEL_EXPORT int alloc_buff_for_split_header(stream_response_info* stream_info, char* data, int data_len);

/* Releases the held header, if any; safe to call at any time. */
ZEL_EXPORT void cleanup_stored_header(stream_response_info* stream_info);

/* Header step for one payload.  Returns -1 on failure (a head that does not
 * pass, or longer than API_ZEL_HEAD_MAX, whose held part is then released),
 * else 0 with
 * *body_start / *body_len describing the body bytes of this payload: null and
 * 0 while the header is incomplete, a non-null pointer (possibly with length
 * 0) once the header was handed to the script. */
ZEL_EXPORT int process_header(stream_response_info* stream_info, char* data, int data_len, char** body_start,
                              int* body_len);

/* Parses the complete header, decides the relay mode from Content-Length,
 * the first body bytes and the client's gzip acceptance, rewrites the fields
 * that decision affects (a Trailer field is always removed: trailers are not
 * relayed) and calls the write-head function.  Returns 0, or -1 when the
 * header does not parse or inflating cannot be set up; write-head is not
 * called then.  The held header is released in every case. */
ZEL_EXPORT int send_stream_header(char* header, int hdr_len, int body_len, stream_response_info* stream_info);

ZEL_END_DECLS

#endif
