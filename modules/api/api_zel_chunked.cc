/* The processor of reply payloads and the chunked transfer decoder.
 *
 * The payload buffer belongs to the transport and has one writable byte after
 * the payload.  Framing is removed inside it with overlapping moves, so a body
 * byte is copied only once more, into the script's Buffer.  Between payloads
 * only a cut chunk boundary (at most 31 bytes, in metadata_buff) is carried. */
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
 * many of its bytes and a NUL.  A cut boundary that cannot fit is refused. */
constexpr int k_hold_max = static_cast<int>(sizeof(stream_response_info::metadata_buff)) - 1;
constexpr char k_crlf[] = "\r\n";
constexpr int k_crlf_len = 2;
/* CR LF before and after the size line of every boundary but the first. */
constexpr int k_boundary_framing = 2 * k_crlf_len;
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

/* The zero-size line has been read: the body's data are complete, and its
 * CR LF begins the marker that ends the body. */
void zero_size_line_read(stream_response_info* stream_info)
{
    stream_info->last_res_chunk = true;
    stream_info->remaining_res_chunk_size = 0;
    stream_info->cur_res_chunk_size = 0;
    stream_info->body_end_match = k_crlf_len;
}

bool body_ended(const stream_response_info* stream_info)
{
    return stream_info->last_res_chunk && stream_info->body_end_match == k_body_end_len;
}

/* Reads the `len` bytes at `p` that follow the zero-size line: trailer
 * fields, read past and never handed on, up to the empty line that ends the
 * body.  None of the bytes is data, so all `len` are added to *meta_size.
 * Returns 0; 1 when bytes follow the body's end: they belong to no response
 * of this exchange (a second response smuggled after the first) and must not
 * reach the script; -1 when the trailer section runs past API_ZEL_HEAD_MAX
 * bytes. */
int read_body_end(stream_response_info* stream_info, const char* p, int len, int* meta_size)
{
    int i = 0;
    while (i < len && stream_info->body_end_match < k_body_end_len) {
        const char c = p[i++];
        if (c == k_body_end[stream_info->body_end_match])
            ++stream_info->body_end_match;
        else
            stream_info->body_end_match = c == '\r' ? 1 : 0;
    }
    *meta_size += len;
    if (i > API_ZEL_HEAD_MAX - stream_info->trailer_len)
        return -1;
    stream_info->trailer_len += i;
    return i < len ? 1 : 0;
}

/* Held-boundary entry: the payload continues the boundary held in
 * metadata_buff.  Returns 1 when nothing is to be scanned: the boundary is
 * still incomplete and now held in full (*used is the whole payload), or it
 * was the zero-size line (*used bytes complete it; what follows is read by
 * read_body_end).  Returns 0 when the boundary is complete and the current
 * chunk's data start *used bytes into the payload.  Returns -1 when the size line does
 * not convert or the boundary is longer than the hold area. */
int finish_held_boundary(stream_response_info* stream_info, const char* data, int data_len, int* used)
{
    const int prev = stream_info->metadata_len_in_buff;
    if (prev > k_hold_max) {
        stream_info->metadata_len_in_buff = 0;
        return -1;
    }
    const int room = k_hold_max - prev;
    const int take = data_len < room ? data_len : room;
    char joined[k_hold_max + 1];
    memcpy(joined, stream_info->metadata_buff, static_cast<size_t>(prev));
    memcpy(joined + prev, data, static_cast<size_t>(take));
    const int total = prev + take;
    joined[total] = '\0';
    stream_info->metadata_len_in_buff = 0;

    /* The two bytes that open a boundary end the previous chunk's data and
     * are skipped unread. */
    const int line_len = find_crlf(joined + k_crlf_len, total - k_crlf_len);
    if (line_len < 0) {
        if (data_len > room)
            return -1;
        memcpy(stream_info->metadata_buff, joined, static_cast<size_t>(total) + 1);
        stream_info->metadata_len_in_buff = total;
        *used = data_len;
        return 1;
    }

    int size = 0;
    if (read_size_line(joined + k_crlf_len, line_len, &size) < 0)
        return -1;
    stream_info->last_res_chunk = size == 0;
    /* The held part holds no CR LF of its own past its opening two bytes
     * (it would have ended the boundary when it arrived), so the boundary
     * always ends inside this payload. */
    int taken = line_len + k_boundary_framing - prev;
    if (taken < 0)
        taken = 0;

    if (size == 0) {
        zero_size_line_read(stream_info);
        *used = taken;
        return 1;
    }
    stream_info->cur_res_chunk_size = size;
    stream_info->remaining_res_chunk_size = size;
    *used = taken;
    return 0;
}

/* The scan from `pos`, where data of the current chunk continue.  Every
 * complete boundary is cut out by moving what follows it down over it, so
 * that the data bytes stand contiguously from `pos`; a boundary cut by the
 * payload's end is held.  *meta_size grows by the framing bytes removed.
 * Returns 0, 1 when the zero-size line was read and bytes follow the body's
 * end (see read_body_end), or -1 on a size line that does not convert, a cut
 * boundary longer than the hold area or a trailer section over the cap. */
int scan_chunks(stream_response_info* stream_info, char* data, int data_len, int pos, int* meta_size)
{
    int remaining_bytes = data_len - pos;
    if (remaining_bytes < stream_info->remaining_res_chunk_size) {
        stream_info->remaining_res_chunk_size -= remaining_bytes;
        return 0;
    }

    for (;;) {
        const int chunk_size = stream_info->remaining_res_chunk_size;
        char* boundary = data + pos + chunk_size;
        const int tail = remaining_bytes - chunk_size;
        const int line_len = tail > k_crlf_len ? find_crlf(boundary + k_crlf_len, tail - k_crlf_len) : -1;

        if (line_len < 0) {
            if (tail > k_hold_max)
                return -1;
            memcpy(stream_info->metadata_buff, boundary, static_cast<size_t>(tail));
            stream_info->metadata_buff[tail] = '\0';
            stream_info->metadata_len_in_buff = tail;
            stream_info->remaining_res_chunk_size = 0;
            stream_info->cur_res_chunk_size = 0;
            *meta_size += tail;
            return 0;
        }

        int next_chunk_size = 0;
        if (read_size_line(boundary + k_crlf_len, line_len, &next_chunk_size) < 0)
            return -1;
        stream_info->metadata_len_in_buff = 0;
        stream_info->cur_res_chunk_size = next_chunk_size;
        stream_info->last_res_chunk = next_chunk_size == 0;

        const int metadata_len = line_len + k_boundary_framing;
        remaining_bytes = tail - metadata_len;
        if (remaining_bytes > 0)
            memmove(boundary, boundary + metadata_len, static_cast<size_t>(remaining_bytes));
        *meta_size += metadata_len;

        if (next_chunk_size == 0) {
            /* What follows the "0" line now stands right after the data and
             * is framing, or no part of this response: never data. */
            zero_size_line_read(stream_info);
            return read_body_end(stream_info, boundary, remaining_bytes, meta_size);
        }
        if (remaining_bytes < next_chunk_size) {
            stream_info->remaining_res_chunk_size = next_chunk_size - remaining_bytes;
            return 0;
        }
        stream_info->remaining_res_chunk_size = next_chunk_size;
        pos += chunk_size;
    }
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
    return body_ended(stream_info) ? 1 : 0;
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
    *offset = 0;
    *meta_size = 0;

    /* Framing before the first data byte is skipped by starting the piece
     * later (the offset), not by a move. */
    int start = 0;
    if (stream_info->last_res_chunk) {
        /* Past the zero-size line nothing is data. */
        *offset = data_len;
        return read_body_end(stream_info, data, data_len, meta_size);
    }
    if (stream_info->metadata_len_in_buff > 0) {
        const int rc = finish_held_boundary(stream_info, data, data_len, &start);
        if (rc < 0)
            return -1;
        if (rc > 0) {
            *offset = start;
            *meta_size = start;
            if (!stream_info->last_res_chunk)
                return 0;
            *offset = data_len;
            return read_body_end(stream_info, data + start, data_len - start, meta_size);
        }
    } else if (stream_info->first_res_chunk) {
        /* The first size line has no CR LF before it and must be whole in
         * the first body bytes: it is never held. */
        stream_info->first_res_chunk = false;
        const int line_len = find_crlf(data, data_len);
        int size = 0;
        if (line_len < 0 || read_size_line(data, line_len, &size) < 0)
            return -1;
        stream_info->cur_res_chunk_size = size;
        stream_info->remaining_res_chunk_size = size;
        start = line_len + k_crlf_len;
        if (size == 0) {
            /* An empty body: the first line is the zero-size line, and the
             * body ends as after a later "0" line. */
            zero_size_line_read(stream_info);
            *offset = data_len;
            *meta_size = start;
            return read_body_end(stream_info, data + start, data_len - start, meta_size);
        }
    }
    *offset = start;
    *meta_size = start;
    return scan_chunks(stream_info, data, data_len, start, meta_size);
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
        stream_info->pkt_seq_num = saturating_add(stream_info->pkt_seq_num, 1);
        if (response_complete(stream_info)) {
            cleanup_decomp_buff(stream_info);
            return 1;
        }
        return 0;
    }

    /* A failed script callback has reported itself; the relay goes on. */
    (void)api_zel_send_response(data, data_len, stream_info->cb_params);
    stream_info->pkt_seq_num = saturating_add(stream_info->pkt_seq_num, 1);
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
    return stream_info->first_res_chunk || body_ended(stream_info);
}
