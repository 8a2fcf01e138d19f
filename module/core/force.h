/*
 * Forced variations: a QA preview names the variation that a request sees in
 * some experiments ("101=2, 202=0", the experiments header's own syntax),
 * in place of the one the visitor's number picks.
 *
 * Forcing only replaces choices: an experiment that does not target the
 * request stays untargeted, and the visitor's code is not touched.
 */
#ifndef VANTORELL_FORCE_H
#define VANTORELL_FORCE_H

#include "model_cache.h"
#include "targeting.h"

#include <cstddef>
#include <vector>

namespace vantorell {

/* What became of one pair of the list. */
enum class ForcedFate : unsigned char {
    Unused,             /* not applied yet */
    Applied,            /* it replaced the choice of a targeted experiment */
    NotTargeted,        /* the experiment does not target the request */
    UnknownExperiment,  /* the model has no experiment of that id */
    UnknownVariation,   /* the experiment has no variation of that id */
    Repeated,           /* an earlier pair named the same experiment */
};

struct ForcedPair {
    long experimentId = 0;
    long variationId = 0;           /* 0: the reference */
    ForcedFate fate = ForcedFate::Unused;
};

using ForcedList = std::vector<ForcedPair>;

enum class ForcedParse : unsigned char {
    Ok,
    Malformed,          /* not a list of pairs: ignored as a whole */
    NoMemory,
};

/*
 * The pairs of a force text, in the text's order:
 *
 *     list = pair *( "," pair )        pair = OWS id OWS "=" OWS id OWS
 *     id   = [ "-" ] 1*DIGIT           (a signed 64-bit number)
 *     OWS  = *( SP / HTAB )
 *
 * An empty text is an empty list.  Anything else that does not follow the
 * grammar, a number out of range included, is Malformed, and *pairs is left
 * empty.
 */
ForcedParse parseForcedList(const char *text, size_t length, ForcedList *pairs) noexcept;

/*
 * Applies the pairs to the targeted list of a request, the choices already
 * made, and sets each pair's fate.  The first pair that names an experiment
 * decides it; a pair applies to every targeted record of its experiment (a
 * file may repeat an id).  The variation must be one of the experiment's
 * (the one the model finds for the id), or 0.  Returns how many pairs
 * applied: the request is forced when it is more than 0.
 */
size_t applyForcedList(const ModelHold &hold, ForcedList *pairs,
                       TargetedList *targeted) noexcept;

/* The same on a model of one's own (vantorell-check's), its experiments
 * found by findExperiment. */
size_t applyForcedList(const Model &model, ForcedList *pairs, TargetedList *targeted) noexcept;

/* The text a pair that could not apply is logged with ("Forced variation
 * ignored: no experiment 7"), snprintf-like; 0, with nothing written, for a
 * pair that applied, waits, or names an experiment that does not target the
 * request (forcing never targets, so that is no mistake to log). */
size_t ignoredPairText(const ForcedPair &pair, char *buffer, size_t size) noexcept;

/* The start and end of the text a force list that is not a list is logged
 * with: the list's own text (escaped) goes between them. */
constexpr char kMalformedListBefore[] = "Forced variations ignored: \"";
constexpr char kMalformedListAfter[] = "\" is not a list of experiment=variation";

/* "101=2, 202=0": the applied pairs in the list's order, written like the
 * experiments header (ids as 32-bit numbers), snprintf-like. */
size_t forcedText(const ForcedList &pairs, char *buffer, size_t size) noexcept;

}  // namespace vantorell

#endif
