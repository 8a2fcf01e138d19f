/*
 * The texts that tell nginx the outcome: the experiments header and the
 * location of the chosen variation.
 *
 * Ids are written as signed 32-bit numbers (the low 32 bits of the model's
 * 64-bit id), in these texts and in every log text.  Like snprintf, each
 * function writes at most `size` bytes, the NUL included, and returns the
 * length of the whole text, so a first call with size 0 measures the buffer
 * for any id.
 */
#ifndef VANTORELL_OUTCOME_H
#define VANTORELL_OUTCOME_H

#include "targeting.h"

#include <cstddef>
#include <cstdint>

namespace vantorell {

/* What the module made of a request it looked at, once per request (the
 * metrics count them).  Texts and counters keep this order. */
enum class Outcome : unsigned char {
    Ignored,            /* the location's ignore expression */
    Flagged,            /* the client sent the triggered flag */
    DataError,          /* no usable data file */
    TargetingError,     /* targeting failed for the URL text */
    Untargeted,         /* no experiment targets the URL text */
    Reference,          /* assigned; the deciding experiment gave the reference */
    Redirected,         /* assigned and redirected to a variation's location */
    Error,              /* the request failed (no memory): nginx answers 500 */
    Forced,             /* assigned with a forced variation (a QA preview) */
};

constexpr size_t kOutcomes = 9;

/* "ignored", "flagged", "data_error", ...: the outcome's name in the metrics. */
const char *outcomeName(Outcome outcome) noexcept;

/* An id as texts show it. */
inline int id32(long id) noexcept
{
    return static_cast<int>(static_cast<uint32_t>(static_cast<unsigned long>(id)));
}

/* The longest text an id makes: "-2147483648". */
constexpr size_t kIdTextLength = 11;

/* An id as texts show it, in `buffer` (room for kIdTextLength bytes; no
 * NUL is written); returns its length. */
size_t idText(long id, char *buffer) noexcept;

/* "12=3, 7=0, 4501=12": the targeted list's pairs in list order. */
size_t experimentsHeaderText(const TargetedList &targeted, char *buffer, size_t size) noexcept;

/* Room for the experiments header's text of `targeted` whatever its ids,
 * the NUL included: a text written into it once needs no measuring first. */
inline size_t experimentsHeaderRoom(const TargetedList &targeted) noexcept
{
    return targeted.size() * (2 * kIdTextLength + sizeof(", =") - 1) + 1;
}

/* Room for any variation's location text, the NUL included. */
constexpr size_t kVariationLocationRoom =
    sizeof("/experiment__variation_") + 2 * kIdTextLength;

/* "/experiment_12_variation_3". */
size_t variationLocationText(long experimentId, long variationId, char *buffer,
                             size_t size) noexcept;

}  // namespace vantorell

#endif
