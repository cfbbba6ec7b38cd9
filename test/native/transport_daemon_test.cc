// The transport against the reference daemon on the real query socket, and a
// real HTTP server behind it: what the client gets is the server's response,
// byte for byte, whichever query reads it.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "support/private_socket.h"
#include "support/queryd_harness.h"
#include "sysapi/nst/nst_query.h"

using namespace zel_test;

namespace {

std::string response_of(size_t body_size, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string body(body_size, '\0');
    for (char& c : body)
        c = static_cast<char>(rng());
    return "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
           std::to_string(body_size) + "\r\n\r\n" + body;
}

int collect(char* data, int len, void* args)
{
    static_cast<std::string*>(args)->append(data, static_cast<size_t>(len));
    return 0;
}

/* A real HTTP server answering with `response`, and the daemon on the
 * process's query socket routing S2 to it; both go when the record does. */
struct road {
    http_server server;
    queryd_child daemon;

    explicit road(const std::string& response)
    {
        server.respond = [response](int fd, const std::string&) { write_all(fd, response); };
        EXPECT_TRUE(http_server_start(&server));
        daemon.socket_path = zel_test::query_socket_path();
        EXPECT_TRUE(queryd_start(&daemon, ZEL_QUERYD_PATH, {"--quiet", "--route", "S2=" + server.endpoint()}));
    }
    ~road() { EXPECT_EQ(queryd_stop(&daemon, SIGTERM), 0); }
};

constexpr char kPath[] = "S1:S2";
const std::string kRequest = "GET /api/x HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: Close\r\n\r\n";
const int kRequestLen = static_cast<int>(kRequest.size());

TEST(TransportThroughDaemon, OneShotQueryReturnsTheWholeResponse)
{
    for (size_t size : {0u, 1u, 4000u, 300000u}) {
        SCOPED_TRACE(size);
        const std::string response = response_of(size, static_cast<unsigned>(size));
        road r(response);
        int rlen = -1;
        char* got = nstd_query_req(kPath, sizeof kPath, kRequest.data(), kRequestLen, &rlen);
        ASSERT_NE(got, nullptr) << "rlen " << rlen;
        EXPECT_TRUE(std::string(got, static_cast<size_t>(rlen)) == response);
        free(got);
    }
}

TEST(TransportThroughDaemon, StreamedQueryHandsOverEveryPayloadInOrder)
{
    const std::string response = response_of(1 << 20, 7);
    road r(response);
    std::string got;
    EXPECT_EQ(nstd_query_req_partial(kPath, sizeof kPath, kRequest.data(), kRequestLen, collect, &got), 1);
    EXPECT_TRUE(got == response) << got.size() << " of " << response.size() << " bytes";
}

TEST(TransportThroughDaemon, RefusedRouteReachesTheCallerAsItsCode)
{
    road r(response_of(10, 1));
    int rlen = 0;
    EXPECT_EQ(nstd_query_req("S1:S9", 6, kRequest.data(), kRequestLen, &rlen), nullptr);
    EXPECT_EQ(rlen, QUERY_FAIL_ROUTE_ERR);
    std::string got;
    EXPECT_EQ(nstd_query_req_partial("S1:S9", 6, kRequest.data(), kRequestLen, collect, &got), -QUERY_FAIL_ROUTE_ERR);
    EXPECT_TRUE(got.empty());
}

} // namespace
