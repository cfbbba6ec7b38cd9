/* Linkage and visibility of the module's C API.
 *
 * The module is built with hidden visibility; every function or record that
 * the module file exports is declared with ZEL_EXPORT, which also gives it C
 * linkage when the header is read by a C++ compiler. */
#ifndef ZEL_EXPORT_H
#define ZEL_EXPORT_H

#ifdef __cplusplus
#define ZEL_BEGIN_DECLS extern "C" {
#define ZEL_END_DECLS }
#else
#define ZEL_BEGIN_DECLS
#define ZEL_END_DECLS
#endif

#define ZEL_EXPORT __attribute__((visibility("default")))

#endif
