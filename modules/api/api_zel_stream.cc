/* Per-request stream state of the response relay. */
#include "modules/api/api_zel_stream.h"

#include <string.h>

namespace {

constexpr char k_gzip[] = "gzip";
constexpr char k_gzip_q0[] = "gzip;q=0";

} // namespace

int api_zel_init_stream_info(stream_response_info* stream_info, void* env, const char* accept_encoding)
{
    if (stream_info == nullptr || env == nullptr)
        return -1;

    stream_info->cb_params = static_cast<stream_callback_params*>(env);
    stream_info->is_gzipped = false;
    stream_info->is_chunked = false;
    stream_info->header_sent = false;
    stream_info->gzip_accepted = is_gzip_accepted(accept_encoding);
    stream_info->actual_content_length = 0;
    memset(&stream_info->z_strm, 0, sizeof(stream_info->z_strm));
    memset(&stream_info->decode_buf, 0, sizeof(stream_info->decode_buf));
    stream_info->stored_header = nullptr;
    stream_info->stored_hdr_size = 0;
    /* The remaining fields keep the composer's zero fill until the header
     * step decides the relay mode. */
    return 0;
}

/* The first "gzip" in the text decides: it must be the last entry, either
 * bare or as "gzip;q=0".  Every other form counts as not accepted.  "q=0"
 * taken as acceptance is kept on purpose: admin scripts send exactly that
 * text and expect the gzip body they have always received, which reading it
 * as a refusal would hand them inflated. */
bool is_gzip_accepted(const char* accept_encoding)
{
    if (accept_encoding == nullptr)
        return false;
    const char* found = strstr(accept_encoding, k_gzip);
    if (found == nullptr)
        return false;
    if (strcmp(found, k_gzip) == 0)
        return true;
    /* Compared up to and including the terminator: "gzip;q=0" must end the
     * text.  strcmp stops at the first difference, so a shorter text is never
     * read past its end. */
    return strcmp(found, k_gzip_q0) == 0;
}
