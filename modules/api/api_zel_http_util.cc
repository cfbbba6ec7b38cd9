/* Relay-facing wrappers of the script bridge, and the host's operations
 * table they forward to. */
#include "modules/api/api_zel_http_util.h"

#include <stdlib.h>
#include <string.h>

#include <atomic>

char empty_str[1];

namespace {

/* Every module instance (the main thread's and each worker's) installs the
 * same table when it loads, so the pointer only ever changes from null to
 * that table; the atomic makes a store racing with a relay's load defined. */
std::atomic<const api_zel_host_ops*> g_host_ops{nullptr};

const api_zel_host_ops* host()
{
    return g_host_ops.load(std::memory_order_acquire);
}

} // namespace

void api_zel_set_host_ops(const api_zel_host_ops* ops)
{
    g_host_ops.store(ops, std::memory_order_release);
}

void api_zel_set_header(stream_response_info* stream_info, const char* key, const char* val)
{
    const api_zel_host_ops* ops = host();
    if (stream_info == nullptr || key == nullptr || val == nullptr || ops == nullptr)
        return;
    ops->set_header(stream_info->cb_params, key, val);
}

const char* api_zel_get_header(stream_response_info* stream_info, const char* key)
{
    const api_zel_host_ops* ops = host();
    if (stream_info == nullptr || key == nullptr || ops == nullptr)
        return nullptr;
    return ops->get_header(stream_info->cb_params, key);
}

void api_zel_unset_header(stream_response_info* stream_info, const char* key)
{
    const api_zel_host_ops* ops = host();
    if (stream_info == nullptr || key == nullptr || ops == nullptr)
        return;
    ops->unset_header(stream_info->cb_params, key);
}

int api_zel_set_http_status(void* env, int http_status)
{
    const api_zel_host_ops* ops = host();
    if (env == nullptr || ops == nullptr)
        return -1;
    return ops->set_http_status(static_cast<stream_callback_params*>(env), http_status);
}

void api_zel_send_http_header(stream_response_info* stream_info)
{
    const api_zel_host_ops* ops = host();
    if (stream_info == nullptr || ops == nullptr)
        return;
    (void)ops->send_http_header(stream_info->cb_params);
}

/* The host cuts the run into Buffer-sized pieces; the first refused piece
 * ends the hand-over, so the script never sees the bytes after a gap. */
int api_zel_send_response(char* data, int data_len, void* env_args)
{
    const api_zel_host_ops* ops = host();
    if (env_args == nullptr || data == nullptr || data_len < 1 || ops == nullptr)
        return -1;
    return ops->send_body(data, data_len, static_cast<stream_callback_params*>(env_args));
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
        const api_zel_host_ops* ops = host();
        if (ops != nullptr)
            ops->set_header(static_cast<stream_callback_params*>(env), line, value);
    }
    free(line);
}
