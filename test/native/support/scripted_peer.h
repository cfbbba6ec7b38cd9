/* A stand-in for the query daemon on a real socket: binds the daemon's path,
 * takes in one request and answers with scripted reply datagrams, which may be
 * of any size and carry any header values.  Tests that use it must hold the
 * socket lock (run under `flock /tmp/zel-socket.lock`). */
#ifndef ZEL_TEST_SUPPORT_SCRIPTED_PEER_H
#define ZEL_TEST_SUPPORT_SCRIPTED_PEER_H

#include <stdint.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "sysapi/nst/nst_query.h"

namespace zel_test {

/* A reply datagram: header {type, 12 + payload size, 12}, then the payload. */
std::string reply_dgram(uint8_t type, std::string_view payload = {});
/* A datagram with the header values given as they are, followed by `body`;
 * its real size is 12 + body size whatever `len` says. */
std::string raw_reply(uint8_t type, int32_t len, int32_t offset, std::string_view body = {});

/* One request as it arrived. */
struct request_capture {
    std::vector<std::string> dgrams;   /* in order of arrival */
    struct sockaddr_un from = {};      /* source of the first datagram */
    socklen_t from_len = 0;
    bool complete = false;             /* all total_len bytes arrived */

    /* Header of the first datagram (zero-filled when it is too short). */
    zel_query_header header() const;
    /* Everything after the header, over all datagrams: path then data. */
    std::string body() const;
};

/* Binds NSTD_QUERY_SOCK_PATH on construction (creating its directory and
 * replacing a stale socket file) and removes it on destruction. */
struct scripted_peer {
    scripted_peer();
    ~scripted_peer();
    scripted_peer(const scripted_peer&) = delete;
    scripted_peer& operator=(const scripted_peer&) = delete;

    /* True when the socket is bound. */
    bool ok() const { return fd >= 0; }

    /* Receives one whole request on the calling thread, waiting up to a few
     * seconds for each datagram. */
    request_capture collect_request();

    /* On a thread: collects the request, then sends `replies` in order to its
     * source address.  join() waits for it and gives the request. */
    void serve(std::vector<std::string> replies);
    request_capture join();

    /* Sends one datagram to the last request's source; returns 0 or errno. */
    int send_to_client(std::string_view dgram) const;

    /* True when a datagram is queued and not yet collected. */
    bool has_pending() const;

    int fd = -1;
    ino_t inode = 0;
    request_capture last;
    std::vector<int> send_errors;      /* errno of each served reply, 0 when sent */
    std::thread worker;
};

/* Makes sure nothing listens at NSTD_QUERY_SOCK_PATH. */
void remove_query_socket();

} // namespace zel_test

#endif
