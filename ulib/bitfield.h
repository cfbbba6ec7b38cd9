/* Two bit-set types.
 *
 * banword_bitfield_t is a caller-owned set of 4096 bits with a list
 * identifier and a compact text form in which runs of zero bytes are
 * abbreviated.  bit_field_t is a heap-allocated set of any number of bits. */
#ifndef ZEL_ULIB_BITFIELD_H
#define ZEL_ULIB_BITFIELD_H

#include <stdint.h>

#include "ulib/zel_export.h"

ZEL_BEGIN_DECLS

#define BANWORD_BITFIELD_BYTES 512

/* Bit n lives in bitfield[n / 8] at value 1 << (n % 8).  Reading and writing
 * text consider bytes 0 to lastbyte only; lastbyte stays within 0 to 511. */
typedef struct banword_bitfield {
    unsigned char bitfield[BANWORD_BITFIELD_BYTES];
    uint32_t listid;
    uint32_t lastbyte;
} banword_bitfield_t;

typedef uint64_t bf_data_t;

/* One zeroed block: the header and bits / 64 words rounded up.  Bit n lives
 * in data[n / 64] at position n % 64.  `data` is a C99 flexible array member,
 * which g++ accepts as an extension, so C and C++ see the same layout. */
typedef struct bit_field {
    uint64_t bits;
    bf_data_t data[];
} bit_field_t;

/* Stores the list identifier. */
ZEL_EXPORT void bitfield_setlistid(banword_bitfield_t* btf, unsigned int listid);

/* Sets `bit` (bits from 4096 on are ignored) and makes its byte `lastbyte`. */
ZEL_EXPORT void bitfield_setbit(banword_bitfield_t* btf, unsigned int bit);

/* Returns the bit's own value within its byte (1, 2, 4 ... 128) if set, 0 if
 * clear or if its byte lies after `lastbyte`. */
ZEL_EXPORT unsigned int bitfield_getbit(const banword_bitfield_t* btf, unsigned int bit);

/* Writes "%X-" of the identifier, then for bytes 0..lastbyte "%X " per byte,
 * or "n%X " for a run of two or more zero bytes; cut at buflen, always
 * terminated when buflen > 0. */
ZEL_EXPORT void bitfield_tostring(const banword_bitfield_t* btf, unsigned char* buf,
                                  unsigned int buflen);

/* Reads the text form from the first `buflen` bytes of `buf` (a NUL ends it
 * earlier).  Returns 0, or -1 for a null or empty text or a missing '-'
 * after the identifier (which is stored all the same).  Bytes that no token
 * covers keep their contents. */
ZEL_EXPORT int bitfield_fromstring(const unsigned char* buf, unsigned int buflen,
                                   banword_bitfield_t* btf);

/* Returns a zeroed set of `bits` bits, or null for 0 bits or when memory runs
 * out.  Release it with free_bit_field. */
ZEL_EXPORT bit_field_t* alloc_bit_field(unsigned long bits);

/* Releases a set from alloc_bit_field; null is ignored. */
ZEL_EXPORT void free_bit_field(bit_field_t* f);

/* Sets bit `bit_num`; no-op for null or a bit number >= bits. */
ZEL_EXPORT void set_bf_bit(bit_field_t* f, unsigned long bit_num);

/* Clears bit `bit_num`; no-op for null or a bit number >= bits. */
ZEL_EXPORT void clear_bf_bit(bit_field_t* f, unsigned long bit_num);

/* Returns 1 if bit `bit_num` is set; 0 if clear, for null or out of range. */
ZEL_EXPORT int test_bf_bit(const bit_field_t* f, unsigned long bit_num);

ZEL_END_DECLS

#endif
