/*
 * Targeting: which experiments of a model target a URL text.
 *
 * A URL text is "host + path + ?query"; each experiment's condition groups
 * are evaluated against it.  The regular expressions of a model are compiled
 * once, with the model (CompiledPatterns), and every match runs within one
 * step budget.  The caller's Allocator is used only by the regular-expression
 * matcher, for what it takes while it matches.
 */
#ifndef VANTORELL_TARGETING_H
#define VANTORELL_TARGETING_H

#include "allocator.h"
#include "data_file.h"
#include "failure.h"
#include "pattern.h"

#include <vector>

namespace vantorell {

/* One experiment that targets the URL text, and the variation chosen for
 * the visitor (0: the reference, or not chosen yet); forced when a force
 * list set that variation. */
struct Targeted {
    long experimentId = 0;
    long variationId = 0;
    bool forced = false;
    /* the number chose a variation that the guardrail stopped: this one's
     * visitors get the reference (variationId 0) instead */
    long stoppedId = 0;
};

/* In the file's order. */
using TargetedList = std::vector<Targeted>;

/* The experiments of `model` that target `url`, in the file's order, with no
 * variation chosen.  `patterns` must have been compiled from `model`.  On
 * failure *targeted is left as it was. */
Result targetExperiments(const Model &model, const CompiledPatterns &patterns, const char *url,
                         Allocator *memory, TargetedList *targeted) noexcept;

/* The join of a list's running result with its next item's value: "&" and,
 * "|" or; any other operator starts afresh with the item's value. */
bool joinResults(bool before, char orOperator, bool value) noexcept;

/* What one experiment made of a URL text, item by item: the command-line
 * tool shows it.  Groups and conditions in the file's order, as far as the
 * evaluation got (a failure ends it). */
struct ConditionTrace {
    bool matched = false;       /* the match type's comparison */
    bool satisfied = false;     /* matched == include */
};

struct GroupTrace {
    bool result = false;
    std::vector<ConditionTrace> conditions;
};

struct ExperimentTrace {
    bool result = false;        /* the joined groups, before the id is looked at */
    bool targeted = false;      /* what targetExperiments makes of it */
    std::vector<GroupTrace> groups;
};

/* The evaluation that targetExperiments runs for one experiment, with its
 * steps written into *trace.  An unknown targeting configuration fails as it
 * does there. */
Result traceExperiment(const Experiment &experiment, const CompiledPatterns &patterns,
                       const char *url, Allocator *memory, ExperimentTrace *trace) noexcept;

/* The failure that targeting meets on every URL text, whatever it is: an
 * unknown targeting configuration or match type, or a pattern that did not
 * compile; the first of them in the order targeting meets them.  None when
 * targeting can succeed (it may still fail on some texts: a match over its
 * budget, an experiment id of -1 that a text targets). */
Result targetingFailure(const Model &model, const CompiledPatterns &patterns) noexcept;

}  // namespace vantorell

#endif
