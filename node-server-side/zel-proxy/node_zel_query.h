/* Non-blocking queries for the script side: one poll context per query, its
 * socket watched by the event loop.  Internal to the module: the functions
 * reach scripts only as hidden properties of the binding's exports. */
#ifndef ZEL_NODE_ZEL_QUERY_H
#define ZEL_NODE_ZEL_QUERY_H

#include <node_api.h>

/* Puts _queryOpen, _querySend, _queryResume, _queryPause and _queryClose on
 * `exports`.  Returns false (with an error pending) on failure. */
bool node_zel_query_register(napi_env env, napi_value exports);

#endif
