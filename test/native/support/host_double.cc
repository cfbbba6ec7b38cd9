#include "support/host_double.h"

#include <ctype.h>
#include <string.h>

namespace zel_test {

namespace {

bridge_record g_record;
int g_header_object_tag;
char g_piece_buffer[API_ZEL_JS_BUFF_SIZE];

/* The header object's key for `key`, lower-cased as the script's holds it;
 * false when the record has no header object, which the real host refuses. */
bool header_key(stream_callback_params* cb, const char* key, std::string& lowered)
{
    if (cb->js_header == nullptr)
        return false;
    lowered = key;
    for (char& c : lowered)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return true;
}

int set_http_status(stream_callback_params*, int http_status)
{
    if (g_record.fail_status)
        return -1;
    g_record.status = http_status;
    return 0;
}

const char* get_header(stream_callback_params* cb, const char* key)
{
    std::string k;
    if (!header_key(cb, key, k))
        return nullptr;
    const auto found = g_record.header.find(k);
    return found == g_record.header.end() ? empty_str : strdup(found->second.c_str());
}

void set_header(stream_callback_params* cb, const char* key, const char* val)
{
    std::string k;
    /* As in the script: an empty value makes no string and is not stored. */
    if (header_key(cb, key, k) && val[0] != '\0')
        g_record.header[k] = val;
}

void unset_header(stream_callback_params* cb, const char* key)
{
    std::string k;
    if (header_key(cb, key, k))
        g_record.header.erase(k);
}

int send_http_header(stream_callback_params*)
{
    g_record.write_heads.emplace_back(g_record.status, g_record.header);
    return g_record.fail_write_head ? -1 : 0;
}

int send_body(char* data, int data_len, stream_callback_params*)
{
    g_record.pieces_before_head += g_record.write_heads.empty();
    const int call = g_record.body_calls++;
    if (g_record.fail_body_from >= 0 && call >= g_record.fail_body_from)
        return -1;
    const size_t len = static_cast<size_t>(data_len);
    if (g_record.keep_pieces)
        g_record.pieces.emplace_back(data, len);
    else
        memcpy(g_piece_buffer, data, len < sizeof g_piece_buffer ? len : sizeof g_piece_buffer);
    g_record.body_bytes += len;
    return data_len;
}

const api_zel_host_ops k_double_ops = {
    set_http_status, get_header, set_header, unset_header, send_http_header, send_body,
};

} // namespace

std::string bridge_record::body() const
{
    std::string all;
    for (const std::string& piece : pieces)
        all += piece;
    return all;
}

bridge_record& bridge()
{
    return g_record;
}

void install_host_double(stream_callback_params* cb)
{
    g_record = bridge_record{};
    api_zel_set_host_ops(&k_double_ops);
    cb->js_header = reinterpret_cast<napi_value>(&g_header_object_tag);
    cb->buffer = g_piece_buffer;
}

} // namespace zel_test
