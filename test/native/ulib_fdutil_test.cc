#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "support/temp_dir.h"
#include "ulib/fdutil.h"

namespace {

bool is_nonblocking(int fd)
{
    return (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0;
}

TEST(FdMode, SwitchesAndReportsBadDescriptors)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    EXPECT_EQ(fd_set_nonblock(p[0]), 0);
    EXPECT_TRUE(is_nonblocking(p[0]));
    EXPECT_EQ(fd_set_nonblock(p[0]), 0);   // already so
    EXPECT_TRUE(is_nonblocking(p[0]));
    EXPECT_EQ(fd_set_block(p[0]), 0);
    EXPECT_FALSE(is_nonblocking(p[0]));
    close(p[0]);
    close(p[1]);

    EXPECT_EQ(fd_set_nonblock(p[0]), -1);
    EXPECT_EQ(fd_set_block(p[0]), -1);
}

/* Copies `fname` into a memory stream; returns the result and the text. */
std::pair<int, std::string> copy_to_memory(const std::string& fname)
{
    char* data = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&data, &size);
    const int rc = print_ascii_file(out, fname.c_str());
    fclose(out);
    std::string text(data, size);
    free(data);
    return {rc, text};
}

TEST(PrintAsciiFile, CopiesWholeFiles)
{
    temp_dir dir;
    const std::string long_line = std::string(3000, 'x') + "\n";
    const std::string contents[] = {"", "one line\n", "no final line end", "a\nb\n\nc",
                                    long_line + "tail"};
    for (const auto& content : contents) {
        write_file(dir.file("in.txt"), content);
        const auto [rc, text] = copy_to_memory(dir.file("in.txt"));
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(text, content);
    }
}

TEST(PrintAsciiFile, Failures)
{
    temp_dir dir;
    const auto [rc, text] = copy_to_memory(dir.file("missing.txt"));
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(text, "");

    // A directory opens but cannot be read.
    EXPECT_EQ(copy_to_memory(dir.path).first, -1);

    // A write that fails stops the copy.
    write_file(dir.file("in.txt"), "some text\n");
    FILE* full = fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    setvbuf(full, nullptr, _IONBF, 0);
    EXPECT_EQ(print_ascii_file(full, dir.file("in.txt").c_str()), -1);
    fclose(full);
}

}  // namespace
