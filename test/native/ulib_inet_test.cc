#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <thread>

#include "ulib/inet.h"

namespace {

uint32_t pton(const char* text)
{
    in_addr a{};
    EXPECT_EQ(inet_pton(AF_INET, text, &a), 1) << text;
    return a.s_addr;
}

TEST(Ip2l, ValidQuadsMatchInetPton)
{
    const struct {
        const char* text;
        int kind;
    } cases[] = {{"10.1.2.3", 0},  {"0.0.0.0", 1},   {"127.0.0.1", 2}, {"239.1.1.1", 5},
                 {"224.0.0.1", 5}, {"240.1.1.1", 0}, {"0.0.0.1", 0}};
    for (const auto& c : cases) {
        unsigned int ip = 0;
        EXPECT_EQ(ip2l(c.text, &ip), c.kind) << c.text;
        EXPECT_EQ(ip, pton(c.text)) << c.text;
    }
    unsigned int ip = 0;
    EXPECT_EQ(ip2l("010.001.002.003", &ip), 0);   // leading zeros are decimal
    EXPECT_EQ(ip, pton("10.1.2.3"));
}

TEST(Ip2l, RejectsMalformedText)
{
    const char* bad[] = {"1.2.3", "1.2.3.4.5", "1..2.3", "256.1.1.1", "1.2.3.a", ".1.2.3", "",
                         "1.2.3.4.555555555",   // a fifth field past the 15th character
                         nullptr};
    for (const char* text : bad) {
        unsigned int ip = 0;
        EXPECT_EQ(ip2l(text, &ip), -1) << (text ? text : "(null)");
    }
}

TEST(Masks, IsmaskokAndMask2len)
{
    const struct {
        const char* text;
        int ok, len;
    } cases[] = {{"255.255.255.0", 1, 24}, {"0.0.0.0", 1, 0}, {"255.255.255.255", 1, 32},
                 {"255.0.255.0", 0, 24},   {"255.255.255.1", 0, 32}};
    for (const auto& c : cases) {
        unsigned int mask = 0;
        EXPECT_EQ(ismaskok(c.text, &mask), c.ok) << c.text;
        EXPECT_EQ(mask, pton(c.text)) << c.text;
        EXPECT_EQ(mask2len(pton(c.text)), c.len) << c.text;
    }
}

TEST(DottedAddr, ParsesAndPrints)
{
    const struct {
        const char* text;
        const char* want;   // null: refused
    } cases[] = {{"192.168.1.1", "192.168.1.1"}, {" 1.2.3.4 trailing", "1.2.3.4"},
                 {"192.168.1", nullptr},         {"192.168.1.300", nullptr}, {"", nullptr}};
    for (const auto& c : cases) {
        const in_addr* a = dotted_to_addr(c.text);
        if (c.want == nullptr) {
            EXPECT_EQ(a, nullptr) << c.text;
            continue;
        }
        ASSERT_NE(a, nullptr) << c.text;
        EXPECT_EQ(a->s_addr, pton(c.want));
        EXPECT_STREQ(addr_to_dotted(&a->s_addr), c.want);
    }
}

TEST(DottedAddr, StaticResultsArePerThread)
{
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
    const struct {
        const char* text;
        int rc, low, high;   // -1: port left alone
    } cases[] = {
        {"80", 0, 80, 80},      {"1000-2000", 0, 1000, 2000}, {"-2000", 0, 0, 2000}, {"1000-", 0, 1000, 65535},
        {"12 x-90", 0, 12, 90}, {"70000", -1, -1, -1},        {" -5", -1, -1, -1},   {"5-a", -1, 5, -1},
    };
    for (const auto& c : cases) {
        std::string text = c.text;
        uint16_t ports[2] = {4242, 4242};
        EXPECT_EQ(parse_ports(text.data(), ports), c.rc) << c.text;
        EXPECT_EQ(ports[0], c.low < 0 ? 4242 : c.low) << c.text;
        EXPECT_EQ(ports[1], c.high < 0 ? 4242 : c.high) << c.text;
        EXPECT_EQ(text, c.text);   // the caller's text is left as it was
    }
    uint16_t ports[2] = {0, 0};
    EXPECT_EQ(parse_ports(nullptr, ports), 0);
    EXPECT_EQ(ports[0], 1);
    EXPECT_EQ(ports[1], 65535);
}

TEST(Names, MacFqdnPpp)
{
    unsigned char mac[6] = {9, 9, 9, 9, 9, 9};
    EXPECT_EQ(str_to_macaddress("00-1a-2b-3c-4d-5e", mac), 0);
    EXPECT_EQ(mac[0], 9);
    EXPECT_EQ(str_to_macaddress("00:1A:2b:3c:4d:5e", mac), 1);
    const unsigned char want[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    EXPECT_EQ(memcmp(mac, want, 6), 0);

    const struct {
        const char *n1, *d1, *n2, *d2;
        int want;
    } names[] = {{"alpha", "corp", "ALPHA.corp.", nullptr, 1}, {"@", "corp", "corp.", nullptr, 1},
                 {"host", nullptr, "host.", "", 1},            {"alpha", "corp", "alpha", "lab", 0},
                 {nullptr, "corp", "alpha", "corp", 0}};
    for (const auto& c : names)
        EXPECT_EQ(is_same_fqdn(c.n1, c.d1, c.n2, c.d2), c.want) << (c.n1 ? c.n1 : "(null)") << " vs " << c.n2;

    for (const char* yes : {"ppp", "ppp3"})
        EXPECT_EQ(is_ppp_name(yes), 1) << yes;
    for (const char* no : {"ppp0", "pppx", "PPP1", "pp"})
        EXPECT_EQ(is_ppp_name(no), 0) << no;
}

}  // namespace
