#include <ctype.h>
#include <gtest/gtest.h>

#include <string>

#include "ulib/protocol.h"

namespace {

TEST(Protocol, ParseProtocol)
{
    const struct {
        const char* text;
        short want;
    } cases[] = {
        {"Udp", 17},   {"17", 17},   {"0", 0},     {"all", 0},     {"icmp6", 58},
        {"TCP", 6},    {" 6", 6},    {"ipv6", -1}, {"", -1},       {"32767", 32767},
        {"32768", -1}, {"65535", -1}, {"65536", -1}, {"6x", -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parse_protocol(c.text), c.want) << c.text;
    EXPECT_EQ(parse_protocol(nullptr), -1);
}

TEST(Protocol, NumberToName)
{
    const struct {
        int num;
        const char* want;
    } cases[] = {{6, "tcp"}, {3, nullptr}, {132, "sctp"}, {133, nullptr}, {0, nullptr}, {255, nullptr}};
    for (const auto& c : cases) {
        const char* name = get_protocol(static_cast<uint8_t>(c.num));
        if (c.want == nullptr) {
            EXPECT_EQ(name, nullptr) << c.num;
        } else {
            EXPECT_STREQ(name, c.want) << c.num;
        }
    }
}

TEST(Protocol, NameToNumber)
{
    EXPECT_EQ(get_protocol_no("ESP"), 50);
    EXPECT_EQ(get_protocol_no("all"), 0);
    EXPECT_EQ(get_protocol_no("6"), 0);
    EXPECT_EQ(get_protocol_no("nosuch"), 0);
    EXPECT_EQ(get_protocol_no(nullptr), 0);
}

TEST(Protocol, EveryNamedRecordRoundTrips)
{
    int named = 0;
    for (int i = 0; i < ZEL_PROTO_TABLE_SIZE; ++i) {
        const pprot& p = chain_protos[i];
        if (p.name == nullptr) {
            EXPECT_EQ(p.num, 0) << i;
            continue;
        }
        ++named;
        std::string upper = p.name;
        for (char& ch : upper)
            ch = static_cast<char>(toupper(ch));
        EXPECT_EQ(parse_protocol(upper.c_str()), i) << upper;
        EXPECT_EQ(get_protocol_no(p.name), i) << p.name;
        if (i > 0) {
            EXPECT_STREQ(get_protocol(static_cast<uint8_t>(i)), p.name);
        }
    }
    EXPECT_EQ(named, 13);
}

}  // namespace
