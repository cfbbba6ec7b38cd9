#include "support/relay_harness.h"

#include <gtest/gtest.h>
#include <string.h>

#include <memory>

#include "modules/api/api_zel_header.h"
#include "modules/api/api_zel_inflate.h"

namespace zel_test {

relay_harness::relay_harness(const char* accept_encoding)
{
    install_host_double(&cb);
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
