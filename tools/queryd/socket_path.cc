#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include "tools/queryd/queryd.h"

/* The request socket's file.  Clients send identities and bodies to whatever
 * is bound at the path and believe what answers, so the daemon binds only in
 * a directory that it (or root) owns and that group and others cannot write:
 * then no other local user can have put a socket there first, or replace the
 * daemon's later.  The module makes the same check before it sends. */

namespace queryd {

namespace {

struct dir_fd {
    int fd = -1;
    ~dir_fd()
    {
        if (fd >= 0)
            close(fd);
    }
};

/* "uid N (name)", or "uid N" when the user has no name. */
std::string user_text(uid_t uid)
{
    char buf[1024];
    passwd pw;
    passwd* found = nullptr;
    std::string s = "uid " + std::to_string(uid);
    if (getpwuid_r(uid, &pw, buf, sizeof buf, &found) == 0 && found != nullptr)
        s += std::string(" (") + pw.pw_name + ")";
    return s;
}

std::string mode_text(mode_t mode)
{
    char buf[8];
    snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(mode & 07777));
    return buf;
}

/* Creates the missing directories above `path`'s last component with mode
 * 0755 (set explicitly: the umask may not narrow it, so that a web server of
 * another user can reach the socket).  Returns false after saying why. */
bool make_parents(const std::string& path)
{
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string dir = path.substr(0, slash);
        if (mkdir(dir.c_str(), 0755) == 0) {
            if (chmod(dir.c_str(), 0755) != 0) {
                fprintf(stderr, "zel-queryd: cannot set the mode of %s: %s\n", dir.c_str(), strerror(errno));
                return false;
            }
        } else if (errno != EEXIST) {
            fprintf(stderr, "zel-queryd: cannot create %s: %s\n", dir.c_str(), strerror(errno));
            return false;
        }
    }
    return true;
}

/* Opens the socket's directory `dir` and refuses it, saying why, unless it is
 * a real directory (not a symbolic link) owned by this daemon's user or root
 * and not writable by group or others. */
bool open_trusted_dir(const std::string& dir, dir_fd* out)
{
    out->fd = open(dir.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st{};
    if (out->fd < 0) {
        if ((errno == ELOOP || errno == ENOTDIR) && lstat(dir.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
            fprintf(stderr, "zel-queryd: refusing the socket directory %s: it is a symbolic link (owned by %s)\n",
                    dir.c_str(), user_text(st.st_uid).c_str());
        else
            fprintf(stderr, "zel-queryd: cannot open the socket directory %s: %s\n", dir.c_str(), strerror(errno));
        return false;
    }
    if (fstat(out->fd, &st) != 0) {
        fprintf(stderr, "zel-queryd: cannot look at the socket directory %s: %s\n", dir.c_str(), strerror(errno));
        return false;
    }
    if (st.st_uid != 0 && st.st_uid != geteuid()) {
        fprintf(stderr,
                "zel-queryd: refusing the socket directory %s: it is owned by %s, mode %s, not by this daemon's "
                "user (%s) or root; that user could replace the socket\n",
                dir.c_str(), user_text(st.st_uid).c_str(), mode_text(st.st_mode).c_str(),
                user_text(geteuid()).c_str());
        return false;
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        fprintf(stderr,
                "zel-queryd: refusing the socket directory %s: it is writable by group or others (owned by %s, "
                "mode %s), so another user could put a socket there in the daemon's place\n",
                dir.c_str(), user_text(st.st_uid).c_str(), mode_text(st.st_mode).c_str());
        return false;
    }
    return true;
}

/* Clears a stale socket file `name` in `dir`.  Returns false, after saying
 * why, when the path belongs to a live daemon or is not a socket. */
bool clear_stale(const dir_fd& dir, const std::string& name, const std::string& path)
{
    struct stat st{};
    if (fstatat(dir.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return true;
    if (!S_ISSOCK(st.st_mode)) {
        fprintf(stderr, "zel-queryd: %s exists and is not a socket\n", path.c_str());
        return false;
    }
    /* A connect to a live datagram socket succeeds; to a stale file it is
     * refused. */
    const int probe = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    memcpy(sun.sun_path, path.data(), path.size());
    const bool live = probe >= 0 && connect(probe, reinterpret_cast<sockaddr*>(&sun), sizeof sun) == 0;
    if (probe >= 0)
        close(probe);
    if (live) {
        const pid_t owner = socket_owner(path);
        if (owner > 0)
            fprintf(stderr, "zel-queryd: another daemon (pid %d) is listening on %s\n", static_cast<int>(owner),
                    path.c_str());
        else
            fprintf(stderr, "zel-queryd: another daemon is listening on %s\n", path.c_str());
        return false;
    }
    unlinkat(dir.fd, name.c_str(), 0);
    return true;
}

}  // namespace

int bind_query_socket(const options& opts)
{
    const std::string& path = opts.socket_path;
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty()) {
        fprintf(stderr, "zel-queryd: the socket path %s names a directory\n", path.c_str());
        return -1;
    }
    dir_fd d;
    if (!make_parents(path) || !open_trusted_dir(dir, &d) || !clear_stale(d, name, path))
        return -1;

    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        fprintf(stderr, "zel-queryd: cannot make a socket: %s\n", strerror(errno));
        return -1;
    }
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    memcpy(sun.sun_path, path.data(), path.size());
    /* Bound reachable by its owner only; the group and the mode asked for
     * are set after, so nobody else reaches it under the wrong group.
     * Without --socket-mode the mode is what the umask gives, as for any
     * file. */
    const mode_t old_mask = umask(0177);
    const int bound = bind(fd, reinterpret_cast<sockaddr*>(&sun), sizeof sun);
    const int bind_err = errno;
    umask(old_mask);
    const char* step = nullptr;
    if (bound != 0) {
        errno = bind_err;
        step = "bind";
    } else if (opts.socket_group_set &&
               fchownat(d.fd, name.c_str(), static_cast<uid_t>(-1), opts.socket_group, AT_SYMLINK_NOFOLLOW) != 0) {
        step = "set the group of";
    } else if (fchmodat(d.fd, name.c_str(),
                        opts.socket_mode >= 0 ? static_cast<mode_t>(opts.socket_mode) : (0777 & ~old_mask), 0) != 0) {
        step = "set the mode of";
    }
    if (step != nullptr) {
        fprintf(stderr, "zel-queryd: cannot %s %s: %s\n", step, path.c_str(), strerror(errno));
        if (bound == 0)
            unlinkat(d.fd, name.c_str(), 0);
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace queryd
