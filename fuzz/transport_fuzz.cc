/* Transport client against fuzz-chosen reply datagrams: well framed, with
 * header values of any kind, empty, or longer than a reply datagram.
 *
 * The target binds the query socket in a private /tmp/nst.  The client's
 * socket step is wrapped (linker --wrap): the real step makes the socket, made
 * non-blocking so that a script that runs out ends at once instead of after
 * the time-out, and the scripted replies are queued to its address before the
 * request goes out.  A small model of the reply rules predicts the result, the
 * payloads the processor sees and the one-shot buffer; the request must reach
 * the daemon's reassembly whole, and the client socket must be closed. */
#include <errno.h>
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/private_query_dir.h"
#include "sysapi/nst/nst_query.h"
#include "tools/queryd/queryd.h"

extern "C" int __real___nstd_query_sock_open(const char* path, int timeout);
extern "C" int __wrap___nstd_query_sock_open(const char* path, int timeout);

namespace {

/* The client's receive queue holds this many datagrams (net.unix.max_dgram_qlen
 * is 10 by default); the script never needs more. */
constexpr size_t k_max_replies = 9;

int g_peer = -1;                       /* the daemon's end */
std::vector<std::string> g_script;     /* replies queued at socket creation */
int g_client = -1;                     /* the socket the wrapped step made */

[[noreturn]] void fail(const char* what)
{
    fprintf(stderr, "transport invariant broken: %s\n", what);
    abort();
}

std::string dgram(uint8_t type, int32_t len, int32_t offset, const std::string& body)
{
    nst_reply_hdr h{};
    h.type = type;
    h.len = len;
    h.offset = offset;
    return std::string(reinterpret_cast<const char*>(&h), sizeof h) + body;
}

std::vector<std::string> script(FuzzedDataProvider& in)
{
    std::vector<std::string> out;
    const size_t n = in.ConsumeIntegralInRange<size_t>(0, k_max_replies);
    for (size_t i = 0; i < n; ++i) {
        const uint8_t kind = in.ConsumeIntegral<uint8_t>();
        const uint8_t type = kind < 96 ? 0 : kind < 192 ? 1 : in.ConsumeIntegral<uint8_t>();
        const std::string body = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 4200));
        const int32_t len = static_cast<int32_t>(sizeof(nst_reply_hdr) + body.size());
        switch (in.ConsumeIntegralInRange(0, 5)) {
        case 0: /* header values of any kind */
            out.push_back(dgram(type, in.ConsumeIntegral<int32_t>(), in.ConsumeIntegral<int32_t>(), body));
            break;
        case 1: /* a payload from any offset, the header's own bytes included */
            out.push_back(dgram(type, len, in.ConsumeIntegralInRange<int32_t>(-2, len + 1), body));
            break;
        case 2: /* shorter than a header */
            out.push_back(body.substr(0, in.ConsumeIntegralInRange<size_t>(0, sizeof(nst_reply_hdr) - 1)));
            break;
        default:
            out.push_back(dgram(type, len, sizeof(nst_reply_hdr), body));
            break;
        }
    }
    return out;
}

/* What a reply datagram is to the client: received into 4096 bytes, then
 * framed.  Returns 0 with type and payload, or the framing error. */
int frame(const std::string& d, unsigned* type, std::string* payload)
{
    const std::string got = d.substr(0, NSTD_REPLY_MAX_DGRAM);
    if (got.size() < sizeof(nst_reply_hdr))
        return ZEL_ERR_BAD_LEN;
    nst_reply_hdr h;
    memcpy(&h, got.data(), sizeof h);
    if (h.len != static_cast<int32_t>(got.size()))
        return ZEL_ERR_BAD_LEN;
    *type = h.type;
    payload->clear();
    if (h.offset >= 0 && h.offset < h.len)
        *payload = got.substr(static_cast<size_t>(h.offset));
    return 0;
}

/* --- streamed query --- */

struct partial_run {
    std::vector<std::string> payloads;
    size_t refuse_at = SIZE_MAX;
};

partial_run g_run;

int processor(char* data, int len, void* args)
{
    auto* run = static_cast<partial_run*>(args);
    if (len < 0 || len > NSTD_REPLY_MAX_DGRAM || data == nullptr)
        fail("payload length out of range");
    if (data[len] != '\0')
        fail("payload not terminated");
    data[len] = 'x';   /* the byte after the payload is the processor's to write */
    run->payloads.emplace_back(data, static_cast<size_t>(len));
    return run->payloads.size() - 1 == run->refuse_at ? -1 : 0;
}

int model_partial(const std::vector<std::string>& replies, size_t refuse_at, std::vector<std::string>* payloads)
{
    for (size_t i = 0;; ++i) {
        if (i == replies.size())
            return ZEL_ERR_SOCK_EMPTY;
        if (replies[i].empty())
            return ZEL_ERR_RECV_FROM;
        unsigned type = 0;
        std::string payload;
        const int framing = frame(replies[i], &type, &payload);
        if (framing != 0)
            return framing;
        if (type != QUERY_SUCCESS && type != QUERY_SUCCESS_FIN)
            return -static_cast<int>(type);
        payloads->push_back(payload);
        if (payloads->size() - 1 == refuse_at)
            return ZEL_ERR_PROCESS_FAILED;
        if (type == QUERY_SUCCESS_FIN)
            return 1;
    }
}

/* --- one-shot query --- */

/* Returns the buffer's expected contents, or sets *code and returns "". */
std::string model_oneshot(const std::vector<std::string>& replies, int* rlen, bool* has_buf)
{
    std::string got;
    for (size_t i = 0;; ++i) {
        unsigned type = 0;
        std::string payload;
        const int framing = i == replies.size() || replies[i].empty() ? ZEL_ERR_RECV_FROM : frame(replies[i], &type, &payload);
        if (framing != 0) {
            *has_buf = !got.empty();
            *rlen = got.empty() ? framing : static_cast<int>(got.size());
            return got;
        }
        if (type != QUERY_SUCCESS && type != QUERY_SUCCESS_FIN) {
            *has_buf = false;
            *rlen = static_cast<int>(type);
            return "";
        }
        got += payload;
        if (type == QUERY_SUCCESS_FIN) {
            *has_buf = true;
            *rlen = static_cast<int>(got.size());
            return got;
        }
    }
}

/* The request as the daemon's reassembly takes it from the peer's queue. */
void check_request(const std::string& path, const std::string& req)
{
    std::vector<std::string> dgrams;
    char buf[65536];
    for (;;) {
        const ssize_t n = recv(g_peer, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0)
            break;
        dgrams.emplace_back(buf, static_cast<size_t>(n));
    }
    if (dgrams.empty())
        fail("no request reached the daemon");
    queryd::request rq{};
    queryd::request_state st = queryd::request_begin(&rq, dgrams[0].data(), dgrams[0].size(), 1u << 20);
    for (size_t i = 1; i < dgrams.size() && st == queryd::REQ_MORE; ++i)
        st = queryd::request_continue(&rq, dgrams[i].data(), dgrams[i].size());
    if (st != queryd::REQ_DONE || rq.path != path || std::string(rq.data.begin(), rq.data.end()) != req)
        fail("request did not reach the daemon whole");
}

void check_closed()
{
    if (g_client < 0)
        fail("no client socket was made");
    if (fcntl(g_client, F_GETFD) != -1 || errno != EBADF)
        fail("client socket left open");
    g_client = -1;
}

} // namespace

extern "C" int __wrap___nstd_query_sock_open(const char* path, int timeout)
{
    (void)timeout;
    const int s = __real___nstd_query_sock_open(path, 0);
    if (s < 0)
        return s;
    sockaddr_un to{};
    socklen_t to_len = sizeof to;
    if (getsockname(s, reinterpret_cast<sockaddr*>(&to), &to_len) != 0)
        fail("client socket has no address");
    for (const std::string& d : g_script)
        if (sendto(g_peer, d.data(), d.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&to), to_len) !=
            static_cast<ssize_t>(d.size()))
            fail("scripted reply could not be queued");
    g_client = s;
    return s;
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    std::string err;
    if (!zel_fuzz::enter_private_query_dir(&err)) {
        fprintf(stderr, "transport fuzz: no private /tmp/nst (%s); using the shared one under %s\n", err.c_str(),
                zel_fuzz::k_socket_lock);
        if (!zel_fuzz::lock_shared_query_dir(&err)) {
            fprintf(stderr, "transport fuzz: %s\n", err.c_str());
            exit(1);
        }
    }
    g_peer = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    memcpy(a.sun_path, NSTD_QUERY_SOCK_PATH, sizeof NSTD_QUERY_SOCK_PATH);
    if (g_peer < 0 || bind(g_peer, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        fprintf(stderr, "transport fuzz: cannot bind %s: %s\n", NSTD_QUERY_SOCK_PATH, strerror(errno));
        exit(1);
    }
    atexit([] { unlink(NSTD_QUERY_SOCK_PATH); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    const bool oneshot = in.ConsumeBool();
    const std::string path = "S1:S2";
    const std::string req = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 8000));
    g_script = script(in);

    if (oneshot) {
        int rlen = 0;
        bool has_buf = false;
        const std::string want = model_oneshot(g_script, &rlen, &has_buf);
        int got_len = 12345;
        char* got = nstd_query_req(path.c_str(), static_cast<int>(path.size()) + 1, req.data(),
                                   static_cast<int>(req.size()), &got_len);
        const bool same = (got != nullptr) == has_buf && got_len == rlen &&
                          (got == nullptr || std::string(got, static_cast<size_t>(got_len)) == want);
        free(got);
        if (!same)
            fail("one-shot result differs from the reply rules");
    } else {
        g_run = partial_run{};
        g_run.refuse_at = in.ConsumeBool() ? in.ConsumeIntegralInRange<size_t>(0, k_max_replies) : SIZE_MAX;
        std::vector<std::string> want;
        const int rc_want = model_partial(g_script, g_run.refuse_at, &want);
        const int rc = nstd_query_req_partial(path.c_str(), static_cast<int>(path.size()) + 1, req.data(),
                                              static_cast<int>(req.size()), processor, &g_run);
        if (rc != rc_want)
            fail("streamed query result differs from the reply rules");
        if (g_run.payloads != want)
            fail("processor saw other payloads");
    }
    check_request(path, req);
    check_closed();
    return 0;
}
