#include "support/private_query_dir.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zel_fuzz {

namespace {

constexpr char k_dir[] = "/tmp/nst";

bool write_file(const char* path, const std::string& text)
{
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

bool failed(std::string* err, const char* step)
{
    *err = std::string(step) + ": " + strerror(errno);
    return false;
}

} // namespace

bool enter_private_query_dir(std::string* err)
{
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    if (uid == 0) {
        if (unshare(CLONE_NEWNS) != 0)
            return failed(err, "unshare(CLONE_NEWNS)");
    } else {
        /* Mapped to root inside, so the tmpfs is ours to create files in. */
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
            return failed(err, "unshare(CLONE_NEWUSER|CLONE_NEWNS) (unprivileged user namespaces disabled?)");
        if (!write_file("/proc/self/setgroups", "deny") ||
            !write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
            return failed(err, "user namespace maps");
    }
    /* Mounts made from here on stay in this namespace. */
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return failed(err, "making / private");
    if (mkdir(k_dir, 0755) != 0 && errno != EEXIST)
        return failed(err, "mkdir /tmp/nst");
    if (mount("tmpfs", k_dir, "tmpfs", 0, "size=1m") != 0)
        return failed(err, "mounting a tmpfs on /tmp/nst");
    return true;
}

} // namespace zel_fuzz
