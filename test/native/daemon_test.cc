/* The reference query daemon, driven through its socket: a raw datagram
 * client with its own framing and digest, and real HTTP servers as targets. */
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <future>
#include <random>
#include <tuple>

#include "support/queryd_harness.h"
#include "sysapi/nst/nst_query.h"

using namespace zel_test;

namespace {

const std::string kDaemon = ZEL_QUERYD_PATH;

std::string random_bytes(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s)
        c = static_cast<char>(rng());
    return s;
}

std::string http_request(const std::string& body = {})
{
    std::string r = "GET /api/x HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (!body.empty())
        r = "POST /api/x HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    return r + "Connection: Close\r\n\r\n" + body;
}

std::string http_response(const std::string& body)
{
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

/* Sends one whole request from a fresh client and reads the reply. */
reply exchange(const queryd_child& d, const std::string& path, const std::string& data, int timeout_sec = 15)
{
    dgram_client c;
    EXPECT_TRUE(send_datagrams(c, d.socket_path, frame_request(path, data)));
    return read_reply(c, timeout_sec);
}

/* Answers `response`; when `request` is given, anything else gets a 400. */
void answer(http_server* s, const std::string& response, const std::string& request = {})
{
    s->respond = [response, request](int fd, const std::string& got) {
        write_all(fd, request.empty() || got == request ? response : "HTTP/1.1 400 Bad\r\n\r\n");
    };
}

/* Adds `delta` to the total_len field of a framed request. */
std::string shift_total(std::string f, int64_t delta)
{
    uint32_t total;
    memcpy(&total, &f[8], 4);
    total = static_cast<uint32_t>(total + delta);
    memcpy(&f[8], &total, 4);
    return f;
}

}  // namespace

TEST(QuerydRelay, RoutedRequestsComeBackByteForByte)
{
    /* A request body larger than one datagram exercises reassembly too; the
     * targets check they got it unchanged. */
    const std::string req = http_request(random_bytes(9000, 2)), body = random_bytes(200000, 1);
    http_server tcp, local;
    answer(&tcp, http_response(body), req);
    answer(&local, http_response(body.substr(0, 5000)), req);
    ASSERT_TRUE(http_server_start(&tcp));
    ASSERT_TRUE(http_server_start(&local, "/tmp/zelq-http-" + std::to_string(getpid())));

    queryd_child d;
    const std::string routes = "/tmp/zelq-routes-" + std::to_string(getpid());
    std::ofstream(routes) << "# serial  endpoint\n\nSU " << local.endpoint() << "  # unix stream\n";
    ASSERT_TRUE(queryd_start(&d, kDaemon, {"--routes", routes, "--route", "ST=" + tcp.endpoint()}));
    unlink(routes.c_str());

    for (const auto& [path, expect] : {std::pair{"S1:ST", http_response(body)},
                                       std::pair{"S1:S7:SU", http_response(body.substr(0, 5000))}}) {
        SCOPED_TRACE(path);
        const reply got = exchange(d, path, req);
        EXPECT_EQ(got.code, QUERY_SUCCESS_FIN);
        EXPECT_TRUE(got.payload == expect);
        for (size_t n : got.sizes)
            EXPECT_LE(n, 4084u);
    }
    EXPECT_EQ(queryd_stop(&d, SIGTERM), 0);
}

TEST(QuerydRelay, EveryRefusalHasItsCode)
{
    http_server ok, closer, silent;
    std::promise<void> release;   /* goes before the servers and frees the silent one */
    answer(&ok, http_response("fine"));
    closer.respond = [](int, const std::string&) {};
    silent.respond = [held = release.get_future().share()](int, const std::string&) { held.wait(); };
    ASSERT_TRUE(http_server_start(&ok));
    ASSERT_TRUE(http_server_start(&closer));
    ASSERT_TRUE(http_server_start(&silent));
    queryd_child d;
    ASSERT_TRUE(queryd_start(&d, kDaemon,
                             {"--route", "OK=" + ok.endpoint(), "--route", "CLOSER=" + closer.endpoint(), "--route",
                              "SILENT=" + silent.endpoint(), "--route", "GONE=unix:/tmp/zelq-no-such-socket",
                              "--target-timeout", "1", "--max-request", "100000"}));

    const std::string get = http_request(), good = frame_request("S1:OK", get), no_nul = frame_request("S1:OK", "");
    std::string bad_digest = good;
    bad_digest[12] ^= 1;
    for (const auto& [name, frame, code] : std::initializer_list<std::tuple<const char*, std::string, int>>{
        {"eight serials reach the target", frame_request("A:B:C:D:E:F:G:OK", get), QUERY_SUCCESS_FIN},
        {"serial named twice", frame_request("S1:OK:S1:OK", get), QUERY_FAIL_PATH_LOOP},
        {"empty chain", frame_request("", get), QUERY_FAIL_PATH_ERR},
        {"empty serial inside", frame_request("S1::OK", get), QUERY_FAIL_PATH_ERR},
        {"empty target", frame_request("S1:", get), QUERY_FAIL_PATH_ERR},
        {"unknown target", frame_request("S1:NOPE", get), QUERY_FAIL_ROUTE_ERR},
        {"no such unix socket", frame_request("S1:GONE", get), QUERY_FAIL_REMOTE_ERR},
        {"target stays silent", frame_request("S1:SILENT", get), QUERY_FAIL_REMOTE_ERR},
        {"nine serials", frame_request("A:B:C:D:E:F:G:H:OK", get), QUERY_FAIL_DROP_TTL},
        {"not HTTP", frame_request("S1:OK", "hello"), QUERY_FAIL_MALFORMED_HTTP_REQ},
        {"HTTP/1.0", frame_request("S1:OK", "GET /x HTTP/1.0\r\n\r\n"), QUERY_FAIL_MALFORMED_HTTP_REQ},
        {"header never ends", frame_request("S1:OK", "GET /x HTTP/1.1\r\nHost: a\r\n"), QUERY_FAIL_MALFORMED_HTTP_REQ},
        {"body longer than Content-Length", frame_request("S1:OK", http_request("abc") + "d"),
         QUERY_FAIL_MALFORMED_HTTP_REQ},
        {"target closes without a byte", frame_request("S1:CLOSER", get), QUERY_FAIL_CONNECTION_CLOSED},
        {"appliance feed type", frame_request("S1:OK", get, 1), FAIL_UNKNOWN_COMMAND},
        {"digest mismatch", bad_digest, QUERY_FAIL_PATH_ERR},
        {"total_len below header and path", shift_total(good, 30 - static_cast<int64_t>(good.size())), QUERY_FAIL_PATH_ERR},
        {"more bytes than total_len", shift_total(good, -1), QUERY_FAIL_PATH_ERR},
        {"path without NUL", no_nul.substr(0, no_nul.size() - 1), QUERY_FAIL_PATH_ERR},
        {"shorter than a header", good.substr(0, 10), QUERY_FAIL_PATH_ERR},
        {"datagram above 3584 bytes", frame_request("S1:OK", http_request(std::string(4000, 'b'))), QUERY_FAIL_PATH_ERR},
        {"total_len above the limit", shift_total(good, 100000), QUERY_FAIL_LOW_MEMORY},
    }) {
        dgram_client c;
        ASSERT_TRUE(send_datagrams(c, d.socket_path, frame, 65536)) << name;
        EXPECT_EQ(read_reply(c).code, code) << name;
    }
    /* An oversized datagram inside a request: the rest of it is swallowed,
     * so its client gets one answer only. */
    const std::string f = frame_request("S1:OK", http_request(std::string(12000, 'c')));
    dgram_client c;
    ASSERT_TRUE(send_datagrams(c, d.socket_path, f.substr(0, 3584)));
    ASSERT_TRUE(send_datagrams(c, d.socket_path, f.substr(3584, 5000), 5000));
    ASSERT_TRUE(send_datagrams(c, d.socket_path, f.substr(8584)));
    EXPECT_EQ(read_reply(c).code, QUERY_FAIL_PATH_ERR);
    EXPECT_EQ(read_reply(c, 1).code, -2);
    EXPECT_EQ(queryd_stop(&d, SIGTERM), 0);
}

TEST(QuerydConcurrency, SlowTargetAndLateReaderHoldBackOnlyTheirOwnExchange)
{
    /* Both targets echo the request; the fast one adds more than its late
     * reader's queue holds, the slow one answers only once released. */
    const std::string tail = random_bytes(3 << 20, 6);
    http_server slow, fast;
    std::promise<void> release;   /* goes before the servers, even on a failed assertion */
    slow.respond = [held = release.get_future().share()](int fd, const std::string& req) {
        held.wait();
        write_all(fd, http_response(req));
    };
    fast.respond = [&tail](int fd, const std::string& req) { write_all(fd, http_response(req + tail)); };
    ASSERT_TRUE(http_server_start(&slow));
    ASSERT_TRUE(http_server_start(&fast));
    queryd_child d;
    ASSERT_TRUE(queryd_start(&d, kDaemon, {"--route", "SLOW=" + slow.endpoint(), "--route", "FAST=" + fast.endpoint()}));

    const std::string ra = http_request(random_bytes(8000, 4)), rb = http_request(random_bytes(8000, 5));
    const std::string fa = frame_request("S1:SLOW", ra), fb = frame_request("S2:FAST", rb);
    dgram_client a, b;
    for (size_t pos = 0; pos < fa.size(); pos += 3584) {   /* interleaved datagrams */
        ASSERT_TRUE(send_datagrams(a, d.socket_path, fa.substr(pos, 3584)));
        ASSERT_TRUE(send_datagrams(b, d.socket_path, fb.substr(pos, 3584)));
    }
    usleep(300 * 1000);   /* let b's queue fill so the daemon must wait */
    const reply quick = read_reply(b);
    EXPECT_EQ(quick.code, QUERY_SUCCESS_FIN);
    EXPECT_TRUE(quick.payload == http_response(rb + tail));
    pollfd p{a.fd, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0);   /* the slow target has not answered yet */

    release.set_value();
    const reply late = read_reply(a);
    EXPECT_EQ(late.code, QUERY_SUCCESS_FIN);
    EXPECT_TRUE(late.payload == http_response(ra));
    EXPECT_EQ(queryd_stop(&d, SIGTERM), 0);
}

TEST(QuerydRobustness, HalfSentRequestsAreDroppedWithoutStallingOthers)
{
    queryd_child d;
    const std::string file = "/tmp/zelq-replay-" + std::to_string(getpid());
    std::ofstream(file) << "replayed";
    ASSERT_TRUE(queryd_start(&d, kDaemon, {"--replay", file, "--request-timeout", "3", "--max-clients", "2"}));
    unlink(file.c_str());

    /* Two half-sent requests hold both slots: the next client is refused for
     * lack of room until they time out. */
    dgram_client half, other_half, refused;
    const std::string head = frame_request("S1:S2", std::string(10000, 'h')).substr(0, 3584);
    ASSERT_TRUE(send_datagrams(half, d.socket_path, head));
    EXPECT_EQ(exchange(d, "S1:S2", "x").payload, "replayed");
    ASSERT_TRUE(send_datagrams(other_half, d.socket_path, head));
    ASSERT_TRUE(send_datagrams(refused, d.socket_path, frame_request("S1:S2", "x")));
    EXPECT_EQ(read_reply(refused).code, QUERY_FAIL_LOW_MEMORY);

    EXPECT_EQ(read_reply(half).code, QUERY_FAIL_PATH_ERR);
    EXPECT_EQ(read_reply(other_half).code, QUERY_FAIL_PATH_ERR);
    EXPECT_EQ(exchange(d, "S1:S2", "x").payload, "replayed");
    EXPECT_EQ(queryd_stop(&d, SIGTERM), 0);
}

TEST(QuerydRobustness, VanishedClientClosesItsTarget)
{
    std::promise<bool> write_failed;   /* outlives the servers */
    http_server endless, ok;
    endless.respond = [&](int fd, const std::string&) {
        bool failed = !write_all(fd, "HTTP/1.1 200 OK\r\n\r\n");
        for (int i = 0; i < 4096 && !failed; ++i)
            failed = !write_all(fd, std::string(65536, 'z'));
        write_failed.set_value(failed);
    };
    answer(&ok, http_response("still here"));
    ASSERT_TRUE(http_server_start(&endless));
    ASSERT_TRUE(http_server_start(&ok));
    queryd_child d;
    ASSERT_TRUE(queryd_start(&d, kDaemon, {"--route", "END=" + endless.endpoint(), "--route", "OK=" + ok.endpoint()}));
    {
        dgram_client c;
        ASSERT_TRUE(send_datagrams(c, d.socket_path, frame_request("S1:END", http_request())));
        char buf[4096];
        ASSERT_GT(recv(c.fd, buf, sizeof buf, 0), 0);
    }   /* the client goes away in the middle of the reply */
    EXPECT_TRUE(write_failed.get_future().get());
    EXPECT_TRUE(queryd_wait_log(&d, "gone", 5));
    EXPECT_EQ(exchange(d, "S1:OK", http_request()).payload, http_response("still here"));
    EXPECT_EQ(queryd_stop(&d, SIGTERM), 0);
}

TEST(QuerydReplay, EverySplitReproducesTheFileAndEveryModeItsAnswer)
{
    const std::string data = random_bytes(50000, 7), file = "/tmp/zelq-replay-" + std::to_string(getpid());
    const auto replay = [&file](const char* split) { return std::vector<std::string>{"--replay", file, "--split", split}; };
    struct row {
        std::vector<std::string> args;
        size_t file_len;   /* the file's bytes are the expected payload */
        int code;          /* -2: no answer, -3: a malformed datagram */
        std::vector<size_t> sizes;   /* expected payload sizes; empty: any up to max */
        size_t max = 4084;
    } rows[] = {
        {replay("fixed:1"), 3000, QUERY_SUCCESS_FIN, std::vector<size_t>(3000, 1)},
        {replay("fixed:4084"), 10000, QUERY_SUCCESS_FIN, {4084, 4084, 1832}},
        {replay("random:7"), 50000, QUERY_SUCCESS_FIN, {}},
        {replay("random:42:100"), 50000, QUERY_SUCCESS_FIN, {}, 100},
        {replay("at:1,2,3,10000,49999"), 50000, QUERY_SUCCESS_FIN,
         {1, 1, 1, 4084, 4084, 1829, 4084, 4084, 4084, 4084, 4084, 4084, 4084, 4084, 4084, 3243, 1}},
        {replay("at:5"), 0, QUERY_SUCCESS_FIN, {0}},
        {{"--replay", file, "--fail", "3"}, 9000, QUERY_FAIL_PATH_ERR, {}},
        {{"--replay", file, "--silent"}, 9000, -2, {}},
        {{"--fail", "9"}, 0, QUERY_FAIL_LOW_MEMORY, {}},
        {{"--fail", "QUERY_FAIL_ROUTE_ERR"}, 0, QUERY_FAIL_ROUTE_ERR, {}},
        {{"--fail=255"}, 0, FAIL_UNKNOWN_COMMAND, {}},
        {{"--malformed"}, 0, -3, {}},
        {{"--malformed=short"}, 0, -3, {}},
        {{"--malformed=big"}, 0, -3, {}},
        {{"--silent"}, 0, -2, {}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.args[0] + " " + r.args.back() + " over " + std::to_string(r.file_len) + " bytes");
        std::ofstream(file, std::ios::binary) << data.substr(0, r.file_len);
        queryd_child d;
        ASSERT_TRUE(queryd_start(&d, kDaemon, r.args));
        unlink(file.c_str());
        /* A whole reply is given to a second request the same way. */
        for (int round = 0; round < (r.code == QUERY_SUCCESS_FIN ? 2 : 1); ++round) {
            const reply got = exchange(d, "S1:S2", http_request(), 2);
            EXPECT_EQ(got.code, r.code);
            EXPECT_TRUE(got.payload == data.substr(0, r.file_len));
            EXPECT_TRUE(r.sizes.empty() || got.sizes == r.sizes);
            for (size_t n : got.sizes)
                EXPECT_LE(n, r.max);
        }
        EXPECT_EQ(queryd_stop(&d, SIGTERM), 0);
    }
}

TEST(QuerydLifecycle, SignalsRemoveTheSocketFileAStaleOneIsReplacedALiveOneKept)
{
    struct stat st{};
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        queryd_child d;
        ASSERT_TRUE(queryd_start(&d, kDaemon, {"--fail", "2"}));
        ASSERT_EQ(stat(d.socket_path.c_str(), &st), 0);
        EXPECT_EQ(queryd_stop(&d, sig), 0);
        EXPECT_NE(stat(d.socket_path.c_str(), &st), 0);
    }
    queryd_child dead, d, second;
    ASSERT_TRUE(queryd_start(&dead, kDaemon, {"--fail", "2"}));
    EXPECT_EQ(queryd_stop(&dead, SIGKILL), 128 + SIGKILL);   /* leaves its socket file behind */
    d.socket_path = second.socket_path = dead.socket_path;
    ASSERT_TRUE(queryd_start(&d, kDaemon, {"--fail", "2"}));
    EXPECT_EQ(exchange(d, "S1:S2", "x").code, QUERY_FAIL_REMOTE_ERR);
    EXPECT_FALSE(queryd_start(&second, kDaemon, {"--fail", "3"}));
    EXPECT_EQ(queryd_stop(&second, SIGTERM), 1);
    EXPECT_EQ(exchange(d, "S1:S2", "x").code, QUERY_FAIL_REMOTE_ERR);
    EXPECT_EQ(queryd_stop(&d, SIGTERM), 0);
}
