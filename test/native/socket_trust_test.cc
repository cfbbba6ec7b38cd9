/* A local user who puts a socket where the daemon's should be gets nothing:
 * the transport sends only to a socket file and directory of a trusted user
 * (root, this process's user, or ZEL_QUERY_UID's), in a directory closed to
 * group and others.
 *
 * The transport reads ZEL_QUERY_SOCKET and ZEL_QUERY_UID once per process, so
 * every query here runs in a child forked for it; this process never queries.
 * The squatter is a process of its own, run as the user who owns its socket,
 * that answers every request it takes with a forged reply. */
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "support/scripted_peer.h"
#include "support/unprivileged.h"
#include "sysapi/nst/nst_query.h"

namespace {

constexpr uid_t kOther = zel_test::kNobody;
const std::string kChain("SN-A:SN-B", 10);
const std::string kReq = "GET /api/v1/status HTTP/1.1\r\n\r\n";

/* A process of user `uid` bound at `path`, answering each request datagram
 * with a final reply "forged" after writing one byte to its report pipe. */
struct squatter {
    pid_t pid = -1;
    int report = -1;

    ~squatter() { (void)stop(); }

    /* Stops it; returns how many requests it took. */
    int stop()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            pid = -1;
        }
        int n = 0;
        char b;
        while (report >= 0 && read(report, &b, 1) == 1)
            ++n;
        if (report >= 0)
            close(report);
        report = -1;
        return n;
    }
};

bool squatter_start(squatter* q, const std::string& path, uid_t uid)
{
    const std::string forged = zel_test::reply_dgram(QUERY_SUCCESS_FIN, "forged");
    int ready[2], report[2];
    if (pipe2(ready, O_CLOEXEC) != 0 || pipe2(report, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    q->pid = fork();
    if (q->pid == 0) {
        if (uid != geteuid() && setuid(uid) != 0)
            _exit(2);
        const int s = socket(AF_UNIX, SOCK_DGRAM, 0);
        struct sockaddr_un a = {};
        a.sun_family = AF_UNIX;
        memcpy(a.sun_path, path.c_str(), path.size() + 1);
        char b = 1;
        if (s < 0 || bind(s, reinterpret_cast<struct sockaddr*>(&a), sizeof a) != 0 || write(ready[1], &b, 1) != 1)
            _exit(3);
        for (;;) {
            char buf[65536];
            struct sockaddr_un from = {};
            socklen_t from_len = sizeof from;
            if (recvfrom(s, buf, sizeof buf, 0, reinterpret_cast<struct sockaddr*>(&from), &from_len) < 0)
                continue;
            (void)!write(report[1], &b, 1);
            (void)sendto(s, forged.data(), forged.size(), 0, reinterpret_cast<struct sockaddr*>(&from), from_len);
        }
    }
    close(ready[1]);
    close(report[1]);
    q->report = report[0];
    char b = 0;
    const bool up = q->pid > 0 && read(ready[0], &b, 1) == 1;
    close(ready[0]);
    return up;
}

struct outcome {
    int send = 1, poll_send = 1, one_shot = 1, streamed = 1;
    char payload[16] = "";
};

int collect(char* data, int len, void* args)
{
    auto* o = static_cast<outcome*>(args);
    snprintf(o->payload, sizeof o->payload, "%.*s", len, data);
    return 0;
}

/* Runs the transport's calls in a child with the environment given: every
 * call, when `all`, else the streamed query only (the others would leave
 * requests the squatter answers for nobody).  The blocking queries go last,
 * so whatever the squatter took has been reported when they return. */
outcome query_as_child(const std::string& socket_path, const char* query_uid, bool all)
{
    outcome out;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return out;
    const pid_t pid = fork();
    if (pid == 0) {
        setenv("ZEL_QUERY_SOCKET", socket_path.c_str(), 1);
        setenv("ZEL_QUIET", "1", 1);
        if (query_uid != nullptr)
            setenv("ZEL_QUERY_UID", query_uid, 1);
        else
            unsetenv("ZEL_QUERY_UID");
        const int path_len = static_cast<int>(kChain.size()), req_len = static_cast<int>(kReq.size());
        outcome o;
        if (all) {
            const int s = __nstd_query_sock(NSTD_QUERY_TIMEOUT_SEC);
            o.send = __nstd_query_req_send(s, kChain.data(), path_len, kReq.data(), req_len, 0, zel_req_query);
            close(s);
            nst_query_poll_t* ctx = nstd_query_poll_open(kChain.data(), path_len, NSTD_QUERY_F_PARTIAL);
            o.poll_send = nstd_query_poll_send(ctx, kReq.data(), req_len);
            nstd_query_poll_close(ctx);
            int rlen = 0;
            char* buf = nstd_query_req(kChain.data(), path_len, kReq.data(), req_len, &rlen);
            o.one_shot = buf != nullptr ? 0 : rlen;
            free(buf);
        }
        o.streamed = nstd_query_req_partial(kChain.data(), path_len, kReq.data(), req_len, collect, &o);
        _exit(write(fds[1], &o, sizeof o) == sizeof o ? 0 : 1);
    }
    close(fds[1]);
    if (pid > 0 && read(fds[0], &out, sizeof out) != sizeof out)
        out = outcome{};
    close(fds[0]);
    if (pid > 0)
        waitpid(pid, nullptr, 0);
    return out;
}

std::string name_of(uid_t uid)
{
    struct passwd* pw = getpwuid(uid);
    return pw != nullptr ? pw->pw_name : "";
}

enum layout {
    PLAIN,         /* DIR/q, the squatter's socket */
    FILE_LINK,     /* DIR/q a symbolic link to a trusted socket elsewhere */
    DIR_LINK,      /* LINK/q, LINK a symbolic link to DIR */
};

} // namespace

namespace {

/* "Own" is the user the query runs as: root, or the unprivileged user. */
void nothing_goes_to_a_socket_another_user_could_have_put_there(bool others)
{
    const uid_t me = geteuid();
    const std::string other_name = name_of(kOther);
    struct row {
        const char* name;
        bool others_dir;        /* the directory is kOther's, else the own user's */
        mode_t dir_mode;
        bool others_socket;     /* the squatter runs as kOther, else as the own user */
        layout how;
        std::string query_uid;  /* ZEL_QUERY_UID; empty: unset */
        bool trusted;
    } rows[] = {
        {"own directory 0755, own socket", false, 0755, false, PLAIN, "", true},
        {"own directory 0700, own socket", false, 0700, false, PLAIN, "", true},
        {"another user's directory", true, 0755, true, PLAIN, "", false},
        {"another user's socket in the own directory", false, 0755, true, PLAIN, "", false},
        {"own directory writable by others", false, 0777, false, PLAIN, "", false},
        {"own directory writable by its group", false, 0775, false, PLAIN, "", false},
        {"a sticky directory like /tmp", false, 01777, false, PLAIN, "", false},
        {"the socket file is a link to a trusted socket", false, 0755, false, FILE_LINK, "", false},
        {"the directory is a link to a trusted one", false, 0755, false, DIR_LINK, "", false},
        {"ZEL_QUERY_UID=65534 trusts that user's directory", true, 0755, true, PLAIN, "65534", true},
        {"ZEL_QUERY_UID by name", true, 0755, true, PLAIN, other_name, !other_name.empty()},
        {"ZEL_QUERY_UID does not open a directory others may write", true, 0777, true, PLAIN, "65534", false},
        {"ZEL_QUERY_UID naming no user trusts nobody more", true, 0755, true, PLAIN, "no-such-user-zel", false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        if ((r.others_dir || r.others_socket) && !others)
            continue;   /* a directory or socket of another user needs root to set up */
        const uid_t dir_uid = r.others_dir ? kOther : me, socket_uid = r.others_socket ? kOther : me;
        char tmpl[] = "/tmp/zel-trust-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        const std::string base = tmpl, dir = base + "/d", real = base + "/real";
        ASSERT_EQ(chmod(base.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
        ASSERT_EQ(chmod(dir.c_str(), 0777), 0);   /* so the squatter can bind there */
        std::string path = dir + "/q";
        squatter q;
        if (r.how == FILE_LINK) {
            ASSERT_EQ(mkdir(real.c_str(), 0755), 0);
            ASSERT_TRUE(squatter_start(&q, real + "/q", socket_uid));
            ASSERT_EQ(symlink((real + "/q").c_str(), path.c_str()), 0);
        } else {
            ASSERT_TRUE(squatter_start(&q, path, socket_uid));
        }
        if (r.how == DIR_LINK) {
            ASSERT_EQ(symlink(dir.c_str(), (base + "/link").c_str()), 0);
            path = base + "/link/q";
        }
        ASSERT_EQ(chown(dir.c_str(), dir_uid, static_cast<gid_t>(-1)), 0);
        ASSERT_EQ(chmod(dir.c_str(), r.dir_mode), 0);

        const outcome o = query_as_child(path, r.query_uid.empty() ? nullptr : r.query_uid.c_str(), !r.trusted);
        const int taken = q.stop();
        if (r.trusted) {
            /* The squatter is the daemon here: its reply is taken. */
            EXPECT_EQ(o.streamed, 1);
            EXPECT_STREQ(o.payload, "forged");
            EXPECT_EQ(taken, 1);
        } else {
            EXPECT_EQ(o.send, ZEL_ERR_PATH_WRONG);
            EXPECT_EQ(o.poll_send, ZEL_ERR_PATH_WRONG);
            EXPECT_EQ(o.one_shot, ZEL_ERR_PATH_WRONG);
            EXPECT_EQ(o.streamed, ZEL_ERR_PATH_WRONG);
            EXPECT_STREQ(o.payload, "");
            EXPECT_EQ(taken, 0);
        }
        std::error_code ec;
        std::filesystem::remove_all(base, ec);
    }
}

} // namespace

TEST(SocketTrust, NothingGoesToASocketAnotherUserCouldHavePutThere)
{
    zel_test::as_root_and_unprivileged(nothing_goes_to_a_socket_another_user_could_have_put_there);
}
