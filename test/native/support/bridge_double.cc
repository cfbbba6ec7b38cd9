#include "support/bridge_double.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include "node-server-side/zel-proxy/node_zel_common.h"
#include "node-server-side/zel-proxy/node_zel_req_handler.h"

char empty_str[1];

namespace zel_test {

namespace {

bridge_record g_record;
int g_header_object_tag;

std::string lower(const char* key)
{
    std::string out(key);
    for (char& c : out)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return out;
}

} // namespace

std::string bridge_record::body() const
{
    std::string all;
    for (const std::string& piece : pieces)
        all += piece;
    return all;
}

int bridge_record::first_log(const std::string& prefix) const
{
    for (size_t i = 0; i < log.size(); ++i) {
        if (log[i].compare(0, prefix.size(), prefix) == 0)
            return static_cast<int>(i);
    }
    return -1;
}

bridge_record& bridge()
{
    return g_record;
}

void bridge_reset()
{
    g_record = bridge_record{};
}

napi_value fake_header_object()
{
    return reinterpret_cast<napi_value>(&g_header_object_tag);
}

} // namespace zel_test

using zel_test::g_record;

const char* node_zel_get_header(stream_callback_params* cb_params, const char* key)
{
    if (cb_params == nullptr || key == nullptr || cb_params->js_header == nullptr)
        return nullptr;
    const std::string k = zel_test::lower(key);
    g_record.log.push_back("get " + k);
    const auto found = g_record.header.find(k);
    if (found == g_record.header.end())
        return empty_str;
    return strdup(found->second.c_str());
}

void node_zel_set_header(stream_callback_params* cb_params, const char* key, const char* val)
{
    if (cb_params == nullptr || key == nullptr || val == nullptr || cb_params->js_header == nullptr)
        return;
    /* As in the script: an empty value makes no string and is not stored. */
    if (val[0] == '\0')
        return;
    const std::string k = zel_test::lower(key);
    g_record.log.push_back("set " + k);
    g_record.header[k] = val;
}

void node_zel_unset_header(stream_callback_params* cb_params, const char* key)
{
    if (cb_params == nullptr || key == nullptr || cb_params->js_header == nullptr)
        return;
    const std::string k = zel_test::lower(key);
    g_record.log.push_back("unset " + k);
    g_record.header.erase(k);
}

int node_zel_set_http_status(stream_callback_params* cb_params, int http_status)
{
    if (cb_params == nullptr || g_record.fail_status)
        return -1;
    g_record.log.push_back("status");
    g_record.status_set = true;
    g_record.status = http_status;
    return 0;
}

int node_zel_send_http_header(stream_callback_params* cb_params)
{
    if (cb_params == nullptr)
        return -1;
    g_record.log.push_back("write-head");
    g_record.write_heads.push_back({g_record.status, g_record.header});
    return g_record.fail_write_head ? -1 : 0;
}

int node_zel_js_response(char* data, int data_len, stream_callback_params* cb_params)
{
    if (data == nullptr || cb_params == nullptr || cb_params->buffer == nullptr)
        return -1;
    if (data_len < 1)
        return data_len;
    const int call = g_record.body_calls++;
    g_record.log.push_back("body " + std::to_string(data_len));
    if (data_len > 4096)
        ++g_record.oversized_pieces;
    if (g_record.fail_body_from >= 0 && call >= g_record.fail_body_from)
        return -1;
    g_record.pieces.emplace_back(data, static_cast<size_t>(data_len));
    return data_len;
}
