/* Hexadecimal digits, byte strings as hex text, dash-grouped key texts and
 * "0x"/"0b" literals.  No function allocates; a negative length never leads to
 * a write. */
#ifndef ZEL_ULIB_HEX_H
#define ZEL_ULIB_HEX_H

#include <stddef.h>
#include <stdint.h>

#include "ulib/zel_export.h"

ZEL_BEGIN_DECLS

/* Returns the value 0-15 of a hex digit (either case); otherwise prints
 * "char_to_hex: value error %x\n" and returns -1. */
ZEL_EXPORT int char_to_hex(char ch);

/* Returns the value 0-15 of a hex digit (either case), or -1, silently. */
ZEL_EXPORT int hex2num(char c);

/* Returns the lower-case hex digit of the low four bits of `num`. */
ZEL_EXPORT unsigned char num2hex(unsigned char num);

/* Returns 0 if the lower-cased character lies in '0'..'f' (0x30-0x66), else -1.
 * A plain range test: ':'..'@' and '['..'`' pass too. */
ZEL_EXPORT int chk_hex_digit(char digit);

/* Writes the `len_data` bytes at `data` as lower-case hex text into `buf`,
 * cutting whole bytes so that text and terminator fit into `len_buf`.  Returns
 * the number of hex characters written; 0 (nothing written) for a null pointer
 * or a length <= 0. */
ZEL_EXPORT int num2hexstr(const char* data, int len_data, char* buf, int len_buf);

/* Converts digit pairs of `string` into at most `buf_len` bytes, without
 * checking the digits (a non-digit counts as -1).  Returns the byte count; a
 * count <= 0 writes nothing. */
ZEL_EXPORT int hexstr2num(char* string, char* buf, int buf_len);

/* Converts hex digit pairs from the start of `hex` into at most `out_len`
 * bytes, stopping at the first non-digit or a lone last digit.  Returns the
 * number of bytes written (0 if out_len < 1 or the text is shorter than 2). */
ZEL_EXPORT int hexstr_to_bin(const char* hex, char* out, int out_len);

/* Writes the `len` bytes of `key` as lower-case hex pairs, a '-' after every
 * eighth byte but the last, and a NUL; `value` needs 2*len + (len-1)/8 + 1
 * bytes.  len 0 writes the empty string; a negative len writes nothing. */
ZEL_EXPORT void key_to_hex(int len, const unsigned char* key, char* value);

/* Reads up to `len` bytes from a key text (optional "0x", dashes skipped) into
 * `key`; stops silently at the end of the text or at a misplaced character. */
ZEL_EXPORT void hex_to_key(int len, const char* hex, char* key);

/* Returns 1 if `hex` is a key text for a key of `binary_key_len` bytes: exactly
 * 2*len digits in groups of sixteen joined by '-', the last short group either
 * dashed or attached to the one before; else 0. */
ZEL_EXPORT int valid_hex_key(const char* hex, size_t binary_key_len);

/* Parses "0x" + 1-8 hex digits or "0b" + 1-32 binary digits (prefix in either
 * case).  Returns the number of bits given (4 per hex digit, 1 per binary
 * digit) and stores the value in *value when not null; -1 on failure. */
ZEL_EXPORT int parse_hex_bin_value(char* num, uint32_t* value);

ZEL_END_DECLS

#endif
