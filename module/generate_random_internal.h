/*
 * The visitor's number the long way, for the unit tests that prove the
 * direct computation equal to it. C++ only.
 */
#ifndef VANTORELL_GENERATE_RANDOM_INTERNAL_H
#define VANTORELL_GENERATE_RANDOM_INTERNAL_H

#include "generate_random.h"

namespace vantorell {

/* random_number_based_on_sha256 through OpenSSL's big numbers, their decimal
 * text and MPFR: the two roundings done by libraries that are correct by
 * construction, at a cost of microseconds. The direct computation hands it
 * the texts with more than 64 hexadecimal digits, which no digest has. */
double random_number_based_on_sha256_reference(const char *sha256);

}  // namespace vantorell

#endif
