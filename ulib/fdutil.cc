#include "ulib/fdutil.h"

#include <fcntl.h>

#include <memory>

namespace {

struct file_closer {
    void operator()(FILE* f) const { fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

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
    file_ptr in(fopen(fname, "r"));
    if (!in)
        return -1;
    char line[1024];
    while (fgets(line, sizeof line, in.get()) != nullptr) {
        if (fputs(line, fout) == EOF)
            break;
    }
    return (feof(in.get()) && !ferror(in.get()) && !ferror(fout)) ? 0 : -1;
}
