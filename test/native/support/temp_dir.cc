#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>

temp_dir::temp_dir()
{
    char tmpl[] = "/tmp/zel-test-XXXXXX";
    const char* p = mkdtemp(tmpl);
    EXPECT_NE(p, nullptr) << "mkdtemp failed";
    path = p != nullptr ? p : "";
}

temp_dir::~temp_dir()
{
    if (!path.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
}

void write_file(const std::string& path, const std::string& data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    ASSERT_TRUE(out.good()) << "cannot write " << path;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
