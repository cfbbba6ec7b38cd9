/* Response header step: hold, parse, decide the relay mode, write-head. */
#include "modules/api/api_zel_header.h"

#include <ctype.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "modules/api/api_zel_head_checks.h"
#include "modules/api/api_zel_http_util.h"
#include "modules/api/api_zel_inflate.h"
#include "sysapi/sysutil/gzip.h"

namespace {

constexpr char k_header_end[] = "\r\n\r\n";
constexpr int k_header_end_len = 4;

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

/* What a head says about how its body is framed. */
struct head_framing {
    int content_length = -1;        /* -1: no Content-Length field */
    bool transfer_coding = false;   /* a Transfer-Encoding field */
    bool trailer = false;           /* a Trailer field */
};

/* The lines of a head: the status line first, then every field line up to
 * the one ended by the first CR LF of the end marker.  A bare LF ends a line
 * as well; the CR before an LF is not part of the line.  `end` is the byte
 * after that CR LF, so every line found ends before it. */
struct head_lines {
    const char* at;
    const char* end;

    bool next(const char** line, int* len)
    {
        if (at >= end)
            return false;
        const char* lf = static_cast<const char*>(memchr(at, '\n', static_cast<size_t>(end - at)));
        if (lf == nullptr)
            return false;
        *line = at;
        *len = static_cast<int>(lf - at);
        if (*len > 0 && lf[-1] == '\r')
            --*len;
        at = lf + 1;
        return true;
    }
};

/* True when the `len` bytes at `name` are `lower` in any case. */
bool name_is(const char* name, int len, const char* lower)
{
    const size_t n = strlen(lower);
    if (static_cast<size_t>(len) != n)
        return false;
    for (size_t i = 0; i < n; ++i)
        if (tolower(static_cast<unsigned char>(name[i])) != lower[i])
            return false;
    return true;
}

/* Checks every line of the head of `header_len` bytes before anything of it
 * reaches the host: a status line of HTTP/1.x with a status of 100 to 999,
 * and field lines of a token name, a colon and a value without control bytes
 * (a line starting with a blank, an obsolete folded continuation, has no
 * token name and is refused).  Empty lines (a bare LF) are skipped.  The
 * framing fields must be unambiguous: every Content-Length one plain number,
 * all of them the same, and never together with Transfer-Encoding, which
 * would leave two readings of where the body ends.  Returns the status, or
 * -1 with nothing written to `framing` that a caller may rely on. */
int check_head(const char* head, int header_len, head_framing* framing)
{
    head_lines lines{head, head + header_len - 2};
    const char* line = nullptr;
    int len = 0;
    if (!lines.next(&line, &len))
        return -1;
    const int status = api_zel_status_of_line(line, len);
    if (status < 0)
        return -1;
    while (lines.next(&line, &len)) {
        if (len == 0)
            continue;
        const char* colon = static_cast<const char*>(memchr(line, ':', static_cast<size_t>(len)));
        if (colon == nullptr)
            return -1;
        const int name_len = static_cast<int>(colon - line);
        const char* value = colon + 1;
        const int value_len = len - name_len - 1;
        if (!api_zel_is_field_name(line, name_len) || !api_zel_is_field_value(value, value_len))
            return -1;
        if (name_is(line, name_len, "content-length")) {
            const int length = api_zel_content_length_of(value, value_len);
            if (length < 0 || (framing->content_length >= 0 && length != framing->content_length))
                return -1;
            framing->content_length = length;
        } else if (name_is(line, name_len, "transfer-encoding")) {
            framing->transfer_coding = true;
        } else if (name_is(line, name_len, "trailer")) {
            framing->trailer = true;
        }
    }
    if (framing->content_length >= 0 && framing->transfer_coding)
        return -1;
    return status;
}

/* api_zel_parse_response_header with the framing fields read on the way. */
int parse_head(void* env, const char* result_buf, int result_len, head_framing* framing)
{
    if (env == nullptr || result_buf == nullptr || result_len < 1)
        return 0;
    /* Searched over the exact bytes: a NUL in the head is refused by the
     * checks, not taken as the head's end. */
    const char* header_end = static_cast<const char*>(
        memmem(result_buf, static_cast<size_t>(result_len), k_header_end, k_header_end_len));
    if (header_end == nullptr)
        return 0;
    const int header_len = static_cast<int>(header_end - result_buf) + k_header_end_len;

    /* Nothing reaches the host unless the whole head passed. */
    const int status = check_head(result_buf, header_len, framing);
    if (status < 0)
        return 0;
    if (api_zel_set_http_status(env, status) < 0)
        return 0;
    head_lines lines{result_buf, header_end + 2};
    const char* line = nullptr;
    int len = 0;
    (void)lines.next(&line, &len);
    while (lines.next(&line, &len)) {
        if (len > 0)
            api_zel_set_header_by_line(env, line, len);
    }
    return header_len;
}

/* Releases the held header when the header step ends, whichever way. */
struct held_header_release {
    stream_response_info* stream_info;
    explicit held_header_release(stream_response_info* info) : stream_info(info) {}
    held_header_release(const held_header_release&) = delete;
    held_header_release& operator=(const held_header_release&) = delete;
    ~held_header_release() { cleanup_stored_header(stream_info); }
};

/* Sets up streaming inflating: the inflate state and the first decode
 * buffer.  Returns true, or false with neither left set up. */
bool start_inflating(stream_response_info* stream_info)
{
    if (inflateInit2_(&stream_info->z_strm, API_ZEL_WBITS, ZEL_ZLIB_VERSION, static_cast<int>(sizeof(z_stream))) !=
        Z_OK)
        return false;
    stream_info->decode_buf.buff = static_cast<char*>(calloc(API_ZEL_JS_BUFF_SIZE, 1));
    if (stream_info->decode_buf.buff == nullptr) {
        inflateEnd(&stream_info->z_strm);
        return false;
    }
    return true;
}

} // namespace

int api_zel_parse_response_header(void* env, const char* result_buf, int result_len)
{
    head_framing framing;
    return parse_head(env, result_buf, result_len, &framing);
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
    /* Never more than API_ZEL_HEAD_MAX bytes are held, so the room left
     * cannot be negative. */
    const int room = API_ZEL_HEAD_MAX - (held ? stream_info->stored_hdr_size : 0);

    /* The end marker may be cut by the payload boundary, so a held header is
     * searched joined with the new payload.  The search runs over the exact
     * bytes: a NUL before the marker does not hide it, the checks refuse it. */
    int hdr_part = -1;
    if (held)
        hdr_part = header_end_across(stream_info->stored_header, stream_info->stored_hdr_size, data, data_len);
    if (hdr_part < 0) {
        const void* end = memmem(data, static_cast<size_t>(data_len), k_header_end, k_header_end_len);
        if (end != nullptr)
            hdr_part = static_cast<int>(static_cast<const char*>(end) - data) + k_header_end_len;
    }

    /* A head longer than the cap, ended or not, is refused as soon as that is
     * known, and what was held of it is released. */
    if ((hdr_part < 0 ? data_len : hdr_part) > room) {
        cleanup_stored_header(stream_info);
        return -1;
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
    /* A gzip body is known by its first two bytes, not by Content-Encoding,
     * on purpose: node_zel_req has always decided so, and the admin scripts
     * built on it depend on exactly which bodies reach them inflated (a
     * deflate body never is; a gzip body labelled otherwise, or not at all,
     * is).  Only the body bytes that came with the header count: fewer than
     * 2 of them never make a gzip body. */
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
    /* The one exit for clean-up: the held header, which `header` may be, is
     * released on every way out, after write-head on success. */
    const held_header_release release{stream_info};

    /* The framing fields are read only from a head that passed. */
    head_framing framing;
    if (parse_head(stream_info->cb_params, header, hdr_len, &framing) != hdr_len)
        return -1;

    /* A declared length, 0 included, frames the body exactly; without one
     * the body can only be delimited by chunked transfer coding (the value of
     * Transfer-Encoding itself is not consulted). */
    stream_info->content_length_in_hdr = framing.content_length >= 0 ? framing.content_length : 0;
    if (framing.content_length < 0) {
        /* The chunked decoder starts at the first size line, with nothing
         * held, whatever a reused record held before. */
        stream_info->api_response_chunked = true;
        stream_info->chunk_state = API_ZEL_CHUNK_FIRST_SIZE_LINE;
        stream_info->remaining_res_chunk_size = 0;
        stream_info->metadata_len_in_buff = 0;
        stream_info->body_end_match = 0;
        stream_info->trailer_len = 0;
    }
    /* Trailer fields are never handed on, so the head does not announce
     * them; res.writeHead also refuses a Trailer field on a response that
     * it does not send in chunked coding. */
    if (framing.trailer)
        api_zel_unset_header(stream_info, "Trailer");

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
            if (!start_inflating(stream_info))
                return -1;
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

    /* A write-head function that fails (it threw) does not fail the relay,
     * on purpose: its exception stays pending and is what the script sees
     * when node_zel_req returns, and the reply is still read to its end, so
     * the exchange with the daemon ends as it does for any reply. */
    api_zel_send_http_header(stream_info);
    return 0;
}
