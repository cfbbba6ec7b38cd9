/* The topic headers of the utility library, one family each. */
#ifndef ZEL_ULIB_UTIL_TOPICS_H
#define ZEL_ULIB_UTIL_TOPICS_H

#include "ulib/bitfield.h"
#include "ulib/checksum.h"
#include "ulib/datetime.h"
#include "ulib/fdutil.h"
#include "ulib/hex.h"
#include "ulib/inet.h"
#include "ulib/number.h"
#include "ulib/protocol.h"

#endif
