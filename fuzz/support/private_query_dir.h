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

} // namespace zel_fuzz

#endif
