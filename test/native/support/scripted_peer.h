/* A stand-in for the query daemon on a real socket: binds the process's
 * private query socket path, takes in one request and answers with scripted
 * reply datagrams of any size and header values. */
#ifndef ZEL_TEST_SUPPORT_SCRIPTED_PEER_H
#define ZEL_TEST_SUPPORT_SCRIPTED_PEER_H

#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/private_socket.h"
#include "sysapi/nst/nst_query.h"

namespace zel_test {

/* A reply datagram: header {type, 12 + payload size, 12}, then the payload. */
std::string reply_dgram(uint8_t type, std::string_view payload = {});
/* A datagram with the header values as given, then `body`. */
std::string raw_reply(uint8_t type, int32_t len, int32_t offset, std::string_view body = {});

/* One request as it arrived. */
struct request_capture {
    std::vector<size_t> sizes;     /* of the datagrams, in order */
    std::string bytes;             /* all datagrams joined */
    struct sockaddr_un from = {};  /* their source */
    socklen_t from_len = 0;
    bool complete = false;         /* all total_len bytes arrived */

    /* The request header, zero-filled when too few bytes arrived. */
    zel_query_header header() const
    {
        zel_query_header hdr = {};
        if (bytes.size() >= sizeof hdr)
            memcpy(&hdr, bytes.data(), sizeof hdr);
        return hdr;
    }
    /* Everything after the header: path then data. */
    std::string body() const { return bytes.size() > sizeof(zel_query_header) ? bytes.substr(sizeof(zel_query_header)) : ""; }
};

/* Binds query_socket_path(), replacing a stale socket file; on destruction
 * removes it if it is still the one bound here. */
struct scripted_peer {
    scripted_peer();
    ~scripted_peer();
    scripted_peer(const scripted_peer&) = delete;
    scripted_peer& operator=(const scripted_peer&) = delete;

    bool ok() const { return fd >= 0; }
    /* Receives one whole request, waiting up to a few seconds per datagram. */
    request_capture collect_request();
    /* On a thread: collects the request, then sends `replies` to its source.
     * join() waits for it and gives the request. */
    void serve(std::vector<std::string> replies);
    request_capture join();
    /* Sends one datagram to the last request's source; returns 0 or errno. */
    int send_to_client(std::string_view dgram) const;
    /* True when a datagram is queued and not yet collected. */
    bool has_pending() const;

    int fd = -1;
    ino_t inode = 0;
    request_capture last;
    std::thread worker;
};

} // namespace zel_test

#endif
