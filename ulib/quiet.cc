#include "ulib/quiet.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>

namespace zel_detail {

namespace {

/* Gives the caller its errno back when a write ends, however it ends. */
struct errno_kept {
    int saved = errno;
    errno_kept() = default;
    errno_kept(const errno_kept&) = delete;
    errno_kept& operator=(const errno_kept&) = delete;
    ~errno_kept() { errno = saved; }
};

} // namespace

/* A server decides once, at start, whether its relays may print.  Threads
 * that race on the first call read the same environment and store the same
 * answer.  (An atomic, not a function-local static, whose guard would pull
 * libstdc++'s thread-local state into the module.) */
bool quiet()
{
    enum { unknown, loud, silent };
    static std::atomic<int> state{unknown};
    int s = state.load(std::memory_order_relaxed);
    if (s == unknown) {
        const char* v = getenv("ZEL_QUIET");
        s = (v != nullptr && v[0] != '\0' && strcmp(v, "0") != 0) ? silent : loud;
        state.store(s, std::memory_order_relaxed);
    }
    return s == silent;
}

void say(const char* format, ...)
{
    const errno_kept kept;
    if (quiet())
        return;
    va_list args;
    va_start(args, format);
    errno = kept.saved;
    (void)vprintf(format, args);
    va_end(args);
}

void say_text(const char* label, const char* text, size_t len)
{
    const errno_kept kept;
    if (quiet())
        return;
    iovec iov[2] = {{const_cast<char*>(label), strlen(label)}, {const_cast<char*>(text), len}};
    int first = 0;
    (void)fflush(stdout);
    while (first < 2) {
        const ssize_t n = writev(STDOUT_FILENO, iov + first, 2 - first);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        size_t left = static_cast<size_t>(n);
        for (; first < 2 && left >= iov[first].iov_len; ++first)
            left -= iov[first].iov_len;
        if (first < 2) {
            iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + left;
            iov[first].iov_len -= left;
        }
    }
}

} // namespace zel_detail
