/* Test harness around the reference query daemon: a child process on a
 * private socket path, a raw datagram client with its own framing and digest,
 * and scripted HTTP servers on loopback TCP or a Unix stream socket.  Every
 * record cleans up after itself when it goes out of scope. */
#ifndef ZEL_TEST_SUPPORT_QUERYD_HARNESS_H
#define ZEL_TEST_SUPPORT_QUERYD_HARNESS_H

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zel_test {

/* The daemon as a child process, bound to `socket_path` inside a private
 * directory.  Its standard error is collected in `log`. */
struct queryd_child {
    pid_t pid = -1;
    std::string dir;
    std::string socket_path;
    int err_fd = -1;
    std::thread reader;
    std::mutex mu;
    std::condition_variable cv;
    std::string log;
    bool log_closed = false;

    queryd_child() = default;
    queryd_child(const queryd_child&) = delete;
    queryd_child& operator=(const queryd_child&) = delete;
    ~queryd_child();
};

/* Returns true when the daemon at `binary` started with `args` plus
 * --socket `socket_path` and printed its readiness line.  An empty
 * `socket_path` is first set to a fresh private path, whose directory the
 * record removes when it goes. */
bool queryd_start(queryd_child* d, const std::string& binary, const std::vector<std::string>& args);

/* Sends `sig` and waits for the child; returns its exit status, 128 + the
 * signal when it was killed, or -1 when no child runs. */
int queryd_stop(queryd_child* d, int sig);

/* Returns true when `text` appears in the daemon's log within `seconds`. */
bool queryd_wait_log(queryd_child* d, const std::string& text, int seconds);

/* A whole request as the transport frames it: header, path with its NUL,
 * data.  `type` goes into the header unchanged. */
std::string frame_request(const std::string& path, const std::string& data, int type = 0, unsigned flags = 1);

/* A client socket autobound to an abstract address; closed with the record. */
struct dgram_client {
    int fd = -1;
    dgram_client();
    dgram_client(const dgram_client&) = delete;
    dgram_client& operator=(const dgram_client&) = delete;
    ~dgram_client();
};

/* Sends `bytes` to `socket_path` in datagrams of at most `max_dgram` bytes;
 * returns true when all were sent. */
bool send_datagrams(const dgram_client& c, const std::string& socket_path, const std::string& bytes,
                    size_t max_dgram = 3584);

/* What a client read: the reply code of the last datagram (1 for a complete
 * reply), the joined payloads and the payload size of every datagram. */
struct reply {
    int code = -1;           /* -1: nothing, -2: time-out, -3: malformed datagram */
    std::string payload;
    std::vector<size_t> sizes;
};

/* Reads reply datagrams until the final one, a failure code, a malformed
 * datagram or `timeout_sec` without a datagram. */
reply read_reply(const dgram_client& c, int timeout_sec = 15);

/* A scripted HTTP server.  Every connection is served on the server's thread
 * in turn: the request is read whole (header and Content-Length body),
 * recorded, and handed to `respond` with the connection's descriptor. */
struct http_server {
    int listen_fd = -1;
    int port = 0;                /* TCP servers */
    std::string unix_path;       /* Unix stream servers */
    std::function<void(int fd, const std::string& request)> respond;
    std::thread thread;
    std::mutex mu;
    std::vector<std::string> requests;
    std::atomic<bool> stopping{false};

    http_server() = default;
    http_server(const http_server&) = delete;
    http_server& operator=(const http_server&) = delete;
    ~http_server();
    /* "127.0.0.1:PORT" or "unix:PATH". */
    std::string endpoint() const;
};

/* Starts `s` on 127.0.0.1 with an ephemeral port, or on the Unix stream
 * socket `unix_path` when it is not empty. */
bool http_server_start(http_server* s, const std::string& unix_path = {});

/* Writes all of `bytes` to a stream descriptor; returns false on failure. */
bool write_all(int fd, const std::string& bytes);

/* A one-shot gate: wait() blocks until open() was called. */
struct gate {
    std::mutex mu;
    std::condition_variable cv;
    bool is_open = false;
    void open();
    void wait();
};

}  // namespace zel_test

#endif
