/* Where the query daemon listens.  The path is NSTD_QUERY_SOCK_PATH unless the
 * environment names another one in ZEL_QUERY_SOCKET, so that several daemons
 * (a running server's, a test run's) can live side by side on one machine. */
#include <stdlib.h>
#include <string.h>
#include <sys/un.h>

#include <atomic>

#include "sysapi/nst/nst_internal.h"

namespace nst_detail {

/* The variable is read at the first query and kept for the life of the
 * process: every query of a process goes to the same daemon.  An empty value
 * counts as unset.  Threads that race on the first query each read the
 * variable, and all of them keep the first copy published.  (An atomic, not a
 * function-local static: the static's guard would pull libstdc++'s
 * thread-local state, and with it the dynamic loader, into the module.) */
const char* daemon_path()
{
    static std::atomic<const char*> cached{nullptr};
    const char* path = cached.load(std::memory_order_acquire);
    if (path != nullptr)
        return path;

    const char* v = getenv("ZEL_QUERY_SOCKET");
    char* copy = (v != nullptr && v[0] != '\0') ? strdup(v) : nullptr;
    const char* fresh = copy != nullptr ? copy : NSTD_QUERY_SOCK_PATH;
    if (cached.compare_exchange_strong(path, fresh, std::memory_order_acq_rel))
        return fresh;
    free(copy);
    return path;
}

bool daemon_path_fits()
{
    return strlen(daemon_path()) < sizeof(sockaddr_un::sun_path);
}

} // namespace nst_detail
