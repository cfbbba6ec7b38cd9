#include "sysapi/sysutil/gzip.h"

#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>
#include <zlib.h>

namespace {

constexpr size_t k_block = 1024;

int deflate_init(z_stream* strm, int level)
{
    return deflateInit_(strm, level, ZEL_ZLIB_VERSION, static_cast<int>(sizeof(z_stream)));
}

/* Closes the gzip file and removes the partial output. */
int fail_write(gzFile gz, const char* outf)
{
    gzclose(gz);
    unlink(outf);
    return -3;
}

}  // namespace

int is_gzip_buffer(size_t sz, const char* buf)
{
    if (sz < 2)
        return 0;
    return static_cast<unsigned char>(buf[0]) == 0x1F && static_cast<unsigned char>(buf[1]) == 0x8B;
}

int fgzip(const char* inf, const char* outf)
{
    if (inf == nullptr)
        return -1;
    FILE* in = fopen(inf, "rb");
    if (in == nullptr)
        return -1;
    gzFile gz = outf != nullptr ? gzopen(outf, "wb") : nullptr;
    if (gz == nullptr) {
        fclose(in);
        return -2;
    }
    char block[k_block];
    size_t n;
    while ((n = fread(block, 1, sizeof block, in)) > 0) {
        if (gzwrite(gz, block, static_cast<unsigned>(n)) != static_cast<int>(n)) {
            fclose(in);
            return fail_write(gz, outf);
        }
    }
    fclose(in);
    gzclose(gz);
    return 0;
}

int gzip_to_file(const char* in, size_t len, const char* outf)
{
    if (outf == nullptr)
        return -2;
    if (in == nullptr)
        return -3;
    gzFile gz = gzopen(outf, "wb");
    if (gz == nullptr)
        return -2;
    if (len == 0)
        len = strlen(in);
    // gzwrite takes an unsigned count and reports an int: a length beyond
    // INT_MAX cannot be written in one call and is refused, never cut.
    if (len > static_cast<size_t>(INT_MAX))
        return fail_write(gz, outf);
    if (len > 0 && gzwrite(gz, in, static_cast<unsigned>(len)) != static_cast<int>(len))
        return fail_write(gz, outf);
    gzclose(gz);
    return 0;
}

int sgzip(const char* in, const char* outf)
{
    return gzip_to_file(in, 0, outf);
}

int is_gzip(const char* fname)
{
    if (fname == nullptr)
        return -1;
    FILE* f = fopen(fname, "rb");
    if (f == nullptr)
        return -2;
    char magic[2];
    const int rc = fread(magic, 1, sizeof magic, f) < sizeof magic ? -3 : is_gzip_buffer(sizeof magic, magic);
    fclose(f);
    return rc;
}

namespace {

/* Deflates the open source into the open destination as one zlib stream. */
void zlib_compress_files(FILE* src, FILE* dst)
{
    z_stream strm;
    memset(&strm, 0, sizeof strm);
    if (deflate_init(&strm, Z_DEFAULT_COMPRESSION) != Z_OK)
        return;

    unsigned char in[k_block];
    unsigned char out[k_block];
    for (;;) {
        memset(in, 0, sizeof in);
        const size_t n = fread(in, 1, sizeof in, src);
        if (n == 0)
            break;
        strm.next_in = in;
        strm.avail_in = static_cast<uInt>(n);
        // A partial flush after every block; an output block that comes back
        // full means deflate may have more to give for this input.
        do {
            strm.next_out = out;
            strm.avail_out = sizeof out;
            if (deflate(&strm, Z_PARTIAL_FLUSH) == Z_OK)
                fwrite(out, 1, sizeof out - strm.avail_out, dst);
        } while (strm.avail_out == 0);
    }
    for (;;) {
        strm.next_out = out;
        strm.avail_out = sizeof out;
        const int rc = deflate(&strm, Z_FINISH);
        if (rc != Z_OK && rc != Z_STREAM_END)
            break;
        fwrite(out, 1, sizeof out - strm.avail_out, dst);
        if (rc == Z_STREAM_END)
            break;
    }
    deflateEnd(&strm);
}

}  // namespace

void zlib_compress(const char* source_file, const char* dest_file)
{
    if (source_file == nullptr || dest_file == nullptr)
        return;
    FILE* src = fopen(source_file, "r");
    if (src == nullptr)
        return;
    FILE* dst = fopen(dest_file, "w");
    if (dst != nullptr) {
        zlib_compress_files(src, dst);
        fclose(dst);
    }
    fclose(src);
}

long zip_compress_string(const char* buf, unsigned long bufSize, unsigned char* outBuf,
                         unsigned long outBufSize, int level)
{
    if ((buf == nullptr && bufSize > 0) || outBuf == nullptr)
        return -1;
    // zlib counts in 32 bits: an input that does not fit would be cut short,
    // so it is refused; a larger output buffer is simply used in part.
    if (bufSize > UINT_MAX)
        return -1;
    z_stream strm;
    memset(&strm, 0, sizeof strm);
    strm.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(buf));
    strm.avail_in = static_cast<uInt>(bufSize);
    strm.next_out = outBuf;
    strm.avail_out = static_cast<uInt>(outBufSize > UINT_MAX ? UINT_MAX : outBufSize);
    if (deflate_init(&strm, level) != Z_OK)
        return -1;
    while (strm.avail_in > 0) {
        if (deflate(&strm, Z_NO_FLUSH) != Z_OK) {
            deflateEnd(&strm);
            return -1;
        }
    }
    int rc;
    while ((rc = deflate(&strm, Z_FINISH)) == Z_OK) {
    }
    const long total = static_cast<long>(strm.total_out);
    deflateEnd(&strm);
    return rc == Z_STREAM_END ? total : -1;
}
