/* The reference query daemon, driven through its socket: a raw datagram
 * client with its own framing and digest, and real HTTP servers as targets. */
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <random>

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

bool readable(const dgram_client& c)
{
    pollfd p{c.fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
}

size_t count(const std::string& hay, const std::string& needle)
{
    size_t n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1))
        ++n;
    return n;
}

void answer(http_server* s, const std::string& response)
{
    s->respond = [response](int fd, const std::string&) { write_all(fd, response); };
}

/* Opens a gate when the test leaves, even through a failed assertion, so
 * that no server thread stays blocked on it. */
struct open_on_exit {
    gate* g;
    ~open_on_exit() { g->open(); }
};

/* A loopback port that nothing listens on. */
std::string closed_port_endpoint()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
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
    const std::string body = random_bytes(200000, 1);
    http_server tcp, local;
    answer(&tcp, http_response(body));
    answer(&local, http_response(body.substr(0, 5000)));
    ASSERT_TRUE(http_server_start(&tcp));
    const std::string local_path = "/tmp/zelq-http-" + std::to_string(getpid());
    ASSERT_TRUE(http_server_start(&local, local_path));

    queryd_child d;
    const std::string routes = "/tmp/zelq-routes-" + std::to_string(getpid());
    std::ofstream(routes) << "# serial  endpoint\n\nSU " << local.endpoint() << "  # unix stream\n";
    ASSERT_TRUE(queryd_start(&d, kDaemon, {"--routes", routes, "--route", "ST=" + tcp.endpoint()}));
    unlink(routes.c_str());

    /* A request body larger than one datagram exercises reassembly too. */
    const std::string req = http_request(random_bytes(9000, 2));
    struct row {
        const char* path;
        http_server* server;
        std::string expect;
    } rows[] = {{"S1:ST", &tcp, http_response(body)}, {"S1:S7:SU", &local, http_response(body.substr(0, 5000))}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.path);
        const reply got = exchange(d, r.path, req);
        EXPECT_EQ(got.code, QUERY_SUCCESS_FIN);
        EXPECT_TRUE(got.payload == r.expect);
        for (size_t n : got.sizes)
            EXPECT_LE(n, 4084u);
        std::lock_guard<std::mutex> lock(r.server->mu);
        ASSERT_EQ(r.server->requests.size(), 1u);
        EXPECT_TRUE(r.server->requests[0] == req);
    }
    EXPECT_TRUE(queryd_wait_log(&d, "S1:ST -> " + tcp.endpoint() + " POST /api/x: " +
                                        std::to_string(http_response(body).size()) + " bytes", 5));
    EXPECT_EQ(queryd_stop(&d, SIGTERM), 0);
}

TEST(QuerydRelay, EveryRefusalHasItsCodeAndOneLogLine)
{
    gate release;
    http_server ok, closer, silent;
    open_on_exit opener{&release};
    answer(&ok, http_response("fine"));
    closer.respond = [](int, const std::string&) {};
    silent.respond = [&release](int, const std::string&) { release.wait(); };
    ASSERT_TRUE(http_server_start(&ok));
    ASSERT_TRUE(http_server_start(&closer));
    ASSERT_TRUE(http_server_start(&silent));
    const std::string dead_ep = closed_port_endpoint();

    queryd_child d;
    ASSERT_TRUE(queryd_start(&d, kDaemon,
                             {"--route", "OK=" + ok.endpoint(), "--route", "CLOSER=" + closer.endpoint(), "--route",
                              "SILENT=" + silent.endpoint(), "--route", "DEAD=" + dead_ep, "--route",
                              "GONE=unix:/tmp/zelq-no-such-socket", "--target-timeout", "1", "--max-request",
                              "100000"}));

    const std::string get = http_request();
    const auto same = [](std::string s) { return s; };
    struct row {
        const char* name;
        std::string path;
        std::string data;
        std::function<std::string(std::string)> mutate;
        int code;
    } rows[] = {
        {"eight serials reach the target", "A:B:C:D:E:F:G:OK", get, same, QUERY_SUCCESS_FIN},
        {"serial named twice", "S1:OK:S1:OK", get, same, QUERY_FAIL_PATH_LOOP},
        {"empty chain", "", get, same, QUERY_FAIL_PATH_ERR},
        {"empty serial inside", "S1::OK", get, same, QUERY_FAIL_PATH_ERR},
        {"empty target", "S1:", get, same, QUERY_FAIL_PATH_ERR},
        {"unknown target", "S1:NOPE", get, same, QUERY_FAIL_ROUTE_ERR},
        {"nothing listens on the port", "S1:DEAD", get, same, QUERY_FAIL_REMOTE_ERR},
        {"no such unix socket", "S1:GONE", get, same, QUERY_FAIL_REMOTE_ERR},
        {"nine serials", "A:B:C:D:E:F:G:H:OK", get, same, QUERY_FAIL_DROP_TTL},
        {"not HTTP", "S1:OK", "hello", same, QUERY_FAIL_MALFORMED_HTTP_REQ},
        {"HTTP/1.0", "S1:OK", "GET /x HTTP/1.0\r\n\r\n", same, QUERY_FAIL_MALFORMED_HTTP_REQ},
        {"header never ends", "S1:OK", "GET /x HTTP/1.1\r\nHost: a\r\n", same, QUERY_FAIL_MALFORMED_HTTP_REQ},
        {"body longer than Content-Length", "S1:OK", http_request("abc") + "d", same, QUERY_FAIL_MALFORMED_HTTP_REQ},
        {"target closes without a byte", "S1:CLOSER", get, same, QUERY_FAIL_CONNECTION_CLOSED},
        {"target stays silent", "S1:SILENT", get, same, QUERY_FAIL_REMOTE_ERR},
        {"appliance feed type", "S1:OK", get, [&](std::string) { return frame_request("S1:OK", get, 1); },
         FAIL_UNKNOWN_COMMAND},
        {"digest mismatch", "S1:OK", get, [](std::string f) { f[12] ^= 1; return f; }, QUERY_FAIL_PATH_ERR},
        {"total_len below header and path", "S1:OK", get,
         [&](std::string f) { return shift_total(f, 30 - static_cast<int64_t>(f.size())); }, QUERY_FAIL_PATH_ERR},
        {"more bytes than total_len", "S1:OK", get, [](std::string f) { return shift_total(f, -1); },
         QUERY_FAIL_PATH_ERR},
        {"path without NUL", "S1:OK", "", [](std::string f) { f.pop_back(); return f; }, QUERY_FAIL_PATH_ERR},
        {"shorter than a header", "S1:OK", get, [](std::string f) { return f.substr(0, 10); }, QUERY_FAIL_PATH_ERR},
        {"total_len above the limit", "S1:OK", get, [](std::string f) { return shift_total(f, 100000); },
         QUERY_FAIL_LOW_MEMORY},
    };
    size_t refusals = 0;
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        dgram_client c;
        ASSERT_TRUE(send_datagrams(c, d.socket_path, r.mutate(frame_request(r.path, r.data)), 65536));
        EXPECT_EQ(read_reply(c).code, r.code);
        refusals += r.code != QUERY_SUCCESS_FIN;
    }
    {
        SCOPED_TRACE("datagram above 3584 bytes");
        dgram_client c;
        ASSERT_TRUE(send_datagrams(c, d.socket_path, frame_request("S1:OK", http_request(std::string(4000, 'b'))), 65536));
        EXPECT_EQ(read_reply(c).code, QUERY_FAIL_PATH_ERR);
        ++refusals;
    }
    {
        SCOPED_TRACE("oversized datagram inside a request; the rest is swallowed");
        const std::string f = frame_request("S1:OK", http_request(std::string(12000, 'c')));
        dgram_client c;
        ASSERT_TRUE(send_datagrams(c, d.socket_path, f.substr(0, 3584)));
        ASSERT_TRUE(send_datagrams(c, d.socket_path, f.substr(3584, 5000), 5000));
        ASSERT_TRUE(send_datagrams(c, d.socket_path, f.substr(8584)));
        EXPECT_EQ(read_reply(c).code, QUERY_FAIL_PATH_ERR);
        EXPECT_EQ(read_reply(c, 1).code, -2);   /* one answer only */
        ++refusals;
    }
    EXPECT_EQ(queryd_stop(&d, SIGTERM), 0);
    EXPECT_EQ(count(d.log, "zel-queryd: refused "), refusals) << d.log;
}

TEST(QuerydConcurrency, SlowTargetDoesNotStallAFastOne)
{
    gate release;
    http_server slow, fast;
    open_on_exit opener{&release};
    const std::string slow_body = random_bytes(30000, 3);
    slow.respond = [&](int fd, const std::string&) {
        release.wait();
        write_all(fd, http_response(slow_body));
    };
    answer(&fast, http_response("quick"));
    ASSERT_TRUE(http_server_start(&slow));
    ASSERT_TRUE(http_server_start(&fast));
    queryd_child d;
    ASSERT_TRUE(queryd_start(&d, kDaemon, {"--route", "SLOW=" + slow.endpoint(), "--route", "FAST=" + fast.endpoint()}));

    dgram_client a, b;
    ASSERT_TRUE(send_datagrams(a, d.socket_path, frame_request("S1:SLOW", http_request())));
    ASSERT_TRUE(send_datagrams(b, d.socket_path, frame_request("S1:FAST", http_request())));
    const reply quick = read_reply(b);
    EXPECT_EQ(quick.code, QUERY_SUCCESS_FIN);
    EXPECT_EQ(quick.payload, http_response("quick"));
    EXPECT_FALSE(readable(a));   /* the slow target has not answered yet */

    release.open();
    const reply late = read_reply(a);
    EXPECT_EQ(late.code, QUERY_SUCCESS_FIN);
    EXPECT_TRUE(late.payload == http_response(slow_body));
    EXPECT_EQ(queryd_stop(&d, SIGTERM), 0);
}

TEST(QuerydConcurrency, InterleavedRequestsAreReassembledPerClient)
{
    http_server echo;
    echo.respond = [](int fd, const std::string& req) { write_all(fd, http_response(req)); };
    ASSERT_TRUE(http_server_start(&echo));
    queryd_child d;
    ASSERT_TRUE(queryd_start(&d, kDaemon, {"--route", "E=" + echo.endpoint()}));

    const std::string ra = http_request(random_bytes(8000, 4)), rb = http_request(random_bytes(8000, 5));
    const std::string fa = frame_request("S1:E", ra), fb = frame_request("S2:E", rb);
    dgram_client a, b;
    for (size_t pos = 0; pos < fa.size(); pos += 3584) {
        ASSERT_TRUE(send_datagrams(a, d.socket_path, fa.substr(pos, 3584)));
        ASSERT_TRUE(send_datagrams(b, d.socket_path, fb.substr(pos, 3584)));
    }
    EXPECT_TRUE(read_reply(a).payload == http_response(ra));
    EXPECT_TRUE(read_reply(b).payload == http_response(rb));
    EXPECT_EQ(queryd_stop(&d, SIGTERM), 0);
}

TEST(QuerydConcurrency, LargeResponseToALateReaderArrivesWhole)
{
    const std::string big = http_response(random_bytes(3 << 20, 6));
    http_server s;
    answer(&s, big);
    ASSERT_TRUE(http_server_start(&s));
    queryd_child d;
    ASSERT_TRUE(queryd_start(&d, kDaemon, {"--route", "T=" + s.endpoint()}));

    dgram_client c;
    ASSERT_TRUE(send_datagrams(c, d.socket_path, frame_request("S1:T", http_request())));
    usleep(300 * 1000);   /* let the client's queue fill so the daemon must wait */
    const reply got = read_reply(c);
    EXPECT_EQ(got.code, QUERY_SUCCESS_FIN);
    EXPECT_TRUE(got.payload == big);
    EXPECT_EQ(queryd_stop(&d, SIGTERM), 0);
}

TEST(QuerydRobustness, HalfSentRequestIsDroppedWithoutStallingOthers)
{
    queryd_child d;
    const std::string file = "/tmp/zelq-replay-" + std::to_string(getpid());
    std::ofstream(file) << "replayed";
    ASSERT_TRUE(queryd_start(&d, kDaemon, {"--replay", file, "--request-timeout", "3", "--max-clients", "2"}));
    unlink(file.c_str());

    dgram_client half;
    ASSERT_TRUE(send_datagrams(half, d.socket_path, frame_request("S1:S2", std::string(10000, 'h')).substr(0, 3584)));
    EXPECT_EQ(exchange(d, "S1:S2", "x").payload, "replayed");

    /* With the half-sent request holding one of two slots, a second one
     * fills the table and a third client is refused for lack of room. */
    dgram_client other_half, refused;
    ASSERT_TRUE(send_datagrams(other_half, d.socket_path, frame_request("S3:S4", std::string(10000, 'h')).substr(0, 3584)));
    ASSERT_TRUE(send_datagrams(refused, d.socket_path, frame_request("S1:S2", "x")));
    EXPECT_EQ(read_reply(refused).code, QUERY_FAIL_LOW_MEMORY);

    EXPECT_EQ(read_reply(half).code, QUERY_FAIL_PATH_ERR);
    EXPECT_EQ(read_reply(other_half).code, QUERY_FAIL_PATH_ERR);
    EXPECT_TRUE(queryd_wait_log(&d, "request incomplete", 1));
    EXPECT_EQ(exchange(d, "S1:S2", "x").payload, "replayed");   /* the slots are free again */
    EXPECT_EQ(queryd_stop(&d, SIGTERM), 0);
}

TEST(QuerydRobustness, VanishedClientClosesItsTarget)
{
    std::atomic<bool> write_failed{false};
    gate done;
    http_server endless, ok;
    open_on_exit opener{&done};
    endless.respond = [&](int fd, const std::string&) {
        const std::string piece(65536, 'z');
        write_all(fd, "HTTP/1.1 200 OK\r\n\r\n");
        for (int i = 0; i < 4096 && !write_failed; ++i)
            write_failed = !write_all(fd, piece);
        done.open();
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
    done.wait();
    EXPECT_TRUE(write_failed);
    EXPECT_TRUE(queryd_wait_log(&d, "gone", 5));
    EXPECT_EQ(exchange(d, "S1:OK", http_request()).payload, http_response("still here"));
    EXPECT_EQ(queryd_stop(&d, SIGTERM), 0);
}

TEST(QuerydReplay, EverySplitReproducesTheFile)
{
    const std::string data = random_bytes(50000, 7);
    struct row {
        std::string split;
        size_t file_len;
        std::vector<size_t> sizes;   /* expected payload sizes; empty: any */
        size_t max;
    } rows[] = {
        {"fixed:1", 3000, std::vector<size_t>(3000, 1), 1},
        {"fixed:1000", 50000, std::vector<size_t>(50, 1000), 1000},
        {"fixed:4084", 10000, {4084, 4084, 1832}, 4084},
        {"random:7", 50000, {}, 4084},
        {"random:42:100", 50000, {}, 100},
        {"at:1,2,3,10000,49999", 50000, {1, 1, 1, 4084, 4084, 1829, 4084, 4084, 4084, 4084, 4084, 4084, 4084, 4084, 4084, 3243, 1}, 4084},
        {"at:5", 0, {0}, 4084},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.split + " over " + std::to_string(r.file_len) + " bytes");
        const std::string file = "/tmp/zelq-replay-" + std::to_string(getpid());
        std::ofstream(file, std::ios::binary) << data.substr(0, r.file_len);
        queryd_child d;
        ASSERT_TRUE(queryd_start(&d, kDaemon, {"--replay", file, "--split", r.split, "--quiet"}));
        unlink(file.c_str());
        for (int round = 0; round < 2; ++round) {
            const reply got = exchange(d, "S1:S2", http_request());
            EXPECT_EQ(got.code, QUERY_SUCCESS_FIN);
            EXPECT_TRUE(got.payload == data.substr(0, r.file_len));
            if (!r.sizes.empty()) {
                EXPECT_EQ(got.sizes, r.sizes);
            }
            for (size_t n : got.sizes)
                EXPECT_LE(n, r.max);
        }
        EXPECT_EQ(queryd_stop(&d, SIGTERM), 0);
    }
}

TEST(QuerydReplay, AnswerModes)
{
    const std::string file = "/tmp/zelq-replay-" + std::to_string(getpid());
    std::ofstream(file) << std::string(9000, 'r');
    struct row {
        std::vector<std::string> args;
        int code;
        size_t payload;
    } rows[] = {
        {{"--fail", "9"}, QUERY_FAIL_LOW_MEMORY, 0},
        {{"--fail", "QUERY_FAIL_ROUTE_ERR"}, QUERY_FAIL_ROUTE_ERR, 0},
        {{"--fail=255"}, FAIL_UNKNOWN_COMMAND, 0},
        {{"--malformed"}, -3, 0},
        {{"--malformed=short"}, -3, 0},
        {{"--malformed=big"}, -3, 0},
        {{"--silent"}, -2, 0},
        {{"--replay", file, "--fail", "3"}, QUERY_FAIL_PATH_ERR, 9000},
        {{"--replay", file, "--silent"}, -2, 9000},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.args[0] + " " + r.args.back());
        queryd_child d;
        ASSERT_TRUE(queryd_start(&d, kDaemon, r.args));
        const reply got = exchange(d, "S1:S2", "any bytes", 2);
        EXPECT_EQ(got.code, r.code);
        EXPECT_EQ(got.payload.size(), r.payload);
        EXPECT_EQ(queryd_stop(&d, SIGTERM), 0);
    }
    unlink(file.c_str());
}

TEST(QuerydLifecycle, SignalsStopCleanlyAndRemoveTheSocketFile)
{
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        queryd_child d;
        ASSERT_TRUE(queryd_start(&d, kDaemon, {"--fail", "2"}));
        struct stat st{};
        ASSERT_EQ(stat(d.socket_path.c_str(), &st), 0);
        EXPECT_EQ(queryd_stop(&d, sig), 0);
        EXPECT_NE(stat(d.socket_path.c_str(), &st), 0);
    }
}

TEST(QuerydLifecycle, StaleSocketIsReplacedButALiveDaemonIsNot)
{
    queryd_child first;
    ASSERT_TRUE(queryd_start(&first, kDaemon, {"--fail", "2"}));
    EXPECT_EQ(queryd_stop(&first, SIGKILL), 128 + SIGKILL);   /* leaves its socket file behind */

    queryd_child d;
    d.socket_path = first.socket_path;
    ASSERT_TRUE(queryd_start(&d, kDaemon, {"--fail", "2"}));
    EXPECT_EQ(exchange(d, "S1:S2", "x").code, QUERY_FAIL_REMOTE_ERR);

    queryd_child second;
    second.socket_path = d.socket_path;
    EXPECT_FALSE(queryd_start(&second, kDaemon, {"--fail", "3"}));
    EXPECT_EQ(queryd_stop(&second, SIGTERM), 1);
    EXPECT_EQ(exchange(d, "S1:S2", "x").code, QUERY_FAIL_REMOTE_ERR);
    EXPECT_EQ(queryd_stop(&d, SIGTERM), 0);
}

TEST(QuerydLifecycle, HelpNamesEveryOption)
{
    FILE* p = popen((kDaemon + " --help").c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string text;
    char buf[512];
    while (fgets(buf, sizeof buf, p) != nullptr)
        text += buf;
    EXPECT_EQ(pclose(p), 0);
    for (const char* opt : {"--socket", "--routes", "--route ", "--max-hops", "--request-timeout", "--target-timeout",
                            "--max-clients", "--max-request", "--replay", "--split", "--fail", "--malformed",
                            "--silent", "--quiet", "--help"})
        EXPECT_NE(text.find(opt), std::string::npos) << opt;
}
