/* zel-transport-client: the transport limit of the end-to-end benchmarks.
 *
 * For each command line "go TARGET" on standard input it runs one
 * zel_transport_query (transport_query.h) for TARGET and answers with one
 * line:
 *
 *   ok NANOSECONDS PAYLOAD_BYTES     the reply was complete
 *   error MESSAGE                    anything else
 *
 * NANOSECONDS runs from before socket() to after close(); the command and
 * answer lines are outside it.  End of input ends the program. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>

#include "transport_query.h"

static void usage(FILE* out)
{
    fprintf(out,
            "usage: zel-transport-client --socket PATH [--serials S1:S2]\n"
            "\n"
            "Reads commands \"go TARGET\" from standard input; for each, sends the\n"
            "module's GET request for TARGET to the query socket PATH, receives the\n"
            "whole reply into one buffer and prints \"ok NANOSECONDS BYTES\" (or\n"
            "\"error MESSAGE\").  Stops at end of input.\n"
            "\n"
            "  --socket PATH    query socket (required)\n"
            "  --serials CHAIN  serial chain sent as the request path (default B0:B1)\n"
            "  --help           this text\n");
}

static uint64_t now_ns(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

int main(int argc, char** argv)
{
    const char* sock_path = NULL;
    const char* serials = "B0:B1";
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            usage(stdout);
            return 0;
        } else if (strcmp(argv[i], "--socket") == 0 && i + 1 < argc) {
            sock_path = argv[++i];
        } else if (strcmp(argv[i], "--serials") == 0 && i + 1 < argc) {
            serials = argv[++i];
        } else {
            fprintf(stderr, "zel-transport-client: unknown or incomplete option %s\n", argv[i]);
            usage(stderr);
            return 2;
        }
    }
    if (sock_path == NULL || strlen(sock_path) >= sizeof(((struct sockaddr_un*)0)->sun_path)) {
        usage(stderr);
        return 2;
    }
    struct sockaddr_un daemon;
    memset(&daemon, 0, sizeof daemon);
    daemon.sun_family = AF_UNIX;
    memcpy(daemon.sun_path, sock_path, strlen(sock_path));

    struct zel_transport_buf buf = {NULL, 0};
    char line[1024];
    while (fgets(line, sizeof line, stdin) != NULL) {
        line[strcspn(line, "\r\n")] = '\0';
        if (strncmp(line, "go ", 3) != 0) {
            printf("error unknown command\n");
            fflush(stdout);
            continue;
        }
        char err[256] = "";
        uint64_t t0 = now_ns();
        long long got = zel_transport_query(&buf, &daemon, serials, line + 3, err, sizeof err);
        uint64_t t1 = now_ns();
        if (got < 0)
            printf("error %s\n", err);
        else
            printf("ok %llu %lld\n", (unsigned long long)(t1 - t0), got);
        fflush(stdout);
    }
    zel_transport_free(&buf);
    return 0;
}
