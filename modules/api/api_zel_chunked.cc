/* The processor of reply payloads and the chunked transfer decoder.
 *
 * The decoder is one state machine (api_zel_chunk_state) over fields of the
 * zero-filled stream record, so it resumes at any byte of any payload.  The
 * payload buffer belongs to the transport and has one writable byte after
 * the payload.  Framing is removed inside it by moving data down over it, so
 * a body byte is copied only once more, into the script's Buffer.  Between
 * payloads only a cut chunk boundary (at most 31 bytes, in metadata_buff) is
 * carried. */
#include "modules/api/api_zel_chunked.h"

#include <limits.h>
#include <string.h>

#include "modules/api/api_zel_header.h"
#include "modules/api/api_zel_http_util.h"
#include "modules/api/api_zel_inflate.h"
#include "ulib/hex.h"
#include "ulib/strnstr.h"

namespace {

/* A boundary cut by a payload's end is held in metadata_buff: at most this
 * many of its bytes.  A cut boundary that cannot fit is refused. */
constexpr int k_hold_max = static_cast<int>(sizeof(stream_response_info::metadata_buff)) - 1;
constexpr char k_crlf[] = "\r\n";
constexpr int k_crlf_len = 2;
/* The empty line after the trailer section ends a chunked body; the
 * zero-size line's CR LF is the first half of this marker. */
constexpr char k_body_end[] = "\r\n\r\n";
constexpr int k_body_end_len = 4;

/* Offset of the first CR LF within the `len` bytes at `p`, or -1.  The search
 * stops at a NUL and never reads at or past p + len. */
int find_crlf(const char* p, int len)
{
    if (len < k_crlf_len)
        return -1;
    const char* hit = strnstr(p, k_crlf, static_cast<size_t>(len));
    return hit != nullptr ? static_cast<int>(hit - p) : -1;
}

bool is_c_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

/* Reads the size of one size line, the `len` bytes before its CR LF, the way
 * "%x" reads it: white space skipped, an optional sign, an optional 0x or 0X
 * prefix, hexadecimal digits in either case up to the first other byte; the
 * rest of the line is a chunk extension and is ignored.  The reading never
 * leaves the line, so an empty line cannot borrow the next line's digits.
 * Returns 0 with *size set, or -1 when the line holds no digit or the size is
 * negative or above INT_MAX. */
int read_size_line(const char* line, int len, int* size)
{
    int i = 0;
    while (i < len && is_c_space(line[i]))
        ++i;
    bool negative = false;
    if (i < len && (line[i] == '+' || line[i] == '-')) {
        negative = line[i] == '-';
        ++i;
    }
    if (i + 2 < len && line[i] == '0' && (line[i + 1] == 'x' || line[i + 1] == 'X') && hex2num(line[i + 2]) >= 0)
        i += 2;
    if (i == len || hex2num(line[i]) < 0)
        return -1;
    int value = 0;
    for (; i < len; ++i) {
        const int digit = hex2num(line[i]);
        if (digit < 0)
            break;
        if (value > (INT_MAX - digit) / 16)
            return -1;
        value = value * 16 + digit;
    }
    if (negative && value != 0)
        return -1;
    *size = value;
    return 0;
}

/* The data bytes of one payload, gathered where the first of them stands:
 * every later run is moved down to follow the runs before it, so a body byte
 * moves at most once within the payload and a payload of data alone not at
 * all. */
struct data_runs {
    char* start = nullptr;
    int len = 0;

    void add(char* run, int n)
    {
        if (n == 0)
            return;
        if (start == nullptr)
            start = run;
        else if (run != start + len)
            memmove(start + len, run, static_cast<size_t>(n));
        len += n;
    }
};

/* The two size line states, from data + *at.  The first size line starts
 * there and must end in this payload.  A boundary starts with the two bytes
 * that end the previous chunk's data, skipped unread; when a payload's end
 * cuts it, its bytes are held in metadata_buff and joined with the next
 * payload's first bytes.  The line ends at the first CR LF after those two
 * bytes, searched up to any NUL, so a line holding a NUL never ends.  A size
 * leads to its data; the zero size to the trailer section, whose CR LF CR LF
 * marker the line's own CR LF begins.  Returns 0 with *at past the line, or
 * at the payload's end with the cut boundary held; -1 when the line holds no
 * size (see read_size_line), the first size line does not end in this
 * payload, or a cut boundary is longer than k_hold_max bytes. */
int read_size_line_step(stream_response_info* stream_info, char* data, int data_len, int* at)
{
    const bool first = stream_info->chunk_state == API_ZEL_CHUNK_FIRST_SIZE_LINE;
    const int opening = first ? 0 : k_crlf_len;
    const int held = first ? 0 : stream_info->metadata_len_in_buff;
    if (held < 0 || held > k_hold_max)
        return -1;
    const int avail = data_len - *at;
    const char* boundary = data + *at;
    int known = avail;
    if (held > 0) {
        const int take = avail < k_hold_max - held ? avail : k_hold_max - held;
        memcpy(stream_info->metadata_buff + held, boundary, static_cast<size_t>(take));
        boundary = stream_info->metadata_buff;
        known = held + take;
    }

    const int line_len = known >= opening + k_crlf_len ? find_crlf(boundary + opening, known - opening) : -1;
    if (line_len < 0) {
        /* Cut by the payload's end, or longer than can be held. */
        if (first || avail > k_hold_max - held)
            return -1;
        if (held == 0)
            memcpy(stream_info->metadata_buff, boundary, static_cast<size_t>(avail));
        stream_info->metadata_len_in_buff = held + avail;
        *at = data_len;
        return 0;
    }

    int size = 0;
    if (read_size_line(boundary + opening, line_len, &size) < 0)
        return -1;
    /* The held part holds no CR LF of its own past its opening two bytes (it
     * would have ended the boundary when it arrived), so the boundary always
     * ends inside this payload. */
    const int used = opening + line_len + k_crlf_len - held;
    *at += used > 0 ? used : 0;
    stream_info->metadata_len_in_buff = 0;
    if (size == 0) {
        stream_info->chunk_state = API_ZEL_CHUNK_TRAILER;
        stream_info->remaining_res_chunk_size = 0;
        stream_info->body_end_match = k_crlf_len;
    } else {
        stream_info->chunk_state = API_ZEL_CHUNK_DATA;
        stream_info->remaining_res_chunk_size = size;
    }
    return 0;
}

/* The trailer section, from data + *at: trailer fields, read past and never
 * handed on, up to the empty line that completes CR LF CR LF and ends the
 * body.  Returns 0 with *at past what was read (the payload's end, or the
 * body's end), or -1 when the section runs past API_ZEL_HEAD_MAX bytes. */
int read_trailer_step(stream_response_info* stream_info, const char* data, int data_len, int* at)
{
    int i = *at;
    while (i < data_len && stream_info->body_end_match < k_body_end_len) {
        const char c = data[i++];
        if (c == k_body_end[stream_info->body_end_match])
            ++stream_info->body_end_match;
        else
            stream_info->body_end_match = c == '\r' ? 1 : 0;
    }
    const int read = i - *at;
    if (read > API_ZEL_HEAD_MAX - stream_info->trailer_len)
        return -1;
    stream_info->trailer_len += read;
    if (stream_info->body_end_match == k_body_end_len)
        stream_info->chunk_state = API_ZEL_CHUNK_END;
    *at = i;
    return 0;
}

/* Counters of a stream that may run past 2^31 bytes stop at INT_MAX instead
 * of wrapping: a count at the limit still compares as "at least" any length
 * an int can declare. */
int saturating_add(int count, int more)
{
    int sum = 0;
    return __builtin_add_overflow(count, more, &sum) ? INT_MAX : sum;
}

/* The completion value: the Content-Length count is reached or, for a
 * chunked body, the empty line after the zero-size chunk has been read. */
int response_complete(const stream_response_info* stream_info)
{
    if (!stream_info->api_response_chunked)
        return stream_info->actual_content_length >= stream_info->content_length_in_hdr ? 1 : 0;
    return stream_info->chunk_state == API_ZEL_CHUNK_END ? 1 : 0;
}

/* A payload that leaves nothing for the script (a header ending with the
 * payload, framing only) is not a failure: it is skipped with the completion
 * value, and inflating is ended if the response is complete. */
int skip_empty_piece(stream_response_info* stream_info)
{
    const int done = response_complete(stream_info);
    if (done && stream_info->need_decomp)
        cleanup_decomp_buff(stream_info);
    return done;
}

} // namespace

int api_zel_chunked_response(char* data, int data_len, void* args)
{
    if (args == nullptr)
        return -1;
    if (data_len < 1)
        return 1;
    if (data == nullptr)
        return -1;
    auto* stream_info = static_cast<stream_response_info*>(args);

    char* body_start = data;
    int body_len = data_len;
    if (!stream_info->header_sent) {
        if (process_header(stream_info, data, data_len, &body_start, &body_len) < 0)
            return -1;
        if (body_start == nullptr)
            return 0;
    }
    data[data_len] = '\0';
    /* A declared length ends the response: bytes past it belong to no
     * response of this exchange (a second one smuggled after the first) and
     * never reach the script.  What falls within it is handed on, and the
     * relay then fails. */
    bool past_end = false;
    if (!stream_info->api_response_chunked) {
        const int room = stream_info->content_length_in_hdr - stream_info->actual_content_length;
        if (body_len > room) {
            body_len = room;
            past_end = true;
        }
    }
    stream_info->actual_content_length = saturating_add(stream_info->actual_content_length, body_len);
    const int rc = process_data(stream_info, body_start, body_len);
    return past_end ? -1 : rc;
}

int process_data(stream_response_info* stream_info, char* data, int data_len)
{
    if (stream_info == nullptr || data == nullptr)
        return -1;
    if (data_len < 1)
        return skip_empty_piece(stream_info);

    char* piece = data;
    int piece_len = data_len;
    bool past_end = false;
    if (stream_info->api_response_chunked) {
        int offset = 0;
        int meta_size = 0;
        const int rc = process_chunk_boundary(stream_info, data, data_len, &offset, &meta_size);
        if (rc < 0)
            return -1;
        /* The data before the body's end are handed on; the relay fails. */
        past_end = rc > 0;
        piece = data + offset;
        piece_len = data_len - meta_size;
    }

    if (stream_info->is_chunked) {
        const int rc = send_chunked_response(stream_info, piece, piece_len);
        return past_end ? -1 : rc;
    }
    if (stream_info->need_decomp)
        return api_zel_send_decompressed_res(piece, static_cast<size_t>(piece_len), stream_info->cb_params, false);
    /* Whole body: a failed script callback has reported itself and does not
     * change the outcome of the relay. */
    (void)api_zel_send_response(piece, piece_len, stream_info->cb_params);
    return 1;
}

int process_chunk_boundary(stream_response_info* stream_info, char* data, int data_len, int* offset,
                           int* meta_size)
{
    if (stream_info == nullptr || data == nullptr || offset == nullptr || meta_size == nullptr || data_len < 0)
        return -1;

    data_runs runs;
    int at = 0;
    int rc = 0;
    while (at < data_len && rc == 0) {
        switch (stream_info->chunk_state) {
        case API_ZEL_CHUNK_FIRST_SIZE_LINE:
        case API_ZEL_CHUNK_BOUNDARY:
            rc = read_size_line_step(stream_info, data, data_len, &at);
            break;
        case API_ZEL_CHUNK_DATA: {
            if (stream_info->remaining_res_chunk_size < 0) {
                rc = -1;
                break;
            }
            const int left = data_len - at;
            const int n = left < stream_info->remaining_res_chunk_size ? left : stream_info->remaining_res_chunk_size;
            runs.add(data + at, n);
            at += n;
            stream_info->remaining_res_chunk_size -= n;
            if (stream_info->remaining_res_chunk_size == 0)
                stream_info->chunk_state = API_ZEL_CHUNK_BOUNDARY;
            break;
        }
        case API_ZEL_CHUNK_TRAILER:
            rc = read_trailer_step(stream_info, data, data_len, &at);
            break;
        case API_ZEL_CHUNK_END:
            /* Bytes past the body's end: a second response smuggled after
             * the first, or junk.  None of them is data. */
            rc = 1;
            break;
        default:
            rc = -1;
            break;
        }
    }
    if (rc < 0) {
        stream_info->chunk_state = API_ZEL_CHUNK_FAILED;
        return -1;
    }
    *offset = runs.start != nullptr ? static_cast<int>(runs.start - data) : data_len;
    *meta_size = data_len - runs.len;
    return rc;
}

int send_chunked_response(stream_response_info* stream_info, char* data, int data_len)
{
    if (stream_info == nullptr || data == nullptr)
        return -1;
    if (data_len < 1)
        return skip_empty_piece(stream_info);

    if (stream_info->need_decomp) {
        const int ret = gzip_stream_decode(data, static_cast<size_t>(data_len), stream_info);
        if (ret != 0) {
            cleanup_decomp_buff(stream_info);
            return ret;
        }
        if (response_complete(stream_info)) {
            cleanup_decomp_buff(stream_info);
            return 1;
        }
        return 0;
    }

    /* A failed script callback has reported itself; the relay goes on. */
    (void)api_zel_send_response(data, data_len, stream_info->cb_params);
    return response_complete(stream_info);
}

bool api_zel_response_complete(const stream_response_info* stream_info)
{
    if (stream_info == nullptr || !stream_info->header_sent)
        return false;
    if (!stream_info->api_response_chunked)
        return stream_info->actual_content_length >= stream_info->content_length_in_hdr;
    /* Without Content-Length the body is read as chunked coding.  No body
     * byte at all is an empty body (a 204), as it always was; once a size
     * line was read, the body must have ended: the zero-size chunk and the
     * empty line after any trailer fields. */
    return stream_info->chunk_state == API_ZEL_CHUNK_FIRST_SIZE_LINE || stream_info->chunk_state == API_ZEL_CHUNK_END;
}
