#include "support/private_query_dir.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "sysapi/nst/nst_query.h"

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
    /* A tmpfs root is 1777 unless told otherwise, and the transport sends
     * nothing into a directory others may write. */
    if (mount("tmpfs", k_dir, "tmpfs", 0, "size=1m,mode=0755") != 0)
        return failed(err, "mounting a tmpfs on /tmp/nst");
    return true;
}

bool lock_shared_query_dir(std::string* err)
{
    /* Kept open, and so locked, for the life of the process. */
    const int lock = open(k_socket_lock, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (lock < 0 || flock(lock, LOCK_EX) != 0)
        return failed(err, "locking /tmp/zel-socket.lock");
    if (mkdir(k_dir, 0755) != 0 && errno != EEXIST)
        return failed(err, "mkdir /tmp/nst");
    /* The transport sends only into a directory of root's or ours that
     * nobody else may write. */
    struct stat st{};
    if (lstat(k_dir, &st) != 0)
        return failed(err, "lstat /tmp/nst");
    if (!S_ISDIR(st.st_mode) || (st.st_uid != 0 && st.st_uid != geteuid()) || (st.st_mode & 022) != 0) {
        *err = "/tmp/nst is not a directory of root's or ours closed to group and others; the transport would "
               "refuse it";
        return false;
    }

    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    memcpy(a.sun_path, NSTD_QUERY_SOCK_PATH, sizeof NSTD_QUERY_SOCK_PATH);
    const int probe = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return failed(err, "socket");
    const bool live = connect(probe, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(probe);
    if (live) {
        *err = std::string("a daemon serves ") + NSTD_QUERY_SOCK_PATH + "; stop it first";
        return false;
    }
    (void)unlink(NSTD_QUERY_SOCK_PATH);
    return true;
}

} // namespace zel_fuzz
