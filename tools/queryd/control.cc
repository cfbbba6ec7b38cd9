#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tools/queryd/queryd.h"

/* What tells the daemon to stop or to re-read its routes: signals, taken
 * through a signalfd so they are handled in the event loop between two
 * events and never interrupt an exchange half-way, and, with --watch-stdin,
 * the end of standard input.  A parent that hands the daemon one end of a
 * pipe stops it by exiting, also when it is killed and cannot send a signal;
 * the daemon then stops as on SIGTERM and removes its socket file. */

namespace queryd {

int control_signal_fd()
{
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGHUP);
    if (sigprocmask(SIG_BLOCK, &mask, nullptr) != 0)
        return -1;
    return signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC);
}

bool control_watch(int epoll_fd, int sig_fd, const options& opts)
{
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = ROLE_SIGNAL;
    if (epoll_ctl(epoll_fd, EPOLL_CTL_ADD, sig_fd, &ev) != 0) {
        fprintf(stderr, "zel-queryd: cannot watch signals: %s\n", strerror(errno));
        return false;
    }
    if (!opts.watch_stdin)
        return true;
    struct stat st{};
    if (fstat(STDIN_FILENO, &st) != 0 || !(S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))) {
        fprintf(stderr, "zel-queryd: --watch-stdin needs standard input to be a pipe or a socket\n");
        return false;
    }
    ev.data.u64 = ROLE_PARENT;
    if (epoll_ctl(epoll_fd, EPOLL_CTL_ADD, STDIN_FILENO, &ev) != 0) {
        fprintf(stderr, "zel-queryd: cannot watch standard input: %s\n", strerror(errno));
        return false;
    }
    return true;
}

bool control_signals(int sig_fd, options* opts)
{
    bool stop = false;
    signalfd_siginfo si;
    for (;;) {
        const ssize_t n = read(sig_fd, &si, sizeof si);
        if (n < 0 && errno == EINTR)
            continue;
        if (n != static_cast<ssize_t>(sizeof si))
            return stop;
        if (si.ssi_signo == SIGHUP)
            reload_routes(opts);
        else
            stop = true;
    }
}

bool control_stdin()
{
    /* Only the end matters; whatever the parent writes is read and dropped,
     * so the pipe never fills. */
    char buf[256];
    ssize_t n;
    do
        n = read(STDIN_FILENO, buf, sizeof buf);
    while (n < 0 && errno == EINTR);
    if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)))
        return false;
    fprintf(stderr, "zel-queryd: standard input ended (the parent is gone): stopping\n");
    return true;
}

}  // namespace queryd
