/* A private /tmp/nst for a fuzz target that must bind the query socket: the
 * process moves into its own mount namespace and mounts an empty tmpfs there,
 * so it can neither disturb nor be disturbed by a daemon or a test on the
 * machine.  Root gets a plain mount namespace; anyone else a user namespace
 * around it.  Must run while the process has one thread. */
#ifndef ZEL_FUZZ_PRIVATE_QUERY_DIR_H
#define ZEL_FUZZ_PRIVATE_QUERY_DIR_H

#include <string>

namespace zel_fuzz {

/* Returns true when /tmp/nst is now a private, empty directory; false with
 * the reason in `err`. */
bool enter_private_query_dir(std::string* err);

/* The lock everyone who tests on the shared query socket holds. */
constexpr char k_socket_lock[] = "/tmp/zel-socket.lock";

/* Where no namespace can be had: waits for the shared socket lock, keeps it
 * until the process ends, and removes a socket file that no process serves.
 * Returns true when the query socket path is free to bind; false with the
 * reason in `err` (a live daemon is bound there). */
bool lock_shared_query_dir(std::string* err);

} // namespace zel_fuzz

#endif
