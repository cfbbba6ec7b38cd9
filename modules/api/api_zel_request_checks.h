/* Checks on the texts that become part of a proxied request's head.  A text
 * that could end a header line or the head itself, or a method that is not an
 * HTTP token, would let its author change the request's structure: add or
 * repeat identity fields, or start a second request.  Such texts are refused
 * before anything is composed. */
#ifndef ZEL_MODULES_API_REQUEST_CHECKS_H
#define ZEL_MODULES_API_REQUEST_CHECKS_H

#include <stdbool.h>
#include <stddef.h>

#include "ulib/zel_export.h"

ZEL_BEGIN_DECLS

typedef enum {
    ZEL_HEAD_TEXT_OK = 0,
    ZEL_HEAD_TEXT_CONTROL = 1,    /* holds a CR, LF or NUL byte */
    ZEL_HEAD_TEXT_NOT_TOKEN = 2,  /* a method with a byte outside the token characters */
    ZEL_HEAD_TEXT_BLANK = 3,      /* a request target holding SP, HTAB, VT or FF */
    ZEL_HEAD_TEXT_NUL = 4,        /* a body holding a NUL byte */
} zel_head_text_check_e;

/* True for the token characters of HTTP (RFC 9110 tchar): letters, digits and
 * !#$%&'*+-.^_`|~. */
bool zel_is_token_char(unsigned char c);

/* Returns ZEL_HEAD_TEXT_OK when the `len` bytes at `text` may stand in a
 * header value or the request target, ZEL_HEAD_TEXT_CONTROL when one of them
 * is CR, LF or NUL.  With `token` set the text is a method: it must also be
 * empty or made of token characters only, else ZEL_HEAD_TEXT_NOT_TOKEN.  A
 * null text counts as empty. */
int zel_check_head_text(const char* text, size_t len, bool token);

/* The request target's check: zel_check_head_text's, and then
 * ZEL_HEAD_TEXT_BLANK when a byte is SP, HTAB, VT or FF.  Any of them can end
 * the target for some server, which would read what follows as the protocol
 * version or as more of the request line. */
int zel_check_request_target(const char* text, size_t len);

/* Returns ZEL_HEAD_TEXT_OK, or ZEL_HEAD_TEXT_NUL when one of the `len` bytes
 * is NUL: the body travels as a C text, which would end there and lose the
 * rest without notice.  A null text counts as empty. */
int zel_check_body_text(const char* text, size_t len);

ZEL_END_DECLS

#endif
