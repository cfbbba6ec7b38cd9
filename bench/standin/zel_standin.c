/* zel-standin: a query daemon stand-in for the end-to-end benchmarks.
 *
 * It binds the query socket, takes framed requests (28-byte header, path,
 * data, continuation datagrams from the same address) and answers each with
 * prepared HTTP response bytes held in memory, in datagrams of at most 4096
 * bytes: QUERY_SUCCESS datagrams, the last piece in QUERY_SUCCESS_FIN.  The
 * response is chosen by the request target of the HTTP request line: target
 * "/bench/NAME" is answered with the file DIR/NAME.http, read at start-up.
 *
 * It does no routing, no digest check and no I/O besides the datagrams, so a
 * client measured against it pays for the transport and for itself only.
 * Every datagram of a reply leaves from the bound socket; a full client queue
 * blocks the send (back-pressure), bounded by a send time-out. */
#include <dirent.h>
#include <errno.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#define HDR_LEN 28
#define REPLY_HDR_LEN 12
#define REPLY_MAX 4096
#define REQ_MAX_DGRAM 3584
#define REQ_MAX_TOTAL (1 << 20)
#define MAX_PENDING 64
#define MAX_RESPONSES 64
#define SEND_TIMEOUT_SEC 15
#define QUERY_SUCCESS 0
#define QUERY_SUCCESS_FIN 1
#define QUERY_FAIL_PATH_ERR 3
#define QUERY_FAIL_ROUTE_ERR 5

struct response {
    char name[64];
    char* bytes;
    size_t len;
};

/* A request whose first datagram has come and whose data is still arriving. */
struct pending {
    struct sockaddr_un from;
    socklen_t from_len;
    uint32_t total;
    uint32_t have;
    char* buf;                    /* total bytes; null for a free slot */
};

static struct response g_responses[MAX_RESPONSES];
static int g_nresponses;
static struct pending g_pending[MAX_PENDING];
static volatile sig_atomic_t g_stop;
static int g_quiet;

static void on_signal(int sig)
{
    (void)sig;
    g_stop = 1;
}

static void usage(FILE* out)
{
    fprintf(out,
            "usage: zel-standin --socket PATH --dir DIR [--quiet]\n"
            "\n"
            "Query daemon stand-in for the end-to-end benchmarks.  Binds the datagram\n"
            "socket PATH and answers a request for target /bench/NAME with the bytes of\n"
            "DIR/NAME.http, read at start-up, in reply datagrams of at most 4096 bytes.\n"
            "Prints \"zel-standin: listening on PATH\" on standard error once bound;\n"
            "SIGINT or SIGTERM stop it.\n"
            "\n"
            "  --socket PATH  datagram socket to bind (required)\n"
            "  --dir DIR      folder of NAME.http response files (required)\n"
            "  --quiet        no line per refused request\n"
            "  --help         this text\n");
}

/* Returns 0 when every DIR/NAME.http was read, -1 after printing why not. */
static int load_responses(const char* dir)
{
    DIR* d = opendir(dir);
    if (d == NULL) {
        fprintf(stderr, "zel-standin: cannot open %s: %s\n", dir, strerror(errno));
        return -1;
    }
    int rc = 0;
    struct dirent* e;
    while (rc == 0 && (e = readdir(d)) != NULL) {
        size_t n = strlen(e->d_name);
        if (n <= 5 || strcmp(e->d_name + n - 5, ".http") != 0)
            continue;
        if (g_nresponses == MAX_RESPONSES || n - 5 >= sizeof g_responses[0].name) {
            fprintf(stderr, "zel-standin: too many or too long response names in %s\n", dir);
            rc = -1;
            break;
        }
        char file[4096];
        snprintf(file, sizeof file, "%s/%s", dir, e->d_name);
        FILE* f = fopen(file, "rb");
        struct stat st;
        if (f == NULL || fstat(fileno(f), &st) != 0) {
            fprintf(stderr, "zel-standin: cannot read %s: %s\n", file, strerror(errno));
            if (f != NULL)
                fclose(f);
            rc = -1;
            break;
        }
        struct response* r = &g_responses[g_nresponses];
        r->len = (size_t)st.st_size;
        r->bytes = malloc(r->len + 1);
        if (r->bytes == NULL || fread(r->bytes, 1, r->len, f) != r->len) {
            fprintf(stderr, "zel-standin: cannot read %s\n", file);
            fclose(f);
            rc = -1;
            break;
        }
        fclose(f);
        memcpy(r->name, e->d_name, n - 5);
        r->name[n - 5] = '\0';
        g_nresponses++;
    }
    closedir(d);
    return rc;
}

/* Returns 1 when a live socket answers on `path`, 0 otherwise. */
static int live_socket_at(const char* path)
{
    int s = socket(AF_UNIX, SOCK_DGRAM, 0);
    if (s < 0)
        return 0;
    struct sockaddr_un a;
    memset(&a, 0, sizeof a);
    a.sun_family = AF_UNIX;
    strncpy(a.sun_path, path, sizeof a.sun_path - 1);
    int live = connect(s, (struct sockaddr*)&a, sizeof a) == 0;
    close(s);
    return live;
}

/* Sends one reply datagram; returns 0, or -1 when the client is gone or stuck. */
static int send_reply(int s, const struct sockaddr_un* to, socklen_t to_len, int type, const char* payload,
                      size_t len)
{
    unsigned char hdr[REPLY_HDR_LEN];
    int32_t total = (int32_t)(REPLY_HDR_LEN + len);
    int32_t offset = REPLY_HDR_LEN;
    memset(hdr, 0, sizeof hdr);
    hdr[0] = (unsigned char)type;
    memcpy(hdr + 4, &total, 4);
    memcpy(hdr + 8, &offset, 4);
    struct iovec iov[2] = {{hdr, sizeof hdr}, {(void*)payload, len}};
    struct msghdr msg;
    memset(&msg, 0, sizeof msg);
    msg.msg_name = (void*)to;
    msg.msg_namelen = to_len;
    msg.msg_iov = iov;
    msg.msg_iovlen = 2;
    for (;;) {
        if (sendmsg(s, &msg, 0) >= 0)
            return 0;
        if (errno == EINTR && !g_stop)
            continue;
        return -1;
    }
}

/* Answers the complete request `req` (total bytes) from `to`. */
static void answer(int s, const struct sockaddr_un* to, socklen_t to_len, const char* req, uint32_t total)
{
    const char* path = req + HDR_LEN;
    const char* end = req + total;
    const char* nul = memchr(path, '\0', (size_t)(end - path));
    if (nul == NULL) {
        send_reply(s, to, to_len, QUERY_FAIL_PATH_ERR, NULL, 0);
        return;
    }
    /* Request line: METHOD SP /bench/NAME SP HTTP/1.1 */
    const char* data = nul + 1;
    const char* sp = memchr(data, ' ', (size_t)(end - data));
    const char* name = NULL;
    size_t name_len = 0;
    if (sp != NULL && (size_t)(end - sp) > 8 && memcmp(sp + 1, "/bench/", 7) == 0) {
        name = sp + 8;
        const char* sp2 = memchr(name, ' ', (size_t)(end - name));
        name_len = sp2 != NULL ? (size_t)(sp2 - name) : 0;
    }
    const struct response* r = NULL;
    for (int i = 0; name_len > 0 && i < g_nresponses; ++i)
        if (strlen(g_responses[i].name) == name_len && memcmp(g_responses[i].name, name, name_len) == 0)
            r = &g_responses[i];
    if (r == NULL) {
        if (!g_quiet)
            fprintf(stderr, "zel-standin: no response for %.*s\n", (int)(name_len ? name_len : 1),
                    name_len ? name : "?");
        send_reply(s, to, to_len, QUERY_FAIL_ROUTE_ERR, NULL, 0);
        return;
    }
    const size_t room = REPLY_MAX - REPLY_HDR_LEN;
    size_t pos = 0;
    while (r->len - pos > room) {
        if (send_reply(s, to, to_len, QUERY_SUCCESS, r->bytes + pos, room) != 0)
            return;
        pos += room;
    }
    send_reply(s, to, to_len, QUERY_SUCCESS_FIN, r->bytes + pos, r->len - pos);
}

static struct pending* find_pending(const struct sockaddr_un* from, socklen_t len)
{
    for (int i = 0; i < MAX_PENDING; ++i)
        if (g_pending[i].buf != NULL && g_pending[i].from_len == len && memcmp(&g_pending[i].from, from, len) == 0)
            return &g_pending[i];
    return NULL;
}

static void drop_pending(struct pending* p)
{
    free(p->buf);
    memset(p, 0, sizeof *p);
}

/* Takes one datagram of `n` bytes from `from`. */
static void take_datagram(int s, const char* dgram, size_t n, const struct sockaddr_un* from, socklen_t from_len)
{
    /* An unbound sender cannot be answered. */
    if (from_len <= sizeof(sa_family_t))
        return;
    struct pending* p = find_pending(from, from_len);
    if (p != NULL) {
        if (n > p->total - p->have) {
            drop_pending(p);
            send_reply(s, from, from_len, QUERY_FAIL_PATH_ERR, NULL, 0);
            return;
        }
        memcpy(p->buf + p->have, dgram, n);
        p->have += (uint32_t)n;
        if (p->have == p->total) {
            answer(s, from, from_len, p->buf, p->total);
            drop_pending(p);
        }
        return;
    }
    uint32_t total;
    if (n < HDR_LEN)
        goto refuse;
    memcpy(&total, dgram + 8, 4);
    if (total < n || total > REQ_MAX_TOTAL)
        goto refuse;
    if (total == n) {
        answer(s, from, from_len, dgram, total);
        return;
    }
    for (int i = 0; i < MAX_PENDING; ++i) {
        if (g_pending[i].buf == NULL) {
            p = &g_pending[i];
            p->buf = malloc(total);
            if (p->buf == NULL)
                goto refuse;
            memcpy(&p->from, from, from_len);
            p->from_len = from_len;
            p->total = total;
            p->have = (uint32_t)n;
            memcpy(p->buf, dgram, n);
            return;
        }
    }
refuse:
    send_reply(s, from, from_len, QUERY_FAIL_PATH_ERR, NULL, 0);
}

int main(int argc, char** argv)
{
    const char* sock_path = NULL;
    const char* dir = NULL;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            usage(stdout);
            return 0;
        } else if (strcmp(argv[i], "--quiet") == 0) {
            g_quiet = 1;
        } else if (strcmp(argv[i], "--socket") == 0 && i + 1 < argc) {
            sock_path = argv[++i];
        } else if (strcmp(argv[i], "--dir") == 0 && i + 1 < argc) {
            dir = argv[++i];
        } else {
            fprintf(stderr, "zel-standin: unknown or incomplete option %s\n", argv[i]);
            usage(stderr);
            return 2;
        }
    }
    if (sock_path == NULL || dir == NULL) {
        usage(stderr);
        return 2;
    }
    if (strlen(sock_path) >= sizeof(((struct sockaddr_un*)0)->sun_path)) {
        fprintf(stderr, "zel-standin: socket path too long: %s\n", sock_path);
        return 2;
    }
    if (load_responses(dir) != 0)
        return 1;

    if (live_socket_at(sock_path)) {
        fprintf(stderr, "zel-standin: a live socket already answers on %s\n", sock_path);
        return 1;
    }
    int s = socket(AF_UNIX, SOCK_DGRAM, 0);
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, sock_path, strlen(sock_path));
    unlink(sock_path);
    const struct timeval tv = {SEND_TIMEOUT_SEC, 0};
    if (s < 0 || bind(s, (struct sockaddr*)&addr, sizeof addr) != 0 ||
        setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) {
        fprintf(stderr, "zel-standin: cannot bind %s: %s\n", sock_path, strerror(errno));
        return 1;
    }

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, NULL);
    sigaction(SIGTERM, &sa, NULL);
    signal(SIGPIPE, SIG_IGN);

    fprintf(stderr, "zel-standin: listening on %s (%d responses)\n", sock_path, g_nresponses);
    static char dgram[REQ_MAX_DGRAM + 1];
    while (!g_stop) {
        struct sockaddr_un from;
        socklen_t from_len = sizeof from;
        ssize_t n = recvfrom(s, dgram, sizeof dgram, 0, (struct sockaddr*)&from, &from_len);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fprintf(stderr, "zel-standin: recvfrom: %s\n", strerror(errno));
            break;
        }
        if ((size_t)n > REQ_MAX_DGRAM) {
            send_reply(s, &from, from_len, QUERY_FAIL_PATH_ERR, NULL, 0);
            continue;
        }
        take_datagram(s, dgram, (size_t)n, &from, from_len);
    }
    close(s);
    unlink(sock_path);
    for (int i = 0; i < MAX_PENDING; ++i)
        free(g_pending[i].buf);
    for (int i = 0; i < g_nresponses; ++i)
        free(g_responses[i].bytes);
    fprintf(stderr, "zel-standin: stopped\n");
    return 0;
}
