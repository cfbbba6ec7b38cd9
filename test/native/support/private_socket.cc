/* Linked into every native test executable (not through the support archive),
 * so that its initialiser runs in every test process. */
#include "support/private_socket.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

namespace zel_test {

namespace {

std::string g_dir;

void remove_private_dir()
{
    unlink(query_socket_path().c_str());
    rmdir(g_dir.c_str());
}

} // namespace

const std::string& query_socket_path()
{
    static const std::string path = [] {
        char dir[] = "/tmp/zel-test-XXXXXX";
        if (mkdtemp(dir) == nullptr) {
            perror("mkdtemp for the private query socket");
            abort();
        }
        g_dir = dir;
        std::string p = g_dir + "/q";
        setenv("ZEL_QUERY_SOCKET", p.c_str(), 1);
        return p;
    }();
    return path;
}

namespace {

/* Before main(): no test can reach the transport with the variable unset. */
const bool g_ready = [] {
    query_socket_path();
    atexit(remove_private_dir);
    return true;
}();

} // namespace

} // namespace zel_test
