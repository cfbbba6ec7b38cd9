#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>
#include <zlib.h>

#include <random>
#include <string>
#include <tuple>

#include "support/temp_dir.h"
#include "sysapi/sysutil/gzip.h"

namespace {

/* Inflates a zlib (window_bits 15) or gzip (31) stream; anything but one
 * whole stream with nothing after it comes back as a marker text. */
std::string inflated(const std::string& in, int window_bits)
{
    z_stream s{};
    std::string out(1 << 20, '\0');
    inflateInit2(&s, window_bits);
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    s.avail_in = static_cast<uInt>(in.size());
    s.next_out = reinterpret_cast<Bytef*>(out.data());
    s.avail_out = static_cast<uInt>(out.size());
    const bool whole = inflate(&s, Z_FINISH) == Z_STREAM_END && s.avail_in == 0;
    out.resize(s.total_out);
    inflateEnd(&s);
    return whole ? out : "(not one whole stream)";
}

/* Text that compresses well, followed by bytes that do not. */
std::string sample(size_t text_len, size_t random_len)
{
    std::string s;
    while (s.size() < text_len)
        s += "line " + std::to_string(s.size()) + " of the sample\n";
    s.resize(text_len);
    std::mt19937 rng(3);
    while (random_len-- > 0)
        s.push_back(static_cast<char>(rng()));
    return s;
}

TEST(Gzip, MagicFilesAndBuffersRoundTrip)
{
    EXPECT_EQ(is_gzip_buffer(1, "\x1f\x8b"), 0);
    EXPECT_EQ(is_gzip_buffer(2, "\x1f\x8b"), 1);
    EXPECT_EQ(is_gzip_buffer(2, "\x8b\x1f"), 0);

    temp_dir dir;
    const std::string in = dir.file("in"), out = dir.file("out.gz"), nowhere = dir.file("no/such/dir.gz");
    for (const std::string& content : {std::string(), sample(3000, 5000)}) {
        write_file(in, content);
        ASSERT_EQ(fgzip(in.c_str(), out.c_str()), 0);
        EXPECT_EQ(inflated(read_file(out), 31), content);
        ASSERT_EQ(gzip_to_file(content.data(), content.size(), out.c_str()), 0);
        EXPECT_EQ(inflated(read_file(out), 31), content);
    }
    // Length 0 means a 0-terminated string; an explicit length keeps NULs.
    const std::string with_nul("ab\0cd", 5);
    ASSERT_EQ(sgzip(with_nul.data(), out.c_str()), 0);
    EXPECT_EQ(inflated(read_file(out), 31), "ab");
    EXPECT_EQ(is_gzip(out.c_str()), 1);
    ASSERT_EQ(gzip_to_file(with_nul.data(), 5, out.c_str()), 0);
    EXPECT_EQ(inflated(read_file(out), 31), with_nul);

    write_file(dir.file("one"), "\x1f");
    EXPECT_EQ(is_gzip(in.c_str()), 0);
    EXPECT_EQ(is_gzip(dir.file("one").c_str()), -3);
    EXPECT_EQ(is_gzip(dir.file("missing").c_str()), -2);
    EXPECT_EQ(is_gzip(nullptr), -1);
    EXPECT_EQ(fgzip(dir.file("missing").c_str(), out.c_str()), -1);
    EXPECT_EQ(fgzip(in.c_str(), nowhere.c_str()), -2);
    EXPECT_EQ(sgzip("data", nowhere.c_str()), -2);
}

TEST(Gzip, FailedWriteRemovesTheOutput)
{
    temp_dir dir;
    const std::string big = sample(0, 256 * 1024), in = dir.file("in"), out = dir.file("out.gz");   // incompressible
    write_file(in, big);
    // Under a file size limit, with SIGXFSZ ignored, the writes fail with EFBIG.
    const auto old_handler = signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 16 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const int from_file = fgzip(in.c_str(), out.c_str());
    const bool file_left = access(out.c_str(), F_OK) == 0;
    const int from_buffer = gzip_to_file(big.data(), big.size(), out.c_str());
    const bool buffer_left = access(out.c_str(), F_OK) == 0;
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, old_handler);
    EXPECT_EQ(std::make_tuple(from_file, file_left, from_buffer, buffer_left), std::make_tuple(-3, false, -3, false));
}

TEST(Zlib, CompressFileAndStringRoundTrip)
{
    temp_dir dir;
    const std::string in = dir.file("in"), out = dir.file("out.z");
    for (const std::string& content : {std::string(), sample(10000, 8000)}) {
        write_file(in, content);
        zlib_compress(in.c_str(), out.c_str());
        EXPECT_EQ(inflated(read_file(out), 15), content) << content.size();
    }
    zlib_compress(dir.file("missing").c_str(), dir.file("never.z").c_str());
    EXPECT_EQ(access(dir.file("never.z").c_str(), F_OK), -1);   // nothing created

    unsigned char buf[64 * 1024];
    EXPECT_EQ(zip_compress_string("", 0, buf, sizeof buf, -1), 8);
    EXPECT_EQ(zip_compress_string("", 0, buf, 4, -1), -1);
    EXPECT_EQ(zip_compress_string("abc", 3, buf, sizeof buf, 10), -1);
    const std::string content = sample(20000, 3000);
    for (int level : {-1, 0, 9}) {
        const long n = zip_compress_string(content.data(), content.size(), buf, sizeof buf, level);
        ASSERT_GT(n, 0) << level;
        EXPECT_EQ(inflated(std::string(reinterpret_cast<char*>(buf), n), 15), content) << level;
        EXPECT_EQ(zip_compress_string(content.data(), content.size(), buf, n, level), n) << level;   // an exact fit
        EXPECT_EQ(zip_compress_string(content.data(), content.size(), buf, n - 1, level), -1) << level;
    }
}

}  // namespace
