/* Checks on request-head texts; see api_zel_request_checks.h. */
#include "modules/api/api_zel_request_checks.h"

#include <string.h>

bool zel_is_token_char(unsigned char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    return c != '\0' && strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

int zel_check_head_text(const char* text, size_t len, bool token)
{
    if (text == nullptr)
        return ZEL_HEAD_TEXT_OK;
    /* Line structure first: a CR, LF or NUL is the graver fault, whatever
     * else the text holds. */
    for (size_t i = 0; i < len; ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n' || c == '\0')
            return ZEL_HEAD_TEXT_CONTROL;
    }
    if (token) {
        for (size_t i = 0; i < len; ++i) {
            if (!zel_is_token_char(static_cast<unsigned char>(text[i])))
                return ZEL_HEAD_TEXT_NOT_TOKEN;
        }
    }
    return ZEL_HEAD_TEXT_OK;
}

int zel_check_request_target(const char* text, size_t len)
{
    const int verdict = zel_check_head_text(text, len, false);
    if (verdict != ZEL_HEAD_TEXT_OK || text == nullptr)
        return verdict;
    for (size_t i = 0; i < len; ++i) {
        const char c = text[i];
        if (c == ' ' || c == '\t' || c == '\v' || c == '\f')
            return ZEL_HEAD_TEXT_BLANK;
    }
    return ZEL_HEAD_TEXT_OK;
}

int zel_check_body_text(const char* text, size_t len)
{
    if (text == nullptr || memchr(text, '\0', len) == nullptr)
        return ZEL_HEAD_TEXT_OK;
    return ZEL_HEAD_TEXT_NUL;
}
