/* Relay-facing wrappers of the script bridge. */
#include "modules/api/api_zel_http_util.h"

#include <stdlib.h>
#include <string.h>

#include "node-server-side/zel-proxy/node_zel_req_handler.h"

void api_zel_set_header(stream_response_info* stream_info, const char* key, const char* val)
{
    if (stream_info == nullptr || key == nullptr || val == nullptr)
        return;
    node_zel_set_header(stream_info->cb_params, key, val);
}

const char* api_zel_get_header(stream_response_info* stream_info, const char* key)
{
    if (stream_info == nullptr || key == nullptr)
        return nullptr;
    return node_zel_get_header(stream_info->cb_params, key);
}

void api_zel_unset_header(stream_response_info* stream_info, const char* key)
{
    if (stream_info == nullptr || key == nullptr)
        return;
    node_zel_unset_header(stream_info->cb_params, key);
}

int api_zel_set_http_status(void* env, int http_status)
{
    if (env == nullptr)
        return -1;
    return node_zel_set_http_status(static_cast<stream_callback_params*>(env), http_status);
}

void api_zel_send_http_header(stream_response_info* stream_info)
{
    if (stream_info == nullptr)
        return;
    (void)node_zel_send_http_header(stream_info->cb_params);
}

/* The script Buffer holds 4096 bytes, so a longer run is handed on as several
 * pieces.  The first refused piece ends the hand-over: the script has failed
 * and must not see the bytes after the gap. */
int api_zel_send_response(char* data, int data_len, void* env_args)
{
    if (env_args == nullptr || data == nullptr || data_len < 1)
        return -1;
    auto* cb_params = static_cast<stream_callback_params*>(env_args);
    for (int done = 0; done < data_len;) {
        const int piece = data_len - done < API_ZEL_JS_BUFF_SIZE ? data_len - done : API_ZEL_JS_BUFF_SIZE;
        const int taken = node_zel_js_response(data + done, piece, cb_params);
        if (taken != piece)
            return taken < 0 ? taken : -1;
        done += piece;
    }
    return data_len;
}

void api_zel_set_header_by_line(void* env, const char* line_start, int line_len)
{
    if (line_start == nullptr || env == nullptr || line_len < 1)
        return;

    char* line = static_cast<char*>(malloc(static_cast<size_t>(line_len) + 1));
    if (line == nullptr)
        return;
    memcpy(line, line_start, static_cast<size_t>(line_len));
    line[line_len] = '\0';

    char* colon = strchr(line, ':');
    if (colon != nullptr) {
        *colon = '\0';
        /* Only spaces are skipped: a tab belongs to the value, and the
         * name keeps any blank before the colon. */
        const char* value = colon + 1;
        while (*value == ' ')
            ++value;
        node_zel_set_header(static_cast<stream_callback_params*>(env), line, value);
    }
    free(line);
}
