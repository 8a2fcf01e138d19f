/*
 * Forced variations: see force.h.
 */
#include "force.h"

#include "outcome.h"

#include <climits>
#include <cstdio>

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

const char *skipBlanks(const char *p, const char *end)
{
    while (p < end && isBlank(*p)) {
        ++p;
    }
    return p;
}

/* [ "-" ] 1*DIGIT as a long; null when there is none or it is out of range. */
const char *parseId(const char *p, const char *end, long *id)
{
    bool negative = false;
    if (p < end && *p == '-') {
        negative = true;
        ++p;
    }
    if (p == end || *p < '0' || *p > '9') {
        return nullptr;
    }

    /* accumulated as a negative number, which reaches LONG_MIN */
    long value = 0;
    for (; p < end && *p >= '0' && *p <= '9'; ++p) {
        int digit = *p - '0';
        if (value < (LONG_MIN + digit) / 10) {
            return nullptr;
        }
        value = value * 10 - digit;
    }
    if (!negative) {
        if (value == LONG_MIN) {
            return nullptr;
        }
        value = -value;
    }
    *id = value;
    return p;
}

bool hasVariation(const vantorell::Experiment &experiment, long id)
{
    if (id == 0) {
        return true;
    }
    for (const vantorell::Variation &variation : experiment.variations) {
        if (variation.id == id) {
            return true;
        }
    }
    return false;
}

/* The pairs applied, with the experiment of an id found by lookup(id). */
template <typename Lookup>
size_t applyPairs(const Lookup &lookup, vantorell::ForcedList *pairs,
                  vantorell::TargetedList *targeted) noexcept
{
    size_t applied = 0;

    for (size_t i = 0; i < pairs->size(); ++i) {
        vantorell::ForcedPair &pair = (*pairs)[i];

        const vantorell::Experiment *experiment = lookup(pair.experimentId);
        if (experiment == nullptr) {
            pair.fate = vantorell::ForcedFate::UnknownExperiment;
            continue;
        }
        if (!hasVariation(*experiment, pair.variationId)) {
            pair.fate = vantorell::ForcedFate::UnknownVariation;
            continue;
        }

        /* the first record of the experiment tells whether it is targeted
         * and whether an earlier pair forced it: each pair costs a walk of
         * the targeted list, never of the pairs before it, so a long list
         * from a request stays linear in its length */
        vantorell::Targeted *first = nullptr;
        for (vantorell::Targeted &record : *targeted) {
            if (record.experimentId == pair.experimentId) {
                first = &record;
                break;
            }
        }
        if (first == nullptr) {
            pair.fate = vantorell::ForcedFate::NotTargeted;
            continue;
        }
        if (first->forced) {
            pair.fate = vantorell::ForcedFate::Repeated;
            continue;
        }

        for (vantorell::Targeted &record : *targeted) {
            if (record.experimentId == pair.experimentId) {
                record.variationId = pair.variationId;
                record.forced = true;
            }
        }
        pair.fate = vantorell::ForcedFate::Applied;
        ++applied;
    }

    return applied;
}

}  // namespace

namespace vantorell {

ForcedParse parseForcedList(const char *text, size_t length, ForcedList *pairs) noexcept
{
    pairs->clear();
    if (length == 0) {
        return ForcedParse::Ok;
    }

    const char *p = text;
    const char *end = text + length;
    ForcedList parsed;

    for (;;) {
        ForcedPair pair;

        p = parseId(skipBlanks(p, end), end, &pair.experimentId);
        if (p == nullptr) {
            return ForcedParse::Malformed;
        }
        p = skipBlanks(p, end);
        if (p == end || *p != '=') {
            return ForcedParse::Malformed;
        }
        p = parseId(skipBlanks(p + 1, end), end, &pair.variationId);
        if (p == nullptr) {
            return ForcedParse::Malformed;
        }

        try {
            parsed.push_back(pair);
        } catch (...) {
            return ForcedParse::NoMemory;
        }

        p = skipBlanks(p, end);
        if (p == end) {
            break;
        }
        if (*p != ',') {
            return ForcedParse::Malformed;
        }
        ++p;
    }

    pairs->swap(parsed);
    return ForcedParse::Ok;
}

size_t applyForcedList(const ModelHold &hold, ForcedList *pairs,
                       TargetedList *targeted) noexcept
{
    return applyPairs([&hold](long id) { return hold.experiment(id); }, pairs, targeted);
}

size_t applyForcedList(const Model &model, ForcedList *pairs, TargetedList *targeted) noexcept
{
    return applyPairs([&model](long id) { return findExperiment(model, id); }, pairs, targeted);
}

size_t forcedText(const ForcedList &pairs, char *buffer, size_t size) noexcept
{
    size_t length = 0;

    for (const ForcedPair &pair : pairs) {
        if (pair.fate != ForcedFate::Applied) {
            continue;
        }
        size_t room = length < size ? size - length : 0;
        int n = snprintf(room ? buffer + length : nullptr, room,
                         length ? ", %d=%d" : "%d=%d",
                         id32(pair.experimentId), id32(pair.variationId));
        length += n > 0 ? static_cast<size_t>(n) : 0;
    }

    if (length == 0 && size > 0) {
        buffer[0] = '\0';
    }

    return length;
}

size_t ignoredPairText(const ForcedPair &pair, char *buffer, size_t size) noexcept
{
    int experiment = id32(pair.experimentId);
    int n;
    switch (pair.fate) {
    case ForcedFate::UnknownExperiment:
        n = snprintf(buffer, size, "Forced variation ignored: no experiment %d", experiment);
        break;
    case ForcedFate::UnknownVariation:
        n = snprintf(buffer, size, "Forced variation ignored: experiment %d has no variation %d",
                     experiment, id32(pair.variationId));
        break;
    case ForcedFate::Repeated:
        n = snprintf(buffer, size, "Forced variation ignored: experiment %d is forced before",
                     experiment);
        break;
    default:
        if (size > 0) {
            buffer[0] = '\0';
        }
        return 0;
    }
    return n > 0 ? static_cast<size_t>(n) : 0;
}

}  // namespace vantorell
