/* The module's one way to speak: every diagnostic it writes (request texts,
 * transport trace lines, callback failures) goes through these, to standard
 * output, and ZEL_QUIET silences all of them.  Internal: not exported. */
#ifndef ZEL_ULIB_QUIET_H
#define ZEL_ULIB_QUIET_H

#include <stddef.h>

namespace zel_detail {

/* True when the environment sets ZEL_QUIET to anything but "" or "0" at the
 * first call: the module then writes nothing to standard output.  Read once
 * per process; safe to call from any thread. */
bool quiet();

/* Writes what printf would write for `format` and the arguments to standard
 * output, unless quiet().  errno is the caller's throughout: "%m" names it,
 * and the call never changes it. */
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));

/* Writes `label` and then the `len` bytes at `text` (NULs included, no line
 * feed added) to standard output, unless quiet().  Node leaves standard
 * output unbuffered, where every stdio call is a write of its own, so both
 * parts go out in one gathered write, after whatever stdio still holds.  A
 * short write is continued; a failed one loses the text, as a failed stdio
 * write would.  errno is never changed. */
void say_text(const char* label, const char* text, size_t len);

} // namespace zel_detail

#endif
