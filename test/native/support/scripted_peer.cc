#include "support/scripted_peer.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace zel_test {

std::string raw_reply(uint8_t type, int32_t len, int32_t offset, std::string_view body)
{
    nst_reply_hdr hdr = {};
    hdr.type = type;
    hdr.len = len;
    hdr.offset = offset;
    return std::string(reinterpret_cast<const char*>(&hdr), sizeof hdr).append(body);
}

std::string reply_dgram(uint8_t type, std::string_view payload)
{
    return raw_reply(type, static_cast<int32_t>(NSTD_REPLY_HDR_LEN + payload.size()), NSTD_REPLY_HDR_LEN, payload);
}

scripted_peer::scripted_peer()
{
    const char* path = query_socket_path().c_str();
    unlink(path);
    const int s = socket(AF_UNIX, SOCK_DGRAM, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, path);
    /* Long enough for any client under test, short enough that a test whose
     * client never sends still ends. */
    const struct timeval wait = {5, 0};
    struct stat st;
    if (s >= 0 && bind(s, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0 &&
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) == 0 && stat(path, &st) == 0) {
        fd = s;
        inode = st.st_ino;
    } else if (s >= 0) {
        close(s);
    }
}

scripted_peer::~scripted_peer()
{
    join();
    struct stat st;
    const char* path = query_socket_path().c_str();
    if (fd >= 0 && close(fd) == 0 && stat(path, &st) == 0 && st.st_ino == inode)
        unlink(path);
}

request_capture scripted_peer::collect_request()
{
    request_capture req;
    std::vector<char> dgram(65536);
    for (size_t want = sizeof(zel_query_header); req.bytes.size() < want;) {
        struct sockaddr_un from = {};
        socklen_t from_len = sizeof from;
        const ssize_t n = recvfrom(fd, dgram.data(), dgram.size(), 0, reinterpret_cast<struct sockaddr*>(&from), &from_len);
        if (n < 0)
            break;
        req.from = from;
        req.from_len = from_len;
        req.sizes.push_back(static_cast<size_t>(n));
        req.bytes.append(dgram.data(), static_cast<size_t>(n));
        want = req.sizes.size() == 1 ? req.header().total_len : want;
        req.complete = req.bytes.size() == want;
    }
    return last = req;
}

void scripted_peer::serve(std::vector<std::string> replies)
{
    worker = std::thread([this, replies = std::move(replies)] {
        if (!collect_request().sizes.empty()) {
            for (const std::string& r : replies)
                send_to_client(r);
        }
    });
}

request_capture scripted_peer::join()
{
    if (worker.joinable())
        worker.join();
    return last;
}

int scripted_peer::send_to_client(std::string_view dgram) const
{
    return sendto(fd, dgram.data(), dgram.size(), 0, reinterpret_cast<const struct sockaddr*>(&last.from),
                  last.from_len) < 0 ? errno : 0;
}

bool scripted_peer::has_pending() const
{
    char c;
    return recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT) >= 0;
}

} // namespace zel_test
