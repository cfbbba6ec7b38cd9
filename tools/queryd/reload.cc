#include <stdio.h>

#include <string>
#include <vector>

#include "tools/queryd/queryd.h"

/* Route reload on SIGHUP.  The new table is read whole before it replaces
 * the old one, so a file with a bad line, or one that is missing or being
 * rewritten, never leaves the daemon with half a table.  Exchanges in flight
 * keep the target connection they have: only requests routed afterwards see
 * the new table. */

namespace queryd {

bool reload_routes(options* opts)
{
    if (opts->route_files.empty()) {
        fprintf(stderr, "zel-queryd: SIGHUP: no route file to re-read (routes come from --route only); %zu routes kept\n",
                opts->routes.size());
        return false;
    }
    std::vector<route> fresh;
    std::string err;
    if (read_routes(*opts, &fresh, &err) != 0) {
        fprintf(stderr, "zel-queryd: SIGHUP: routes not reloaded, the %zu routes in use stay: %s\n",
                opts->routes.size(), err.c_str());
        return false;
    }
    opts->routes.swap(fresh);
    std::string files;
    for (const std::string& f : opts->route_files)
        files += (files.empty() ? "" : ", ") + f;
    fprintf(stderr, "zel-queryd: SIGHUP: routes reloaded from %s: %zu routes\n", files.c_str(), opts->routes.size());
    return true;
}

}  // namespace queryd
