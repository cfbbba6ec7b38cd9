#include <string.h>
#include <sys/epoll.h>

#include <chrono>
#include <string>
#include <vector>

#include "tools/queryd/event_loop.h"

/* The answers the daemon makes itself: the replay file cut into payloads
 * (--replay, --split), then a failure code (--fail), a malformed datagram
 * (--malformed) or silence (--silent) when asked. */

namespace queryd {

namespace {

const char* answer_suffix(const options& o)
{
    if (o.fail_code >= 0)
        return ", then a failure code";
    if (o.malformed != MALFORMED_NONE)
        return ", then a malformed datagram";
    if (o.silent)
        return ", then silence";
    return "";
}

/* Fills the next datagram of a replay, fail, malformed or silent answer.
 * Returns false when nothing more is to be sent. */
bool next_answer(const options& o, exchange& x)
{
    const size_t file_len = o.replay_data.size();
    const bool override = o.fail_code >= 0 || o.malformed != MALFORMED_NONE || o.silent;
    if (!override || x.cursor.pos < file_len) {
        const size_t at = x.cursor.pos;
        const size_t n = replay_next(o.split, file_len, &x.cursor);
        /* Without an override the last piece travels in the final datagram. */
        x.out_final = !override && x.cursor.pos >= file_len;
        set_header(x, x.out_final ? QUERY_SUCCESS_FIN : QUERY_SUCCESS, n);
        if (n != 0)
            memcpy(x.out + NSTD_REPLY_HDR_LEN, o.replay_data.data() + at, n);
        x.response_bytes += n;
        return true;
    }
    x.out_final = true;
    if (o.fail_code >= 0) {
        set_header(x, o.fail_code, 0);
        return true;
    }
    switch (o.malformed) {
    case MALFORMED_LEN:
        set_header(x, QUERY_SUCCESS_FIN, 8);
        memset(x.out + NSTD_REPLY_HDR_LEN, 'x', 8);
        reinterpret_cast<nst_reply_hdr*>(x.out)->len += 1;
        return true;
    case MALFORMED_SHORT:
        set_header(x, QUERY_SUCCESS_FIN, 0);
        reinterpret_cast<nst_reply_hdr*>(x.out)->len = 8;
        x.out_len = 8;
        return true;
    case MALFORMED_BIG:
        set_header(x, QUERY_SUCCESS_FIN, kOutMax - NSTD_REPLY_HDR_LEN);
        memset(x.out + NSTD_REPLY_HDR_LEN, 'x', kOutMax - NSTD_REPLY_HDR_LEN);
        return true;
    case MALFORMED_NONE:
        break;
    }
    return false;   /* silent */
}

}  // namespace

/* The request is whole and the daemon answers it itself: a replay, then a
 * failure code, a malformed datagram or silence when asked. */
void start_answer(daemon_state& s, exchange& x)
{
    const options& o = *s.opts;
    std::string_view method, url;
    const char* reason = nullptr;
    x.label += " -> replay";
    if (http_request_check(std::string_view(x.rq.data.data(), x.rq.data.size()), &method, &url, &reason))
        x.label += " " + printable(method) + " " + printable(url);
    std::vector<char>().swap(x.rq.data);
    x.note = answer_suffix(o);
    x.state = X_ANSWERING;
    answer_pump(s, x);
}

void answer_pump(daemon_state& s, exchange& x)
{
    for (int i = 0; i < kBatch; ++i) {
        if (x.out_len == 0 && !next_answer(*s.opts, x)) {
            finished(s, x);
            return;
        }
        const send_result r = flush_out(x);
        if (r == GONE) {
            client_left(s, x, errno);
            return;
        }
        x.deadline = steady::now() + std::chrono::seconds(kClientStallSec);
        if (r == BLOCKED)
            break;
        if (x.out_final) {
            finished(s, x);
            return;
        }
    }
    /* Level-triggered: the next wake-up continues where this batch ended. */
    watch(s, x, ROLE_REPLY, EPOLLOUT);
}

}  // namespace queryd
