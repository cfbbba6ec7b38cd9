/* Conversions between script values and native texts and numbers. */
#ifndef ZEL_NODE_ZEL_COMMON_H
#define ZEL_NODE_ZEL_COMMON_H

#include <node_api.h>

#include "modules/api/api_zel_host.h"   /* empty_str, the text for `undefined` and `null` */
#include "ulib/zel_export.h"

ZEL_BEGIN_DECLS

/* Returns a calloc'ed UTF-8 copy of a script string, empty_str for undefined
 * or null, or null (with an "EINVAL" error thrown) on failure. */
ZEL_EXPORT char* node_zel_create_str_from_napi_value(napi_env env, napi_value str_value);
/* Returns a script string of exactly `len` bytes, or null (len < 1 or null
 * text give null without a throw). */
ZEL_EXPORT napi_value node_zel_convert_string(napi_env env, const char* str, int len);
/* Returns a script number, or null after a throw. */
ZEL_EXPORT napi_value node_zel_convert_int32(napi_env env, int value);
/* Returns the named property of `global`, or null after printing. */
ZEL_EXPORT napi_value get_js_property(napi_env env, napi_value global, const char* func_name);

ZEL_END_DECLS

#endif
