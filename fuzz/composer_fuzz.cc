/* Request composer, from the routing of the incoming URL to the request text,
 * with fuzz-chosen call arguments.  The streamed query is replaced (linker
 * --wrap) by a capture that frames the request with the transport's own send
 * step and hands the datagrams to the daemon's own reassembly, routing and
 * request check.
 *
 * Oracle: either nothing is sent, or the daemon takes the request whole and,
 * when it routes it on, its request check accepts it with the caller's method
 * and target, and sees each X-ZEL-* and X-ADMIN-* field exactly once with the
 * caller's value (blanks around a value are not part of it in HTTP).  The
 * check may refuse a request only when the caller's own method or target
 * cannot make a request line.  Plain short values must be sent; a target
 * holding SP, HTAB, VT or FF never is. */
#include <arpa/inet.h>
#include <errno.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include <string>
#include <string_view>
#include <vector>

#include "node-server-side/zel-proxy/node_zel_req_handler.h"
#include "sysapi/nst/nst_query.h"
#include "tools/queryd/queryd.h"

extern "C" int __wrap_nstd_query_req_partial(const char* path, int path_len, const char* req, int req_len,
                                             query_processor_fn fn, void* args);

namespace {

/* What reached the daemon, if anything. */
struct capture {
    bool sent = false;
    std::string path;             /* as given, without its NUL */
    std::vector<std::string> dgrams;
};

capture g_capture;

/* A connected pair of loopback UDP sockets: the transport takes a socket of
 * another family than AF_UNIX to be connected, so its send step frames the
 * request onto `client` exactly as it would for the daemon. */
struct udp_pair {
    int client = -1;
    int server = -1;
};

udp_pair open_pair()
{
    udp_pair p;
    p.server = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    p.client = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    const int big = 4 << 20;
    (void)setsockopt(p.server, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
    if (p.server < 0 || p.client < 0 || bind(p.server, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(p.server, reinterpret_cast<sockaddr*>(&a), &len) != 0 ||
        connect(p.client, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        fprintf(stderr, "composer fuzz: no loopback UDP pair: %s\n", strerror(errno));
        exit(1);
    }
    return p;
}

[[noreturn]] void fail(const char* what, std::string_view detail = {})
{
    fprintf(stderr, "composer oracle broken: %s\n%.*s\n", what, static_cast<int>(detail.size()), detail.data());
    abort();
}

bool is_tchar(unsigned char c)
{
    return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') ||
           (c != '\0' && strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

bool is_token(std::string_view s)
{
    for (char c : s)
        if (!is_tchar(static_cast<unsigned char>(c)))
            return false;
    return !s.empty();
}

bool is_visible(std::string_view s)
{
    for (char c : s)
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7f)
            return false;
    return !s.empty();
}

bool is_plain(std::string_view s)
{
    for (char c : s)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f)
            return false;
    return s.size() < 64;
}

bool iequals(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if ((a[i] | 0x20) != (b[i] | 0x20))
            return false;
    return true;
}

/* The call's texts; each is what a script string gives, up to its first NUL. */
struct call {
    std::string method, url, new_url, accept, name, prof, super, body;
};

std::string text(FuzzedDataProvider& in, size_t max)
{
    const std::string s = in.ConsumeRandomLengthString(max);
    return s.substr(0, s.find('\0'));
}

/* The source serial as the composer documents it: the chain up to its first
 * ':' after the first other character, at most 127 bytes. */
std::string source_serial(const std::string& chain)
{
    const size_t first = chain.find_first_not_of(':');
    const size_t cut = first == std::string::npos ? std::string::npos : chain.find(':', first);
    return chain.substr(0, cut).substr(0, 127);
}

/* The URL's second segment between runs of '/'. */
std::string second_segment(const std::string& url)
{
    std::vector<std::string> segs;
    for (size_t at = url.find_first_not_of('/'); at != std::string::npos && segs.size() < 2;
         at = url.find_first_not_of('/', at)) {
        const size_t end = url.find('/', at);
        segs.push_back(url.substr(at, end - at));
        at = end;
    }
    return segs.size() == 2 ? segs[1] : "";
}

void check_sent(const call& c)
{
    const capture& cap = g_capture;
    if (cap.dgrams.empty())
        fail("request sent as no datagram");
    if (c.new_url.find_first_of(" \t\v\f") != std::string::npos)
        fail("a target holding a blank was sent", c.new_url);

    queryd::request rq{};
    queryd::request_state st = queryd::request_begin(&rq, cap.dgrams[0].data(), cap.dgrams[0].size(), 1u << 20);
    for (size_t i = 1; i < cap.dgrams.size() && st == queryd::REQ_MORE; ++i)
        st = queryd::request_continue(&rq, cap.dgrams[i].data(), cap.dgrams[i].size());
    if (st != queryd::REQ_DONE)
        fail("the daemon cannot reassemble the request", rq.reason != nullptr ? rq.reason : "incomplete");
    if (rq.path != cap.path)
        fail("the daemon reads another serial chain", rq.path);

    queryd::options opts;
    opts.max_hops = 1 << 20;
    const size_t last_colon = cap.path.rfind(':');
    const std::string target = last_colon == std::string::npos ? cap.path : cap.path.substr(last_colon + 1);
    opts.routes.push_back(queryd::route{target, {}});
    if (queryd::route_chain(cap.path, opts).code != QUERY_SUCCESS)
        return;   /* refused by routing: nothing reaches an appliance */

    const std::string_view data(rq.data.data(), rq.data.size());
    std::string_view method, url;
    const char* reason = nullptr;
    if (!queryd::http_request_check(data, &method, &url, &reason)) {
        if (is_token(c.method) && is_visible(c.new_url))
            fail("the daemon refuses a request of valid method and target", data);
        return;
    }
    if (method != c.method || url != c.new_url)
        fail("request line differs from the caller's method and target", data);

    struct field {
        const char* name;
        std::string value;
        int seen;
    } fields[] = {
        {"X-ZEL-SN", target, 0},
        {"X-ZEL-SOURCE-SN", source_serial(cap.path), 0},
        {"X-ADMIN-NAME", "ZL_" + c.name, 0},
        {"X-ADMIN-PERMISSIONS", c.prof, 0},
        {"X-ADMIN-SUPER", c.super, 0},
    };
    /* The check accepted the head, so its lines split as the daemon splits
     * them. */
    const size_t head_end = data.find("\r\n\r\n");
    const std::string_view head = data.substr(0, head_end + 2);
    for (size_t pos = head.find("\r\n") + 2; pos < head.size();) {
        const size_t end = head.find("\r\n", pos);
        const std::string_view line = head.substr(pos, end - pos);
        pos = end + 2;
        const size_t colon = line.find(':');
        for (field& f : fields) {
            if (!iequals(line.substr(0, colon), f.name))
                continue;
            if (++f.seen > 1)
                fail("field seen twice", f.name);
            if (queryd::trim(line.substr(colon + 1)) != queryd::trim(f.value))
                fail("field value differs from the caller's", line);
        }
    }
    for (const field& f : fields)
        if (f.seen != 1)
            fail("field missing", f.name);
    if (data.substr(head_end + 4) != c.body)
        fail("body differs from the caller's", data);
}

} // namespace

/* In place of the streamed query: frame the request, keep the datagrams, and
 * answer as a daemon that never replies would leave the transport. */
extern "C" int __wrap_nstd_query_req_partial(const char* path, int path_len, const char* req, int req_len,
                                             query_processor_fn fn, void* args)
{
    static const udp_pair pair = open_pair();
    (void)fn;
    (void)args;
    if (__nstd_query_req_send(pair.client, path, path_len, req, req_len, NSTD_QUERY_F_PARTIAL, zel_req_query) != 0)
        return ZEL_ERR_SEND;
    g_capture.sent = true;
    g_capture.path.assign(path, path_len > 0 ? static_cast<size_t>(path_len) - 1 : 0);
    char buf[65536];
    for (;;) {
        const ssize_t n = recv(pair.server, buf, sizeof buf, 0);
        if (n < 0)
            break;
        g_capture.dgrams.emplace_back(buf, static_cast<size_t>(n));
    }
    return ZEL_ERR_SOCK_EMPTY;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    call c;
    const bool shaped = in.ConsumeBool();
    c.method = text(in, 16);
    if (shaped) {
        /* /<prefix>/<chain>/<rest>, the form the admin server relays. */
        c.url = "/zel/" + text(in, 200) + "/" + text(in, 64);
    } else {
        c.url = text(in, 300);
    }
    c.new_url = text(in, 9000);
    static const char* const accepts[] = {"", "gzip", "deflate", "gzip, deflate"};
    c.accept = accepts[in.ConsumeIntegralInRange<size_t>(0, 3)];
    c.name = text(in, 9000);
    c.prof = text(in, 9000);
    c.super = text(in, 64);
    c.body = text(in, 20000);

    std::vector<std::string> slots = {c.method, c.url, c.new_url, c.accept, c.name, c.prof, c.super, c.body};
    std::vector<std::vector<char>> owned;
    for (const std::string& s : slots)
        owned.emplace_back(s.c_str(), s.c_str() + s.size() + 1);
    node_zel_req_params params{};
    params.method = owned[0].data();
    params.url = owned[1].data();
    params.new_url = owned[2].data();
    params.accept_encoding = owned[3].data();
    params.admin_name = owned[4].data();
    params.admin_prof = owned[5].data();
    params.is_super_admin = owned[6].data();
    params.post_body = owned[7].data();

    g_capture = capture{};
    int env_tag = 0;
    (void)node_zel_req_handler(reinterpret_cast<napi_env>(&env_tag), &params);

    if (g_capture.sent) {
        check_sent(c);
        return 0;
    }
    /* Nothing sent.  That is right for a URL without a serial chain of two
     * serials, but never for plain short values. */
    const std::string query_less = c.url.substr(0, c.url.find('?'));
    const std::string chain = second_segment(query_less);
    const bool plain = is_token(c.method) && is_visible(c.new_url) && c.new_url.size() < 64 && is_plain(c.name) &&
                       is_plain(c.prof) && is_plain(c.super) && is_plain(c.body) && is_plain(query_less);
    if (plain && chain.find(':') != std::string::npos)
        fail("plain values not sent", c.url);
    return 0;
}
