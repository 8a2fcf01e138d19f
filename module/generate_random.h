/*
 * Visitor codes and the visitor's number.
 */
#ifndef VANTORELL_GENERATE_RANDOM_H
#define VANTORELL_GENERATE_RANDOM_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Length of a visitor code. */
#define VANTORELL_CODE_LENGTH 16

/* Where the visitor code stands in a cookie value: 0 for a value of at least
 * 16 bytes, 4 for one that begins with the front end's "_js_" and has at
 * least 16 bytes after it, -1 when the value holds no usable code.  A code is
 * usable only when its 16 bytes are all cookie octets. */
int visitor_code_offset(const char *value, size_t length);

/* Writes size characters of the code alphabet and a NUL into result
 * (size + 1 bytes; only the NUL for size <= 0). */
void generate_random_string(char *result, int size);

/* SHA-256 of the NUL-terminated input as 64 lower-case hex digits and a NUL
 * (output holds at least 65 bytes). */
void sha256_string(char *input, char *output);

/* Maps a hex digest D to D / 2^256, with D rounded to 64 significant bits and
 * the quotient to a double, both to nearest-even. */
double random_number_based_on_sha256(char *sha256);

#ifdef __cplusplus
}
#endif

#endif
