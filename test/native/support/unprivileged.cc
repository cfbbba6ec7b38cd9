#include "support/unprivileged.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "support/private_socket.h"

namespace zel_test {

namespace {

/* Runs `body` in a child as kNobody; true when it ended without a failure. */
bool in_child_as_nobody(void (*body)(bool))
{
    const std::string& path = query_socket_path();
    const std::string dir = path.substr(0, path.rfind('/'));
    if (chown(dir.c_str(), kNobody, kNobody) != 0)
        return false;
    fflush(stdout);
    fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)
            _exit(2);
        body(false);
        fflush(stdout);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    const bool reaped = pid > 0 && waitpid(pid, &status, 0) == pid;
    /* Root's again, so that this process trusts it. */
    const bool back = chown(dir.c_str(), 0, 0) == 0;
    return reaped && back && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

void as_root_and_unprivileged(void (*body)(bool))
{
    if (geteuid() != 0) {
        SCOPED_TRACE("as an unprivileged user");
        body(false);
        return;
    }
    {
        SCOPED_TRACE("as nobody, in a child");
        EXPECT_TRUE(in_child_as_nobody(body)) << "the unprivileged run failed (its output is above)";
    }
    SCOPED_TRACE("as root");
    body(true);
}

} // namespace zel_test
