#include <errno.h>
#include <netdb.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include "tools/queryd/queryd.h"

/* Target connections.  Endpoints are resolved once, when the routes are read,
 * so the event loop never blocks on name resolution; connects are
 * non-blocking and finish in the loop. */

namespace queryd {

int parse_endpoint(std::string_view text, endpoint* ep, std::string* err)
{
    *ep = endpoint{};
    ep->text.assign(text);
    std::string_view unix_path;
    if (text.substr(0, 5) == "unix:")
        unix_path = text.substr(5);
    else if (!text.empty() && text.front() == '/')
        unix_path = text;

    if (!unix_path.empty()) {
        sockaddr_un sun{};
        if (unix_path.size() >= sizeof sun.sun_path) {
            *err = "socket path too long: " + std::string(text);
            return -1;
        }
        sun.sun_family = AF_UNIX;
        memcpy(sun.sun_path, unix_path.data(), unix_path.size());
        memcpy(&ep->addr, &sun, sizeof sun);
        ep->addr_len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + unix_path.size() + 1);
        return 0;
    }

    const size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0 || colon + 1 == text.size()) {
        *err = "endpoint is neither host:port nor a socket path: " + std::string(text);
        return -1;
    }
    std::string host(text.substr(0, colon));
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    const std::string port(text.substr(colon + 1));
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* res = nullptr;
    const int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &res);
    if (rc != 0 || res == nullptr) {
        *err = "cannot resolve " + std::string(text) + ": " + gai_strerror(rc);
        return -1;
    }
    memcpy(&ep->addr, res->ai_addr, res->ai_addrlen);
    ep->addr_len = res->ai_addrlen;
    freeaddrinfo(res);
    return 0;
}

int target_connect(const endpoint& ep, bool* connected)
{
    *connected = false;
    const int fd = socket(ep.addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -errno;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&ep.addr), ep.addr_len) == 0) {
        *connected = true;
        return fd;
    }
    if (errno == EINPROGRESS)
        return fd;
    /* A Unix stream listener with a full backlog refuses a non-blocking
     * connect with EAGAIN; the target counts as unreachable then too. */
    const int e = errno;
    close(fd);
    return -e;
}

int target_connect_error(int fd)
{
    int e = 0;
    socklen_t len = sizeof e;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &e, &len) != 0)
        return errno;
    return e;
}

}  // namespace queryd
