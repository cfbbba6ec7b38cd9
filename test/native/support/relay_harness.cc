#include "support/relay_harness.h"

#include <ctype.h>
#include <gtest/gtest.h>
#include <string.h>

#include <memory>

#include "modules/api/api_zel_header.h"
#include "modules/api/api_zel_inflate.h"
#include "node-server-side/zel-proxy/node_zel_common.h"
#include "node-server-side/zel-proxy/node_zel_req_handler.h"

char empty_str[1];

namespace zel_test {

namespace {

bridge_record g_record;
int g_header_object_tag;

/* False for a call the real bridge ignores; else `lowered` is the key as the
 * script's header object holds it. */
bool usable(stream_callback_params* cb, const char* key, std::string& lowered)
{
    if (cb == nullptr || key == nullptr || cb->js_header == nullptr)
        return false;
    lowered = key;
    for (char& c : lowered)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return true;
}

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

relay_harness::relay_harness(const char* accept_encoding)
{
    g_record = bridge_record{};
    cb.js_header = reinterpret_cast<napi_value>(&g_header_object_tag);
    cb.buffer = js_buffer;
    EXPECT_EQ(api_zel_init_stream_info(&si, &cb, accept_encoding), 0);
}

relay_harness::~relay_harness()
{
    cleanup_stored_header(&si);
    cleanup_decomp_buff(&si);
}

int relay_harness::feed(std::string_view payload)
{
    std::unique_ptr<char[]> block(new char[payload.size() + 1]);
    memcpy(block.get(), payload.data(), payload.size());
    return api_zel_chunked_response(block.get(), static_cast<int>(payload.size()), &si);
}

std::vector<int> relay_harness::feed_all(const std::vector<std::string>& payloads)
{
    std::vector<int> results;
    for (size_t i = 0; i < payloads.size() && (i == 0 || results.back() >= 0); ++i)
        results.push_back(feed(payloads[i]));
    return results;
}

std::vector<std::string> cut_at(std::string_view text, const std::vector<size_t>& cuts)
{
    std::vector<std::string> out;
    size_t from = 0;
    for (size_t c : cuts) {
        out.emplace_back(text.substr(from, c - from));
        from = c;
    }
    out.emplace_back(text.substr(from));
    return out;
}

std::string gzip_of(std::string_view plain, int level, int flush)
{
    z_stream strm{};
    EXPECT_EQ(deflateInit2(&strm, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(deflateBound(&strm, plain.size()) + 32, '\0');
    strm.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
    strm.avail_in = static_cast<uInt>(plain.size());
    strm.next_out = reinterpret_cast<Bytef*>(out.data());
    strm.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&strm, flush), flush == Z_FINISH ? Z_STREAM_END : Z_OK);
    out.resize(strm.total_out);
    deflateEnd(&strm);
    return out;
}

} // namespace zel_test

using zel_test::g_record;

const char* node_zel_get_header(stream_callback_params* cb_params, const char* key)
{
    std::string k;
    if (!zel_test::usable(cb_params, key, k))
        return nullptr;
    const auto found = g_record.header.find(k);
    return found == g_record.header.end() ? empty_str : strdup(found->second.c_str());
}

void node_zel_set_header(stream_callback_params* cb_params, const char* key, const char* val)
{
    std::string k;
    /* As in the script: an empty value makes no string and is not stored. */
    if (zel_test::usable(cb_params, key, k) && val != nullptr && val[0] != '\0')
        g_record.header[k] = val;
}

void node_zel_unset_header(stream_callback_params* cb_params, const char* key)
{
    std::string k;
    if (zel_test::usable(cb_params, key, k))
        g_record.header.erase(k);
}

int node_zel_set_http_status(stream_callback_params* cb_params, int http_status)
{
    if (cb_params == nullptr || g_record.fail_status)
        return -1;
    g_record.status = http_status;
    return 0;
}

int node_zel_send_http_header(stream_callback_params* cb_params)
{
    if (cb_params == nullptr)
        return -1;
    g_record.write_heads.emplace_back(g_record.status, g_record.header);
    return g_record.fail_write_head ? -1 : 0;
}

int node_zel_js_response(char* data, int data_len, stream_callback_params* cb_params)
{
    if (data == nullptr || cb_params == nullptr || cb_params->buffer == nullptr)
        return -1;
    if (data_len < 1)
        return data_len;
    g_record.pieces_before_head += g_record.write_heads.empty();
    g_record.oversized_pieces += data_len > 4096;
    const int call = g_record.body_calls++;
    if (g_record.fail_body_from >= 0 && call >= g_record.fail_body_from)
        return -1;
    g_record.pieces.emplace_back(data, static_cast<size_t>(data_len));
    return data_len;
}
