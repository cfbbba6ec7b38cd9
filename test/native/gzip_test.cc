#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>
#include <zlib.h>

#include <random>
#include <string>

#include "support/temp_dir.h"
#include "sysapi/sysutil/gzip.h"

namespace {

/* Inflates a whole zlib (window_bits 15) or gzip (31) stream; fails the test
 * unless the stream is complete and nothing follows it. */
std::string inflate_all(const std::string& in, int window_bits)
{
    z_stream s{};
    EXPECT_EQ(inflateInit2(&s, window_bits), Z_OK);
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    s.avail_in = static_cast<uInt>(in.size());
    std::string out;
    int rc;
    do {
        char block[4096];
        s.next_out = reinterpret_cast<Bytef*>(block);
        s.avail_out = sizeof block;
        rc = inflate(&s, Z_NO_FLUSH);
        out.append(block, sizeof block - s.avail_out);
    } while (rc == Z_OK);
    EXPECT_EQ(rc, Z_STREAM_END);
    EXPECT_EQ(s.avail_in, 0U);
    inflateEnd(&s);
    return out;
}

/* Text that compresses well, followed by bytes that do not. */
std::string sample(size_t text_len, size_t random_len)
{
    std::string s;
    while (s.size() < text_len)
        s += "line " + std::to_string(s.size()) + " of the sample\n";
    s.resize(text_len);
    std::mt19937 rng(3);
    for (size_t i = 0; i < random_len; ++i)
        s.push_back(static_cast<char>(rng()));
    return s;
}

TEST(GzipMagic, BufferAndFile)
{
    EXPECT_EQ(is_gzip_buffer(1, "\x1f\x8b"), 0);
    EXPECT_EQ(is_gzip_buffer(2, "\x1f\x8b"), 1);
    EXPECT_EQ(is_gzip_buffer(2, "\x8b\x1f"), 0);

    temp_dir dir;
    write_file(dir.file("one"), "\x1f");
    write_file(dir.file("text"), "hello");
    ASSERT_EQ(sgzip("hello", dir.file("gz").c_str()), 0);
    EXPECT_EQ(is_gzip(dir.file("gz").c_str()), 1);
    EXPECT_EQ(is_gzip(dir.file("text").c_str()), 0);
    EXPECT_EQ(is_gzip(dir.file("one").c_str()), -3);
    EXPECT_EQ(is_gzip(dir.file("missing").c_str()), -2);
    EXPECT_EQ(is_gzip(nullptr), -1);
}

TEST(Gzip, FilesAndBuffersRoundTrip)
{
    temp_dir dir;
    const std::string in = dir.file("in"), out = dir.file("out.gz");
    for (const std::string& content : {std::string(), sample(100, 0), sample(3000, 5000)}) {
        write_file(in, content);
        ASSERT_EQ(fgzip(in.c_str(), out.c_str()), 0);
        EXPECT_EQ(inflate_all(read_file(out), 31), content);
        ASSERT_EQ(gzip_to_file(content.data(), content.size(), out.c_str()), 0);
        EXPECT_EQ(inflate_all(read_file(out), 31), content);
    }
    // Length 0 means a 0-terminated string; an explicit length keeps NULs.
    const std::string with_nul("ab\0cd", 5);
    ASSERT_EQ(gzip_to_file(with_nul.data(), 0, out.c_str()), 0);
    EXPECT_EQ(inflate_all(read_file(out), 31), "ab");
    ASSERT_EQ(gzip_to_file(with_nul.data(), 5, out.c_str()), 0);
    EXPECT_EQ(inflate_all(read_file(out), 31), with_nul);

    const std::string nowhere = dir.file("no/such/dir.gz");
    EXPECT_EQ(fgzip(dir.file("missing").c_str(), out.c_str()), -1);
    EXPECT_EQ(fgzip(in.c_str(), nowhere.c_str()), -2);
    EXPECT_EQ(sgzip("data", nowhere.c_str()), -2);
}

TEST(Gzip, FailedWriteRemovesTheOutput)
{
    temp_dir dir;
    const std::string big = sample(0, 256 * 1024);   // incompressible
    write_file(dir.file("in"), big);
    const std::string out = dir.file("out.gz");

    // A file size limit makes the writes fail with EFBIG instead of a signal.
    struct sigaction ignore {}, old {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &old);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 16 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const int from_file = fgzip(dir.file("in").c_str(), out.c_str());
    const bool file_left = access(out.c_str(), F_OK) == 0;
    const int from_buffer = gzip_to_file(big.data(), big.size(), out.c_str());
    const bool buffer_left = access(out.c_str(), F_OK) == 0;
    setrlimit(RLIMIT_FSIZE, &saved);
    sigaction(SIGXFSZ, &old, nullptr);

    EXPECT_EQ(from_file, -3);
    EXPECT_FALSE(file_left);
    EXPECT_EQ(from_buffer, -3);
    EXPECT_FALSE(buffer_left);
}

TEST(Zlib, CompressFileRoundTrips)
{
    temp_dir dir;
    const std::string in = dir.file("in"), out = dir.file("out.z");
    for (const std::string& content : {std::string(), sample(1024, 0), sample(10000, 8000)}) {
        write_file(in, content);
        zlib_compress(in.c_str(), out.c_str());
        EXPECT_EQ(inflate_all(read_file(out), 15), content) << content.size();
    }
    zlib_compress(dir.file("missing").c_str(), dir.file("never.z").c_str());
    EXPECT_EQ(access(dir.file("never.z").c_str(), F_OK), -1);   // nothing created
}

TEST(Zlib, CompressStringToBuffer)
{
    unsigned char out[64 * 1024];
    EXPECT_EQ(zip_compress_string("", 0, out, sizeof out, -1), 8);
    EXPECT_EQ(zip_compress_string("", 0, out, 4, -1), -1);
    EXPECT_EQ(zip_compress_string("abc", 3, out, sizeof out, 10), -1);

    const std::string content = sample(20000, 3000);
    for (int level : {-1, 0, 1, 9}) {
        const long n = zip_compress_string(content.data(), content.size(), out, sizeof out, level);
        ASSERT_GT(n, 0) << level;
        EXPECT_EQ(inflate_all(std::string(reinterpret_cast<char*>(out), n), 15), content) << level;
    }
    const long need = zip_compress_string(content.data(), content.size(), out, sizeof out, -1);
    EXPECT_EQ(zip_compress_string(content.data(), content.size(), out, need - 1, -1), -1);
    EXPECT_EQ(zip_compress_string(content.data(), content.size(), out, need, -1), need);
}

}  // namespace
