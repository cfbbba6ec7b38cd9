/* The reference query daemon, driven through its socket: a raw datagram
 * client with its own framing and digest, and real HTTP servers as targets. */
#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <future>
#include <memory>
#include <random>
#include <tuple>

#include "support/queryd_harness.h"
#include "support/unprivileged.h"
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

/* Returns how often `text` is in the daemon's log once it holds it at least
 * `n` times, or after `seconds`. */
size_t log_count(queryd_child* d, const std::string& text, size_t n = 0, int seconds = 0)
{
    const auto count = [&] {
        size_t k = 0;
        for (size_t at = d->log.find(text); at != std::string::npos; at = d->log.find(text, at + 1))
            ++k;
        return k;
    };
    std::unique_lock<std::mutex> lock(d->mu);
    d->cv.wait_for(lock, std::chrono::seconds(seconds), [&] { return count() >= n || d->log_closed; });
    return count();
}

std::vector<std::unique_ptr<dgram_client>> clients(size_t n)
{
    std::vector<std::unique_ptr<dgram_client>> v(n);
    for (auto& c : v)
        c = std::make_unique<dgram_client>();
    return v;
}

/* A request from a child process, which the daemon counts as another sender.
 * Its first datagram is sent before other_sender_start returns, the rest only
 * in other_sender_finish.  The child exits with 0 when its whole reply was
 * `expect`; it is killed and reaped if the test ends first. */
struct other_sender {
    pid_t pid = -1;
    int go = -1;
    ~other_sender()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (go >= 0)
            close(go);
    }
};

bool other_sender_start(other_sender* o, const std::string& socket_path, const std::string& frame,
                        const std::string& expect)
{
    int ready[2], go[2];
    if (pipe2(ready, O_CLOEXEC) != 0)
        return false;
    if (pipe2(go, O_CLOEXEC) != 0) {
        close(ready[0]);
        close(ready[1]);
        return false;
    }
    o->pid = fork();
    if (o->pid == 0) {
        dgram_client c;
        char b = 0;
        bool ok = send_datagrams(c, socket_path, frame.substr(0, 3584)) && write(ready[1], &b, 1) == 1 &&
                  read(go[0], &b, 1) == 1;
        ok = ok && (frame.size() <= 3584 || send_datagrams(c, socket_path, frame.substr(3584)));
        const reply r = ok ? read_reply(c, 10) : reply{};
        _exit(ok && r.code == QUERY_SUCCESS_FIN && r.payload == expect ? 0 : 1);
    }
    close(ready[1]);
    close(go[0]);
    o->go = go[1];
    char b = 0;
    const bool started = o->pid > 0 && read(ready[0], &b, 1) == 1;
    close(ready[0]);
    return started;
}

/* Lets the child send the rest of its request; returns its exit status, or
 * -1 when it did not exit normally. */
int other_sender_finish(other_sender* o)
{
    char b = 0;
    int status = 0;
    if (write(o->go, &b, 1) != 1 || waitpid(o->pid, &status, 0) != o->pid)
        return -1;
    o->pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct owned_fd {
    int fd = -1;
    ~owned_fd()
    {
        if (fd >= 0)
            close(fd);
    }
};

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
    http_server ok, closer, silent, stalls;
    std::promise<void> release;   /* goes before the servers and frees the silent ones */
    const std::shared_future<void> held = release.get_future().share();
    answer(&ok, http_response("fine"));
    closer.respond = [](int, const std::string&) {};
    silent.respond = [held](int, const std::string&) { held.wait(); };
    stalls.respond = [held](int fd, const std::string&) {
        write_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly part");
        held.wait();
    };
    ASSERT_TRUE(http_server_start(&ok));
    ASSERT_TRUE(http_server_start(&closer));
    ASSERT_TRUE(http_server_start(&silent));
    ASSERT_TRUE(http_server_start(&stalls));
    /* A TCP port that is bound but not listening refuses connections. */
    const owned_fd refusing{socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    sockaddr_in bound{};
    bound.sin_family = AF_INET;
    bound.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t bound_len = sizeof bound;
    ASSERT_EQ(bind(refusing.fd, reinterpret_cast<sockaddr*>(&bound), sizeof bound), 0);
    ASSERT_EQ(getsockname(refusing.fd, reinterpret_cast<sockaddr*>(&bound), &bound_len), 0);
    queryd_child d;
    ASSERT_TRUE(queryd_start(&d, kDaemon,
                             {"--route", "OK=" + ok.endpoint(), "--route", "CLOSER=" + closer.endpoint(), "--route",
                              "SILENT=" + silent.endpoint(), "--route", "STALLS=" + stalls.endpoint(), "--route",
                              "GONE=unix:/tmp/zelq-no-such-socket", "--route",
                              "REFUSES=127.0.0.1:" + std::to_string(ntohs(bound.sin_port)), "--target-timeout", "1",
                              "--max-request", "100000"}));

    const std::string get = http_request(), good = frame_request("S1:OK", get), no_nul = frame_request("S1:OK", "");
    std::string bad_digest = good;
    bad_digest[12] ^= 1;
    const auto with_fields = [](const std::string& fields) {
        return "GET /api/x HTTP/1.1\r\nHost: 127.0.0.1\r\n" + fields + "Connection: Close\r\n\r\n";
    };
    const std::string identity = "X-ZEL-SN: S2\r\nX-ZEL-SOURCE-SN: S1\r\nX-ADMIN-NAME: ZL_a\r\n"
                                 "X-ADMIN-PERMISSIONS: p\r\nX-ADMIN-SUPER: 0\r\n";
    for (const auto& [name, frame, code] : std::initializer_list<std::tuple<const char*, std::string, int>>{
        {"eight serials reach the target", frame_request("A:B:C:D:E:F:G:OK", get), QUERY_SUCCESS_FIN},
        {"serial named twice", frame_request("S1:OK:S1:OK", get), QUERY_FAIL_PATH_LOOP},
        {"empty chain", frame_request("", get), QUERY_FAIL_PATH_ERR},
        {"empty serial inside", frame_request("S1::OK", get), QUERY_FAIL_PATH_ERR},
        {"empty target", frame_request("S1:", get), QUERY_FAIL_PATH_ERR},
        {"unknown target", frame_request("S1:NOPE", get), QUERY_FAIL_ROUTE_ERR},
        {"no such unix socket", frame_request("S1:GONE", get), QUERY_FAIL_REMOTE_ERR},
        {"TCP target refuses", frame_request("S1:REFUSES", get), QUERY_FAIL_REMOTE_ERR},
        {"target stays silent", frame_request("S1:SILENT", get), QUERY_FAIL_DOWNNRV_ERR},
        {"target falls silent in its response", frame_request("S1:STALLS", get), QUERY_FAIL_DOWNNRV_ERR},
        {"nine serials", frame_request("A:B:C:D:E:F:G:H:OK", get), QUERY_FAIL_DROP_TTL},
        {"not HTTP", frame_request("S1:OK", "hello"), QUERY_FAIL_MALFORMED_HTTP_REQ},
        {"HTTP/1.0", frame_request("S1:OK", "GET /x HTTP/1.0\r\n\r\n"), QUERY_FAIL_MALFORMED_HTTP_REQ},
        {"header never ends", frame_request("S1:OK", "GET /x HTTP/1.1\r\nHost: a\r\n"), QUERY_FAIL_MALFORMED_HTTP_REQ},
        {"body longer than Content-Length", frame_request("S1:OK", http_request("abc") + "d"),
         QUERY_FAIL_MALFORMED_HTTP_REQ},
        {"every identity field once", frame_request("S1:OK", with_fields(identity)), QUERY_SUCCESS_FIN},
        {"X-ZEL-SN twice", frame_request("S1:OK", with_fields(identity + "X-ZEL-SN: S9\r\n")),
         QUERY_FAIL_MALFORMED_HTTP_REQ},
        {"X-ADMIN-SUPER twice, spelt differently",
         frame_request("S1:OK", with_fields("x-admin-super: 1\r\n" + identity)), QUERY_FAIL_MALFORMED_HTTP_REQ},
        {"an unknown X-ZEL field twice", frame_request("S1:OK", with_fields("X-ZEL-A: 1\r\nX-Zel-a: 2\r\n")),
         QUERY_FAIL_MALFORMED_HTTP_REQ},
        /* Servers that fold '_' into '-' would read these as the field itself. */
        {"X-ADMIN_SUPER beside X-ADMIN-SUPER", frame_request("S1:OK", with_fields(identity + "X-ADMIN_SUPER: 1\r\n")),
         QUERY_FAIL_MALFORMED_HTTP_REQ},
        {"X_ADMIN_NAME beside X-ADMIN-NAME", frame_request("S1:OK", with_fields("X_ADMIN_NAME: ZL_b\r\n" + identity)),
         QUERY_FAIL_MALFORMED_HTTP_REQ},
        {"x-zel_sn beside X-ZEL-SN", frame_request("S1:OK", with_fields(identity + "x-zel_sn: S9\r\n")),
         QUERY_FAIL_MALFORMED_HTTP_REQ},
        {"X_ZEL_A and x-zel-a", frame_request("S1:OK", with_fields("X_ZEL_A: 1\r\nx-zel-a: 2\r\n")),
         QUERY_FAIL_MALFORMED_HTTP_REQ},
        {"an underscored field once passes", frame_request("S1:OK", with_fields(identity + "X-ADMIN_EXTRA: 1\r\n")),
         QUERY_SUCCESS_FIN},
        {"other fields may repeat", frame_request("S1:OK", with_fields("Accept: a\r\nAccept: b\r\n")),
         QUERY_SUCCESS_FIN},
        {"NUL in a field value", frame_request("S1:OK", with_fields(std::string("X-A: a\0b\r\n", 10))),
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

TEST(QuerydRobustness, ClientsThatNeverReadDoNotCostOthersTheirRefusals)
{
    queryd_child d;
    ASSERT_TRUE(queryd_start(&d, kDaemon, {}));
    /* A feed request is refused before any exchange starts; a request with no
     * route is refused by its exchange. */
    const std::string feed = frame_request("S1:S2", http_request(), 1), no_route = frame_request("S1:NOPE", http_request());
    auto idle = clients(600);
    for (size_t i = 0; i < idle.size(); ++i)
        ASSERT_TRUE(send_datagrams(*idle[i], d.socket_path, i % 2 ? no_route : feed));

    dgram_client late_feed, late_route;
    ASSERT_TRUE(send_datagrams(late_feed, d.socket_path, feed));
    ASSERT_TRUE(send_datagrams(late_route, d.socket_path, no_route));
    EXPECT_EQ(read_reply(late_feed, 2).code, FAIL_UNKNOWN_COMMAND);
    EXPECT_EQ(read_reply(late_route, 2).code, QUERY_FAIL_ROUTE_ERR);

    /* The idle clients' requests were taken first, so each holds its one
     * refusal already. */
    size_t held = 0;
    for (size_t i = 0; i < idle.size(); ++i)
        held += read_reply(*idle[i], 0).code == (i % 2 ? QUERY_FAIL_ROUTE_ERR : FAIL_UNKNOWN_COMMAND) &&
                read_reply(*idle[i], 0).code == -2;
    EXPECT_EQ(held, idle.size());
    EXPECT_EQ(queryd_stop(&d, SIGTERM), 0);
}

TEST(QuerydRobustness, RefusalsToAFullClientWaitForRoomOrAreDroppedAloud)
{
    /* One client sends more refused requests than its queue holds and reads
     * only afterwards: each refusal arrives or is dropped with a log line. */
    const std::string feed = frame_request("S1:S2", http_request(), 1);
    size_t queue_len = 10;
    std::ifstream("/proc/sys/net/unix/max_dgram_qlen") >> queue_len;
    const size_t sent = queue_len + 20;
    for (const char* queue : {"256", "3"}) {
        SCOPED_TRACE(std::string("--max-queued-refusals ") + queue);
        queryd_child d;
        ASSERT_TRUE(queryd_start(&d, kDaemon, {"--max-queued-refusals", queue}));
        dgram_client c;
        for (size_t i = 0; i < sent; ++i)
            ASSERT_TRUE(send_datagrams(c, d.socket_path, feed));
        ASSERT_EQ(log_count(&d, "refused request from", sent, 10), sent);
        size_t got = 0;
        while (read_reply(c, 1).code == FAIL_UNKNOWN_COMMAND)
            ++got;
        EXPECT_EQ(queryd_stop(&d, SIGTERM), 0);
        const size_t dropped = log_count(&d, "dropped the refusal (FAIL_UNKNOWN_COMMAND) queued for");
        EXPECT_EQ(got + dropped, sent);
        EXPECT_EQ(dropped == 0, std::string(queue) == "256");
    }
}

TEST(QuerydRobustness, HalfSentRequestsKeptAliveDoNotStopOtherRequests)
{
    queryd_child d;
    const std::string file = "/tmp/zelq-replay-" + std::to_string(getpid());
    std::ofstream(file) << "replayed";
    ASSERT_TRUE(queryd_start(&d, kDaemon, {"--replay", file, "--request-timeout", "2"}));
    unlink(file.c_str());

    /* 256 half-sent requests from 256 sockets, fed a byte at a time for twice
     * the request time-out, while whole requests of one and of three
     * datagrams come from this process and from another one. */
    auto held = clients(256);
    const std::string head = frame_request("S1:S2", std::string(20000, 'h')).substr(0, 3584);
    for (auto& c : held)
        ASSERT_TRUE(send_datagrams(*c, d.socket_path, head));
    const std::string three = http_request(random_bytes(9000, 3));
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        for (auto& c : held)
            ASSERT_TRUE(send_datagrams(*c, d.socket_path, "k"));
        EXPECT_EQ(exchange(d, "S1:S2", http_request(), 5).payload, "replayed");
        EXPECT_EQ(exchange(d, "S1:S2", three, 5).payload, "replayed");
        other_sender other;
        ASSERT_TRUE(other_sender_start(&other, d.socket_path, frame_request("S1:S2", three), "replayed"));
        EXPECT_EQ(other_sender_finish(&other), 0);
        usleep(500 * 1000);
    }

    /* This process holds at most its share of the table; the requests that
     * gave way were refused at once, the rest time out once no longer fed.
     * Either way each client hears exactly one answer. */
    size_t evicted = 0, timed_out = 0;
    for (auto& c : held) {
        const int code = read_reply(*c, 5).code;
        evicted += code == QUERY_FAIL_LOW_MEMORY;
        timed_out += code == QUERY_FAIL_PATH_ERR;
        EXPECT_EQ(read_reply(*c, 0).code, -2);
    }
    EXPECT_EQ(evicted + timed_out, held.size());
    EXPECT_GE(evicted, held.size() - 16);
    EXPECT_EQ(queryd_stop(&d, SIGTERM), 0);
    EXPECT_EQ(log_count(&d, "evicted after"), evicted);
}

TEST(QuerydRobustness, AFullHalfSentTableRefusesTheSendersOwnStalestThenTheStalestOfAll)
{
    queryd_child d;
    const std::string file = "/tmp/zelq-replay-" + std::to_string(getpid());
    std::ofstream(file) << "replayed";
    /* A table of four: each sender's share is one. */
    ASSERT_TRUE(queryd_start(&d, kDaemon, {"--replay", file, "--max-half-sent", "4"}));
    unlink(file.c_str());
    const std::string frame = frame_request("S1:S2", http_request(random_bytes(5000, 9)));

    dgram_client first, second;
    ASSERT_TRUE(send_datagrams(first, d.socket_path, frame.substr(0, 3584)));
    ASSERT_TRUE(send_datagrams(second, d.socket_path, frame.substr(0, 3584)));
    EXPECT_EQ(read_reply(first, 5).code, QUERY_FAIL_LOW_MEMORY);   /* its sender's share is used up */
    EXPECT_TRUE(queryd_wait_log(&d, "its sender holds its share of half-sent requests", 5));

    other_sender others[4];
    for (other_sender& o : others)   /* the table is full after three, the fourth needs room */
        ASSERT_TRUE(other_sender_start(&o, d.socket_path, frame, "replayed"));
    EXPECT_EQ(read_reply(second, 5).code, QUERY_FAIL_LOW_MEMORY);   /* the stalest of all */
    EXPECT_TRUE(queryd_wait_log(&d, "too many half-sent requests", 5));
    for (other_sender& o : others)
        EXPECT_EQ(other_sender_finish(&o), 0);

    /* The rest of a refused request is swallowed, not answered again. */
    ASSERT_TRUE(send_datagrams(second, d.socket_path, frame.substr(3584)));
    EXPECT_EQ(read_reply(second, 1).code, -2);
    EXPECT_EQ(read_reply(first, 0).code, -2);
    EXPECT_EQ(queryd_stop(&d, SIGTERM), 0);
}

TEST(QuerydRobustness, OnlyWholeRequestsCountTowardsMaxClients)
{
    http_server ok, silent;
    std::promise<void> release;   /* goes before the servers and frees the silent one */
    answer(&ok, http_response("fine"));
    silent.respond = [held = release.get_future().share()](int, const std::string&) { held.wait(); };
    ASSERT_TRUE(http_server_start(&ok));
    ASSERT_TRUE(http_server_start(&silent));
    queryd_child d;
    ASSERT_TRUE(queryd_start(&d, kDaemon,
                             {"--route", "OK=" + ok.endpoint(), "--route", "SILENT=" + silent.endpoint(),
                              "--max-clients", "1"}));
    const std::string big = frame_request("S1:OK", http_request(random_bytes(5000, 8)));
    dgram_client busy, half, refused;
    ASSERT_TRUE(send_datagrams(half, d.socket_path, big.substr(0, 3584)));
    ASSERT_TRUE(send_datagrams(busy, d.socket_path, frame_request("S1:SILENT", http_request())));
    /* The half-sent request held no place; the exchange holds the only one. */
    ASSERT_TRUE(send_datagrams(refused, d.socket_path, frame_request("S1:OK", http_request())));
    EXPECT_EQ(read_reply(refused, 5).code, QUERY_FAIL_LOW_MEMORY);
    ASSERT_TRUE(send_datagrams(half, d.socket_path, big.substr(3584)));
    EXPECT_EQ(read_reply(half, 5).code, QUERY_FAIL_LOW_MEMORY);

    release.set_value();
    EXPECT_EQ(read_reply(busy, 5).code, QUERY_FAIL_CONNECTION_CLOSED);
    EXPECT_EQ(exchange(d, "S1:OK", http_request(random_bytes(5000, 8)), 5).payload, http_response("fine"));
    EXPECT_EQ(queryd_stop(&d, SIGTERM), 0);
}

TEST(QuerydRobustness, OneSenderHoldsAtMostItsShareOfClients)
{
    struct row {
        std::vector<std::string> args;
        size_t share;
    } rows[] = {
        {{"--max-clients", "8"}, 2},   /* a quarter by default */
        {{"--max-clients", "8", "--max-clients-per-sender", "5"}, 5},
    };
    for (const row& r : rows) {
        SCOPED_TRACE("share " + std::to_string(r.share));
        /* The endless target starts a body it never ends; the others wait
         * in its backlog, each still an exchange of the daemon's. */
        http_server ok, endless;
        std::promise<void> release;   /* goes before the servers and frees the endless one */
        answer(&ok, http_response("fine"));
        endless.respond = [held = release.get_future().share()](int fd, const std::string&) {
            write_all(fd, "HTTP/1.1 200 OK\r\n\r\nnever ");
            held.wait();
        };
        ASSERT_TRUE(http_server_start(&ok));
        ASSERT_TRUE(http_server_start(&endless));
        std::vector<std::string> args = {"--route", "OK=" + ok.endpoint(), "--route", "END=" + endless.endpoint(),
                                         "--target-timeout", "60"};
        args.insert(args.end(), r.args.begin(), r.args.end());
        queryd_child d;
        ASSERT_TRUE(queryd_start(&d, kDaemon, args));

        /* This process takes its whole share and reads nothing. */
        auto holders = clients(r.share);
        for (auto& c : holders)
            ASSERT_TRUE(send_datagrams(*c, d.socket_path, frame_request("S1:END", http_request())));
        dgram_client refused;
        ASSERT_TRUE(send_datagrams(refused, d.socket_path, frame_request("S1:OK", http_request())));
        EXPECT_EQ(read_reply(refused, 5).code, QUERY_FAIL_LOW_MEMORY);
        EXPECT_TRUE(queryd_wait_log(&d, "its sender holds its share of clients", 5));

        /* Another process is still served. */
        other_sender other;
        ASSERT_TRUE(other_sender_start(&other, d.socket_path, frame_request("S1:OK", http_request()),
                                       http_response("fine")));
        EXPECT_EQ(other_sender_finish(&other), 0);

        /* Once its exchanges end, this process is served again. */
        release.set_value();
        for (auto& c : holders)
            EXPECT_EQ(read_reply(*c, 5).code, QUERY_SUCCESS_FIN);
        EXPECT_EQ(exchange(d, "S1:OK", http_request(), 5).payload, http_response("fine"));
        EXPECT_EQ(queryd_stop(&d, SIGTERM), 0);
    }
}

TEST(QuerydRobustness, AfterAFloodOfAnyDatagramsAWellFormedRequestIsServed)
{
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    queryd_child d;
    const std::string file = "/tmp/zelq-replay-" + std::to_string(getpid());
    std::ofstream(file) << "replayed";
    ASSERT_TRUE(queryd_start(&d, kDaemon, {"--replay", file, "--max-half-sent", "8", "--max-queued-refusals", "8",
                                           "--request-timeout", "1", "--quiet"}));
    unlink(file.c_str());

    /* Clients that never read send garbage, headers announcing up to twice the
     * size limit, continuations and oversized datagrams. */
    const auto pick = [&rng](size_t lo, size_t hi) { return std::uniform_int_distribution<size_t>(lo, hi)(rng); };
    auto flood = clients(48);
    for (int i = 0; i < 1500; ++i) {
        std::string dgram;
        switch (pick(0, 3)) {
        case 0:
            dgram = random_bytes(pick(0, 4200), static_cast<unsigned>(rng()));
            break;
        case 1:
            dgram = shift_total(frame_request("S1:S2", random_bytes(pick(0, 3000), static_cast<unsigned>(rng())),
                                              static_cast<int>(pick(0, 1))),
                                static_cast<int64_t>(pick(0, 2u << 20)));
            break;
        case 2:
            dgram = random_bytes(pick(1, 3584), static_cast<unsigned>(rng()));
            break;
        default:
            dgram = frame_request("S1:S2", random_bytes(pick(3000, 9000), static_cast<unsigned>(rng()))).substr(0, 3584);
            break;
        }
        ASSERT_TRUE(send_datagrams(*flood[pick(0, flood.size() - 1)], d.socket_path, dgram, 65536));
    }
    EXPECT_EQ(exchange(d, "S1:S2", http_request(), 5).payload, "replayed");
    EXPECT_EQ(exchange(d, "S1:S2", http_request(random_bytes(9000, 4)), 5).payload, "replayed");
    other_sender other;
    ASSERT_TRUE(other_sender_start(&other, d.socket_path, frame_request("S1:S2", http_request(random_bytes(9000, 5))),
                                   "replayed"));
    EXPECT_EQ(other_sender_finish(&other), 0);
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

namespace {

/* False, saying why, when this user cannot run the daemon's binary: a build
 * in a folder closed to others cannot be run by the unprivileged half of a
 * root test run. */
bool daemon_runnable()
{
    if (access(kDaemon.c_str(), X_OK) == 0)
        return true;
    printf("note: uid %u cannot run %s; its half of the test is left out\n", geteuid(), kDaemon.c_str());
    return false;
}

/* The daemon's own user here is root, or the unprivileged user it runs as. */
void socket_directory_must_be_its_own_or_roots_and_closed_to_others(bool others)
{
    if (!daemon_runnable())
        return;
    struct row {
        const char* name;
        bool others_dir;    /* the directory belongs to another user */
        mode_t mode;
        bool link;          /* the path goes through a symbolic link to the directory */
        const char* says;   /* in the refusal; null: it starts */
    } rows[] = {
        {"another user's directory", true, 0755, false, "it is owned by uid 65534"},
        {"writable by others", false, 0777, false, "it is writable by group or others"},
        {"writable by its group", false, 0770, false, "it is writable by group or others"},
        {"a sticky directory like /tmp", false, 01777, false, "it is writable by group or others"},
        {"a link to a good directory", false, 0755, true, "it is a symbolic link"},
        {"its own, closed to others", false, 0700, false, nullptr},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        if (r.others_dir && !others)
            continue;   /* giving a directory to another user needs root */
        char tmpl[] = "/tmp/zelq-dir-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        const std::string base = tmpl, dir = base + "/d";
        ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
        ASSERT_EQ(chown(dir.c_str(), r.others_dir ? zel_test::kNobody : geteuid(), static_cast<gid_t>(-1)), 0);
        ASSERT_EQ(chmod(dir.c_str(), r.mode), 0);
        if (r.link) {
            ASSERT_EQ(symlink(dir.c_str(), (base + "/l").c_str()), 0);
        }
        queryd_child d;
        d.dir = base;   /* removed with the record */
        d.socket_path = (r.link ? base + "/l" : dir) + "/q";
        const bool up = queryd_start(&d, kDaemon, {"--fail", "2"});
        EXPECT_EQ(up, r.says == nullptr) << d.log;
        EXPECT_EQ(queryd_stop(&d, SIGTERM), up ? 0 : 1);
        if (r.says != nullptr) {
            EXPECT_NE(d.log.find("refusing the socket directory " + (r.link ? base + "/l" : dir) + ": " + r.says),
                      std::string::npos)
                << d.log;
            struct stat st{};
            EXPECT_NE(lstat((dir + "/q").c_str(), &st), 0);   /* nothing was bound there */
        }
    }
}

} // namespace

TEST(QuerydLifecycle, TheSocketDirectoryMustBeItsOwnOrRootsAndClosedToOthers)
{
    zel_test::as_root_and_unprivileged(socket_directory_must_be_its_own_or_roots_and_closed_to_others);
}

namespace {

void missing_directories_are_0755_and_the_socket_takes_the_mode_and_group_asked(bool others)
{
    if (!daemon_runnable())
        return;
    const struct group* nogroup = getgrgid(65534);
    struct row {
        std::vector<std::string> args;
        mode_t mode;
        gid_t gid;
        int exit_code;   /* 2: refused on the command line */
    } rows[] = {
        {{}, 0755, getegid(), 0},   /* what the umask (022 here) leaves */
        {{"--socket-mode", "0660", "--socket-group", "65534"}, 0660, 65534, 0},
        {{"--socket-mode=600"}, 0600, getegid(), 0},
        {{"--socket-mode", "0666", "--socket-group", nogroup != nullptr ? nogroup->gr_name : "65534"}, 0666, 65534, 0},
        {{"--socket-mode", "0800"}, 0, 0, 2},
        {{"--socket-mode", "1777"}, 0, 0, 2},
        {{"--socket-mode", "rw"}, 0, 0, 2},
        {{"--socket-group", "no-such-group-zel"}, 0, 0, 2},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.args.empty() ? "no options" : r.args[0] + " " + r.args.back());
        if (r.exit_code == 0 && r.gid != getegid() && !others)
            continue;   /* giving the socket a group of which the user is not a member needs root */
        char tmpl[] = "/tmp/zelq-dir-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        queryd_child d;
        d.dir = tmpl;
        d.socket_path = d.dir + "/a/b/q";
        /* The umask may narrow the socket's mode, never the directories'. */
        const mode_t old_mask = umask(r.args.empty() ? 022 : 077);
        const bool up = queryd_start(&d, kDaemon, r.args);
        umask(old_mask);
        EXPECT_EQ(up, r.exit_code == 0) << d.log;
        if (up) {
            struct stat st{};
            for (const std::string& dir : {d.dir + "/a", d.dir + "/a/b"}) {
                ASSERT_EQ(lstat(dir.c_str(), &st), 0);
                EXPECT_EQ(st.st_mode & 07777, 0755u) << dir;
            }
            ASSERT_EQ(lstat(d.socket_path.c_str(), &st), 0);
            EXPECT_TRUE(S_ISSOCK(st.st_mode));
            EXPECT_EQ(st.st_mode & 07777, r.mode);
            EXPECT_EQ(st.st_gid, r.gid);
        }
        EXPECT_EQ(queryd_stop(&d, SIGTERM), r.exit_code);
    }
}

} // namespace

TEST(QuerydLifecycle, MissingDirectoriesAre0755AndTheSocketTakesTheModeAndGroupAsked)
{
    zel_test::as_root_and_unprivileged(missing_directories_are_0755_and_the_socket_takes_the_mode_and_group_asked);
}

TEST(QuerydLifecycle, SighupReloadsRoutesAndABadFileKeepsTheOldOnes)
{
    http_server before, after, slow, fixed;
    std::promise<void> release;   /* goes before the servers and frees the slow one */
    answer(&before, http_response("before"));
    answer(&after, http_response("after"));
    answer(&fixed, http_response("fixed"));
    slow.respond = [held = release.get_future().share()](int fd, const std::string&) {
        write_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nfirst");
        held.wait();
        write_all(fd, "-last");
    };
    for (http_server* s : {&before, &after, &slow, &fixed})
        ASSERT_TRUE(http_server_start(s));
    const std::string routes = "/tmp/zelq-routes-" + std::to_string(getpid());
    const auto write_routes = [&routes](const std::string& text) {
        /* Written beside and renamed, as an operator's editor or deployment does. */
        std::ofstream(routes + ".new") << text;
        ASSERT_EQ(rename((routes + ".new").c_str(), routes.c_str()), 0);
    };
    write_routes("A " + before.endpoint() + "\nSLOW " + slow.endpoint() + "\n");
    queryd_child d;
    ASSERT_TRUE(queryd_start(&d, kDaemon, {"--routes", routes, "--route", "F=" + fixed.endpoint(), "--target-timeout", "60"}));
    EXPECT_EQ(exchange(d, "S1:A", http_request()).payload, http_response("before"));

    /* An exchange in flight: its first datagram is in, the rest held back. */
    dgram_client in_flight;
    ASSERT_TRUE(send_datagrams(in_flight, d.socket_path, frame_request("S1:SLOW", http_request())));
    pollfd p{in_flight.fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    char first[4096];
    const ssize_t first_len = recv(in_flight.fd, first, sizeof first, 0);
    ASSERT_GT(first_len, 12);

    struct step {
        const char* what;
        std::string file;          /* new content; empty: the file is removed */
        std::string log;           /* the line SIGHUP must produce */
        std::string a, b;          /* what A and B answer afterwards ("" for a refusal) */
    } steps[] = {
        {"new routes", "A " + after.endpoint() + "\nB " + after.endpoint() + "\nSLOW " + slow.endpoint() + "\n",
         "routes reloaded from " + routes + ": 4 routes", http_response("after"), http_response("after")},
        {"a bad line", "A " + before.endpoint() + "\nB\n", "routes not reloaded, the 4 routes in use stay: " + routes +
         ":2: expected 'SERIAL ENDPOINT'", http_response("after"), http_response("after")},
        {"a missing file", "", "routes not reloaded, the 4 routes in use stay: cannot read route file " + routes,
         http_response("after"), http_response("after")},
        {"B dropped", "A " + before.endpoint() + "\n", "routes reloaded from " + routes + ": 2 routes",
         http_response("before"), ""},
    };
    for (const step& st : steps) {
        SCOPED_TRACE(st.what);
        if (st.file.empty())
            unlink(routes.c_str());
        else
            write_routes(st.file);
        const size_t seen = log_count(&d, st.log);
        ASSERT_EQ(kill(d.pid, SIGHUP), 0);
        EXPECT_EQ(log_count(&d, st.log, seen + 1, 5), seen + 1);
        const reply a = exchange(d, "S1:A", http_request()), b = exchange(d, "S1:B", http_request());
        EXPECT_EQ(a.payload, st.a);
        EXPECT_EQ(b.code, st.b.empty() ? QUERY_FAIL_ROUTE_ERR : QUERY_SUCCESS_FIN);
        EXPECT_EQ(b.payload, st.b);
        /* --route options are applied after every reload. */
        EXPECT_EQ(exchange(d, "S1:F", http_request()).payload, http_response("fixed"));
    }
    unlink(routes.c_str());

    release.set_value();
    const reply rest = read_reply(in_flight);
    EXPECT_EQ(rest.code, QUERY_SUCCESS_FIN);
    EXPECT_EQ(std::string(first + 12, static_cast<size_t>(first_len) - 12) + rest.payload,
              "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nfirst-last");
    EXPECT_EQ(queryd_stop(&d, SIGTERM), 0);
}

TEST(QuerydLog, ClientGoneOnlyWhenItLeftBeforeTheLastResponseByte)
{
    /* The target holds its connection open after the response, so the daemon
     * relays every byte first and sends the empty end mark only once the
     * target closes, which it does after the client has gone. */
    const std::string response = http_response("complete");
    http_server lingers;
    std::promise<void> client_closed;   /* goes before the server and frees it */
    lingers.respond = [&response, held = client_closed.get_future().share()](int fd, const std::string&) {
        write_all(fd, response);
        held.wait();
    };
    ASSERT_TRUE(http_server_start(&lingers));
    queryd_child d;
    ASSERT_TRUE(queryd_start(&d, kDaemon, {"--route", "L=" + lingers.endpoint()}));
    {
        dgram_client c;
        ASSERT_TRUE(send_datagrams(c, d.socket_path, frame_request("S1:L", http_request())));
        std::string got;
        char buf[4096];
        while (got.size() < response.size()) {
            pollfd p{c.fd, POLLIN, 0};
            ASSERT_EQ(poll(&p, 1, 5000), 1);
            const ssize_t n = recv(c.fd, buf, sizeof buf, 0);
            ASSERT_GT(n, 12);
            ASSERT_EQ(buf[0], QUERY_SUCCESS);   /* the end mark is still due */
            got.append(buf + 12, static_cast<size_t>(n) - 12);
        }
        EXPECT_EQ(got, response);
    }   /* the client has the whole response and closes, as relay() does */
    client_closed.set_value();
    EXPECT_TRUE(queryd_wait_log(&d, "GET /api/x: " + std::to_string(response.size()) + " bytes\n", 5)) << d.log;
    EXPECT_EQ(queryd_stop(&d, SIGTERM), 0);
    EXPECT_EQ(d.log.find("gone"), std::string::npos) << d.log;
}
