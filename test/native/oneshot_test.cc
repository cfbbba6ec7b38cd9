/* The one-shot query against a scripted daemon on the real socket path. */
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "support/scripted_peer.h"
#include "sysapi/nst/nst_query.h"

using zel_test::raw_reply;
using zel_test::reply_dgram;

namespace {

const std::string kPath("SN-A:SN-B", 10);

/* The query's result as text, or null; *rlen gets its length or code. */
char* one_shot(const std::string& path, int* rlen)
{
    return nstd_query_req(path.data(), static_cast<int>(path.size()), "GET / HTTP/1.1\r\n\r\n", 18, rlen);
}

TEST(OneShotQuery, Replies)
{
    struct row {
        const char* name;
        std::vector<std::string> replies;
        int rlen;
        std::optional<std::string> bytes;  /* none: no result */
    };
    const std::string a(100, 'a'), b(50, 'b'), big(4084, 'g');
    const std::string whole = raw_reply(QUERY_SUCCESS_FIN, 4096, 0, big);

    /* A datagram of no bytes ends the reply the same way an expired wait or a
     * failed receive does, without waiting. */
    const row rows[] = {
        {"final without payload", {reply_dgram(1)}, 0, ""},
        {"growth over four steps", {reply_dgram(0, big), reply_dgram(0, big), reply_dgram(0, big), whole},
         3 * 4084 + 4096, big + big + big + whole},
        {"bad offsets take nothing", {raw_reply(0, 15, -5, "abc"), raw_reply(0, 15, 15, "abc"), reply_dgram(1, "d")},
         1, "d"},
        {"cut short after payload", {reply_dgram(0, a), reply_dgram(0, b), ""}, 150, a + b},
        {"malformed after payload", {reply_dgram(0, "xy"), raw_reply(0, 99, 12)}, 2, "xy"},
        {"nothing before the end", {""}, ZEL_ERR_RECV_FROM, std::nullopt},
        {"first datagram of 8 bytes", {std::string(8, '\0')}, ZEL_ERR_BAD_LEN, std::nullopt},
        {"failure drops what was collected", {reply_dgram(0, a), reply_dgram(QUERY_FAIL_LOW_MEMORY)}, 9, std::nullopt},
        {"unknown command", {reply_dgram(FAIL_UNKNOWN_COMMAND)}, 255, std::nullopt},
    };
    zel_test::scripted_peer peer;
    ASSERT_TRUE(peer.ok());
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        peer.serve(r.replies);
        int rlen = 12345;
        char* buf = one_shot(kPath, &rlen);
        EXPECT_EQ(peer.join().header().flags, 0u);
        EXPECT_EQ(rlen, r.rlen);
        EXPECT_TRUE(buf == nullptr ? !r.bytes : r.bytes && std::string(buf, static_cast<size_t>(rlen)) == *r.bytes);
        free(buf);
    }
}

TEST(OneShotQuery, RequestFailures)
{
    int rlen = 0;
    EXPECT_EQ(one_shot(kPath, nullptr), nullptr);
    unlink(zel_test::query_socket_path().c_str());
    EXPECT_EQ(one_shot(kPath, &rlen), nullptr);
    EXPECT_EQ(rlen, ZEL_ERR_SEND);

    zel_test::scripted_peer peer;
    ASSERT_TRUE(peer.ok());
    rlen = 0;
    EXPECT_EQ(one_shot(std::string(NSTD_QUERY_FIRST_ROOM + 1, 'p'), &rlen), nullptr);
    EXPECT_EQ(rlen, ZEL_ERR_SEND);
    EXPECT_FALSE(peer.has_pending());
}

} // namespace
