/* Inflating of gzip bodies for clients that do not accept gzip. */
#include "modules/api/api_zel_inflate.h"

#include <stdlib.h>
#include <string.h>

#include "modules/api/api_zel_http_util.h"

namespace {

/* One output block per call, freed on every path out. */
struct out_block {
    unsigned char* p = static_cast<unsigned char*>(calloc(API_ZEL_JS_BUFF_SIZE, 1));
    out_block() = default;
    out_block(const out_block&) = delete;
    out_block& operator=(const out_block&) = delete;
    ~out_block() { free(p); }
};

} // namespace

int api_zel_send_decompressed_res(char* result_buf, size_t result_len, stream_callback_params* env, bool length_only)
{
    z_stream strm;
    memset(&strm, 0, sizeof(strm));
    out_block block;
    if (block.p == nullptr)
        return -1;
    if (inflateInit2_(&strm, API_ZEL_WBITS, ZEL_ZLIB_VERSION, static_cast<int>(sizeof(z_stream))) != Z_OK)
        return 0;

    strm.next_in = reinterpret_cast<Bytef*>(result_buf);
    strm.avail_in = static_cast<uInt>(result_len);
    int inflated_size = 0;
    do {
        strm.next_out = block.p;
        strm.avail_out = API_ZEL_JS_BUFF_SIZE;
        const int error = inflate(&strm, Z_NO_FLUSH);
        /* A corrupt or truncated body ends quietly: the script keeps what
         * was inflated before the error and the count says how much. */
        if (error != Z_OK && error != Z_STREAM_END)
            break;
        const int bytes_inflated = API_ZEL_JS_BUFF_SIZE - static_cast<int>(strm.avail_out);
        inflated_size += bytes_inflated;
        if (!length_only &&
            api_zel_send_response(reinterpret_cast<char*>(block.p), bytes_inflated, env) != bytes_inflated)
            break;
        if (error == Z_STREAM_END)
            break;
    } while (strm.avail_out == 0);

    inflateEnd(&strm);
    return inflated_size;
}

int prepare_decomp_buff(char* stream_buf, int stream_len, stream_response_info* stream_info)
{
    if (stream_info == nullptr || stream_len < 0 || (stream_buf == nullptr && stream_len > 0))
        return -1;
    decode_buf_info& db = stream_info->decode_buf;
    const int total = db.bytes_in_buf + stream_len;
    if (db.bytes_in_buf > 0 && db.cur_pos != 0)
        memmove(db.buff, db.buff + db.cur_pos, static_cast<size_t>(db.bytes_in_buf));
    db.cur_pos = 0;
    /* Sized to exactly what is held; never to 0 bytes, whose realloc would
     * free the buffer and end streaming inflating by the back door. */
    char* resized = static_cast<char*>(realloc(db.buff, total > 0 ? static_cast<size_t>(total) : 1));
    if (resized == nullptr)
        return -1;
    db.buff = resized;
    if (stream_len > 0)
        memcpy(db.buff + db.bytes_in_buf, stream_buf, static_cast<size_t>(stream_len));
    db.bytes_in_buf = total;
    return total;
}

int gzip_stream_decode(char* stream_buf, size_t stream_len, stream_response_info* stream_info)
{
    if (stream_info == nullptr || stream_info->decode_buf.buff == nullptr)
        return -1;
    out_block block;
    if (block.p == nullptr)
        return -1;
    const int bytes = prepare_decomp_buff(stream_buf, static_cast<int>(stream_len), stream_info);
    if (bytes < 0)
        return -1;

    decode_buf_info& db = stream_info->decode_buf;
    z_stream& strm = stream_info->z_strm;
    strm.next_in = reinterpret_cast<Bytef*>(db.buff + db.cur_pos);
    strm.avail_in = static_cast<uInt>(bytes);
    int zlib_stat = Z_OK;
    do {
        strm.next_out = block.p;
        strm.avail_out = API_ZEL_JS_BUFF_SIZE;
        zlib_stat = inflate(&strm, Z_NO_FLUSH);
        /* Every code but these ends streamed inflating, Z_BUF_ERROR included:
         * also when a block was filled exactly as this payload's input ran
         * out and the next call found nothing left to do.  The caller ends
         * the inflate state and the relay. */
        if (zlib_stat != Z_OK && zlib_stat != Z_STREAM_END)
            return -1;
        const int chunk_size = API_ZEL_JS_BUFF_SIZE - static_cast<int>(strm.avail_out);
        if (chunk_size > 0) {
            const int bytes_sent = api_zel_send_response(reinterpret_cast<char*>(block.p), chunk_size,
                                                         stream_info->cb_params);
            /* The script failed: stop inflating, the caller ends the stream. */
            if (bytes_sent != chunk_size) {
                zlib_stat = 1;
                break;
            }
        }
        if (zlib_stat == Z_STREAM_END)
            break;
    } while (strm.avail_out == 0);

    /* Input inflate has not taken yet waits for the next payload. */
    if (strm.avail_in != 0) {
        db.cur_pos = db.bytes_in_buf - static_cast<int>(strm.avail_in);
        db.bytes_in_buf = static_cast<int>(strm.avail_in);
    } else {
        db.bytes_in_buf = 0;
        db.cur_pos = 0;
    }
    return zlib_stat;
}

void cleanup_decomp_buff(stream_response_info* stream_info)
{
    if (stream_info == nullptr)
        return;
    /* inflateEnd clears `state`, so a second call, or one on a stream that
     * was never set up, finds nothing to end. */
    if (stream_info->z_strm.state != nullptr)
        inflateEnd(&stream_info->z_strm);
    free(stream_info->decode_buf.buff);
    stream_info->decode_buf.buff = nullptr;
}
