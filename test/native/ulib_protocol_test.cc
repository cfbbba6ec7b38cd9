#include <gtest/gtest.h>

#include "ulib/protocol.h"

namespace {

TEST(Protocol, ParseAndLookUp)
{
    for (const auto& [text, want] : {std::pair<const char*, int>{"Udp", 17}, {"17", 17}, {"all", 0}, {"icmp6", 58},
                                     {"SCTP", 132}, {"ipv6", -1}, {"", -1}, {"6x", -1}, {"32767", 32767},
                                     {"32768", -1}, {nullptr, -1}})
        EXPECT_EQ(parse_protocol(text), want) << (text ? text : "(null)");

    EXPECT_STREQ(get_protocol(132), "sctp");
    for (int n : {0, 3, 133})
        EXPECT_EQ(get_protocol(static_cast<uint8_t>(n)), nullptr) << n;
    EXPECT_EQ(get_protocol_no("ESP"), 50);
    for (const char* name : {"all", "6", "nosuch", static_cast<const char*>(nullptr)})
        EXPECT_EQ(get_protocol_no(name), 0);
}

}  // namespace
