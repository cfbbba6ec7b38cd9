#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "support/temp_dir.h"
#include "ulib/fdutil.h"

namespace {

TEST(FdMode, SwitchesAndReportsBadDescriptors)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    for (int round = 0; round < 2; ++round) {   // the second time it is already so
        EXPECT_EQ(fd_set_nonblock(p[0]), 0);
        EXPECT_TRUE(fcntl(p[0], F_GETFL) & O_NONBLOCK);
    }
    EXPECT_EQ(fd_set_block(p[0]), 0);
    EXPECT_FALSE(fcntl(p[0], F_GETFL) & O_NONBLOCK);
    close(p[0]);
    close(p[1]);
    EXPECT_EQ(fd_set_nonblock(p[0]), -1);
    EXPECT_EQ(fd_set_block(p[0]), -1);
}

TEST(PrintAsciiFile, CopiesWholeFilesAndReportsFailures)
{
    temp_dir dir;
    const std::string in = dir.file("in.txt");
    /* Copies `fname` into a memory stream; returns the result and the text. */
    const auto copy = [](const std::string& fname) {
        char* data = nullptr;
        size_t size = 0;
        FILE* out = open_memstream(&data, &size);
        const int rc = print_ascii_file(out, fname.c_str());
        fclose(out);
        std::pair<int, std::string> result{rc, std::string(data, size)};
        free(data);
        return result;
    };
    for (const std::string& content : {std::string(), std::string("no final line end"), std::string("a\nb\n\nc"),
                                       std::string(3000, 'x') + "\ntail"}) {   // lines longer than a read
        write_file(in, content);
        EXPECT_EQ(copy(in), std::make_pair(0, content));
    }
    EXPECT_EQ(copy(dir.file("missing.txt")), std::make_pair(-1, std::string()));
    EXPECT_EQ(copy(dir.path).first, -1);   // a directory opens but cannot be read

    FILE* full = fopen("/dev/full", "w");   // a write that fails stops the copy
    ASSERT_NE(full, nullptr);
    setvbuf(full, nullptr, _IONBF, 0);
    EXPECT_EQ(print_ascii_file(full, in.c_str()), -1);
    fclose(full);
}

}  // namespace
