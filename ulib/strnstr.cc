#include "ulib/strnstr.h"

#include <string.h>

/* Bounded substring search.  The bound is checked before every read of `s`,
 * so `s` need not be terminated when `slen` covers only readable memory. */
char* strnstr(const char* s, const char* find, size_t slen)
{
    const char c = *find;
    if (c == '\0')
        return const_cast<char*>(s);

    const size_t len = strlen(find + 1);
    for (size_t k = 0; k < slen; ++k) {
        const char sc = s[k];
        if (sc == '\0')
            return nullptr;
        if (sc != c)
            continue;
        /* The rest of the pattern must fit before the bound; if it does not
         * fit here, it fits at no later position either. */
        if (len > slen - k - 1)
            return nullptr;
        if (strncmp(s + k + 1, find + 1, len) == 0)
            return const_cast<char*>(s + k);
    }
    return nullptr;
}
