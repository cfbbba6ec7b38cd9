/* Routing of one script call to its target appliance, and composition of the
 * proxied request. */
#include "node-server-side/zel-proxy/node_zel_req_handler.h"

#include <string.h>

napi_value node_zel_req_handler(napi_env env, node_zel_req_params* http_req)
{
    if (http_req == nullptr)
        return nullptr;

    char* url = http_req->url;
    /* The query part never takes part in the split, so slashes inside it
     * cannot be mistaken for path separators. */
    char* found = strchr(url, '?');
    if (found != nullptr)
        *found = '\0';

    const char* serials = nullptr;
    api_parse_url_segments(url, nullptr, 2, static_cast<const char**>(nullptr), &serials);
    return create_proxied_request(env, serials, http_req);
}

/* Placeholder until request composition lands: no request is composed, so
 * the script sees `undefined`.  Replaced by the composer that sends the
 * request through the query daemon. */
napi_value create_proxied_request(napi_env env, const char* path, node_zel_req_params* http_req)
{
    (void)env;
    (void)path;
    (void)http_req;
    return nullptr;
}
