#include <stdio.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "tools/queryd/event_loop.h"

/* Deadlines: a half-sent request's next datagram, the rest of a refused
 * one, a target's next bytes, a client's room for the next reply datagram,
 * a queued refusal's client. */

namespace queryd {

/* Applies the deadlines; returns the epoll wait in milliseconds until the
 * nearest remaining one, or -1 when nothing waits. */
int expire(daemon_state& s)
{
    const steady::time_point now = steady::now();
    std::vector<uint64_t> due;
    steady::time_point nearest = refusal_expire(&s.refusals, now);
    for (const auto& [id, x] : s.by_id) {
        if (x->deadline <= now)
            due.push_back(id);
        else
            nearest = std::min(nearest, x->deadline);
    }
    for (uint64_t id : due) {
        const auto it = s.by_id.find(id);
        if (it == s.by_id.end())
            continue;
        exchange& x = *it->second;
        if (x.state == X_DISCARDING) {
            erase(s, x);
        } else if (x.state == X_RECEIVING) {
            const std::string got = std::to_string(received_bytes(x)) + " of " + std::to_string(x.rq.hdr.total_len) +
                                    " bytes";
            const std::string reason = "request incomplete after " + std::to_string(s.opts->request_timeout) +
                                       " s, " + got;
            refuse_new(s, x.client, x.client_len, chain_text(x), reason.c_str(), QUERY_FAIL_PATH_ERR);
            erase(s, x);
        } else if (x.out_len != 0 || x.state == X_ANSWERING) {
            fprintf(stderr, "zel-queryd: client %s took no reply for %d s: dropped %s\n",
                    addr_text(x.client, x.client_len).c_str(), kClientStallSec, x.label.c_str());
            erase(s, x);
        } else {
            /* A code of its own, so a client can tell a target that took
             * too long from one that could not be reached. */
            fail(s, x, QUERY_FAIL_DOWNNRV_ERR, "target silent for ",
                 std::to_string(s.opts->target_timeout) + " s");
        }
    }
    if (s.by_id.empty() && s.refusals.queued.empty())
        return -1;
    /* fail() may have left an exchange waiting to send; look again soon. */
    if (nearest == steady::time_point::max())
        return 100;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(nearest - now).count() + 1;
    return static_cast<int>(std::clamp<long long>(ms, 1, 1000));
}

}  // namespace queryd
