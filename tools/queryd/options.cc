#include <errno.h>
#include <grp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <iterator>
#include <string>

#include "tools/queryd/queryd.h"

/* Command line and route file.  Every value is checked here, so the event
 * loop starts only with a usable configuration. */

namespace queryd {

namespace {

struct code_name {
    int code;
    const char* name;
};

constexpr code_name kCodeNames[] = {
    {QUERY_SUCCESS, "QUERY_SUCCESS"},
    {QUERY_SUCCESS_FIN, "QUERY_SUCCESS_FIN"},
    {QUERY_FAIL_REMOTE_ERR, "QUERY_FAIL_REMOTE_ERR"},
    {QUERY_FAIL_PATH_ERR, "QUERY_FAIL_PATH_ERR"},
    {QUERY_FAIL_PATH_LOOP, "QUERY_FAIL_PATH_LOOP"},
    {QUERY_FAIL_ROUTE_ERR, "QUERY_FAIL_ROUTE_ERR"},
    {QUERY_FAIL_DOWNNRV_ERR, "QUERY_FAIL_DOWNNRV_ERR"},
    {QUERY_FAIL_DROP_TTL, "QUERY_FAIL_DROP_TTL"},
    {QUERY_FAIL_CONNECTION_CLOSED, "QUERY_FAIL_CONNECTION_CLOSED"},
    {QUERY_FAIL_LOW_MEMORY, "QUERY_FAIL_LOW_MEMORY"},
    {KEY_UPD_SUCCESS, "KEY_UPD_SUCCESS"},
    {FIXED_KEY_SET, "FIXED_KEY_SET"},
    {APPLIANCE_REP_INVALID_JSON, "APPLIANCE_REP_INVALID_JSON"},
    {APPLIANCE_REP_JSON_FAILED, "APPLIANCE_REP_JSON_FAILED"},
    {NSTD_HELLO_AUTH_MODE_CERT, "NSTD_HELLO_AUTH_MODE_CERT"},
    {QUERY_FAIL_MALFORMED_HTTP_REQ, "QUERY_FAIL_MALFORMED_HTTP_REQ"},
    {FAIL_UNKNOWN_COMMAND, "FAIL_UNKNOWN_COMMAND"},
};

constexpr const char kUsage[] =
    "usage: zel-queryd [options]\n"
    "\n"
    "Reference query daemon: takes framed requests on a Unix datagram socket,\n"
    "relays each HTTP request to the target serial's endpoint and streams the\n"
    "response back in reply datagrams.\n"
    "\n"
    "  --socket PATH           datagram socket to bind (default $ZEL_QUERY_SOCKET,\n"
    "                          else " NSTD_QUERY_SOCK_PATH ");\n"
    "                          missing directories are created with mode 0755,\n"
    "                          a stale socket file is replaced; the socket's\n"
    "                          directory must belong to this user or root and\n"
    "                          not be writable by group or others, or the\n"
    "                          daemon refuses to start\n"
    "  --socket-mode MODE      octal permission bits of the socket file, e.g.\n"
    "                          0660 (default: what the umask leaves of 0777);\n"
    "                          a client needs write permission to send\n"
    "  --socket-group GROUP    group (name or gid) of the socket file, so that a\n"
    "                          web server of that group can reach a daemon of\n"
    "                          another user (with --socket-mode 0660)\n"
    "  --routes FILE           route file: lines 'SERIAL ENDPOINT', '#' comments;\n"
    "                          SIGHUP re-reads it (a bad file keeps the old routes)\n"
    "  --route SERIAL=ENDPOINT add one route (repeatable; after --routes wins)\n"
    "                          ENDPOINT: host:port (TCP), unix:/path or /path\n"
    "  --max-hops N            longest serial chain accepted (default 8)\n"
    "  --request-timeout SEC   drop a half-sent request after SEC seconds without\n"
    "                          a datagram (default 5)\n"
    "  --target-timeout SEC    fail an exchange whose target stays silent for SEC\n"
    "                          seconds (default 10)\n"
    "  --max-clients N         whole requests relayed or answered at once\n"
    "                          (default 256)\n"
    "  --max-clients-per-sender N\n"
    "                          of them from one sending process (default a\n"
    "                          quarter of --max-clients, at least 1); beyond it\n"
    "                          that process is refused, others are still served\n"
    "  --max-half-sent N       requests whose datagrams are still due, held at\n"
    "                          once (default 64); one sending process holds at\n"
    "                          most a quarter, and when full the stalest is\n"
    "                          refused to make room\n"
    "  --max-queued-refusals N refusals waiting for clients whose queue is full\n"
    "                          (default 256); beyond it the oldest is dropped\n"
    "  --max-request BYTES     largest request total_len (default 1048576)\n"
    "  --replay FILE           answer every request with FILE's bytes\n"
    "  --split FORM            payload boundaries of --replay: fixed:N,\n"
    "                          random:SEED[:MAX] or at:O1,O2,... (default fixed:4084)\n"
    "  --fail CODE             answer with reply code CODE (number or name);\n"
    "                          with --replay, after the payloads instead of the end\n"
    "  --malformed[=KIND]      answer with a malformed datagram: len (header len\n"
    "                          differs from the size, default), short (8 bytes) or\n"
    "                          big (5000 bytes); with --replay, after the payloads\n"
    "  --silent                never answer; with --replay, send the payloads but\n"
    "                          no final datagram\n"
    "  --quiet                 no line per finished exchange\n"
    "  --watch-stdin           stop as on SIGTERM when standard input ends: a parent\n"
    "                          holding the other end of a pipe stops the daemon by\n"
    "                          exiting, however it exits\n"
    "  --help                  this text\n"
    "\n"
    "Signals: SIGINT and SIGTERM stop the daemon (exchanges in flight are\n"
    "dropped, the socket file is removed); SIGHUP re-reads the route files and\n"
    "--route options without dropping exchanges in flight.\n";

int parse_int(const std::string& s, long lo, long hi, const char* what, std::string* err)
{
    char* end = nullptr;
    errno = 0;
    const long v = strtol(s.c_str(), &end, 10);
    if (s.empty() || *end != '\0' || errno != 0 || v < lo || v > hi) {
        *err = std::string(what) + " needs a number from " + std::to_string(lo) + " to " + std::to_string(hi);
        return -1;
    }
    return static_cast<int>(v);
}

/* Adds or replaces the route of `serial`, so later routes win. */
int add_route(std::vector<route>* routes, std::string_view serial, std::string_view ep_text, std::string* err)
{
    if (serial.empty() || serial.find(':') != std::string_view::npos) {
        *err = "bad serial in route: '" + std::string(serial) + "'";
        return -1;
    }
    route r;
    r.serial.assign(serial);
    if (parse_endpoint(ep_text, &r.ep, err) != 0)
        return -1;
    for (route& old : *routes)
        if (old.serial == r.serial) {
            old = r;
            return 0;
        }
    routes->push_back(r);
    return 0;
}

int load_routes(std::vector<route>* routes, const std::string& file, std::string* err)
{
    std::ifstream in(file);
    if (!in) {
        *err = "cannot read route file " + file + ": " + strerror(errno);
        return -1;
    }
    std::string line;
    for (int lineno = 1; std::getline(in, line); ++lineno) {
        const size_t hash = line.find('#');
        if (hash != std::string::npos)
            line.erase(hash);
        const char* ws = " \t\r";
        const size_t a = line.find_first_not_of(ws);
        if (a == std::string::npos)
            continue;
        const size_t b = line.find_first_of(ws, a);
        const size_t c = b == std::string::npos ? b : line.find_first_not_of(ws, b);
        const size_t d = c == std::string::npos ? c : line.find_first_of(ws, c);
        if (c == std::string::npos || line.find_first_not_of(ws, d == std::string::npos ? line.size() : d) != std::string::npos) {
            *err = file + ":" + std::to_string(lineno) + ": expected 'SERIAL ENDPOINT'";
            return -1;
        }
        if (add_route(routes, std::string_view(line).substr(a, b - a),
                      std::string_view(line).substr(c, d == std::string::npos ? std::string::npos : d - c), err) != 0) {
            *err = file + ":" + std::to_string(lineno) + ": " + *err;
            return -1;
        }
    }
    return 0;
}

/* Octal permission bits, at most 0777: a socket file has no use for the
 * set-id and sticky bits. */
int parse_mode(const std::string& s, std::string* err)
{
    if (s.empty() || s.size() > 4 || s.find_first_not_of("01234567") != std::string::npos ||
        strtol(s.c_str(), nullptr, 8) > 0777) {
        *err = "--socket-mode needs octal permission bits from 0 to 0777, e.g. 0660";
        return -1;
    }
    return static_cast<int>(strtol(s.c_str(), nullptr, 8));
}

/* A group name, or a gid in decimal. */
bool parse_group(const std::string& s, gid_t* gid, std::string* err)
{
    if (!s.empty() && s.find_first_not_of("0123456789") == std::string::npos) {
        errno = 0;
        const unsigned long long n = strtoull(s.c_str(), nullptr, 10);
        if (errno == 0 && n < static_cast<unsigned long long>(static_cast<gid_t>(-1))) {
            *gid = static_cast<gid_t>(n);
            return true;
        }
    } else if (!s.empty()) {
        std::vector<char> buf(16384);
        group gr;
        group* found = nullptr;
        if (getgrnam_r(s.c_str(), &gr, buf.data(), buf.size(), &found) == 0 && found != nullptr) {
            *gid = gr.gr_gid;
            return true;
        }
    }
    *err = "--socket-group: no group named '" + s + "'";
    return false;
}

int parse_code(const std::string& s, std::string* err)
{
    for (const code_name& c : kCodeNames)
        if (s == c.name)
            return c.code;
    std::string ignored;
    const int v = parse_int(s, 0, 255, "--fail", &ignored);
    if (v < 0) {
        *err = "--fail needs a reply code name or a number from 0 to 255";
        return -1;
    }
    return v;
}

}  // namespace

int read_routes(const options& opts, std::vector<route>* routes, std::string* err)
{
    std::vector<route> fresh;
    for (const std::string& f : opts.route_files)
        if (load_routes(&fresh, f, err) != 0)
            return -1;
    for (const std::string& r : opts.route_args) {
        const size_t eq = r.find('=');
        if (eq == std::string::npos) {
            *err = "--route needs SERIAL=ENDPOINT";
            return -1;
        }
        if (add_route(&fresh, std::string_view(r).substr(0, eq), std::string_view(r).substr(eq + 1), err) != 0)
            return -1;
    }
    routes->swap(fresh);
    return 0;
}

std::string reply_code_name(int code)
{
    for (const code_name& c : kCodeNames)
        if (c.code == code)
            return c.name;
    return "code " + std::to_string(code);
}

int parse_options(int argc, char** argv, options* opts, std::string* err)
{
    std::string split_text;

    /* The same variable moves the module's transport, so a daemon and the
     * servers that use it agree on the path without an option. */
    if (const char* env = getenv("ZEL_QUERY_SOCKET"); env != nullptr && env[0] != '\0')
        opts->socket_path = env;

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool has_value = false;
        const size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg.erase(eq);
            has_value = true;
        }
        auto need = [&](std::string* out) {
            if (has_value) {
                *out = value;
                return true;
            }
            if (i + 1 >= argc) {
                *err = arg + " needs a value";
                return false;
            }
            *out = argv[++i];
            return true;
        };
        std::string v;
        if (arg == "--help" || arg == "-h") {
            fputs(kUsage, stdout);
            return 1;
        } else if (arg == "--socket") {
            if (!need(&v))
                return -1;
            if (v.empty() || v.size() >= 108) {
                *err = "--socket needs a path of 1 to 107 bytes";
                return -1;
            }
            opts->socket_path = v;
        } else if (arg == "--socket-mode") {
            if (!need(&v))
                return -1;
            opts->socket_mode = parse_mode(v, err);
            if (opts->socket_mode < 0)
                return -1;
        } else if (arg == "--socket-group") {
            if (!need(&v))
                return -1;
            if (!parse_group(v, &opts->socket_group, err))
                return -1;
            opts->socket_group_set = true;
        } else if (arg == "--routes") {
            if (!need(&v))
                return -1;
            opts->route_files.push_back(v);
        } else if (arg == "--route") {
            if (!need(&v))
                return -1;
            opts->route_args.push_back(v);
        } else if (arg == "--max-hops" || arg == "--request-timeout" || arg == "--target-timeout" ||
                   arg == "--max-clients" || arg == "--max-half-sent" || arg == "--max-queued-refusals" ||
                   arg == "--max-clients-per-sender") {
            if (!need(&v))
                return -1;
            const int n = parse_int(v, 1, 1000000, arg.c_str(), err);
            if (n < 0)
                return -1;
            (arg == "--max-hops" ? opts->max_hops
             : arg == "--request-timeout" ? opts->request_timeout
             : arg == "--target-timeout" ? opts->target_timeout
             : arg == "--max-clients" ? opts->max_clients
             : arg == "--max-clients-per-sender" ? opts->max_clients_per_sender
             : arg == "--max-half-sent" ? opts->max_half_sent
                                        : opts->max_queued_refusals) = n;
        } else if (arg == "--max-request") {
            if (!need(&v))
                return -1;
            const int n = parse_int(v, NSTD_QUERY_HDR_LEN + 1, 1 << 30, "--max-request", err);
            if (n < 0)
                return -1;
            opts->max_request = static_cast<size_t>(n);
        } else if (arg == "--replay") {
            if (!need(&v))
                return -1;
            opts->replay = true;
            opts->replay_path = v;
        } else if (arg == "--split") {
            if (!need(&split_text))
                return -1;
        } else if (arg == "--fail") {
            if (!need(&v))
                return -1;
            opts->fail_code = parse_code(v, err);
            if (opts->fail_code < 0)
                return -1;
        } else if (arg == "--malformed") {
            const std::string kind = has_value ? value : "len";
            if (kind == "len")
                opts->malformed = MALFORMED_LEN;
            else if (kind == "short")
                opts->malformed = MALFORMED_SHORT;
            else if (kind == "big")
                opts->malformed = MALFORMED_BIG;
            else {
                *err = "--malformed takes len, short or big";
                return -1;
            }
        } else if (arg == "--silent" && !has_value) {
            opts->silent = true;
        } else if (arg == "--quiet" && !has_value) {
            opts->quiet = true;
        } else if (arg == "--watch-stdin" && !has_value) {
            opts->watch_stdin = true;
        } else {
            *err = "unknown option " + std::string(argv[i]) + " (see --help)";
            return -1;
        }
    }

    if ((opts->fail_code >= 0) + (opts->malformed != MALFORMED_NONE) + opts->silent > 1) {
        *err = "--fail, --malformed and --silent exclude each other";
        return -1;
    }
    if (!split_text.empty() && !opts->replay) {
        *err = "--split needs --replay";
        return -1;
    }
    if (!split_text.empty() && parse_split(split_text, &opts->split, err) != 0)
        return -1;
    if (opts->socket_path.size() >= 108) {
        *err = "ZEL_QUERY_SOCKET needs a path of 1 to 107 bytes (or give --socket)";
        return -1;
    }
    if (read_routes(*opts, &opts->routes, err) != 0)
        return -1;
    if (opts->replay) {
        std::ifstream in(opts->replay_path, std::ios::binary);
        if (!in) {
            *err = "cannot read replay file " + opts->replay_path + ": " + strerror(errno);
            return -1;
        }
        opts->replay_data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return 0;
}

}  // namespace queryd
