/* The Internet checksum (RFC 1071): 16-bit one's-complement sums over byte
 * buffers, for IP headers and for TCP/UDP with their pseudo-header.
 *
 * Words are loaded as they lie in memory, so sums are in machine byte order
 * and a checksum stored back the same way lands in network byte order. */
#ifndef ZEL_ULIB_CHECKSUM_H
#define ZEL_ULIB_CHECKSUM_H

#include "ulib/zel_export.h"

ZEL_BEGIN_DECLS

/* Returns the folded, uncomplemented sum (0-0xFFFF) of the `len` bytes at
 * `addr`, an odd last byte padded with a zero byte; 0 for len <= 0 or null. */
ZEL_EXPORT unsigned int csum_complete(const void* addr, int len);

/* Returns csum_complete(buf, len) + osum, not folded again. */
ZEL_EXPORT unsigned int csum_partial(const void* buf, int len, unsigned short osum);

/* Returns the complement of `sum` folded to 16 bits. */
ZEL_EXPORT unsigned short csum_fold(unsigned int sum);

/* Returns the checksum of the buffer; 0 over a header that carries a correct
 * checksum. */
ZEL_EXPORT unsigned short ip_cksum(const void* addr, int len);

/* Returns the TCP/UDP checksum for the pseudo-header of `saddr`, `daddr`
 * (network order), `len` and `protocol` (host order, protocol 0-255) and
 * `sum`, the running sum over the segment with its checksum field 0. */
ZEL_EXPORT unsigned short csum_tcpudp_magic(unsigned int saddr, unsigned int daddr,
                                            unsigned short len, unsigned short protocol,
                                            unsigned int sum);

ZEL_END_DECLS

#endif
