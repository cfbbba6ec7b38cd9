#include "ulib/inet.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "ulib/number.h"

/* Per-thread storage of the two helpers that return static results.  The
 * initial-exec model reads it straight from the thread pointer: the few bytes
 * come from the static TLS reserve that the loader keeps for loaded modules,
 * and the module needs no TLS resolver from the dynamic loader. */
#define ZEL_THREAD_STATIC static thread_local __attribute__((tls_model("initial-exec")))

namespace {

constexpr int k_port_max = 65535;

/* Parses the low port of "lo-hi", the text from `begin` up to the dash at
 * `dash`, exactly as string_to_number(text, 0, 65535) would parse it if the
 * dash were the end of the text, without writing into the caller's text. */
int parse_port_before(const char* begin, const char* dash)
{
    char* end = nullptr;
    const long v = strtol(begin, &end, 10);
    // strtol can only run past the dash by taking it as a sign after a field
    // of blanks, which on its own holds no digit.
    if (end == begin || end > dash)
        return -1;
    if (end != dash && *end != ' ')
        return -1;
    if (v < 0 || v > k_port_max)
        return -1;
    return static_cast<int>(v);
}

}  // namespace

int ip2l(const char* buf, unsigned int* ip)
{
    if (buf == nullptr || ip == nullptr)
        return -1;
    // The longest dotted quad, "255.255.255.255", has 15 characters; anything
    // longer is refused before it could be cut short and read as valid.
    if (strnlen(buf, 16) > 15)
        return -1;

    // Framed in dots, every field lies between two dots: an empty field shows
    // as two dots in a row, and a full quad has exactly five dots.
    char framed[20];
    snprintf(framed, sizeof framed, ".%s.", buf);
    int dots = 0;
    int field = 0;
    char prev = '\0';
    for (const char* p = framed; *p != '\0'; prev = *p++) {
        if (*p == '.') {
            if (prev == '.')
                return -1;
            ++dots;
            field = 0;
        } else if (*p >= '0' && *p <= '9') {
            field = field * 10 + (*p - '0');
            if (field > 255)
                return -1;
        } else {
            return -1;
        }
    }
    if (dots != 5)
        return -1;

    int f[4] = {0, 0, 0, 0};
    if (sscanf(buf, "%d.%d.%d.%d", &f[0], &f[1], &f[2], &f[3]) != 4)
        return -1;
    const unsigned char bytes[4] = {static_cast<unsigned char>(f[0]), static_cast<unsigned char>(f[1]),
                                    static_cast<unsigned char>(f[2]), static_cast<unsigned char>(f[3])};
    memcpy(ip, bytes, sizeof bytes);

    if (f[0] == 0 && f[1] == 0 && f[2] == 0 && f[3] == 0)
        return 1;
    if (f[0] == 127)
        return 2;
    if ((ntohl(*ip) >> 28) == 0xE)
        return 5;
    return 0;
}

int ismaskok(const char* buf, unsigned int* mask)
{
    if (ip2l(buf, mask) < 0)
        return 0;
    const uint32_t m = ntohl(*mask);
    // -m keeps the lowest one bit of m and everything above it; those bits
    // are all set in m exactly when m is ones followed by zeros.
    return ((0U - m) & ~m) == 0;
}

struct in_addr* dotted_to_addr(const char* dotted)
{
    // Static by contract; one result per thread, so worker threads never see
    // each other's addresses.
    ZEL_THREAD_STATIC struct in_addr addr;
    if (dotted == nullptr)
        return nullptr;
    char text[20];
    snprintf(text, sizeof text, "%s", dotted);
    auto* bytes = reinterpret_cast<unsigned char*>(&addr.s_addr);
    char* field = text;
    for (int i = 0; i < 3; ++i) {
        char* dot = strchr(field, '.');
        if (dot == nullptr)
            return nullptr;
        *dot = '\0';
        const int v = string_to_number(field, 0, 255);
        if (v < 0)
            return nullptr;
        bytes[i] = static_cast<unsigned char>(v);
        field = dot + 1;
    }
    const int v = string_to_number(field, 0, 255);
    if (v < 0)
        return nullptr;
    bytes[3] = static_cast<unsigned char>(v);
    return &addr;
}

char* addr_to_dotted(const unsigned int* addrp)
{
    // Static by contract; one buffer per thread, so worker threads never see
    // each other's texts.
    ZEL_THREAD_STATIC char text[20];
    if (addrp == nullptr)
        return nullptr;
    unsigned char b[4];
    memcpy(b, addrp, sizeof b);
    snprintf(text, sizeof text, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    return text;
}

int parse_ports(const char* portstring, uint16_t* ports)
{
    if (ports == nullptr)
        return -1;
    if (portstring == nullptr) {
        ports[0] = 1;
        ports[1] = k_port_max;
        return 0;
    }
    const char* dash = strchr(portstring, '-');
    if (dash == nullptr) {
        const int p = string_to_number(portstring, 0, k_port_max);
        if (p < 0)
            return -1;
        ports[0] = ports[1] = static_cast<uint16_t>(p);
        return 0;
    }
    int low = 0;
    if (dash != portstring) {
        low = parse_port_before(portstring, dash);
        if (low < 0)
            return -1;
    }
    ports[0] = static_cast<uint16_t>(low);
    if (dash[1] == '\0') {
        ports[1] = k_port_max;
        return 0;
    }
    const int high = string_to_number(dash + 1, 0, k_port_max);
    if (high < 0)
        return -1;
    ports[1] = static_cast<uint16_t>(high);
    return 0;
}

int samesubnet(unsigned int ip1, unsigned int mask1, unsigned int ip2, unsigned int mask2)
{
    if (ip1 == 0 || ip2 == 0)
        return 1;
    return (ip1 & mask1) == (ip2 & mask2);
}

int issubnet2(unsigned int ip1, unsigned int ip2, unsigned int mask)
{
    return (ip1 & mask) == (ip2 & mask);
}

int mask2len(uint32_t mask)
{
    const uint32_t m = ntohl(mask);
    if (m == 0)
        return 0;
    return 32 - __builtin_ctz(m);
}

int str_to_macaddress(const char* str, unsigned char* mac)
{
    if (str == nullptr || mac == nullptr)
        return 0;
    unsigned int f[6];
    if (sscanf(str, "%02x:%02x:%02x:%02x:%02x:%02x", &f[0], &f[1], &f[2], &f[3], &f[4], &f[5]) < 6)
        return 0;
    for (int i = 0; i < 6; ++i)
        mac[i] = static_cast<unsigned char>(f[i]);
    return 1;
}

namespace {

/* Writes the fully qualified form of `name` in `domain` into `out` (256
 * bytes, longer results cut).  An empty name is qualified like any other name
 * that does not end in a dot. */
void qualify_name(const char* name, const char* domain, char (&out)[256])
{
    const size_t len = strlen(name);
    if (len > 0 && name[len - 1] == '.')
        snprintf(out, sizeof out, "%s", name);
    else if (domain == nullptr || domain[0] == '\0')
        snprintf(out, sizeof out, "%s.", name);
    else if (strcmp(name, "@") == 0)
        snprintf(out, sizeof out, "%s.", domain);
    else
        snprintf(out, sizeof out, "%s.%s.", name, domain);
}

}  // namespace

int is_same_fqdn(const char* name1, const char* domain1, const char* name2, const char* domain2)
{
    if (name1 == nullptr || name2 == nullptr)
        return 0;
    char fq1[256];
    char fq2[256];
    qualify_name(name1, domain1, fq1);
    qualify_name(name2, domain2, fq2);
    return strncasecmp(fq1, fq2, sizeof fq1) == 0;
}

int is_ppp_name(const char* name)
{
    if (name == nullptr || strlen(name) < 3 || strncmp(name, "ppp", 3) != 0)
        return 0;
    if (name[3] == '\0')
        return 1;
    return strtoul(name + 3, nullptr, 10) != 0;
}
