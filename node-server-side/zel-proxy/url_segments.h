/* The URL splitter of the addon's routing: node_zel_req_handler takes the
 * serial chain from an incoming URL with it.  Plain C, no Node-API. */
#ifndef ZEL_NODE_URL_SEGMENTS_H
#define ZEL_NODE_URL_SEGMENTS_H

#include "ulib/zel_export.h"

ZEL_BEGIN_DECLS

/* Splits `buf` in place at runs of '/' and stores the first num_args segments
 * in the num_args slot arguments (each a const char** or null), and, when
 * `remaining` is given, the text after the last stored segment.  Slots with
 * no segment are left untouched. */
ZEL_EXPORT void api_parse_url_segments(char* buf, const char** remaining, int num_args, ...);

ZEL_END_DECLS

#endif
