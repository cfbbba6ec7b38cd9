/* IPv4 addresses and masks, port ranges, MAC addresses and host names.
 *
 * Addresses and masks are 32-bit values in network byte order, as in the
 * s_addr member of struct in_addr: the first byte in memory is the first
 * number of the dotted text. */
#ifndef ZEL_ULIB_INET_H
#define ZEL_ULIB_INET_H

#include <netinet/in.h>
#include <stdint.h>

#include "ulib/zel_export.h"

ZEL_BEGIN_DECLS

/* Parses a strict dotted quad (four fields 0-255, no empty field, at most 15
 * characters) into *ip.  Returns -1 invalid, 1 for 0.0.0.0, 2 loopback (127.x),
 * 5 multicast (224-239.x), 0 any other address. */
ZEL_EXPORT int ip2l(const char* buf, unsigned int* ip);

/* Returns 1 if `buf` is a dotted netmask of leading one bits followed only by
 * zero bits, else 0.  *mask holds the parsed value whenever ip2l accepted it. */
ZEL_EXPORT int ismaskok(const char* buf, unsigned int* mask);

/* Returns a pointer to a per-thread static in_addr holding the address of
 * `dotted`, or null.  Each call on a thread overwrites the previous result,
 * which may be partly overwritten after a failure. */
ZEL_EXPORT struct in_addr* dotted_to_addr(const char* dotted);

/* Returns a pointer to a per-thread static text with the dotted form of
 * *addrp, overwritten by the next call on the same thread; null for null. */
ZEL_EXPORT char* addr_to_dotted(const unsigned int* addrp);

/* Parses "p", "lo-hi", "-hi" or "lo-" (0-65535 each) into ports[0] (low) and
 * ports[1] (high); a null text means 1-65535.  Returns 0, or -1 on failure
 * (the low port may already be stored).  The text itself is not changed. */
ZEL_EXPORT int parse_ports(const char* portstring, uint16_t* ports);

/* Returns 1 if either address is 0 or ip1 & mask1 == ip2 & mask2, else 0. */
ZEL_EXPORT int samesubnet(unsigned int ip1, unsigned int mask1, unsigned int ip2,
                          unsigned int mask2);

/* Returns 1 if ip1 & mask == ip2 & mask, else 0. */
ZEL_EXPORT int issubnet2(unsigned int ip1, unsigned int ip2, unsigned int mask);

/* Returns the prefix length of `mask`: 32 minus its trailing zero bits, 0 for
 * 0.  Holes in a non-contiguous mask are not noticed. */
ZEL_EXPORT int mask2len(uint32_t mask);

/* Parses six ':'-separated hex fields of up to two digits into mac[0..5].
 * Returns 1 on success, 0 (mac untouched) if fewer than six were read. */
ZEL_EXPORT int str_to_macaddress(const char* str, unsigned char* mac);

/* Returns 1 if name1 in domain1 and name2 in domain2 denote the same fully
 * qualified name, ignoring case; else 0 (also for a null name).  A name ending
 * in '.' is already qualified; "@" stands for the domain itself. */
ZEL_EXPORT int is_same_fqdn(const char* name1, const char* domain1, const char* name2,
                            const char* domain2);

/* Returns 1 for "ppp" and for "ppp" followed by a non-zero decimal number
 * (strtoul rules), else 0. */
ZEL_EXPORT int is_ppp_name(const char* name);

ZEL_END_DECLS

#endif
