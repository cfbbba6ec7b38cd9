/* Response header step: hold, parse, decide the relay mode, write-head. */
#include "modules/api/api_zel_header.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "modules/api/api_zel_http_util.h"
#include "modules/api/api_zel_inflate.h"
#include "sysapi/sysutil/gzip.h"
#include "ulib/util.h"

namespace {

constexpr char k_header_end[] = "\r\n\r\n";
constexpr int k_header_end_len = 4;

/* The status number must start within this many bytes of the header. */
constexpr int k_status_scan_len = 255;

/* Finds an end-of-header marker that starts in the held header and ends in
 * the new payload.  The held part holds no whole marker (it would have been
 * found when it arrived), so only its last 3 bytes and the payload's first 3
 * bytes can form one.  Returns how many payload bytes finish the header, or
 * -1 when no marker straddles the two. */
int header_end_across(const char* held, int held_len, const char* data, int data_len)
{
    const int tail = held_len < k_header_end_len - 1 ? held_len : k_header_end_len - 1;
    const int head = data_len < k_header_end_len - 1 ? data_len : k_header_end_len - 1;
    char joined[2 * (k_header_end_len - 1)];
    memcpy(joined, held + held_len - tail, static_cast<size_t>(tail));
    memcpy(joined + tail, data, static_cast<size_t>(head));
    for (int p = 0; p < tail && p + k_header_end_len <= tail + head; ++p) {
        if (memcmp(joined + p, k_header_end, k_header_end_len) == 0)
            return p + k_header_end_len - tail;
    }
    return -1;
}

/* Reads Content-Length from the header object; absent, empty or not a number
 * gives 0.  The value is read as unsigned long and kept in an int, so a
 * length above INT_MAX keeps only its low 32 bits; whatever is not positive
 * then means a body delimited by chunked transfer coding. */
int content_length_of(stream_response_info* stream_info)
{
    const char* text = api_zel_get_header(stream_info, "Content-Length");
    if (text == nullptr)
        return 0;
    const int value = static_cast<int>(strtoul(text, nullptr, 10));
    if (text != empty_str)
        free(const_cast<char*>(text));
    return value;
}

} // namespace

int api_zel_parse_response_header(void* env, const char* result_buf, int result_len)
{
    if (env == nullptr || result_buf == nullptr || result_len < 1)
        return 0;

    const size_t limit = static_cast<size_t>(result_len);
    const char* line_end = strnstr(result_buf, "\n", limit);
    const char* header_end = strnstr(result_buf, k_header_end, limit);
    if (line_end == nullptr || header_end == nullptr)
        return 0;
    const int header_len = static_cast<int>(header_end - result_buf) + k_header_end_len;

    /* The held header is not terminated, so the status is read from a
     * terminated copy of the header's start: the scan can never run past the
     * header into body bytes or past the end of the buffer. */
    char status_text[k_status_scan_len + 1];
    const int scan_len = header_len < k_status_scan_len ? header_len : k_status_scan_len;
    memcpy(status_text, result_buf, static_cast<size_t>(scan_len));
    status_text[scan_len] = '\0';
    char ver[5];
    int status = 0;
    if (sscanf(status_text, "HTTP/%4s %d", ver, &status) < 2)
        return 0;
    if (api_zel_set_http_status(env, status) < 0)
        return 0;

    /* Every line after the status line, up to the one ended by the first
     * CR LF of the end marker.  A bare LF ends a line as well. */
    const char* line_limit = header_end + 2;
    while (line_end < header_end) {
        const char* line_start = line_end + 1;
        const char* next = strnstr(line_start, "\n", static_cast<size_t>(line_limit - line_start));
        if (next == nullptr)
            return 0;
        int line_len = static_cast<int>(next - line_start);
        if (line_len > 0 && next[-1] == '\r')
            --line_len;
        if (line_len > 0)
            api_zel_set_header_by_line(env, line_start, line_len);
        line_end = next;
    }
    return header_len;
}

int append_header(stream_response_info* stream_info, char* data, int append_len)
{
    if (stream_info == nullptr || data == nullptr || append_len < 1)
        return -1;
    const size_t held = stream_info->stored_header != nullptr ? static_cast<size_t>(stream_info->stored_hdr_size) : 0;
    /* A header that never ends is refused before its held size could pass
     * what an int counts. */
    if (held > static_cast<size_t>(INT_MAX - append_len)) {
        cleanup_stored_header(stream_info);
        return -1;
    }
    char* grown = static_cast<char*>(realloc(stream_info->stored_header, held + static_cast<size_t>(append_len)));
    if (grown == nullptr) {
        /* Nothing half-held survives: the response cannot be parsed now. */
        cleanup_stored_header(stream_info);
        return -1;
    }
    memcpy(grown + held, data, static_cast<size_t>(append_len));
    stream_info->stored_header = grown;
    stream_info->stored_hdr_size = static_cast<int>(held) + append_len;
    return 0;
}

int alloc_buff_for_split_header(stream_response_info* stream_info, char* data, int data_len)
{
    if (stream_info == nullptr || data == nullptr || data_len < 1)
        return -1;
    char* copy = static_cast<char*>(malloc(static_cast<size_t>(data_len)));
    if (copy == nullptr)
        return -1;
    memcpy(copy, data, static_cast<size_t>(data_len));
    free(stream_info->stored_header);
    stream_info->stored_header = copy;
    stream_info->stored_hdr_size = data_len;
    return 0;
}

void cleanup_stored_header(stream_response_info* stream_info)
{
    if (stream_info == nullptr || stream_info->stored_header == nullptr)
        return;
    free(stream_info->stored_header);
    stream_info->stored_header = nullptr;
    stream_info->stored_hdr_size = 0;
}

int process_header(stream_response_info* stream_info, char* data, int data_len, char** body_start, int* body_len)
{
    if (stream_info == nullptr || data == nullptr || body_start == nullptr || body_len == nullptr)
        return -1;
    *body_start = nullptr;
    *body_len = 0;
    if (data_len < 1)
        return 0;

    const bool held = stream_info->stored_header != nullptr && stream_info->stored_hdr_size > 0;

    /* The end marker may be cut by the payload boundary, so a held header is
     * searched joined with the new payload. */
    int hdr_part = -1;
    if (held)
        hdr_part = header_end_across(stream_info->stored_header, stream_info->stored_hdr_size, data, data_len);
    if (hdr_part < 0) {
        const char* end = strnstr(data, k_header_end, static_cast<size_t>(data_len));
        if (end != nullptr)
            hdr_part = static_cast<int>(end - data) + k_header_end_len;
    }

    if (hdr_part < 0) {
        const int rc = stream_info->stored_header == nullptr ? alloc_buff_for_split_header(stream_info, data, data_len)
                                                             : append_header(stream_info, data, data_len);
        return rc < 0 ? -1 : 0;
    }

    char* header = data;
    int header_len = hdr_part;
    if (held) {
        if (append_header(stream_info, data, hdr_part) < 0)
            return -1;
        header = stream_info->stored_header;
        header_len = stream_info->stored_hdr_size;
    }

    char* body = data + hdr_part;
    const int body_bytes = data_len - hdr_part;
    /* Only the body bytes that came with the header count: fewer than 2 of
     * them never make a gzip body. */
    stream_info->is_gzipped = is_gzip_buffer(static_cast<size_t>(body_bytes), body) != 0;

    if (send_stream_header(header, header_len, body_bytes, stream_info) < 0)
        return -1;
    stream_info->header_sent = true;
    *body_start = body;
    *body_len = body_bytes;
    return 0;
}

int send_stream_header(char* header, int hdr_len, int body_len, stream_response_info* stream_info)
{
    if (stream_info == nullptr || header == nullptr || hdr_len < 1)
        return -1;

    const int ret = api_zel_parse_response_header(stream_info->cb_params, header, hdr_len);

    stream_info->content_length_in_hdr = content_length_of(stream_info);
    /* Without a usable length the body can only be delimited by chunked
     * transfer coding; Transfer-Encoding itself is not consulted. */
    if (stream_info->content_length_in_hdr <= 0) {
        stream_info->first_res_chunk = true;
        stream_info->api_response_chunked = true;
        stream_info->remaining_res_chunk_size = 0;
        stream_info->cur_res_chunk_size = 0;
    }

    if (ret != hdr_len) {
        cleanup_stored_header(stream_info);
        return -1;
    }

    if (body_len < stream_info->content_length_in_hdr || stream_info->api_response_chunked) {
        /* Streaming: the script sees pieces, never a length or a coding it
         * would have to undo itself. */
        stream_info->is_chunked = true;
        api_zel_unset_header(stream_info, "Content-Length");
        api_zel_unset_header(stream_info, "Transfer-Encoding");
        if (stream_info->is_gzipped && stream_info->gzip_accepted)
            api_zel_set_header(stream_info, "Content-Encoding", "gzip");
        if (stream_info->is_gzipped && !stream_info->gzip_accepted) {
            stream_info->need_decomp = true;
            api_zel_unset_header(stream_info, "Content-Encoding");
            if (inflateInit2_(&stream_info->z_strm, API_ZEL_WBITS, ZEL_ZLIB_VERSION,
                              static_cast<int>(sizeof(z_stream))) != Z_OK)
                return -1;
            stream_info->decode_buf.buff = static_cast<char*>(calloc(API_ZEL_JS_BUFF_SIZE, 1));
            if (stream_info->decode_buf.buff == nullptr) {
                inflateEnd(&stream_info->z_strm);
                cleanup_stored_header(stream_info);
                return -1;
            }
        }
    } else {
        /* Whole body: the daemon's fields stay, unless the body is inflated
         * here, which changes its length and coding. */
        stream_info->is_chunked = false;
        if (stream_info->is_gzipped && !stream_info->gzip_accepted) {
            stream_info->need_decomp = true;
            api_zel_unset_header(stream_info, "Content-Length");
            api_zel_unset_header(stream_info, "Content-Encoding");
        }
    }

    api_zel_send_http_header(stream_info);
    cleanup_stored_header(stream_info);
    return 0;
}
