#include <stdlib.h>

#include <algorithm>
#include <string>

#include "tools/queryd/queryd.h"

/* Payload boundaries of a replayed response.  Every exchange walks the file
 * with its own cursor, so the same split (the same random sequence for a
 * seed included) is reproduced for every request. */

namespace queryd {

namespace {

/* Parses a whole decimal number in [lo, hi]; returns false otherwise. */
bool parse_number(std::string_view s, uint64_t lo, uint64_t hi, uint64_t* out)
{
    if (s.empty() || s.size() > 19)
        return false;
    uint64_t n = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
        n = n * 10 + static_cast<uint64_t>(c - '0');
    }
    if (n < lo || n > hi)
        return false;
    *out = n;
    return true;
}

uint64_t splitmix64(uint64_t* state)
{
    uint64_t z = (*state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

}  // namespace

int parse_split(std::string_view text, split_form* split, std::string* err)
{
    const size_t colon = text.find(':');
    const std::string_view kind = text.substr(0, colon);
    const std::string_view rest = colon == std::string_view::npos ? std::string_view() : text.substr(colon + 1);
    uint64_t n = 0;
    *split = split_form{};

    if (kind == "fixed") {
        if (!parse_number(rest, 1, kReplyPayloadMax, &n)) {
            *err = "fixed:N needs N from 1 to " + std::to_string(kReplyPayloadMax);
            return -1;
        }
        split->kind = SPLIT_FIXED;
        split->size = n;
        return 0;
    }
    if (kind == "random") {
        const size_t c2 = rest.find(':');
        if (!parse_number(rest.substr(0, c2), 0, UINT64_MAX, &split->seed)) {
            *err = "random:SEED[:MAX] needs a decimal SEED";
            return -1;
        }
        split->kind = SPLIT_RANDOM;
        if (c2 != std::string_view::npos) {
            if (!parse_number(rest.substr(c2 + 1), 1, kReplyPayloadMax, &n)) {
                *err = "random:SEED:MAX needs MAX from 1 to " + std::to_string(kReplyPayloadMax);
                return -1;
            }
            split->max = n;
        }
        return 0;
    }
    if (kind == "at") {
        split->kind = SPLIT_AT;
        size_t pos = 0;
        while (pos <= rest.size()) {
            const size_t comma = std::min(rest.find(',', pos), rest.size());
            if (!parse_number(rest.substr(pos, comma - pos), 0, SIZE_MAX >> 1, &n)) {
                *err = "at:O1,O2,... needs decimal offsets";
                return -1;
            }
            split->cuts.push_back(n);
            pos = comma + 1;
        }
        std::sort(split->cuts.begin(), split->cuts.end());
        split->cuts.erase(std::unique(split->cuts.begin(), split->cuts.end()), split->cuts.end());
        return 0;
    }
    *err = "split must be fixed:N, random:SEED[:MAX] or at:O1,O2,...";
    return -1;
}

size_t replay_next(const split_form& split, size_t file_len, replay_cursor* cur)
{
    if (cur->pos >= file_len)
        return 0;
    const size_t remaining = file_len - cur->pos;
    size_t n = kReplyPayloadMax;
    switch (split.kind) {
    case SPLIT_FIXED:
        n = split.size;
        break;
    case SPLIT_RANDOM:
        if (!cur->started) {
            cur->rng = split.seed;
            cur->started = true;
        }
        n = 1 + static_cast<size_t>(splitmix64(&cur->rng) % split.max);
        break;
    case SPLIT_AT:
        /* Cuts at or before the position are behind us; a piece between two
         * cuts longer than a datagram's room is cut further. */
        while (cur->cut_index < split.cuts.size() && split.cuts[cur->cut_index] <= cur->pos)
            ++cur->cut_index;
        if (cur->cut_index < split.cuts.size())
            n = std::min(n, split.cuts[cur->cut_index] - cur->pos);
        break;
    }
    n = std::min({n, remaining, kReplyPayloadMax});
    cur->pos += n;
    return n;
}

}  // namespace queryd
