#include "support/queryd_harness.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/md5.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>

namespace zel_test {

namespace {

std::atomic<int> dir_counter{0};

void remove_tree(const std::string& dir)
{
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

/* Reads one request: the header, then a Content-Length body. */
std::string read_request(int fd)
{
    std::string req;
    char buf[4096];
    size_t want = std::string::npos;
    while (req.size() < want) {
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        req.append(buf, static_cast<size_t>(n));
        const size_t end = req.find("\r\n\r\n");
        if (want == std::string::npos && end != std::string::npos) {
            const size_t cl = req.find("Content-Length: ");
            want = end + 4 + (cl < end ? strtoul(req.c_str() + cl + 16, nullptr, 10) : 0);
        }
    }
    return req;
}

}  // namespace

queryd_child::~queryd_child()
{
    queryd_stop(this, SIGKILL);
    remove_tree(dir);
}

bool queryd_start(queryd_child* d, const std::string& binary, const std::vector<std::string>& args)
{
    if (d->socket_path.empty()) {
        d->dir = "/tmp/zelq-" + std::to_string(getpid()) + "-" + std::to_string(dir_counter++);
        remove_tree(d->dir);
        d->socket_path = d->dir + "/sock/q";
    }
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0)
        return false;
    std::vector<std::string> argv_s{binary, "--socket", d->socket_path};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argv_s)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    d->pid = fork();
    if (d->pid == 0) {
        dup2(pipe_fds[1], 2);
        execv(binary.c_str(), argv.data());
        _exit(127);
    }
    close(pipe_fds[1]);
    if (d->pid < 0) {
        close(pipe_fds[0]);
        return false;
    }
    d->err_fd = pipe_fds[0];
    d->reader = std::thread([d] {
        char buf[4096];
        for (;;) {
            const ssize_t n = read(d->err_fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            std::lock_guard<std::mutex> lock(d->mu);
            d->log_closed = n <= 0;
            if (n > 0)
                d->log.append(buf, static_cast<size_t>(n));
            d->cv.notify_all();
            if (n <= 0)
                return;
        }
    });
    return queryd_wait_log(d, "zel-queryd: listening on " + d->socket_path, 20);
}

int queryd_stop(queryd_child* d, int sig)
{
    if (d->pid <= 0)
        return -1;
    kill(d->pid, sig);
    int status = 0;
    while (waitpid(d->pid, &status, 0) < 0 && errno == EINTR) {
    }
    d->pid = -1;
    d->reader.join();
    close(d->err_fd);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool queryd_wait_log(queryd_child* d, const std::string& text, int seconds)
{
    std::unique_lock<std::mutex> lock(d->mu);
    d->cv.wait_for(lock, std::chrono::seconds(seconds),
                   [&] { return d->log.find(text) != std::string::npos || d->log_closed; });
    return d->log.find(text) != std::string::npos;
}

std::string frame_request(const std::string& path, const std::string& data, int type)
{
    const std::string body = path + '\0' + data;
    const uint32_t head[3] = {static_cast<uint32_t>(type), 1, static_cast<uint32_t>(28 + body.size())};
    unsigned char digest[16];
    MD5(reinterpret_cast<const unsigned char*>(body.data()), body.size(), digest);
    return std::string(reinterpret_cast<const char*>(head), 12) + std::string(reinterpret_cast<char*>(digest), 16) +
           body;
}

dgram_client::dgram_client()
{
    fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un any{};
    any.sun_family = AF_UNIX;
    if (fd >= 0)
        bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof(sa_family_t));
}

dgram_client::~dgram_client()
{
    if (fd >= 0)
        close(fd);
}

bool send_datagrams(const dgram_client& c, const std::string& socket_path, const std::string& bytes, size_t max_dgram)
{
    sockaddr_un to{};
    to.sun_family = AF_UNIX;
    memcpy(to.sun_path, socket_path.data(), socket_path.size());
    size_t pos = 0;
    do {
        const size_t n = std::min(max_dgram, bytes.size() - pos);
        if (sendto(c.fd, bytes.data() + pos, n, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) != static_cast<ssize_t>(n))
            return false;
        pos += n;
    } while (pos < bytes.size());
    return true;
}

reply read_reply(const dgram_client& c, int timeout_sec)
{
    reply r;
    std::string buf(8192, '\0');
    for (;;) {
        pollfd p{c.fd, POLLIN, 0};
        if (poll(&p, 1, timeout_sec * 1000) != 1) {
            r.code = -2;
            return r;
        }
        const ssize_t n = recv(c.fd, buf.data(), buf.size(), 0);
        int32_t len = 0, offset = 0;
        if (n >= 12) {
            memcpy(&len, &buf[4], 4);
            memcpy(&offset, &buf[8], 4);
        }
        if (n < 12 || len != n || offset != 12 || n > 4096) {
            r.code = -3;
            return r;
        }
        r.code = static_cast<unsigned char>(buf[0]);
        if (r.code > 1)
            return r;
        r.payload.append(buf, 12, static_cast<size_t>(n - 12));
        r.sizes.push_back(static_cast<size_t>(n - 12));
        if (r.code == 1)
            return r;
    }
}

bool write_all(int fd, const std::string& bytes)
{
    for (size_t pos = 0; pos < bytes.size();) {
        const ssize_t n = send(fd, bytes.data() + pos, bytes.size() - pos, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        pos += static_cast<size_t>(n);
    }
    return true;
}

http_server::~http_server()
{
    /* Shutting the listening socket down fails the pending accept. */
    if (listen_fd >= 0)
        shutdown(listen_fd, SHUT_RDWR);
    if (thread.joinable())
        thread.join();
    if (listen_fd >= 0)
        close(listen_fd);
    if (!unix_path.empty())
        unlink(unix_path.c_str());
}

std::string http_server::endpoint() const
{
    return unix_path.empty() ? "127.0.0.1:" + std::to_string(port) : "unix:" + unix_path;
}

bool http_server_start(http_server* s, const std::string& unix_path)
{
    if (unix_path.empty()) {
        s->listen_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (s->listen_fd < 0 || bind(s->listen_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            getsockname(s->listen_fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return false;
        s->port = ntohs(a.sin_port);
    } else {
        s->listen_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        memcpy(a.sun_path, unix_path.data(), unix_path.size());
        unlink(unix_path.c_str());
        if (s->listen_fd < 0 || bind(s->listen_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            return false;
        s->unix_path = unix_path;
    }
    if (listen(s->listen_fd, 16) != 0)
        return false;
    s->thread = std::thread([s] {
        for (;;) {
            const int fd = accept4(s->listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0 && errno == EINTR)
                continue;
            if (fd < 0)
                return;
            const std::string req = read_request(fd);
            if (s->respond)
                s->respond(fd, req);
            close(fd);
        }
    });
    return true;
}

}  // namespace zel_test
