#include "ulib/quiet.h"

#include <stdlib.h>
#include <string.h>

#include <atomic>

namespace zel_detail {

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

} // namespace zel_detail
