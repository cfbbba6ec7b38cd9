#include "ulib/protocol.h"

#include <strings.h>

#include "ulib/number.h"

// Positional rows of ten records; the static_asserts below pin every named
// record to its index.
constexpr pprot chain_protos[ZEL_PROTO_TABLE_SIZE] = {
    /*   0 */ {"all", 0}, {"icmp", 1}, {"igmp", 2}, {}, {}, {}, {"tcp", 6}, {}, {}, {},
    /*  10 */ {}, {}, {}, {}, {}, {}, {}, {"udp", 17}, {}, {},
    /*  20 */ {}, {}, {}, {}, {}, {}, {}, {}, {}, {},
    /*  30 */ {}, {}, {}, {}, {}, {}, {}, {}, {}, {},
    /*  40 */ {}, {}, {}, {}, {}, {}, {}, {"gre", 47}, {}, {},
    /*  50 */ {"esp", 50}, {"ah", 51}, {}, {}, {}, {}, {}, {}, {"icmp6", 58}, {},
    /*  60 */ {}, {}, {}, {}, {}, {}, {}, {}, {}, {},
    /*  70 */ {}, {}, {}, {}, {}, {}, {}, {}, {}, {},
    /*  80 */ {}, {}, {}, {}, {}, {}, {}, {}, {}, {"ospf", 89},
    /*  90 */ {}, {}, {}, {}, {}, {}, {}, {}, {}, {},
    /* 100 */ {}, {}, {}, {"pim", 103}, {}, {}, {}, {}, {}, {},
    /* 110 */ {}, {}, {"vrrp", 112}, {}, {}, {}, {}, {}, {}, {},
    /* 120 */ {}, {}, {}, {}, {}, {}, {}, {}, {}, {},
    /* 130 */ {}, {}, {"sctp", 132},
};

namespace {

constexpr bool table_is_consistent()
{
    int named = 0;
    for (int i = 0; i < ZEL_PROTO_TABLE_SIZE; ++i) {
        if (chain_protos[i].name == nullptr) {
            if (chain_protos[i].num != 0)
                return false;
        } else {
            if (chain_protos[i].num != i)
                return false;
            ++named;
        }
    }
    return named == 13;
}
static_assert(table_is_consistent(), "named protocol records must sit at their own number");

int find_protocol_name(const char* name)
{
    for (const pprot& p : chain_protos) {
        if (p.name != nullptr && strcasecmp(name, p.name) == 0)
            return p.num;
    }
    return -1;
}

}  // namespace

short parse_protocol(const char* s)
{
    if (s == nullptr)
        return -1;
    const int n = string_to_number(s, 0, 65535);
    if (n >= 0) {
        // The result is a short: numbers that would come back negative are
        // refused rather than mistaken for another protocol or the failure.
        return n > 32767 ? -1 : static_cast<short>(n);
    }
    return static_cast<short>(find_protocol_name(s));
}

const char* get_protocol(uint8_t proto)
{
    if (proto == 0 || proto >= ZEL_PROTO_TABLE_SIZE)
        return nullptr;
    return chain_protos[proto].name;
}

int get_protocol_no(const char* proto)
{
    if (proto == nullptr)
        return 0;
    const int n = find_protocol_name(proto);
    return n < 0 ? 0 : n;
}
