/* Checks on the texts that become part of a proxied request's head.  A text
 * that could end a header line or the head itself, or a method that is not an
 * HTTP token, would let its author change the request's structure: add or
 * repeat identity fields, or start a second request.  Such texts are refused
 * before anything is composed. */
#ifndef ZEL_NODE_REQUEST_CHECKS_H
#define ZEL_NODE_REQUEST_CHECKS_H

#include <stdbool.h>
#include <stddef.h>

#include "ulib/zel_export.h"

ZEL_BEGIN_DECLS

typedef enum {
    ZEL_HEAD_TEXT_OK = 0,
    ZEL_HEAD_TEXT_CONTROL = 1,    /* holds a CR, LF or NUL byte */
    ZEL_HEAD_TEXT_NOT_TOKEN = 2,  /* a method with a byte outside the token characters */
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

ZEL_END_DECLS

#endif
