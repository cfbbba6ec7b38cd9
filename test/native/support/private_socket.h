/* Every native test process talks to a query socket of its own, so tests run
 * in parallel with each other and with a daemon on the default path. */
#ifndef ZEL_TEST_SUPPORT_PRIVATE_SOCKET_H
#define ZEL_TEST_SUPPORT_PRIVATE_SOCKET_H

#include <string>

namespace zel_test {

/* The process's query socket path, in a fresh directory under /tmp.  It is in
 * ZEL_QUERY_SOCKET before main() runs, so the transport, which reads the
 * variable at its first query, sends there and nowhere else.  The directory
 * is removed at exit. */
const std::string& query_socket_path();

} // namespace zel_test

#endif
