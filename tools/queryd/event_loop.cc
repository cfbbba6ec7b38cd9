#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "tools/queryd/event_loop.h"

/* The event loop.  One epoll set holds the request socket, a signalfd (and,
 * with --watch-stdin, standard input), the two descriptors of every exchange
 * (a reply socket connected to the client's address, and the target
 * connection) and the socket of every refusal that waits for room at its
 * client.  Descriptors are level-triggered and registered only while their
 * owner waits on them, so a paused side costs nothing and never spins.  Each
 * wake-up hands every event to its owner (listener.cc, relay_pump.cc,
 * refusal.cc, control.cc) and then applies the deadlines (expiry.cc). */

namespace queryd {

namespace {

/* Raises the soft descriptor limit to what the limits in `opts` can use at
 * once: two per exchange and one per queued refusal.  When the hard limit is
 * lower, says so: a refusal or exchange that finds no descriptor is then
 * answered from the request socket or refused. */
void allow_descriptors(const options& opts)
{
    const rlim_t want = 2 * static_cast<rlim_t>(opts.max_clients) + static_cast<rlim_t>(opts.max_queued_refusals) + 32;
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur >= want)
        return;
    lim.rlim_cur = lim.rlim_max == RLIM_INFINITY ? want : std::min(want, lim.rlim_max);
    setrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_cur < want)
        fprintf(stderr, "zel-queryd: only %llu descriptors allowed, the limits can use %llu\n",
                static_cast<unsigned long long>(lim.rlim_cur), static_cast<unsigned long long>(want));
}

}  // namespace

int run_daemon(options opts)
{
    daemon_state s;
    /* `opts` holds the routes in use: SIGHUP replaces them while exchanges
     * go on. */
    s.opts = &opts;

    signal(SIGPIPE, SIG_IGN);
    s.sig.reset(control_signal_fd());
    s.epoll.reset(epoll_create1(EPOLL_CLOEXEC));
    if (!s.sig.valid() || !s.epoll.valid()) {
        fprintf(stderr, "zel-queryd: cannot set up the event loop: %s\n", strerror(errno));
        return 1;
    }

    s.listen.reset(bind_query_socket(opts));
    if (!s.listen.valid())
        return 1;
    struct stat bound{};
    stat(opts.socket_path.c_str(), &bound);
    /* Credentials name the process behind each datagram, which is what the
     * half-sent table counts shares by. */
    const int on = 1;
    if (setsockopt(s.listen.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0)
        fprintf(stderr, "zel-queryd: no sender credentials (%s): half-sent requests are limited in all only\n",
                strerror(errno));
    s.refusals.epoll_fd = s.epoll.get();
    s.refusals.fallback_fd = s.listen.get();
    s.refusals.max = static_cast<size_t>(opts.max_queued_refusals);
    allow_descriptors(opts);

    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = ROLE_LISTEN;
    if (epoll_ctl(s.epoll.get(), EPOLL_CTL_ADD, s.listen.get(), &ev) != 0) {
        fprintf(stderr, "zel-queryd: cannot watch the query socket: %s\n", strerror(errno));
        unlink(opts.socket_path.c_str());
        return 1;
    }
    if (!control_watch(s.epoll.get(), s.sig.get(), opts)) {
        unlink(opts.socket_path.c_str());
        return 1;
    }

    fprintf(stderr, "zel-queryd: listening on %s\n", opts.socket_path.c_str());

    epoll_event events[64];
    int wait_ms = -1;
    /* A loop that cannot wait any more stops with a failure, so a service
     * manager restarts the daemon rather than taking it for a clean stop. */
    int status = 0;
    while (!s.stop) {
        const int n = epoll_wait(s.epoll.get(), events, 64, wait_ms);
        if (n < 0 && errno != EINTR) {
            fprintf(stderr, "zel-queryd: epoll_wait: %s\n", strerror(errno));
            status = 1;
            break;
        }
        for (int i = 0; i < n; ++i) {
            const uint64_t tag = events[i].data.u64;
            const uint64_t role = tag & ((1u << kRoleBits) - 1);
            if (role == ROLE_LISTEN) {
                on_listen(s);
                continue;
            }
            if (role == ROLE_SIGNAL || role == ROLE_PARENT) {
                s.stop = role == ROLE_SIGNAL ? control_signals(s.sig.get(), &opts) : control_stdin();
                if (s.stop)
                    break;
                continue;
            }
            if (role == ROLE_REFUSAL) {
                refusal_retry(&s.refusals, tag >> kRoleBits);
                continue;
            }
            /* The exchange may have ended earlier in this batch. */
            const auto it = s.by_id.find(tag >> kRoleBits);
            if (it == s.by_id.end())
                continue;
            if (role == ROLE_REPLY)
                on_reply(s, *it->second, events[i].events);
            else
                on_target(s, *it->second, events[i].events);
        }
        wait_ms = expire(s);
    }

    s.by_addr.clear();
    s.by_id.clear();
    refusal_clear(&s.refusals);
    struct stat now{};
    if (stat(opts.socket_path.c_str(), &now) == 0 && now.st_ino == bound.st_ino && now.st_dev == bound.st_dev)
        unlink(opts.socket_path.c_str());
    fprintf(stderr, status == 0 ? "zel-queryd: stopped\n" : "zel-queryd: stopped after a failure\n");
    return status;
}

}  // namespace queryd
