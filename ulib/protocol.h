/* IP protocol names and numbers, both ways, through one constant table. */
#ifndef ZEL_ULIB_PROTOCOL_H
#define ZEL_ULIB_PROTOCOL_H

#include <stdint.h>

#include "ulib/zel_export.h"

ZEL_BEGIN_DECLS

/* One protocol: its lower-case name (null where the number has none) and its
 * number (equal to the table index for named records, 0 for unnamed ones). */
typedef struct pprot {
    const char* name;
    uint16_t num;
} pprot;

/* Number of records in chain_protos: protocols 0 to 132. */
#define ZEL_PROTO_TABLE_SIZE 133

/* The protocol table, indexed by IP protocol number. */
ZEL_EXPORT extern const pprot chain_protos[ZEL_PROTO_TABLE_SIZE];

/* Returns the protocol number of a decimal text (0-32767) or of a table name
 * (any case); -1 for anything else, including numbers above 32767. */
ZEL_EXPORT short parse_protocol(const char* s);

/* Returns the name of protocol 1-132, or null for an unnamed number, for 0 and
 * for 133-255. */
ZEL_EXPORT const char* get_protocol(uint8_t proto);

/* Returns the number of a table name (any case); 0 for "all", for an unknown
 * name, for numeric text and for null. */
ZEL_EXPORT int get_protocol_no(const char* proto);

ZEL_END_DECLS

#endif
