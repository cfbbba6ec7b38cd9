#include "ulib/fdutil.h"

#include <fcntl.h>

namespace {

/* Sets or clears O_NONBLOCK, writing the flags only when they change. */
int set_nonblock_flag(int fd, bool on)
{
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0)
        return -1;
    const int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (wanted == flags)
        return 0;
    return fcntl(fd, F_SETFL, wanted);
}

}  // namespace

int fd_set_nonblock(int fd)
{
    return set_nonblock_flag(fd, true);
}

int fd_set_block(int fd)
{
    return set_nonblock_flag(fd, false);
}

int print_ascii_file(FILE* fout, const char* fname)
{
    if (fout == nullptr || fname == nullptr)
        return -1;
    FILE* in = fopen(fname, "r");
    if (in == nullptr)
        return -1;
    char line[1024];
    while (fgets(line, sizeof line, in) != nullptr) {
        if (fputs(line, fout) == EOF)
            break;
    }
    const int rc = (feof(in) && !ferror(in) && !ferror(fout)) ? 0 : -1;
    fclose(in);
    return rc;
}
