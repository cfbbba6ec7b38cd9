/* Checks on the response head; see api_zel_head_checks.h. */
#include "modules/api/api_zel_head_checks.h"

#include <limits.h>

#include "modules/api/api_zel_request_checks.h"

namespace {

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

} // namespace

int api_zel_status_of_line(const char* line, int len)
{
    static constexpr char k_version[] = "HTTP/1.";
    constexpr int k_version_len = static_cast<int>(sizeof k_version) - 1;
    /* "HTTP/1.x" SP 3DIGIT */
    constexpr int k_fixed_len = k_version_len + 1 + 1 + 3;
    if (line == nullptr || len < k_fixed_len)
        return -1;
    for (int i = 0; i < k_version_len; ++i)
        if (line[i] != k_version[i])
            return -1;
    const char* p = line + k_version_len;
    if (!is_digit(p[0]) || p[1] != ' ' || !is_digit(p[2]) || !is_digit(p[3]) || !is_digit(p[4]))
        return -1;
    /* A status below 100 makes res.writeHead throw. */
    if (p[2] == '0')
        return -1;
    const int status = (p[2] - '0') * 100 + (p[3] - '0') * 10 + (p[4] - '0');
    if (len == k_fixed_len)
        return status;
    if (line[k_fixed_len] != ' ')
        return -1;
    /* The reason phrase never reaches the script, but a head that holds a
     * control byte anywhere is not one the relay vouches for. */
    const int reason = k_fixed_len + 1;
    return api_zel_is_field_value(line + reason, len - reason) ? status : -1;
}

bool api_zel_is_field_name(const char* name, int len)
{
    if (name == nullptr || len < 1)
        return false;
    for (int i = 0; i < len; ++i)
        if (!zel_is_token_char(static_cast<unsigned char>(name[i])))
            return false;
    return true;
}

bool api_zel_is_field_value(const char* value, int len)
{
    if (value == nullptr && len > 0)
        return false;
    for (int i = 0; i < len; ++i) {
        const unsigned char c = static_cast<unsigned char>(value[i]);
        if ((c < 0x20 && c != '\t') || c == 0x7f)
            return false;
    }
    return true;
}

int api_zel_content_length_of(const char* value, int len)
{
    if (value == nullptr || len < 1)
        return -1;
    int from = 0;
    int to = len;
    while (from < to && is_blank(value[from]))
        ++from;
    while (to > from && is_blank(value[to - 1]))
        --to;
    if (from == to)
        return -1;
    int length = 0;
    for (int i = from; i < to; ++i) {
        if (!is_digit(value[i]))
            return -1;
        const int digit = value[i] - '0';
        if (length > (INT_MAX - digit) / 10)
            return -1;
        length = length * 10 + digit;
    }
    return length;
}
