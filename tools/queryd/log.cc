#include <string.h>

#include "tools/queryd/queryd.h"

/* How peers and texts appear in the log.  Everything a client controls is
 * cut and shown in printable ASCII, so a log line is always one line. */

namespace queryd {

std::string printable(std::string_view s)
{
    std::string out;
    for (char c : s.substr(0, 200))
        out += (c >= 0x20 && c < 0x7f) ? c : '?';
    return out;
}

std::string addr_text(const sockaddr_un& a, socklen_t len)
{
    const size_t n = len > offsetof(sockaddr_un, sun_path) ? len - offsetof(sockaddr_un, sun_path) : 0;
    if (n == 0)
        return "(unbound)";
    if (a.sun_path[0] == '\0')
        return "@" + printable(std::string_view(a.sun_path + 1, n - 1));
    return printable(std::string_view(a.sun_path, strnlen(a.sun_path, n)));
}

}  // namespace queryd
