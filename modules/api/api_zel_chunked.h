/* Body step of the relay: the processor of every reply payload, chunked
 * transfer coding removed in place, and the hand-over of body pieces. */
#ifndef ZEL_MODULES_API_CHUNKED_H
#define ZEL_MODULES_API_CHUNKED_H

#include "modules/api/api_zel_stream.h"
#include "ulib/zel_export.h"

ZEL_BEGIN_DECLS

/* Body bytes of one payload (after the header, if it came in this payload).
 * Returns -1 on failure, also after handing on the data of a chunked body
 * that ended in this payload when bytes follow its end; else the processor's
 * value: 0 while more is expected, 1 when done, or the inflated count of a
 * whole gzip body. */
ZEL_EXPORT int process_data(stream_response_info* stream_info, char* data, int data_len);

/* Removes the chunk framing of one payload in place, resuming in the state
 * the previous payload left (api_zel_chunk_state).  Returns 0 with the data
 * bytes standing contiguously from data + *offset, data_len - *meta_size of
 * them; 1 with the same, when the body ended in this payload and bytes follow
 * its end (they are no part of the data and must not be handed on); or -1
 * when the first size line does not end in the payload, a size line has no
 * hexadecimal digit or a size that is negative or above INT_MAX, a boundary
 * cut by a payload's end is longer than the 31 bytes that can be held, or
 * the trailer section runs past API_ZEL_HEAD_MAX bytes; the record is then
 * in API_ZEL_CHUNK_FAILED and every later call fails too.  Trailer fields
 * are framing: read past, never handed on. */
ZEL_EXPORT int process_chunk_boundary(stream_response_info* stream_info, char* data, int data_len, int* offset,
                                      int* meta_size);

/* Hands one piece of a streamed body on, inflating it when needed.  Returns
 * -1 on failure, 1 when the response is complete (or inflating ended), else
 * 0.  An empty piece is skipped with that same completion value. */
ZEL_EXPORT int send_chunked_response(stream_response_info* stream_info, char* data, int data_len);

/* True when the response reached its end: its header was complete and its
 * body reached Content-Length or, without Content-Length, ended with the
 * zero-size chunk and the empty line after it, or had no body byte at all.  False for a null record.
 * The final reply datagram ends an exchange, but only a complete response is
 * a relayed one. */
bool api_zel_response_complete(const stream_response_info* stream_info);

ZEL_END_DECLS

#endif
