/* Case folding and space trimming on NUL-terminated byte strings.  Bytes are
 * looked up as signed chars, so a byte above 0x7F reaches the classification
 * table as a negative index, which glibc's tables cover; in the "C" locale
 * only ASCII letters change. */
#include <ctype.h>
#include <string.h>

#include "ulib/util.h"

void str_tolower(char* string)
{
    for (char* p = string; *p != '\0'; ++p)
        *p = static_cast<char>(tolower(static_cast<signed char>(*p)));
}

char* string_to_unicase(char* str, int upper)
{
    const int len = static_cast<int>(strlen(str));
    for (int i = 0; i < len; ++i) {
        const int c = static_cast<signed char>(str[i]);
        str[i] = static_cast<char>(upper ? toupper(c) : tolower(c));
    }
    return str;
}

void nrv_trim_space(char* buf)
{
    if (buf == nullptr)
        return;
    int len = static_cast<int>(strlen(buf));
    if (len == 0)
        return;
    while (buf[len - 1] == ' ') {
        buf[--len] = '\0';
        if (len == 0)
            return;
    }
    int i = 0;
    while (i < len && buf[i] == ' ')
        ++i;
    memmove(buf, buf + i, static_cast<size_t>(len - i) + 1);
}
