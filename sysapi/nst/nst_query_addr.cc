/* Where the query daemon listens.  The path is NSTD_QUERY_SOCK_PATH unless the
 * environment names another one in ZEL_QUERY_SOCKET, so that several daemons
 * (a running server's, a test run's) can live side by side on one machine. */
#include <stdlib.h>
#include <string.h>
#include <sys/un.h>

#include "sysapi/nst/nst_internal.h"

namespace nst_detail {

/* The variable is read once, at the first query, and kept for the life of the
 * process: every query of a process goes to the same daemon.  An empty value
 * counts as unset.  The initialisation of a function-local static is
 * thread-safe, so concurrent first queries see one value. */
const char* daemon_path()
{
    static const char* const path = [] {
        const char* v = getenv("ZEL_QUERY_SOCKET");
        return (v != nullptr && v[0] != '\0') ? strdup(v) : NSTD_QUERY_SOCK_PATH;
    }();
    return path;
}

bool daemon_path_fits()
{
    return strlen(daemon_path()) < sizeof(sockaddr_un::sun_path);
}

} // namespace nst_detail
