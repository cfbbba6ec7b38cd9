/* The one-shot query against a scripted daemon on the real socket path. */
#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

#include "support/scripted_peer.h"
#include "sysapi/nst/nst_query.h"

using zel_test::raw_reply;
using zel_test::reply_dgram;
using zel_test::scripted_peer;

namespace {

struct free_deleter {
    void operator()(char* p) const { free(p); }
};

const std::string kPath("SN-A:SN-B", 10);
const std::string kReq = "GET /api/v1/status HTTP/1.1\r\n\r\n";

TEST(OneShotQuery, Replies)
{
    struct row {
        const char* name;
        std::vector<std::string> replies;
        bool has_buf;
        int rlen;
        std::string bytes;
    };
    const std::string a(100, 'a'), b(50, 'b'), c(10, 'c'), big(4084, 'g');
    const std::string whole = raw_reply(QUERY_SUCCESS_FIN, 4096, 0, big);
    /* A datagram of no bytes ends the reply the same way an expired wait or a
     * failed receive does, without waiting. */
    const std::string nothing;
    const row rows[] = {
        {"final without payload", {reply_dgram(1)}, true, 0, ""},
        {"pieces joined in order", {reply_dgram(0, a), reply_dgram(0, b), reply_dgram(1, c)}, true, 160, a + b + c},
        {"growth over four steps", {reply_dgram(0, big), reply_dgram(0, big), reply_dgram(0, big), whole}, true,
         3 * 4084 + 4096, big + big + big + whole},
        {"bad offsets take nothing", {raw_reply(0, 15, -5, "abc"), raw_reply(0, 15, 15, "abc"), reply_dgram(1, "d")},
         true, 1, "d"},
        {"cut short after payload", {reply_dgram(0, a), reply_dgram(0, b), nothing}, true, 150, a + b},
        {"malformed after payload", {reply_dgram(0, "xy"), raw_reply(0, 99, 12)}, true, 2, "xy"},
        {"nothing before the end", {nothing}, false, ZEL_ERR_RECV_FROM, ""},
        {"first datagram of 8 bytes", {std::string(8, '\0')}, false, ZEL_ERR_BAD_LEN, ""},
        {"cut to 4096", {raw_reply(1, 5000, 12, std::string(4988, 'x'))}, false, ZEL_ERR_BAD_LEN, ""},
        {"failure drops what was collected", {reply_dgram(0, a), reply_dgram(QUERY_FAIL_LOW_MEMORY)}, false, 9, ""},
        {"unknown command", {reply_dgram(FAIL_UNKNOWN_COMMAND)}, false, 255, ""},
    };
    scripted_peer peer;
    ASSERT_TRUE(peer.ok());
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        peer.serve(r.replies);
        int rlen = 12345;
        std::unique_ptr<char, free_deleter> buf(
            nstd_query_req(kPath.data(), static_cast<int>(kPath.size()), kReq.data(), static_cast<int>(kReq.size()), &rlen));
        const zel_test::request_capture req = peer.join();

        EXPECT_EQ(buf != nullptr, r.has_buf);
        EXPECT_EQ(rlen, r.rlen);
        if (buf && rlen >= 0) {
            EXPECT_TRUE(std::string(buf.get(), static_cast<size_t>(rlen)) == r.bytes);
        }
        EXPECT_EQ(req.header().flags, 0u);
        EXPECT_EQ(req.header().type, zel_req_query);
        EXPECT_TRUE(req.body() == kPath + kReq);
    }
}

TEST(OneShotQuery, RequestFailures)
{
    const std::string big_path(NSTD_QUERY_FIRST_ROOM + 1, 'p');
    int rlen = 0;
    EXPECT_EQ(nstd_query_req(kPath.data(), static_cast<int>(kPath.size()), "x", 1, nullptr), nullptr);

    zel_test::remove_query_socket();
    EXPECT_EQ(nstd_query_req(kPath.data(), static_cast<int>(kPath.size()), "x", 1, &rlen), nullptr);
    EXPECT_EQ(rlen, ZEL_ERR_SEND);

    scripted_peer peer;
    ASSERT_TRUE(peer.ok());
    rlen = 0;
    EXPECT_EQ(nstd_query_req(big_path.data(), static_cast<int>(big_path.size()), "x", 1, &rlen), nullptr);
    EXPECT_EQ(rlen, ZEL_ERR_SEND);
    rlen = 0;
    EXPECT_EQ(nstd_query_req(kPath.data(), -1, "x", 1, &rlen), nullptr);
    EXPECT_EQ(rlen, ZEL_ERR_SEND);
    EXPECT_FALSE(peer.has_pending());
}

} // namespace
