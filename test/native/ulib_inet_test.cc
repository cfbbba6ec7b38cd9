#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <thread>
#include <tuple>

#include "ulib/inet.h"

namespace {

uint32_t pton(const char* text)
{
    in_addr a{};
    EXPECT_EQ(inet_pton(AF_INET, text, &a), 1) << text;
    return a.s_addr;
}

TEST(Ip2l, ValidQuadsMatchInetPtonAndMalformedTextIsRejected)
{
    unsigned int ip = 0;
    for (const auto& [text, kind] : {std::pair{"10.1.2.3", 0}, {"0.0.0.0", 1}, {"127.0.0.1", 2}, {"239.1.1.1", 5},
                                     {"224.0.0.1", 5}, {"240.1.1.1", 0}}) {
        EXPECT_EQ(ip2l(text, &ip), kind) << text;
        EXPECT_EQ(ip, pton(text)) << text;
    }
    EXPECT_EQ(ip2l("010.001.002.003", &ip), 0);   // leading zeros are decimal
    EXPECT_EQ(ip, pton("10.1.2.3"));
    for (const char* bad : {"1.2.3", "1.2.3.4.5", "1..2.3", "256.1.1.1", "1.2.3.a", ".1.2.3", "",
                            "255.255.255.255.12",   // longer than 15 characters
                            static_cast<const char*>(nullptr)})
        EXPECT_EQ(ip2l(bad, &ip), -1) << (bad ? bad : "(null)");
}

TEST(Masks, IsmaskokAndMask2len)
{
    for (const auto& [text, ok, len] : {std::tuple{"255.255.255.0", 1, 24}, {"0.0.0.0", 1, 0}, {"255.255.255.255", 1, 32},
                                        {"255.0.255.0", 0, 24}, {"255.255.255.1", 0, 32}}) {
        unsigned int mask = 0;
        EXPECT_EQ(ismaskok(text, &mask), ok) << text;
        EXPECT_EQ(mask, pton(text)) << text;
        EXPECT_EQ(mask2len(pton(text)), len) << text;
    }
}

TEST(DottedAddr, ParsesAndPrintsIntoPerThreadResults)
{
    for (const auto& [text, want] : {std::pair{"192.168.1.1", "192.168.1.1"}, {" 1.2.3.4 trailing", "1.2.3.4"},
                                     {"192.168.1", nullptr}, {"192.168.1.300", nullptr}, {"", nullptr}}) {
        const in_addr* a = dotted_to_addr(text);
        EXPECT_EQ(a ? a->s_addr : 0, want ? pton(want) : 0) << text;
        EXPECT_STREQ(a ? addr_to_dotted(&a->s_addr) : nullptr, want) << text;
    }
    const unsigned int mine = pton("1.1.1.1");
    const char* text = addr_to_dotted(&mine);
    const in_addr* addr = dotted_to_addr("1.1.1.1");
    std::thread([] {
        const unsigned int theirs = pton("2.2.2.2");
        addr_to_dotted(&theirs);
        dotted_to_addr("2.2.2.2");
    }).join();
    EXPECT_STREQ(text, "1.1.1.1");
    EXPECT_EQ(addr->s_addr, mine);
}

TEST(Ports, ParsePorts)
{
    for (const auto& [text, rc, low, high] : {std::tuple<const char*, int, int, int>{"80", 0, 80, 80},
                                              {"1000-2000", 0, 1000, 2000}, {"-2000", 0, 0, 2000},
                                              {"1000-", 0, 1000, 65535}, {"70000", -1, 4242, 4242},
                                              {"5-a", -1, 5, 4242}, {nullptr, 0, 1, 65535}}) {
        std::string copy = text ? text : "";
        uint16_t ports[2] = {4242, 4242};
        EXPECT_EQ(parse_ports(text ? copy.c_str() : nullptr, ports), rc) << copy;
        EXPECT_EQ(ports[0], low) << copy;
        EXPECT_EQ(ports[1], high) << copy;
        EXPECT_EQ(copy, text ? text : "");   // the caller's text is left as it was
    }
}

TEST(Names, MacFqdnPpp)
{
    unsigned char mac[6] = {9, 9, 9, 9, 9, 9};
    EXPECT_EQ(str_to_macaddress("00-1a-2b-3c-4d-5e", mac), 0);
    EXPECT_EQ(mac[0], 9);
    EXPECT_EQ(str_to_macaddress("00:1A:2b:3c:4d:5e", mac), 1);
    EXPECT_EQ(memcmp(mac, "\x00\x1A\x2B\x3C\x4D\x5E", 6), 0);

    using names = std::tuple<const char*, const char*, const char*, const char*, int>;
    for (const auto& [n1, d1, n2, d2, want] : {names{"alpha", "corp", "ALPHA.corp.", nullptr, 1}, {"@", "corp", "corp.", nullptr, 1},
                                               {"host", nullptr, "host.", "", 1}, {"alpha", "corp", "alpha", "lab", 0},
                                               {nullptr, "corp", "alpha", "corp", 0}})
        EXPECT_EQ(is_same_fqdn(n1, d1, n2, d2), want) << (n1 ? n1 : "(null)") << " vs " << n2;
    for (const auto& [name, want] : {std::pair{"ppp", 1}, {"ppp3", 1}, {"ppp0", 0}, {"pppx", 0}, {"PPP1", 0}, {"pp", 0}})
        EXPECT_EQ(is_ppp_name(name), want) << name;
}

}  // namespace
