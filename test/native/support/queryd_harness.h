/* The reference query daemon as a child process, a raw datagram client with
 * its own framing and digest, and scripted HTTP servers as targets.  Every
 * record cleans up after itself when it goes out of scope. */
#ifndef ZEL_TEST_SUPPORT_QUERYD_HARNESS_H
#define ZEL_TEST_SUPPORT_QUERYD_HARNESS_H

#include <sys/types.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zel_test {

/* The daemon's standard error is collected in `log`.  An empty `socket_path`
 * becomes a fresh path in a private directory, removed with the record. */
struct queryd_child {
    pid_t pid = -1;
    std::string dir, socket_path, log;
    int err_fd = -1;
    bool log_closed = false;
    std::thread reader;
    std::mutex mu;
    std::condition_variable cv;
    ~queryd_child();
};

/* Returns true when the daemon started with --socket and `args` and printed
 * its readiness line. */
bool queryd_start(queryd_child* d, const std::string& binary, const std::vector<std::string>& args);

/* Sends `sig` and reaps the child; returns its exit status, 128 + the signal
 * that killed it, or -1 when no child runs. */
int queryd_stop(queryd_child* d, int sig);

/* Returns true when `text` appears in the daemon's log within `seconds`. */
bool queryd_wait_log(queryd_child* d, const std::string& text, int seconds);

/* A whole request as the transport frames it (flags 1): header, path with its
 * NUL, data. */
std::string frame_request(const std::string& path, const std::string& data, int type = 0);

/* A datagram socket autobound to an abstract address. */
struct dgram_client {
    int fd = -1;
    dgram_client();
    dgram_client(const dgram_client&) = delete;
    dgram_client& operator=(const dgram_client&) = delete;
    ~dgram_client();
};

/* Returns true when all of `bytes` went to `socket_path` in datagrams of at
 * most `max_dgram` bytes. */
bool send_datagrams(const dgram_client& c, const std::string& socket_path, const std::string& bytes,
                    size_t max_dgram = 3584);

struct reply {
    int code = -1;   /* of the last datagram; -2: time-out, -3: malformed datagram */
    std::string payload;
    std::vector<size_t> sizes;   /* of every payload */
};

/* Reads reply datagrams until the final one, a failure code, a malformed
 * datagram or `timeout_sec` without a datagram. */
reply read_reply(const dgram_client& c, int timeout_sec = 15);

/* Serves connections one at a time on its own thread: each request is read
 * whole (header and Content-Length body) and handed to `respond` with the
 * connection's descriptor. */
struct http_server {
    int listen_fd = -1;
    int port = 0;
    std::string unix_path;
    std::function<void(int fd, const std::string& request)> respond;
    std::thread thread;
    ~http_server();
    /* "127.0.0.1:PORT" or "unix:PATH". */
    std::string endpoint() const;
};

/* Starts `s` on an ephemeral loopback port, or on the Unix stream socket
 * `unix_path` when it is not empty. */
bool http_server_start(http_server* s, const std::string& unix_path = {});

/* Returns false unless all of `bytes` were written to the stream `fd`. */
bool write_all(int fd, const std::string& bytes);

}  // namespace zel_test

#endif
