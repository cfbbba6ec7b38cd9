#include <string.h>

#include <algorithm>

#include "tools/queryd/queryd.h"

/* Reassembly of framed requests.  The digest is updated as bytes arrive, so a
 * request is read once and never copied after it has been taken in.  The data
 * buffer grows with the bytes that arrived, never past what total_len
 * announces: a sender that announces a large request and sends little of it
 * holds little memory. */

namespace queryd {

namespace {

request_state refuse(request* rq, int code, const char* reason)
{
    rq->code = code;
    rq->reason = reason;
    return REQ_REFUSED;
}

request_state finish_if_whole(request* rq)
{
    if (rq->data.size() < rq->data_expected)
        return REQ_MORE;
    unsigned char digest[MD5_DIGEST_LENGTH];
    MD5_Final(digest, &rq->md5);
    if (memcmp(digest, rq->hdr.request_digest, sizeof digest) != 0)
        return refuse(rq, QUERY_FAIL_PATH_ERR, "digest does not match path and data");
    return REQ_DONE;
}

}  // namespace

request_state request_begin(request* rq, const char* dgram, size_t len, size_t max_request)
{
    if (len < NSTD_QUERY_HDR_LEN)
        return refuse(rq, QUERY_FAIL_PATH_ERR, "datagram shorter than the request header");
    memcpy(&rq->hdr, dgram, NSTD_QUERY_HDR_LEN);
    if (rq->hdr.type != zel_req_query)
        return refuse(rq, FAIL_UNKNOWN_COMMAND, "request type is not a query");
    if (rq->hdr.total_len > max_request)
        return refuse(rq, QUERY_FAIL_LOW_MEMORY, "total_len above the request size limit");

    const char* path = dgram + NSTD_QUERY_HDR_LEN;
    const size_t room = len - NSTD_QUERY_HDR_LEN;
    const char* nul = static_cast<const char*>(memchr(path, '\0', room));
    if (nul == nullptr)
        return refuse(rq, QUERY_FAIL_PATH_ERR, "path not terminated in the first datagram");
    const size_t path_len = static_cast<size_t>(nul - path) + 1;
    /* Both sides are bounded by max_request and the datagram size, so the
     * sums below cannot wrap. */
    if (rq->hdr.total_len < NSTD_QUERY_HDR_LEN + path_len)
        return refuse(rq, QUERY_FAIL_PATH_ERR, "total_len smaller than header and path");
    rq->data_expected = rq->hdr.total_len - NSTD_QUERY_HDR_LEN - path_len;
    const size_t first_data = room - path_len;
    if (first_data > rq->data_expected)
        return refuse(rq, QUERY_FAIL_PATH_ERR, "more bytes than total_len");

    rq->path.assign(path, path_len - 1);
    rq->data.assign(nul + 1, nul + 1 + first_data);
    MD5_Init(&rq->md5);
    MD5_Update(&rq->md5, path, path_len);
    MD5_Update(&rq->md5, nul + 1, first_data);
    return finish_if_whole(rq);
}

request_state request_continue(request* rq, const char* dgram, size_t len)
{
    if (len > rq->data_expected - rq->data.size())
        return refuse(rq, QUERY_FAIL_PATH_ERR, "more bytes than total_len");
    const size_t need = rq->data.size() + len;
    if (need > rq->data.capacity())
        rq->data.reserve(std::min(rq->data_expected, std::max(need, 2 * rq->data.capacity())));
    rq->data.insert(rq->data.end(), dgram, dgram + len);
    MD5_Update(&rq->md5, dgram, len);
    return finish_if_whole(rq);
}

size_t request_bytes_left(const request& rq, size_t first_len)
{
    if (first_len < NSTD_QUERY_HDR_LEN || rq.hdr.total_len <= first_len)
        return 0;
    return rq.hdr.total_len - first_len;
}

}  // namespace queryd
