/* The daemon's request reassembly, fed datagrams two ways.
 *
 * Framed: a request of fuzz-chosen path and data, framed as the client frames
 * it (header, path with its NUL, data; digest over both) and cut into
 * fuzz-chosen datagrams whose first holds header and path.  It must come out
 * whole, with the same path and data; with one digest byte changed it must be
 * refused.  Raw: fuzz-chosen datagrams of any content.  Either way the record
 * never holds more data than total_len announces, a finished request matches
 * its digest, and a refusal says why. */
#include <fuzzer/FuzzedDataProvider.h>
#include <openssl/md5.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "sysapi/nst/nst_query.h"
#include "tools/queryd/queryd.h"

namespace {

constexpr size_t k_limit = 1u << 16;

[[noreturn]] void fail(const char* what)
{
    fprintf(stderr, "reassembly invariant broken: %s\n", what);
    abort();
}

struct result {
    queryd::request_state state;
    queryd::request rq;
};

result reassemble(const std::vector<std::string>& dgrams, size_t limit)
{
    result r{queryd::REQ_MORE, {}};
    for (size_t i = 0; i < dgrams.size() && r.state == queryd::REQ_MORE; ++i) {
        r.state = i == 0 ? queryd::request_begin(&r.rq, dgrams[i].data(), dgrams[i].size(), limit)
                         : queryd::request_continue(&r.rq, dgrams[i].data(), dgrams[i].size());
        if (r.state != queryd::REQ_REFUSED && r.rq.data.size() > r.rq.data_expected)
            fail("more data held than total_len announces");
    }
    if (r.state == queryd::REQ_REFUSED && (r.rq.reason == nullptr || r.rq.code <= 0))
        fail("refusal without a code or reason");
    if (r.state == queryd::REQ_DONE) {
        unsigned char digest[MD5_DIGEST_LENGTH];
        MD5_CTX md5;
        MD5_Init(&md5);
        MD5_Update(&md5, r.rq.path.data(), r.rq.path.size());
        MD5_Update(&md5, "", 1);
        MD5_Update(&md5, r.rq.data.data(), r.rq.data.size());
        MD5_Final(digest, &md5);
        if (memcmp(digest, r.rq.hdr.request_digest, sizeof digest) != 0)
            fail("finished request does not match its digest");
        if (r.rq.data.size() != r.rq.data_expected)
            fail("finished request is not total_len long");
    }
    return r;
}

/* `bytes` cut at fuzz-chosen lengths; the first datagram is at least `first`
 * bytes long. */
std::vector<std::string> cut(FuzzedDataProvider& in, const std::string& bytes, size_t first)
{
    std::vector<std::string> out;
    for (size_t at = 0; at < bytes.size() || out.empty();) {
        size_t n = in.ConsumeIntegralInRange<size_t>(out.empty() ? first : 1, NSTD_QUERY_MAX_DGRAM);
        if (in.remaining_bytes() == 0)
            n = NSTD_QUERY_MAX_DGRAM;
        n = std::min(n, bytes.size() - at);
        out.push_back(bytes.substr(at, n));
        at += n;
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    if (!in.ConsumeBool()) {
        std::vector<std::string> dgrams;
        const size_t n = in.ConsumeIntegralInRange<size_t>(1, 8);
        for (size_t i = 0; i < n && in.remaining_bytes() > 0; ++i)
            dgrams.push_back(in.ConsumeRandomLengthString(NSTD_QUERY_MAX_DGRAM));
        (void)reassemble(dgrams, in.ConsumeIntegralInRange<size_t>(0, k_limit));
        return 0;
    }

    std::string path = in.ConsumeRandomLengthString(200);
    path = path.substr(0, path.find('\0'));
    const std::string body = in.ConsumeRandomLengthString(20000);
    const std::string path_z = path + '\0';

    zel_query_header hdr{};
    hdr.type = zel_req_query;
    hdr.flags = NSTD_QUERY_F_PARTIAL;
    hdr.total_len = static_cast<uint32_t>(sizeof hdr + path_z.size() + body.size());
    query_md5(path_z.data(), static_cast<int>(path_z.size()), body.data(), static_cast<int>(body.size()),
              reinterpret_cast<char*>(hdr.request_digest));
    const std::string framed = std::string(reinterpret_cast<const char*>(&hdr), sizeof hdr) + path_z + body;
    const std::vector<std::string> dgrams = cut(in, framed, sizeof hdr + path_z.size());

    const result whole = reassemble(dgrams, k_limit);
    if (whole.state != queryd::REQ_DONE)
        fail("framed request not taken whole");
    if (whole.rq.path != path || std::string(whole.rq.data.begin(), whole.rq.data.end()) != body)
        fail("path or data differ from what was framed");

    std::vector<std::string> spoiled = dgrams;
    spoiled[0][offsetof(zel_query_header, request_digest) + in.ConsumeIntegralInRange<size_t>(0, 15)] ^= 0x01;
    if (reassemble(spoiled, k_limit).state != queryd::REQ_REFUSED)
        fail("request with a wrong digest not refused");
    return 0;
}
