/*
 * The outcome texts: see outcome.h.
 */
#include "outcome.h"

#include <cstdio>

namespace vantorell {

const char *outcomeName(Outcome outcome) noexcept
{
    static const char *const names[kOutcomes] = {
        "ignored", "flagged", "data_error", "targeting_error",
        "untargeted", "reference", "redirected", "error", "forced",
    };
    size_t i = static_cast<size_t>(outcome);
    return i < kOutcomes ? names[i] : "";
}

size_t experimentsHeaderText(const TargetedList &targeted, char *buffer, size_t size) noexcept
{
    size_t length = 0;

    for (size_t i = 0; i < targeted.size(); i++) {
        size_t room = length < size ? size - length : 0;
        int n = snprintf(room ? buffer + length : nullptr, room,
                         i + 1 < targeted.size() ? "%d=%d, " : "%d=%d",
                         id32(targeted[i].experimentId), id32(targeted[i].variationId));
        length += n > 0 ? static_cast<size_t>(n) : 0;
    }

    if (length == 0 && size > 0) {
        buffer[0] = '\0';
    }

    return length;
}

size_t variationLocationText(long experimentId, long variationId, char *buffer,
                             size_t size) noexcept
{
    int n = snprintf(size ? buffer : nullptr, size, "/experiment_%d_variation_%d",
                     id32(experimentId), id32(variationId));
    return n > 0 ? static_cast<size_t>(n) : 0;
}

}  // namespace vantorell
