#include <string.h>

#include <algorithm>

#include "tools/queryd/queryd.h"

/* Routing along the serial chain and the check of the relayed HTTP request.
 * The daemon reaches the last serial of the chain directly; the serials in
 * between only count towards the hop limit and the loop check. */

namespace queryd {

namespace {

/* HTTP token characters (RFC 9110 tchar). */
bool is_tchar(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return true;
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z')
        return true;
    return c != '\0' && strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool is_token(std::string_view s)
{
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return is_tchar(static_cast<unsigned char>(c)); });
}

bool iequals(std::string_view a, std::string_view b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return (x | 0x20) == (y | 0x20); });
}

/* A field name character as servers that fold names see it: lower case, and
 * '_' read as '-'. */
char fold(char c)
{
    return c == '_' ? '-' : (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

/* True when folded `name` starts with `prefix` (given folded). */
bool folded_prefix(std::string_view name, std::string_view prefix)
{
    return name.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), name.begin(), [](char p, char c) { return p == fold(c); });
}

/* Returns the value of a decimal Content-Length, or -1 when it is not one. */
long long parse_length(std::string_view v)
{
    if (v.empty() || v.size() > 15)
        return -1;
    long long n = 0;
    for (char c : v) {
        if (c < '0' || c > '9')
            return -1;
        n = n * 10 + (c - '0');
    }
    return n;
}

}  // namespace

std::string_view trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

route_verdict route_chain(std::string_view path, const options& opts)
{
    std::vector<std::string_view> chain;
    size_t start = 0;
    for (;;) {
        const size_t colon = path.find(':', start);
        const std::string_view serial = path.substr(start, colon == std::string_view::npos ? colon : colon - start);
        if (serial.empty())
            return {QUERY_FAIL_PATH_ERR, "empty serial in the chain", nullptr};
        chain.push_back(serial);
        if (colon == std::string_view::npos)
            break;
        start = colon + 1;
    }
    for (size_t i = 1; i < chain.size(); ++i)
        if (std::find(chain.begin(), chain.begin() + static_cast<long>(i), chain[i]) != chain.begin() + static_cast<long>(i))
            return {QUERY_FAIL_PATH_LOOP, "serial named twice in the chain", nullptr};
    if (chain.size() > static_cast<size_t>(opts.max_hops))
        return {QUERY_FAIL_DROP_TTL, "chain longer than the hop limit", nullptr};
    for (const route& r : opts.routes)
        if (r.serial == chain.back())
            return {QUERY_SUCCESS, nullptr, &r.ep};
    return {QUERY_FAIL_ROUTE_ERR, "no route to the target serial", nullptr};
}

bool http_request_check(std::string_view data, std::string_view* method, std::string_view* target,
                        const char** reason)
{
    const size_t head_end = data.find("\r\n\r\n");
    if (head_end == std::string_view::npos) {
        *reason = "HTTP header has no end";
        return false;
    }
    const std::string_view head = data.substr(0, head_end + 2);
    const size_t line_end = head.find("\r\n");
    const std::string_view line = head.substr(0, line_end);
    const size_t sp1 = line.find(' ');
    const size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos || line.substr(sp2 + 1) != "HTTP/1.1") {
        *reason = "request line is not METHOD TARGET HTTP/1.1";
        return false;
    }
    const std::string_view m = line.substr(0, sp1);
    const std::string_view t = line.substr(sp1 + 1, sp2 - sp1 - 1);
    const bool target_ok = !t.empty() && std::all_of(t.begin(), t.end(), [](char c) {
        return static_cast<unsigned char>(c) > 0x20 && static_cast<unsigned char>(c) < 0x7f;
    });
    if (!is_token(m) || !target_ok) {
        *reason = "request line is not METHOD TARGET HTTP/1.1";
        return false;
    }

    if (head.find('\0') != std::string_view::npos) {
        *reason = "NUL in the HTTP header";
        return false;
    }

    /* The identity fields are what the target trusts: a second copy of one
     * could be read by the target in place of the first, so none may repeat.
     * Names are compared as CGI, WSGI and many proxies see them, with case
     * ignored and '_' read as '-': X-ADMIN_SUPER is X-ADMIN-SUPER there. */
    std::vector<std::string> identity;
    long long content_length = -1;
    bool chunked = false;
    for (size_t pos = line_end + 2; pos < head.size();) {
        const size_t end = head.find("\r\n", pos);
        const std::string_view field = head.substr(pos, end - pos);
        pos = end + 2;
        const size_t colon = field.find(':');
        if (colon == std::string_view::npos || !is_token(field.substr(0, colon)) ||
            field.find_first_of("\r\n") != std::string_view::npos) {
            *reason = "malformed header field";
            return false;
        }
        const std::string_view name = field.substr(0, colon);
        const std::string_view value = trim(field.substr(colon + 1));
        if (iequals(name, "content-length")) {
            const long long n = parse_length(value);
            if (n < 0 || (content_length >= 0 && n != content_length)) {
                *reason = "bad Content-Length";
                return false;
            }
            content_length = n;
        } else if (iequals(name, "transfer-encoding")) {
            chunked = true;
        } else if (folded_prefix(name, "x-zel-") || folded_prefix(name, "x-admin-")) {
            identity.emplace_back(name);
            for (char& c : identity.back())
                c = fold(c);
        }
    }
    std::sort(identity.begin(), identity.end());
    if (std::adjacent_find(identity.begin(), identity.end()) != identity.end()) {
        *reason = "identity header field named twice";
        return false;
    }

    /* The target reads exactly the body the header announces; anything else
     * would leave it waiting or see the rest as a second request. */
    const size_t body = data.size() - head_end - 4;
    if (!chunked && static_cast<long long>(body) != std::max(content_length, 0LL)) {
        *reason = "body length differs from Content-Length";
        return false;
    }
    *method = m;
    *target = t;
    return true;
}

}  // namespace queryd
