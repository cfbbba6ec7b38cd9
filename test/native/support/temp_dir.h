/* A private directory under /tmp for tests that write files, removed with
 * everything in it when the record goes out of scope. */
#ifndef ZEL_TEST_SUPPORT_TEMP_DIR_H
#define ZEL_TEST_SUPPORT_TEMP_DIR_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

struct temp_dir {
    std::string path;

    temp_dir()
    {
        char tmpl[] = "/tmp/zel-test-XXXXXX";
        EXPECT_NE(mkdtemp(tmpl), nullptr) << "mkdtemp failed";
        path = tmpl;
    }
    ~temp_dir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    std::string file(const std::string& name) const { return path + "/" + name; }
};

inline void write_file(const std::string& path, const std::string& data)
{
    ASSERT_TRUE(std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size())).good())
        << "cannot write " << path;
}

/* The whole content of the file `path` (empty if it cannot be read). */
inline std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

#endif
