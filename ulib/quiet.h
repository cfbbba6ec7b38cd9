/* The module's switch for its standard-output diagnostics (request texts,
 * transport trace lines, callback failures).  Internal: not exported. */
#ifndef ZEL_ULIB_QUIET_H
#define ZEL_ULIB_QUIET_H

namespace zel_detail {

/* True when the environment sets ZEL_QUIET to anything but "" or "0" at the
 * first call: the module then writes nothing to standard output.  Read once
 * per process; safe to call from any thread. */
bool quiet();

} // namespace zel_detail

#endif
