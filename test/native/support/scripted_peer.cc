#include "support/scripted_peer.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace zel_test {

namespace {

/* Long enough for any client under test, short enough that a test whose
 * client never sends still ends. */
constexpr int kCollectWaitSec = 5;

} // namespace

std::string raw_reply(uint8_t type, int32_t len, int32_t offset, std::string_view body)
{
    nst_reply_hdr hdr = {};
    hdr.type = type;
    hdr.len = len;
    hdr.offset = offset;
    std::string out(reinterpret_cast<const char*>(&hdr), sizeof hdr);
    out.append(body);
    return out;
}

std::string reply_dgram(uint8_t type, std::string_view payload)
{
    return raw_reply(type, static_cast<int32_t>(NSTD_REPLY_HDR_LEN + payload.size()), NSTD_REPLY_HDR_LEN, payload);
}

zel_query_header request_capture::header() const
{
    zel_query_header hdr = {};
    if (!dgrams.empty() && dgrams[0].size() >= sizeof hdr)
        memcpy(&hdr, dgrams[0].data(), sizeof hdr);
    return hdr;
}

std::string request_capture::body() const
{
    std::string all;
    for (const std::string& d : dgrams)
        all += d;
    return all.size() > sizeof(zel_query_header) ? all.substr(sizeof(zel_query_header)) : std::string();
}

scripted_peer::scripted_peer()
{
    mkdir("/tmp/nst", 0777);
    unlink(NSTD_QUERY_SOCK_PATH);
    const int s = socket(AF_UNIX, SOCK_DGRAM, 0);
    if (s < 0)
        return;
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, NSTD_QUERY_SOCK_PATH);
    const struct timeval tv = {kCollectWaitSec, 0};
    struct stat st;
    if (bind(s, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0 ||
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0 || stat(NSTD_QUERY_SOCK_PATH, &st) != 0) {
        close(s);
        return;
    }
    fd = s;
    inode = st.st_ino;
}

scripted_peer::~scripted_peer()
{
    if (worker.joinable())
        worker.join();
    if (fd < 0)
        return;
    close(fd);
    /* Remove the socket file only if it is still the one bound here. */
    struct stat st;
    if (stat(NSTD_QUERY_SOCK_PATH, &st) == 0 && st.st_ino == inode)
        unlink(NSTD_QUERY_SOCK_PATH);
}

request_capture scripted_peer::collect_request()
{
    request_capture req;
    size_t got = 0;
    size_t want = sizeof(zel_query_header);
    while (got < want) {
        std::string d(65536, '\0');
        struct sockaddr_un from = {};
        socklen_t from_len = sizeof from;
        const ssize_t n = recvfrom(fd, d.data(), d.size(), 0, reinterpret_cast<struct sockaddr*>(&from), &from_len);
        if (n < 0)
            break;
        d.resize(static_cast<size_t>(n));
        if (req.dgrams.empty()) {
            req.from = from;
            req.from_len = from_len;
        }
        req.dgrams.push_back(std::move(d));
        got += static_cast<size_t>(n);
        if (req.dgrams.size() == 1)
            want = req.header().total_len;
    }
    req.complete = !req.dgrams.empty() && got == want;
    last = req;
    return req;
}

void scripted_peer::serve(std::vector<std::string> replies)
{
    worker = std::thread([this, replies = std::move(replies)] {
        collect_request();
        if (last.dgrams.empty())
            return;
        for (const std::string& r : replies)
            send_errors.push_back(send_to_client(r));
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
    if (sendto(fd, dgram.data(), dgram.size(), 0, reinterpret_cast<const struct sockaddr*>(&last.from),
               last.from_len) < 0)
        return errno;
    return 0;
}

bool scripted_peer::has_pending() const
{
    char c;
    return recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT) >= 0;
}

void remove_query_socket()
{
    unlink(NSTD_QUERY_SOCK_PATH);
}

} // namespace zel_test
