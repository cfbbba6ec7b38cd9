#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "tools/queryd/queryd.h"

/* The process behind a socket path, for the refusal that names it.  The
 * kernel lists every bound Unix socket with its inode in /proc/net/unix, and
 * a process's descriptors show the inode of the socket they hold
 * ("socket:[INODE]").  Best effort: a datagram socket passes no peer
 * credentials, and another user's descriptors are visible to root only. */

namespace queryd {

namespace {

/* Returns the inode of the socket bound at `path`, or an empty text. */
std::string bound_inode(const std::string& path)
{
    std::ifstream in("/proc/net/unix");
    std::string line;
    std::getline(in, line);   /* the column names */
    while (std::getline(in, line)) {
        /* Num RefCount Protocol Flags Type St Inode Path */
        if (line.size() <= path.size() || line.compare(line.size() - path.size(), path.size(), path) != 0 ||
            line[line.size() - path.size() - 1] != ' ')
            continue;
        size_t at = 0;
        for (int field = 0; field < 6; ++field) {
            at = line.find_first_not_of(' ', at);
            at = at == std::string::npos ? at : line.find(' ', at);
            if (at == std::string::npos)
                break;
        }
        if (at == std::string::npos)
            continue;
        at = line.find_first_not_of(' ', at);
        const size_t end = at == std::string::npos ? at : line.find(' ', at);
        if (end != std::string::npos)
            return line.substr(at, end - at);
    }
    return {};
}

}  // namespace

pid_t socket_owner(const std::string& path)
{
    const std::string inode = bound_inode(path);
    if (inode.empty())
        return 0;
    const std::string wanted = "socket:[" + inode + "]";
    DIR* proc = opendir("/proc");
    if (proc == nullptr)
        return 0;
    pid_t found = 0;
    const pid_t self = getpid();
    for (dirent* e = readdir(proc); e != nullptr && found == 0; e = readdir(proc)) {
        char* end = nullptr;
        const long pid = strtol(e->d_name, &end, 10);
        if (pid <= 0 || *end != '\0' || pid == self)
            continue;
        const std::string fd_dir = std::string("/proc/") + e->d_name + "/fd";
        DIR* fds = opendir(fd_dir.c_str());
        if (fds == nullptr)
            continue;
        for (dirent* f = readdir(fds); f != nullptr; f = readdir(fds)) {
            char target[64];
            const std::string link = fd_dir + "/" + f->d_name;
            const ssize_t n = readlink(link.c_str(), target, sizeof target);
            if (n > 0 && static_cast<size_t>(n) == wanted.size() && wanted.compare(0, wanted.size(), target, n) == 0) {
                found = static_cast<pid_t>(pid);
                break;
            }
        }
        closedir(fds);
    }
    closedir(proc);
    return found;
}

}  // namespace queryd
