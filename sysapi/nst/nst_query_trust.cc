/* Who may stand behind the daemon's socket path.
 *
 * A request carries the administrator's identity and body, and the reply is
 * believed; so a request goes out only to a socket file that a trusted user
 * put in a directory only trusted users can change.  Trusted are root, the
 * process's own effective user, and the one user ZEL_QUERY_UID names (for a
 * daemon run as a dedicated user).
 *
 * What the check guarantees: at the time of the check, the socket's directory
 * (not a symbolic link itself) belongs to a trusted user and grants no write
 * permission to group or others, and the socket file in it (not a symbolic
 * link) belongs to a trusted user.  Only a trusted user (or root) can then
 * create, replace or remove names in that directory, so the datagrams sent
 * afterwards by path reach a socket a trusted user bound, even though the
 * path is resolved again by every send.  The directory's own ancestors are
 * not walked: a path under a directory that others may rename (one writable
 * by them without the sticky bit) is not protected; /, /run and /tmp, whose
 * entries only their owners can rename, are fine. */
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>

#include "sysapi/nst/nst_internal.h"

namespace nst_detail {

namespace {

/* Resolves a user name with getpwnam_r, growing the buffer as it asks. */
bool uid_of_name(const char* name, uid_t* uid)
{
    size_t size = 1024;
    for (;;) {
        char* buf = static_cast<char*>(malloc(size));
        if (buf == nullptr)
            return false;
        struct passwd pw;
        struct passwd* found = nullptr;
        const int rc = getpwnam_r(name, &pw, buf, size, &found);
        if (rc == 0 && found != nullptr)
            *uid = pw.pw_uid;
        free(buf);
        if (rc == ERANGE && size < (1u << 20)) {
            size *= 2;
            continue;
        }
        return rc == 0 && found != nullptr;
    }
}

/* Reads ZEL_QUERY_UID: all digits is a uid, anything else a user name. */
query_uid_info* read_query_uid()
{
    auto* info = static_cast<query_uid_info*>(calloc(1, sizeof(query_uid_info)));
    if (info == nullptr)
        return nullptr;
    const char* v = getenv("ZEL_QUERY_UID");
    if (v == nullptr || v[0] == '\0')
        return info;
    info->set = true;
    snprintf(info->text, sizeof info->text, "%s", v);
    if (strspn(v, "0123456789") == strlen(v)) {
        errno = 0;
        char* end = nullptr;
        const unsigned long long n = strtoull(v, &end, 10);
        /* (uid_t)-1 stands for "no user" in the calls that take one. */
        if (errno == 0 && n < static_cast<unsigned long long>(static_cast<uid_t>(-1))) {
            info->known = true;
            info->uid = static_cast<uid_t>(n);
        }
    } else {
        info->known = uid_of_name(v, &info->uid);
    }
    return info;
}

bool trusted(uid_t uid)
{
    if (uid == 0 || uid == geteuid())
        return true;
    const query_uid_info* extra = query_uid();
    return extra->known && uid == extra->uid;
}

/* The owner and mode of `name` under `dirfd` (AT_EMPTY_PATH: the descriptor
 * itself), never following a final link.  statx rather than the stat family:
 * glibc exports fstatat and lstat as symbols only from 2.33, statx from 2.28,
 * the oldest C library the module is built to load on. */
bool look_at(int dirfd, const char* name, int flags, struct statx* st)
{
    return statx(dirfd, name, flags | AT_SYMLINK_NOFOLLOW, STATX_TYPE | STATX_MODE | STATX_UID, st) == 0 &&
           (st->stx_mask & (STATX_TYPE | STATX_MODE | STATX_UID)) == (STATX_TYPE | STATX_MODE | STATX_UID);
}

int refuse(socket_trust* out, trust_fault fault, const struct statx& st)
{
    out->state = TRUST_REFUSED;
    out->fault = fault;
    out->uid = st.stx_uid;
    out->mode = st.stx_mode & 07777;
    return TRUST_REFUSED;
}

int unseen(socket_trust* out, int err)
{
    out->state = TRUST_UNSEEN;
    out->err = err;
    return TRUST_UNSEEN;
}

/* "uid N (name)", or "uid N" when the user has no name. */
void owner_text(uid_t uid, char* buf, size_t size)
{
    char pwbuf[1024];
    struct passwd pw;
    struct passwd* found = nullptr;
    if (getpwuid_r(uid, &pw, pwbuf, sizeof pwbuf, &found) == 0 && found != nullptr)
        snprintf(buf, size, "uid %u (%s)", static_cast<unsigned>(uid), pw.pw_name);
    else
        snprintf(buf, size, "uid %u", static_cast<unsigned>(uid));
}

} // namespace

const query_uid_info* query_uid()
{
    /* Read at the first check and kept, as ZEL_QUERY_SOCKET is. */
    static std::atomic<query_uid_info*> cached{nullptr};
    static const query_uid_info none = {};
    query_uid_info* info = cached.load(std::memory_order_acquire);
    if (info != nullptr)
        return info;
    query_uid_info* fresh = read_query_uid();
    if (fresh == nullptr)
        return &none;
    if (cached.compare_exchange_strong(info, fresh, std::memory_order_acq_rel))
        return fresh;
    free(fresh);
    return info;
}

int check_daemon_socket(const char* path, socket_trust* out)
{
    memset(out, 0, sizeof *out);
    out->checked = true;
    const size_t len = path != nullptr ? strlen(path) : 0;
    if (len == 0 || len >= sizeof out->dir)
        return unseen(out, ENAMETOOLONG);

    /* The directory part, and the name inside it. */
    const char* slash = strrchr(path, '/');
    const char* base = path;
    if (slash == nullptr) {
        memcpy(out->dir, ".", 2);
    } else if (slash == path) {
        memcpy(out->dir, "/", 2);
        base = path + 1;
    } else {
        memcpy(out->dir, path, static_cast<size_t>(slash - path));
        out->dir[slash - path] = '\0';
        base = slash + 1;
    }
    if (base[0] == '\0')
        return unseen(out, EISDIR);

    /* The socket file is looked at through the very directory that was
     * judged, so the two verdicts are about the same directory. */
    fd_owner dir(open(out->dir, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct statx st;
    if (dir.fd < 0) {
        const int err = errno;
        if ((err == ELOOP || err == ENOTDIR) && look_at(AT_FDCWD, out->dir, 0, &st) && S_ISLNK(st.stx_mode))
            return refuse(out, FAULT_DIR_SYMLINK, st);
        return unseen(out, err);
    }
    if (!look_at(dir.fd, "", AT_EMPTY_PATH, &st))
        return unseen(out, errno);
    if (!trusted(st.stx_uid))
        return refuse(out, FAULT_DIR_OWNER, st);
    if ((st.stx_mode & (S_IWGRP | S_IWOTH)) != 0)
        return refuse(out, FAULT_DIR_WRITABLE, st);

    out->on_socket = true;
    if (!look_at(dir.fd, base, 0, &st))
        return unseen(out, errno);
    if (S_ISLNK(st.stx_mode))
        return refuse(out, FAULT_SOCKET_SYMLINK, st);
    if (!trusted(st.stx_uid))
        return refuse(out, FAULT_SOCKET_OWNER, st);
    out->state = TRUST_OK;
    out->uid = st.stx_uid;
    out->mode = st.stx_mode & 07777;
    return TRUST_OK;
}

int describe_distrust(const char* path, const socket_trust& t, char* buf, size_t size)
{
    char owner[160];
    owner_text(t.uid, owner, sizeof owner);
    const unsigned mode = static_cast<unsigned>(t.mode);
    char why[512];
    switch (t.fault) {
    case FAULT_DIR_OWNER:
        snprintf(why, sizeof why, "its directory %s is owned by %s, mode %04o, not by a trusted user", t.dir, owner,
                 mode);
        break;
    case FAULT_DIR_WRITABLE:
        snprintf(why, sizeof why, "its directory %s (owned by %s, mode %04o) is writable by group or others", t.dir,
                 owner, mode);
        break;
    case FAULT_DIR_SYMLINK:
        snprintf(why, sizeof why, "its directory %s is a symbolic link (owned by %s, mode %04o)", t.dir, owner, mode);
        break;
    case FAULT_SOCKET_OWNER:
        snprintf(why, sizeof why, "the socket file is owned by %s, mode %04o, not by a trusted user", owner, mode);
        break;
    case FAULT_SOCKET_SYMLINK:
        snprintf(why, sizeof why, "the socket file is a symbolic link (owned by %s, mode %04o)", owner, mode);
        break;
    default:
        snprintf(why, sizeof why, "it could not be checked (%s)", strerror(t.err));
        break;
    }

    char me[160];
    owner_text(geteuid(), me, sizeof me);
    char extra[200] = "";
    const query_uid_info* q = query_uid();
    if (q->known) {
        char who[160];
        owner_text(q->uid, who, sizeof who);
        snprintf(extra, sizeof extra, " and ZEL_QUERY_UID's user (%s)", who);
    } else if (q->set) {
        snprintf(extra, sizeof extra, "; ZEL_QUERY_UID \"%s\" names no user", q->text);
    }
    return snprintf(buf, size, "the query socket %s is not trusted: %s; trusted are root, this process's user (%s)%s",
                    path, why, me, extra);
}

} // namespace nst_detail
