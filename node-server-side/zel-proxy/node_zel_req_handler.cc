/* Routing of one script call to its target appliance, and composition of the
 * proxied request that the query daemon carries there. */
#include "node-server-side/zel-proxy/node_zel_req_handler.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "modules/api/api_zel_chunked.h"
#include "modules/api/api_zel_header.h"
#include "modules/api/api_zel_inflate.h"
#include "modules/api/api_zel_request_checks.h"
#include "node-server-side/zel-proxy/node_zel_common.h"
#include "sysapi/nst/nst_query.h"
#include "ulib/quiet.h"
#include "ulib/util.h"

namespace {

constexpr int kReqHeaderSize = 8190;   /* at most 8189 characters and a NUL */
constexpr int kSrcSerialSize = 128;

/* The two request templates share every line but the body's two. */
#define ZEL_REQ_LEADING_LINES                                      \
    "%s %s HTTP/1.1\r\n"                                           \
    "Host: 127.0.0.1\r\n"                                          \
    "Accept: application/json, text/javascript, */*; q=0.01\r\n"   \
    "Accept-Language: en-GB,en-US;q=0.8,en;q=0.6,vi;q=0.4\r\n"     \
    "Accept-Encoding: %s\r\n"                                      \
    "User-Agent: Norvane ZEL\r\n"
#define ZEL_REQ_TRAILING_LINES        \
    "X-ZEL-SN: %s\r\n"                \
    "X-ZEL-SOURCE-SN: %s\r\n"         \
    "X-ADMIN-NAME: ZL_%s\r\n"         \
    "X-ADMIN-PERMISSIONS: %s\r\n"     \
    "X-ADMIN-SUPER: %s\r\n"           \
    "Connection: Close\r\n"           \
    "\r\n"

constexpr const char kBodyTemplate[] = ZEL_REQ_LEADING_LINES
    "Content-Type: application/json;chartset=UTF-8\r\n"
    "Content-Length: %d\r\n" ZEL_REQ_TRAILING_LINES;

constexpr const char kBodilessTemplate[] = ZEL_REQ_LEADING_LINES ZEL_REQ_TRAILING_LINES;

/* The daemon is asked for deflate only when that is exactly what the client
 * named; anything else, lists included, asks for gzip, which the relay can
 * inflate for a client that does not take it. */
const char* choose_encoding(const char* accept_encoding)
{
    return strcmp(accept_encoding, "deflate") == 0 ? "deflate" : "gzip";
}

/* A header that does not fit its buffer is never sent in part: a cut head
 * followed by the body would let the body's text be read as header lines.
 * snprintf's result is the length the whole header needs. */
bool header_fits(int header_len)
{
    return header_len >= 0 && header_len < kReqHeaderSize;
}

napi_value refuse_long_header(napi_env env)
{
    zel_detail::say("Request header does not fit in %d bytes; nothing sent.\n", kReqHeaderSize - 1);
    return node_zel_convert_int32(env, -1);
}

/* True when no text that goes into the head could change its structure:
 * the serial chain (the X-ZEL-* values), administrator fields, a target
 * without blanks, and a method made of token characters.  The body is a C
 * text here: a NUL in the script's string was refused by node_zel_req, where
 * the string's length is known. */
bool head_texts_acceptable(const char* path, const node_zel_req_params* http_req)
{
    const char* texts[] = {path, http_req->admin_name, http_req->admin_prof, http_req->is_super_admin};
    for (const char* t : texts)
        if (zel_check_head_text(t, t != nullptr ? strlen(t) : 0, false) != ZEL_HEAD_TEXT_OK)
            return false;
    const char* u = http_req->new_url;
    if (zel_check_request_target(u, u != nullptr ? strlen(u) : 0) != ZEL_HEAD_TEXT_OK)
        return false;
    const char* m = http_req->method;
    return zel_check_head_text(m, m != nullptr ? strlen(m) : 0, true) == ZEL_HEAD_TEXT_OK;
}

napi_value refuse_head_text(napi_env env)
{
    zel_detail::say("Request head text holds a CR or LF, a target a blank, or a method that is not a token; "
                    "nothing sent.\n");
    return node_zel_convert_int32(env, -1);
}

} // namespace

napi_value node_zel_req_handler(napi_env env, node_zel_req_params* http_req)
{
    if (http_req == nullptr)
        return nullptr;

    char* url = http_req->url;
    /* The query part never takes part in the split, so slashes inside it
     * cannot be mistaken for path separators. */
    char* found = strchr(url, '?');
    if (found != nullptr)
        *found = '\0';

    const char* serials = nullptr;
    api_parse_url_segments(url, nullptr, 2, static_cast<const char**>(nullptr), &serials);
    return create_proxied_request(env, serials, http_req);
}

napi_value create_proxied_request(napi_env env, const char* path, node_zel_req_params* http_req)
{
    char req_header[kReqHeaderSize] = {};
    stream_callback_params cb_params = {};
    stream_response_info stream_info = {};
    void* res_buff_ptr = nullptr;

    if (path == nullptr || http_req == nullptr || env == nullptr)
        return nullptr;

    const char* encoding = choose_encoding(http_req->accept_encoding);
    const char* method = http_req->method;
    const char* url = http_req->new_url;

    /* node_zel_req refuses these texts before it gets here; a direct caller of
     * this exported function gets the same guarantee: nothing that could end
     * a header line reaches the head. */
    if (!head_texts_acceptable(path, http_req))
        return refuse_head_text(env);

    api_zel_init_stream_info(&stream_info, &cb_params, http_req->accept_encoding);

    if (napi_get_global(env, &cb_params.global) != napi_ok) {
        zel_detail::say("Failed to get \"this\" instance from JS.\n");
        return nullptr;
    }
    cb_params.env = env;
    cb_params.js_callback_fn = http_req->js_callback;
    cb_params.js_writehead_fn = http_req->js_writehead_fn;

    if (napi_create_buffer(env, API_ZEL_JS_BUFF_SIZE, &res_buff_ptr, &cb_params.js_buffer) != napi_ok) {
        zel_detail::say("Failed to create response buffer.");
        return nullptr;
    }
    cb_params.buffer = static_cast<char*>(res_buff_ptr);

    if (create_http_header(&cb_params) != 0) {
        zel_detail::say("Failed to create header.");
        return nullptr;
    }

    /* The chain goes to the daemon with its NUL: the request header carries
     * no path length, so that NUL is where the daemon finds the chain's end
     * and the request text's start, and the digest covers it too. */
    const int path_len = static_cast<int>(strlen(path)) + 1;

    /* Source serial: the chain cut at its first ':' after the first other
     * character.  The reentrant tokenizer gives the same cut as the classic
     * one without sharing its position with anything else in the process. */
    char src_serial[kSrcSerialSize];
    strlcpy(src_serial, path, sizeof src_serial);
    char* save = nullptr;
    (void)strtok_r(src_serial, ":", &save);

    const char* last_colon = strrchr(path, ':');
    if (last_colon == nullptr)
        return nullptr;
    const char* serial = last_colon + 1;

    const bool with_post_body = http_req->post_body[0] != '\0';
    char* req = req_header;
    int req_len = 0;
    if (with_post_body) {
        const size_t body_size = strlen(http_req->post_body);
        if (body_size > static_cast<size_t>(INT_MAX - kReqHeaderSize))
            return nullptr;
        const int post_body_len = static_cast<int>(body_size);
        const int header_len = snprintf(req_header, sizeof req_header, kBodyTemplate, method, url, encoding,
                                        post_body_len, serial, src_serial, http_req->admin_name,
                                        http_req->admin_prof, http_req->is_super_admin);
        if (!header_fits(header_len))
            return refuse_long_header(env);
        req_len = header_len + post_body_len;
        req = static_cast<char*>(malloc(static_cast<size_t>(req_len)));
        if (req == nullptr)
            return nullptr;
        memcpy(req, req_header, static_cast<size_t>(header_len));
        memcpy(req + header_len, http_req->post_body, static_cast<size_t>(post_body_len));
    } else {
        const int header_len = snprintf(req_header, sizeof req_header, kBodilessTemplate, method, url, encoding,
                                        serial, src_serial, http_req->admin_name, http_req->admin_prof,
                                        http_req->is_super_admin);
        if (!header_fits(header_len))
            return refuse_long_header(env);
        req_len = header_len;
    }

    zel_detail::say_text("Sent request:\n", req, static_cast<size_t>(req_len));

    const int ret = nstd_query_req_partial(path, path_len, req, req_len, api_zel_chunked_response, &stream_info);

    /* Whatever the relay still holds when the query ends (a header cut short,
     * an inflate state of a body that never completed) is released here, on
     * every outcome. */
    cleanup_stored_header(&stream_info);
    cleanup_decomp_buff(&stream_info);
    if (with_post_body)
        free(req);

    /* The daemon's final datagram ends the exchange, but only a body that
     * reached its end is a relayed reply: a reply cut short fails. */
    const bool relayed = ret == 1 && api_zel_response_complete(&stream_info);
    return node_zel_convert_int32(env, relayed ? 0 : -1);
}
