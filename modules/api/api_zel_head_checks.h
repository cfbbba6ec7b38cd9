/* Checks on the response head an appliance sends.  The relay hands the status
 * and every field to the script's write-head function, which in a server
 * built like the README's example is Node's res.writeHead: a head it would
 * throw on must never reach it, and a length the relay frames the body by
 * must be exactly one plain number.  These rules are what
 * api_zel_parse_response_header applies to every line. */
#ifndef ZEL_MODULES_API_HEAD_CHECKS_H
#define ZEL_MODULES_API_HEAD_CHECKS_H

#include <stdbool.h>

#include "ulib/zel_export.h"

ZEL_BEGIN_DECLS

/* Reads a status line, given without its line end: "HTTP/1." and a digit, a
 * space, three digits, then either nothing or a space and a reason phrase of
 * field-value bytes.  Returns the status (100 to 999), or -1. */
int api_zel_status_of_line(const char* line, int len);

/* True when the `len` bytes (at least one) are all HTTP token characters
 * (RFC 9110 tchar): what res.writeHead takes as a field name. */
bool api_zel_is_field_name(const char* name, int len);

/* True when every one of the `len` bytes is HTAB, SP, visible ASCII or a byte
 * of 0x80 and above.  The host hands values to the script one character per
 * byte (latin1), so these are exactly the values res.writeHead takes; every
 * other control byte, DEL and NUL included, is refused. */
bool api_zel_is_field_value(const char* value, int len);

/* Reads a Content-Length value: optional SP or HTAB, one or more decimal
 * digits, optional SP or HTAB.  Returns the length, or -1 when the value is
 * anything else or above INT_MAX (checked before each digit is added). */
int api_zel_content_length_of(const char* value, int len);

ZEL_END_DECLS

#endif
