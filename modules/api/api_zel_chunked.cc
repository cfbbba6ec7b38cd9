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

namespace {

/* A boundary is CR LF, the size line, CR LF; the hold area keeps at most this
 * many of its bytes and a NUL, and no longer boundary is accepted. */
constexpr int k_hold_max = static_cast<int>(sizeof(stream_response_info::metadata_buff)) - 1;
constexpr char k_crlf[] = "\r\n";

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int skip_blanks(const char* line, int len)
{
    int i = 0;
    while (i < len && (line[i] == ' ' || line[i] == '\t'))
        ++i;
    return i;
}

/* Reads the size of one size line (without its CR LF): optional blanks, then
 * hexadecimal digits in either case; what follows the digits is a chunk
 * extension and is skipped.  Returns the size, or -1 when there is no digit
 * or the size does not fit an int. */
int parse_size_line(const char* line, int len)
{
    int i = skip_blanks(line, len);
    if (i == len || hex_value(line[i]) < 0)
        return -1;
    int size = 0;
    for (; i < len; ++i) {
        const int digit = hex_value(line[i]);
        if (digit < 0)
            break;
        if (size > (INT_MAX - digit) / 16)
            return -1;
        size = size * 16 + digit;
    }
    return size;
}

/* A size line cut by the payload's end can still become valid only if its
 * first byte after the blanks, when there is one, is a hex digit.  Checking
 * now makes a body that is not chunked at all fail at once instead of being
 * held. */
bool size_line_may_continue(const char* line, int len)
{
    if (len <= 0)
        return true;
    const int i = skip_blanks(line, len);
    return i == len || hex_value(line[i]) >= 0;
}

/* Takes the boundary that starts the `avail` bytes at `p`, after the
 * metadata_len_in_buff bytes of it already held.  Returns 1 when it is
 * complete (the new chunk's sizes are set, *consumed payload bytes belong to
 * it), 0 when the payload ended inside it (all of it is now held), -1 when
 * it is malformed or longer than the hold area.  The two bytes that open a
 * boundary close the previous chunk's data and are skipped unread. */
int take_boundary(stream_response_info* stream_info, const char* p, int avail, int* consumed)
{
    const int held = stream_info->metadata_len_in_buff;
    const int room = k_hold_max - held;
    const int take = avail < room ? avail : room;
    char joined[k_hold_max + 1];
    memcpy(joined, stream_info->metadata_buff, static_cast<size_t>(held));
    memcpy(joined + held, p, static_cast<size_t>(take));
    const int total = held + take;
    joined[total] = '\0';

    int line_end = -1;
    for (int i = 2; i + 1 < total; ++i) {
        if (joined[i] == k_crlf[0] && joined[i + 1] == k_crlf[1]) {
            line_end = i;
            break;
        }
    }

    if (line_end < 0) {
        /* Even one more byte could not complete a boundary that fits. */
        if (total >= k_hold_max || !size_line_may_continue(joined + 2, total - 2)) {
            stream_info->metadata_len_in_buff = 0;
            return -1;
        }
        memcpy(stream_info->metadata_buff, joined, static_cast<size_t>(total) + 1);
        stream_info->metadata_len_in_buff = total;
        stream_info->remaining_res_chunk_size = 0;
        stream_info->cur_res_chunk_size = 0;
        *consumed = avail;
        return 0;
    }

    stream_info->metadata_len_in_buff = 0;
    const int size = parse_size_line(joined + 2, line_end - 2);
    if (size < 0)
        return -1;
    stream_info->cur_res_chunk_size = size;
    stream_info->remaining_res_chunk_size = size;
    stream_info->last_res_chunk = size == 0;
    *consumed = line_end + 2 - held;
    return 1;
}

/* The completion value: the Content-Length count is reached or, for a
 * chunked body, the zero-size chunk has been seen. */
int response_complete(const stream_response_info* stream_info)
{
    if (stream_info->content_length_in_hdr > 0)
        return stream_info->actual_content_length >= stream_info->content_length_in_hdr ? 1 : 0;
    return stream_info->last_res_chunk ? 1 : 0;
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
    stream_info->actual_content_length += body_len;
    return process_data(stream_info, body_start, body_len);
}

int process_data(stream_response_info* stream_info, char* data, int data_len)
{
    if (stream_info == nullptr || data == nullptr)
        return -1;
    if (data_len < 1)
        return skip_empty_piece(stream_info);

    char* piece = data;
    int piece_len = data_len;
    if (stream_info->api_response_chunked) {
        int offset = 0;
        int meta_size = 0;
        if (process_chunk_boundary(stream_info, data, data_len, &offset, &meta_size) < 0)
            return -1;
        piece = data + offset;
        piece_len = data_len - meta_size;
    }

    if (stream_info->is_chunked)
        return send_chunked_response(stream_info, piece, piece_len);
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

    /* The first size line has no CR LF before it; holding a virtual one lets
     * it be read, and carried when cut, exactly like every later boundary. */
    if (stream_info->first_res_chunk) {
        stream_info->first_res_chunk = false;
        memcpy(stream_info->metadata_buff, k_crlf, sizeof(k_crlf));
        stream_info->metadata_len_in_buff = 2;
    }

    /* Data bytes are gathered at `out`.  Framing before the first data byte
     * is skipped by starting the piece later (the offset), not by a move. */
    int pos = 0;
    int out = -1;
    while (pos < data_len) {
        if (stream_info->last_res_chunk) {
            /* After the zero-size chunk nothing is relayed: the closing
             * CR LF, trailer fields or whatever else follows is dropped. */
            pos = data_len;
            break;
        }
        if (stream_info->remaining_res_chunk_size > 0) {
            const int left = data_len - pos;
            const int n = left < stream_info->remaining_res_chunk_size ? left : stream_info->remaining_res_chunk_size;
            if (out < 0) {
                *offset = pos;
                out = pos;
            } else if (out != pos) {
                memmove(data + out, data + pos, static_cast<size_t>(n));
            }
            out += n;
            pos += n;
            stream_info->remaining_res_chunk_size -= n;
            continue;
        }
        int consumed = 0;
        if (take_boundary(stream_info, data + pos, data_len - pos, &consumed) < 0)
            return -1;
        pos += consumed;
    }

    if (out < 0) {
        *offset = data_len;
        *meta_size = data_len;
    } else {
        *meta_size = data_len - (out - *offset);
    }
    return 0;
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
        ++stream_info->pkt_seq_num;
        if (response_complete(stream_info)) {
            cleanup_decomp_buff(stream_info);
            return 1;
        }
        return 0;
    }

    /* A failed script callback has reported itself; the relay goes on. */
    (void)api_zel_send_response(data, data_len, stream_info->cb_params);
    ++stream_info->pkt_seq_num;
    return response_complete(stream_info);
}
