/* Checks that must hold both for a root daemon and for a daemon, client and
 * forgers that share one unprivileged user, run in either setting from one
 * test, whichever user runs the tests. */
#ifndef ZEL_TEST_SUPPORT_UNPRIVILEGED_H
#define ZEL_TEST_SUPPORT_UNPRIVILEGED_H

#include <sys/types.h>

namespace zel_test {

/* The user a root test run switches to for its unprivileged half. */
constexpr uid_t kNobody = 65534;

/* Runs `body` unprivileged and, when the tests run as root, as root too.
 * As root it runs first in a forked child that switched to kNobody (user and
 * group), with the process's private socket directory lent to that user,
 * then in this process; otherwise once, in this process.  `body` is told
 * whether it may send as another user, which only root can.  Failures in the
 * child are reported by the child and fail the calling test. */
void as_root_and_unprivileged(void (*body)(bool can_send_as_another_user));

} // namespace zel_test

#endif
