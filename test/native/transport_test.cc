/* Query socket, request framing, poll contexts and the streamed query, run
 * against a scripted daemon on the real socket path. */
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <openssl/evp.h>
#include <linux/sockios.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "support/scripted_peer.h"
#include "support/unprivileged.h"
#include "sysapi/nst/nst_query.h"

using zel_test::raw_reply;
using zel_test::reply_dgram;
using zel_test::scripted_peer;

namespace {

std::string pattern(size_t n, int seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 7 + static_cast<size_t>(seed)) % 251);
    return s;
}

/* Records what the processor is handed; refuses the call numbered refuse_at. */
struct recorder {
    std::vector<std::string> payloads;
    bool terminated = true;
    int refuse_at = -1;
};

int record(char* data, int len, void* args)
{
    auto* r = static_cast<recorder*>(args);
    r->terminated = r->terminated && data[len] == '\0';
    r->payloads.emplace_back(data, static_cast<size_t>(len));
    data[len] = '!';  // the byte after the payload belongs to the processor
    return static_cast<int>(r->payloads.size()) - 1 == r->refuse_at ? -1 : 0;
}

const std::string kPath("SN-A:SN-B", 10);  // sent with its terminating NUL
const std::string kReq = "GET /api/v1/status HTTP/1.1\r\n\r\n";

int query(recorder* rec)
{
    return nstd_query_req_partial(kPath.data(), static_cast<int>(kPath.size()), kReq.data(),
                                  static_cast<int>(kReq.size()), rec != nullptr ? record : nullptr, rec);
}

struct TransportTest : ::testing::Test {
    void SetUp() override { ASSERT_TRUE(peer.ok()); }

    int streamed(std::vector<std::string> replies, recorder* rec)
    {
        peer.serve(std::move(replies));
        const int rc = query(rec);
        peer.join();
        return rc;
    }

    scripted_peer peer;
};

TEST_F(TransportTest, RequestFramingAndSplitting)
{
    struct row {
        int path_len, data_len;
        std::vector<size_t> sizes;
        const char* trace;
    };
    const row rows[] = {
        {20, 3536, {3584}, "base:3536 to_send:0\n"},
        {20, 3537, {3584, 1}, "base:3536 to_send:1\nbase:3537 to_send:0\n"},
        {20, 10000, {3584, 3584, 2880}, "base:3536 to_send:6464\nbase:7120 to_send:2880\nbase:10000 to_send:0\n"},
        {3556, 5, {3584, 5}, "base:0 to_send:5\nbase:5 to_send:0\n"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(::testing::Message() << "path " << r.path_len << " data " << r.data_len);
        const std::string path = pattern(static_cast<size_t>(r.path_len), 1);
        const std::string data = pattern(static_cast<size_t>(r.data_len), 2);
        const int s = __nstd_query_sock(NSTD_QUERY_TIMEOUT_SEC);
        ASSERT_GE(s, 0);
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(__nstd_query_req_send(s, path.data(), r.path_len, data.data(), r.data_len, 7, zel_req_query), 0);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), r.trace);
        const zel_test::request_capture req = peer.collect_request();
        close(s);

        ASSERT_TRUE(req.complete);
        EXPECT_EQ(req.sizes, r.sizes);
        const zel_query_header h = req.header();
        EXPECT_EQ(h.type, zel_req_query);
        EXPECT_EQ(h.flags, 7u);
        EXPECT_EQ(h.total_len, static_cast<uint32_t>(28 + r.path_len + r.data_len));
        /* MD5 through the EVP interface, independent of the transport's own path. */
        unsigned char md5[EVP_MAX_MD_SIZE];
        EVP_Digest((path + data).data(), path.size() + data.size(), md5, nullptr, EVP_md5(), nullptr);
        EXPECT_EQ(memcmp(h.request_digest, md5, sizeof h.request_digest), 0);
        EXPECT_TRUE(req.body() == path + data);
        EXPECT_EQ(req.from.sun_path[0], '\0');  // replies go to the abstract autobound name
    }
}

TEST_F(TransportTest, UnusableRequestsAreNotSent)
{
    const std::string big_path(NSTD_QUERY_FIRST_ROOM + 1, 'p');
    const int s = __nstd_query_sock(NSTD_QUERY_TIMEOUT_SEC);
    ASSERT_GE(s, 0);
    EXPECT_EQ(__nstd_query_req_send(s, nullptr, 4, "data", 4, 1, zel_req_query), ZEL_ERR_SEND);
    EXPECT_EQ(__nstd_query_req_send(s, "p", 1, "data", -4, 1, zel_req_query), ZEL_ERR_SEND);
    EXPECT_EQ(__nstd_query_req_send(s, big_path.data(), NSTD_QUERY_FIRST_ROOM + 1, "", 0, 1, zel_req_query), ZEL_ERR_SEND);
    EXPECT_EQ(__nstd_query_req_send(s, "p", 1, "data", INT_MAX, 1, zel_req_query), ZEL_ERR_SEND);
    EXPECT_FALSE(peer.has_pending());
    close(s);
}

TEST_F(TransportTest, StreamedReplies)
{
    struct row {
        const char* name;
        std::vector<std::string> replies;
        int rc;
        std::vector<std::string> payloads;
    };
    const std::string offset0 = raw_reply(QUERY_SUCCESS_FIN, 4096, 0, std::string(4084, 'q'));
    const row rows[] = {
        {"final without payload", {reply_dgram(1)}, 1, {""}},
        {"pieces then final", {reply_dgram(0, "HTTP/1.1 "), reply_dgram(0, "200 OK"), reply_dgram(1, "\r\n")}, 1,
         {"HTTP/1.1 ", "200 OK", "\r\n"}},
        {"offset 0: the whole datagram is payload", {offset0}, 1, {offset0}},
        {"bad offsets give empty payloads", {raw_reply(0, 15, -1, "abc"), raw_reply(0, 15, 15, "abc"), reply_dgram(1)},
         1, {"", "", ""}},
        {"two pieces then path error", {reply_dgram(0, "a"), reply_dgram(0, "b"), reply_dgram(3)}, -3, {"a", "b"}},
        {"unknown command", {reply_dgram(255)}, -255, {}},
        {"code not named a failure", {reply_dgram(KEY_UPD_SUCCESS, "k")}, -KEY_UPD_SUCCESS, {}},
        {"shorter than header", {std::string(8, '\0')}, ZEL_ERR_BAD_LEN, {}},
        {"len above bytes", {raw_reply(1, 20, 12, "abc")}, ZEL_ERR_BAD_LEN, {}},
        {"cut to 4096", {raw_reply(1, 5000, 12, std::string(4988, 'x'))}, ZEL_ERR_BAD_LEN, {}},
        {"piece then malformed", {reply_dgram(0, "a"), raw_reply(1, 99, 12)}, ZEL_ERR_BAD_LEN, {"a"}},
        {"datagram of no bytes", {""}, ZEL_ERR_RECV_FROM, {}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        recorder rec;
        EXPECT_EQ(streamed(r.replies, &rec), r.rc);
        EXPECT_EQ(rec.payloads, r.payloads);
        EXPECT_TRUE(rec.terminated);
        EXPECT_EQ(peer.last.header().flags, 1u);
        EXPECT_TRUE(peer.last.body() == kPath + kReq);
    }
}

TEST_F(TransportTest, ProcessorRefusalOrNoProcessor)
{
    recorder rec;
    rec.refuse_at = 0;
    EXPECT_EQ(streamed({reply_dgram(0, "a"), reply_dgram(0, "b"), reply_dgram(1, "c")}, &rec), ZEL_ERR_PROCESS_FAILED);
    EXPECT_EQ(rec.payloads, std::vector<std::string>{"a"});
    /* The client's name is gone with its socket. */
    EXPECT_EQ(peer.send_to_client(reply_dgram(1)), ECONNREFUSED);
    /* Without a processor nothing is sent. */
    EXPECT_EQ(query(nullptr), 0);
    EXPECT_FALSE(peer.has_pending());
}

TEST(QueryNoDaemon, SendFails)
{
    for (const bool stale : {false, true}) {
        SCOPED_TRACE(stale ? "stale socket file" : "no socket file");
        unlink(zel_test::query_socket_path().c_str());
        if (stale) {
            scripted_peer gone;
            close(gone.fd);  // the file stays, nobody reads it
            gone.fd = -1;
        }
        recorder rec;
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(query(&rec), ZEL_ERR_SEND);
        EXPECT_EQ(::testing::internal::GetCapturedStdout().rfind("__nstd_query_req_send error while sending ", 0), 0u);
        EXPECT_TRUE(rec.payloads.empty());
        unlink(zel_test::query_socket_path().c_str());
    }
}

TEST_F(TransportTest, AccumulatingContextGrowsOneStepPerRead)
{
    struct row {
        const char* name;
        std::vector<std::string> replies;
        std::vector<int> blen;  // capacity after each read
    };
    const std::string whole = raw_reply(QUERY_SUCCESS_FIN, 4096, 0, std::string(4084, 'w'));
    const row rows[] = {
        {"three of 3000", {reply_dgram(0, std::string(3000, 'a')), reply_dgram(0, std::string(3000, 'b')),
                           reply_dgram(1, std::string(3000, 'c'))}, {4096, 8192, 12288}},
        /* One byte held leaves 4095 free: not room enough for a full payload. */
        {"one byte then a full datagram", {reply_dgram(0, "x"), whole}, {4096, 8192}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        nst_query_poll_t* ctx = nstd_query_poll_open(kPath.data(), static_cast<int>(kPath.size()), 0);
        ASSERT_NE(ctx, nullptr);
        EXPECT_EQ(ctx->blen, 0);
        peer.serve(r.replies);
        ASSERT_EQ(nstd_query_poll_send(ctx, kReq.data(), static_cast<int>(kReq.size())), 0);
        std::string expect;
        for (size_t i = 0; i < r.replies.size(); ++i) {
            expect += r.replies[i].substr(r.replies[i] == whole ? 0 : 12);
            EXPECT_EQ(nstd_query_poll_read(ctx), i + 1 == r.replies.size() ? 1 : 0);
            EXPECT_EQ(ctx->blen, r.blen[i]);
            EXPECT_EQ(ctx->rlen, static_cast<int>(expect.size()));
        }
        EXPECT_EQ(peer.join().header().flags, 0u);
        EXPECT_TRUE(std::string(ctx->buf, static_cast<size_t>(ctx->rlen) + 1) == expect + '\0');
        nstd_query_poll_close(ctx);
    }
}

TEST_F(TransportTest, NonBlockingContextPolls)
{
    EXPECT_EQ(nstd_query_poll_send(nullptr, "x", 1), ZEL_ERR_SEND);
    EXPECT_EQ(nstd_query_poll_read(nullptr), ZEL_ERR_RECV_FROM);
    nst_query_poll_t* ctx =
        nstd_query_poll_open(kPath.data(), static_cast<int>(kPath.size()), NSTD_QUERY_F_PARTIAL | NSTD_QUERY_F_NONBLOCK);
    ASSERT_NE(ctx, nullptr);
    ASSERT_EQ(nstd_query_poll_send(ctx, kReq.data(), static_cast<int>(kReq.size())), 0);
    EXPECT_EQ(peer.collect_request().header().flags, 3u);
    EXPECT_EQ(nstd_query_poll_read(ctx), ZEL_ERR_SOCK_EMPTY);
    /* Per datagram: a read replaces the payload, a failed read empties it. */
    const std::tuple<std::string, int, int> steps[] = {
        {reply_dgram(0, "abc"), 0, 3}, {reply_dgram(0, "de"), 0, 2}, {std::string(8, '\0'), ZEL_ERR_BAD_LEN, 0},
        {reply_dgram(1), 1, 0},
    };
    for (const auto& [dgram, rc, rlen] : steps) {
        ASSERT_EQ(peer.send_to_client(dgram), 0);
        EXPECT_EQ(nstd_query_poll_read(ctx), rc);
        EXPECT_EQ(ctx->rlen, rlen);
        EXPECT_EQ(ctx->blen, 4096);
    }
    nstd_query_poll_close(ctx);
}

/* How a forged reply reaches the client's autobound name. */
enum class forger {
    other_user,      /* another process running as another user (needs root) */
    same_user,       /* another process of the daemon's user */
};

/* Sends `dgram` from socket `s` to the peer's last client with `n`
 * descriptors of /dev/null passed along (SCM_RIGHTS); true when it went out. */
bool send_with_descriptors(int s, const scripted_peer& peer, const std::string& dgram, int n)
{
    std::vector<int> fds;
    for (int i = 0; i < n; ++i)
        fds.push_back(open("/dev/null", O_RDONLY));
    std::vector<char> control(n > 0 ? CMSG_SPACE(fds.size() * sizeof(int)) : 0);
    struct iovec iov = {const_cast<char*>(dgram.data()), dgram.size()};
    struct msghdr msg = {};
    msg.msg_name = const_cast<struct sockaddr_un*>(&peer.last.from);
    msg.msg_namelen = peer.last.from_len;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    if (n > 0) {
        msg.msg_control = control.data();
        msg.msg_controllen = control.size();
        struct cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(fds.size() * sizeof(int));
        memcpy(CMSG_DATA(c), fds.data(), fds.size() * sizeof(int));
    }
    const bool sent = sendmsg(s, &msg, 0) == static_cast<ssize_t>(dgram.size());
    for (const int fd : fds)
        close(fd);
    return sent;
}

/* Sends `dgram` to the client that sent the peer's last request from a new
 * socket in a new process, passing a descriptor along when `pass_fd` is set.
 * Returns true when the datagram went out. */
bool forge(const scripted_peer& peer, forger who, const std::string& dgram, bool pass_fd = false)
{
    const pid_t pid = fork();
    if (pid == 0) {
        if (who == forger::other_user && setuid(zel_test::kNobody) != 0)
            _exit(2);
        const int s = socket(AF_UNIX, SOCK_DGRAM, 0);
        _exit(s >= 0 && send_with_descriptors(s, peer, dgram, pass_fd ? 1 : 0) ? 0 : 1);
    }
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int open_descriptors()
{
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr)
            ++n;
        closedir(d);
    }
    return n;
}

/* While it lives, this process cannot open another descriptor: the soft
 * descriptor limit is lowered and every free number below it taken. */
struct full_descriptor_table {
    struct rlimit old = {};
    std::vector<int> held;
    bool full = false;          /* the last open failed with EMFILE */

    full_descriptor_table()
    {
        getrlimit(RLIMIT_NOFILE, &old);
        struct rlimit low = old;
        low.rlim_cur = std::min<rlim_t>(old.rlim_cur, 256);
        setrlimit(RLIMIT_NOFILE, &low);
        for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;)
            held.push_back(fd);
        full = errno == EMFILE;
    }
    ~full_descriptor_table()
    {
        for (const int fd : held)
            close(fd);
        setrlimit(RLIMIT_NOFILE, &old);
    }
};

const std::string kForged = reply_dgram(QUERY_SUCCESS_FIN, "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nforged");

/* A reply datagram is taken only from the daemon's user, and once one was
 * taken, only from that same sender; anything else is dropped unseen, with
 * any descriptor it passed closed.  The daemon answers from an unnamed socket
 * of its own, as the reference daemon does, so after the first datagram a
 * process of the same user is told apart by its pid and the daemon's named
 * socket by its address. */
void only_the_daemon_answers(bool others)
{
    scripted_peer peer;
    ASSERT_TRUE(peer.ok());
    nst_query_poll_t* ctx =
        nstd_query_poll_open(kPath.data(), static_cast<int>(kPath.size()), NSTD_QUERY_F_PARTIAL | NSTD_QUERY_F_NONBLOCK);
    ASSERT_NE(ctx, nullptr);
    ASSERT_EQ(nstd_query_poll_send(ctx, kReq.data(), static_cast<int>(kReq.size())), 0);
    peer.collect_request();
    const int reply = socket(AF_UNIX, SOCK_DGRAM, 0);
    ASSERT_EQ(connect(reply, reinterpret_cast<const struct sockaddr*>(&peer.last.from), peer.last.from_len), 0);
    const int fds = open_descriptors();

    enum sender { other_user, other_user_fd, same_user, same_user_fd, daemon_named, daemon_reply };
    const std::tuple<const char*, sender, std::string, int> steps[] = {
        {"another user, before the daemon", other_user, kForged, ZEL_ERR_SOCK_EMPTY},
        {"another user, passing a descriptor", other_user_fd, kForged, ZEL_ERR_SOCK_EMPTY},
        {"the daemon's user, passing a descriptor", same_user_fd, kForged, ZEL_ERR_SOCK_EMPTY},
        {"the daemon", daemon_reply, reply_dgram(0, "a"), 0},
        {"another user", other_user, kForged, ZEL_ERR_SOCK_EMPTY},
        {"the daemon's user, another process", same_user, kForged, ZEL_ERR_SOCK_EMPTY},
        {"the daemon's process, its named socket", daemon_named, kForged, ZEL_ERR_SOCK_EMPTY},
        {"the daemon, final", daemon_reply, reply_dgram(1, "b"), 1},
    };
    for (const auto& [name, from, dgram, rc] : steps) {
        SCOPED_TRACE(name);
        switch (from) {
        case other_user:
        case other_user_fd:
            if (!others)
                continue;
            ASSERT_TRUE(forge(peer, forger::other_user, dgram, from == other_user_fd));
            break;
        case same_user:
        case same_user_fd:
            ASSERT_TRUE(forge(peer, forger::same_user, dgram, from == same_user_fd));
            break;
        case daemon_named:
            ASSERT_EQ(peer.send_to_client(dgram), 0);
            break;
        case daemon_reply:
            ASSERT_EQ(send(reply, dgram.data(), dgram.size(), 0), static_cast<ssize_t>(dgram.size()));
            break;
        }
        EXPECT_EQ(nstd_query_poll_read(ctx), rc);
        EXPECT_EQ(std::string(ctx->buf, static_cast<size_t>(ctx->rlen)), rc < 0 ? "" : dgram.substr(12));
        EXPECT_EQ(open_descriptors(), fds);
    }
    close(reply);
    nstd_query_poll_close(ctx);
}

TEST(SenderCheck, OnlyTheDaemonAnswers)
{
    zel_test::as_root_and_unprivileged(only_the_daemon_answers);
}

/* The blocking reads of the streamed and the one-shot query drop a forged
 * final datagram and go on waiting for the daemon's own reply. */
void forged_final_datagram_is_not_the_reply(bool others)
{
    scripted_peer peer;
    ASSERT_TRUE(peer.ok());
    for (const bool one_shot : {false, true}) {
        SCOPED_TRACE(one_shot ? "one-shot query" : "streamed query");
        bool forged = false;
        std::thread daemon([&] {
            peer.collect_request();
            /* Before the first datagram any process of the daemon's user
             * would be believed; another user never is. */
            forged = !others || forge(peer, forger::other_user, kForged);
            peer.send_to_client(reply_dgram(0, "real "));
            forged = forge(peer, forger::same_user, kForged) && forged;
            forged = (!others || forge(peer, forger::other_user, kForged)) && forged;
            peer.send_to_client(reply_dgram(1, "reply"));
        });
        recorder rec;
        std::string got;
        if (one_shot) {
            int rlen = 0;
            char* buf = nstd_query_req(kPath.data(), static_cast<int>(kPath.size()), kReq.data(),
                                       static_cast<int>(kReq.size()), &rlen);
            if (buf != nullptr)
                got.assign(buf, static_cast<size_t>(rlen));
            free(buf);
        } else {
            EXPECT_EQ(query(&rec), 1);
            for (const std::string& p : rec.payloads)
                got += p;
        }
        daemon.join();
        EXPECT_TRUE(forged);
        EXPECT_EQ(got, "real reply");
    }
}

TEST(SenderCheck, ForgedFinalDatagramIsNotTheReply)
{
    zel_test::as_root_and_unprivileged(forged_final_datagram_is_not_the_reply);
}

/* A blocking read takes every datagram already queued in one receive; the
 * foreign ones queued among the daemon's are dropped there, and the reply
 * comes out whole and in order, one datagram per read. */
void blocking_read_drops_foreign_datagrams_queued_among_the_reply(bool others)
{
    scripted_peer peer;
    ASSERT_TRUE(peer.ok());
    nst_query_poll_t* ctx = nstd_query_poll_open(kPath.data(), static_cast<int>(kPath.size()), NSTD_QUERY_F_PARTIAL);
    ASSERT_NE(ctx, nullptr);
    ASSERT_EQ(nstd_query_poll_send(ctx, kReq.data(), static_cast<int>(kReq.size())), 0);
    peer.collect_request();
    ASSERT_EQ(peer.send_to_client(reply_dgram(0, "a")), 0);
    ASSERT_TRUE(forge(peer, others ? forger::other_user : forger::same_user, kForged));
    ASSERT_EQ(peer.send_to_client(reply_dgram(0, "b")), 0);
    ASSERT_TRUE(forge(peer, forger::same_user, kForged));
    ASSERT_EQ(peer.send_to_client(reply_dgram(1, "c")), 0);
    for (const auto& [payload, rc] : {std::pair{"a", 0}, std::pair{"b", 0}, std::pair{"c", 1}}) {
        EXPECT_EQ(nstd_query_poll_read(ctx), rc);
        EXPECT_EQ(std::string(ctx->buf, static_cast<size_t>(ctx->rlen)), payload);
    }
    nstd_query_poll_close(ctx);
}

TEST(SenderCheck, BlockingReadDropsForeignDatagramsQueuedAmongTheReply)
{
    zel_test::as_root_and_unprivileged(blocking_read_drops_foreign_datagrams_queued_among_the_reply);
}

/* A datagram that passes descriptors is never a reply, even from the daemon:
 * the descriptors are closed and the datagram dropped.  When none of them
 * could be received (this process's descriptor table is full), the kernel
 * leaves out the descriptor record and only marks the control data cut; such
 * a datagram is dropped too. */
TEST_F(TransportTest, DatagramPassingDescriptorsIsDroppedEvenFromTheDaemon)
{
    nst_query_poll_t* ctx =
        nstd_query_poll_open(kPath.data(), static_cast<int>(kPath.size()), NSTD_QUERY_F_PARTIAL | NSTD_QUERY_F_NONBLOCK);
    ASSERT_NE(ctx, nullptr);
    ASSERT_EQ(nstd_query_poll_send(ctx, kReq.data(), static_cast<int>(kReq.size())), 0);
    peer.collect_request();
    const int fds = open_descriptors();
    struct row {
        const char* name;
        int passed;
        bool table_full;
    } rows[] = {
        {"one descriptor", 1, false},
        {"more descriptors than the control area holds", 40, false},
        {"a descriptor while no descriptor can be received", 1, true},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        ASSERT_TRUE(send_with_descriptors(peer.fd, peer, kForged, r.passed));
        std::optional<full_descriptor_table> table;
        if (r.table_full) {
            table.emplace();
            ASSERT_TRUE(table->full);
        }
        const int rc = nstd_query_poll_read(ctx);
        table.reset();
        EXPECT_EQ(rc, ZEL_ERR_SOCK_EMPTY);
        EXPECT_EQ(ctx->rlen, 0);
        EXPECT_EQ(open_descriptors(), fds);
    }
    /* None of them fixed the sender: the daemon's reply is taken. */
    ASSERT_EQ(peer.send_to_client(reply_dgram(1, "real")), 0);
    EXPECT_EQ(nstd_query_poll_read(ctx), 1);
    EXPECT_EQ(std::string(ctx->buf, static_cast<size_t>(ctx->rlen)), "real");
    nstd_query_poll_close(ctx);
}

/* Waits until thread `tid` of this process sleeps in recvmmsg; false when it
 * has not after 10,000 looks (the read under test returned instead). */
bool wait_until_receiving(pid_t tid)
{
    const std::string file = "/proc/self/task/" + std::to_string(tid) + "/syscall";
    for (int look = 0; look < 10000; ++look, usleep(1000)) {
        FILE* f = fopen(file.c_str(), "r");
        long nr = -1;
        const bool read = f != nullptr && fscanf(f, "%ld", &nr) == 1;
        if (f != nullptr)
            fclose(f);
        if (read && nr == SYS_recvmmsg)
            return true;
    }
    return false;
}

/* A foreign datagram in a blocking read shortens the socket's receive
 * time-out to what is left of the wait; the read restores it before it
 * returns, so the next read waits as long as ever. */
TEST_F(TransportTest, BlockingReadRestoresTheReceiveTimeOutAfterAForeignDatagram)
{
    nst_query_poll_t* ctx = nstd_query_poll_open(kPath.data(), static_cast<int>(kPath.size()), NSTD_QUERY_F_PARTIAL);
    ASSERT_NE(ctx, nullptr);
    ASSERT_EQ(nstd_query_poll_send(ctx, kReq.data(), static_cast<int>(kReq.size())), 0);
    peer.collect_request();
    ASSERT_EQ(peer.send_to_client(reply_dgram(0, "a")), 0);
    ASSERT_EQ(nstd_query_poll_read(ctx), 0);   /* the peer's named socket is now the sender */

    const pid_t reader = static_cast<pid_t>(syscall(SYS_gettid));
    bool sent = false;
    std::thread daemon([&] {
        /* The foreign datagram comes alone, well into the wait, so what is
         * left of the wait differs from the whole by far more than a clock
         * tick; the reply follows once the read waits again. */
        if (!wait_until_receiving(reader))
            return;
        usleep(50 * 1000);
        const int other = socket(AF_UNIX, SOCK_DGRAM, 0);
        sent = sendto(other, kForged.data(), kForged.size(), 0, reinterpret_cast<const struct sockaddr*>(&peer.last.from),
                      peer.last.from_len) == static_cast<ssize_t>(kForged.size());
        close(other);
        for (int queued = 1; queued != 0;) {
            usleep(1000);
            if (ioctl(ctx->s, SIOCINQ, &queued) != 0)
                break;
        }
        sent = wait_until_receiving(reader) && peer.send_to_client(reply_dgram(1, "b")) == 0 && sent;
    });
    EXPECT_EQ(nstd_query_poll_read(ctx), 1);
    daemon.join();
    EXPECT_TRUE(sent);
    EXPECT_EQ(std::string(ctx->buf, static_cast<size_t>(ctx->rlen)), "b");
    struct timeval tv = {};
    socklen_t len = sizeof tv;
    ASSERT_EQ(getsockopt(ctx->s, SOL_SOCKET, SO_RCVTIMEO, &tv, &len), 0);
    EXPECT_EQ(tv.tv_sec, NSTD_QUERY_TIMEOUT_SEC);
    EXPECT_EQ(tv.tv_usec, 0);
    nstd_query_poll_close(ctx);
}

/* The only test that waits out the receive time-out. */
TEST_F(TransportTest, SilentDaemonTimesOut)
{
    recorder rec;
    EXPECT_EQ(streamed({}, &rec), ZEL_ERR_SOCK_EMPTY);
    EXPECT_TRUE(rec.payloads.empty());
    EXPECT_TRUE(peer.last.complete);
}

} // namespace
