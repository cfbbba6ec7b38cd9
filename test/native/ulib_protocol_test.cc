#include <gtest/gtest.h>

#include "ulib/protocol.h"

namespace {

TEST(Protocol, ParseProtocol)
{
    const struct {
        const char* text;
        short want;
    } cases[] = {{"Udp", 17},  {"17", 17},    {"0", 0},      {"all", 0},   {"icmp6", 58},
                 {"SCTP", 132}, {"ipv6", -1}, {"", -1},      {"6x", -1},   {"32767", 32767},
                 {"32768", -1}, {"65535", -1}, {nullptr, -1}};
    for (const auto& c : cases)
        EXPECT_EQ(parse_protocol(c.text), c.want) << (c.text ? c.text : "(null)");
}

TEST(Protocol, LookupsBothWays)
{
    EXPECT_STREQ(get_protocol(6), "tcp");
    EXPECT_STREQ(get_protocol(132), "sctp");
    for (int n : {0, 3, 133, 255})
        EXPECT_EQ(get_protocol(static_cast<uint8_t>(n)), nullptr) << n;

    EXPECT_EQ(get_protocol_no("ESP"), 50);
    EXPECT_EQ(get_protocol_no("vrrp"), 112);
    for (const char* name : {"all", "6", "nosuch", static_cast<const char*>(nullptr)})
        EXPECT_EQ(get_protocol_no(name), 0);
}

}  // namespace
