/*
 * Targeting: the condition groups of every experiment evaluated against one
 * URL text, with the model's regular expressions compiled once (pattern.h).
 *
 * Nothing here logs or throws: a failure is a Result with its arguments.
 */
#include "targeting.h"

#include <algorithm>
#include <cstring>

namespace vantorell {

namespace {

Result
failed(Failure failure) noexcept
{
    Result status;
    status.failure = failure;
    return status;
}

/* A condition whose pattern did not compile, with the compiler's text. */
Result
compileFailure(const Condition &condition, const CompiledPattern *pattern) noexcept
{
    Result status = failed(Failure::PatternCompile);
    status.pattern = condition.url.c_str();
    status.reason = pattern != NULL && !pattern->error.empty() ? pattern->error.c_str() : NULL;
    return status;
}

bool
isKnownTargetingType(char type)
{
    return type == 'P' || type == 'S' || type == 'T' || type == 'U';
}


struct Evaluation {
    const CompiledPatterns &patterns;
    const char *url;
    size_t urlLength;
    MatchScratch *scratch;
    ExperimentTrace *trace;     /* null but for traceExperiment */
};

Result
matchCondition(const Evaluation &evaluation, const Condition &condition,
               bool *matched)
{
    switch (condition.matchType) {
    case 'C':
        *matched = strstr(evaluation.url, condition.url.c_str()) != NULL;
        return Result();
    case 'E':
        *matched = strcmp(evaluation.url, condition.url.c_str()) == 0;
        return Result();
    case 'R':
        break;
    default:
        return failed(Failure::UnknownMatchType);
    }

    const CompiledPattern *pattern = evaluation.patterns.find(condition);
    if (pattern == NULL || pattern->re == NULL) {
        return compileFailure(condition, pattern);
    }

    return runPattern(*pattern, condition.url.c_str(), evaluation.url,
                      evaluation.urlLength, evaluation.scratch, matched);
}

/*
 * Joins the results of a list's items (conditions, or groups) by each item's
 * operator.  Every item is evaluated, even once the outcome is settled, so a
 * broken condition never hides behind an earlier one; the first failure ends
 * the evaluation.
 */
template <typename Item, typename Evaluate>
Result
joinItems(const std::vector<Item> &items, Evaluate evaluate, bool *result)
{
    bool joined = false;

    for (const Item &item : items) {
        bool value = false;
        Result status = evaluate(item, &value);
        if (!status.ok()) {
            return status;
        }

        joined = joinResults(joined, item.orOperator, value);
    }

    *result = joined;
    return Result();
}

/* A condition is satisfied when its match is what it includes. */
Result
evaluateCondition(const Evaluation &evaluation, const Condition &condition,
                  bool *satisfied)
{
    bool matched = false;
    Result status = matchCondition(evaluation, condition, &matched);
    *satisfied = matched == condition.include;
    if (evaluation.trace != NULL && status.ok()) {
        ConditionTrace step;
        step.matched = matched;
        step.satisfied = *satisfied;
        evaluation.trace->groups.back().conditions.push_back(step);
    }
    return status;
}

Result
evaluateGroup(const Evaluation &evaluation, const ConditionGroup &group,
              bool *result)
{
    return joinItems(group.conditions,
                     [&evaluation](const Condition &condition, bool *satisfied) {
                         return evaluateCondition(evaluation, condition, satisfied);
                     },
                     result);
}

/* Whether the experiment targets the URL text. */
Result
evaluateExperiment(const Evaluation &evaluation, const Experiment &experiment,
                   bool *targeted)
{
    bool experimentResult = false;

    Result status = joinItems(experiment.conditionGroups,
                              [&evaluation](const ConditionGroup &group, bool *result) {
                                  if (evaluation.trace != NULL) {
                                      evaluation.trace->groups.emplace_back();
                                  }
                                  Result status = evaluateGroup(evaluation, group, result);
                                  if (evaluation.trace != NULL) {
                                      evaluation.trace->groups.back().result = *result;
                                  }
                                  return status;
                              },
                              &experimentResult);
    if (!status.ok()) {
        return status;
    }
    if (evaluation.trace != NULL) {
        evaluation.trace->result = experimentResult;
    }

    /* -1 once meant failure: such an experiment is refused with a text */
    if (experimentResult && experiment.id == -1) {
        Result refused = failed(Failure::UntargetableId);
        refused.experimentId = experiment.id;
        return refused;
    }

    /* an experiment with id 0 reads as "not targeted" */
    *targeted = experimentResult && experiment.id != 0;
    return Result();
}

}  // namespace


bool
joinResults(bool before, char orOperator, bool value) noexcept
{
    switch (orOperator) {
    case '&':
        return before && value;
    case '|':
        return before || value;
    default:
        return value;
    }
}
Result
targetingFailure(const Model &model, const CompiledPatterns &patterns) noexcept
{
    /* the walk of targetExperiments, less everything that depends on the
     * URL text: every condition is evaluated there, so each of these failures
     * ends every evaluation that gets as far as it */
    for (const Experiment &experiment : model.experiments) {
        if (!isKnownTargetingType(experiment.targetingConfiguration)) {
            Result status = failed(Failure::UnknownTargetingType);
            status.experimentId = experiment.id;
            return status;
        }

        for (const ConditionGroup &group : experiment.conditionGroups) {
            for (const Condition &condition : group.conditions) {
                if (condition.matchType == 'C' || condition.matchType == 'E') {
                    continue;
                }
                if (condition.matchType != 'R') {
                    return failed(Failure::UnknownMatchType);
                }
                const CompiledPattern *pattern = patterns.find(condition);
                if (pattern == NULL || pattern->re == NULL) {
                    return compileFailure(condition, pattern);
                }
            }
        }
    }

    return Result();
}


Result
traceExperiment(const Experiment &experiment, const CompiledPatterns &patterns,
                const char *url, Allocator *memory, ExperimentTrace *trace) noexcept
{
    *trace = ExperimentTrace();
    if (!isKnownTargetingType(experiment.targetingConfiguration)) {
        Result status = failed(Failure::UnknownTargetingType);
        status.experimentId = experiment.id;
        return status;
    }
    MatchScratch scratch(memory);
    const Evaluation evaluation = {patterns, url, strlen(url), &scratch, trace};
    try {
        bool hit = false;
        Result status = evaluateExperiment(evaluation, experiment, &hit);
        trace->targeted = hit;
        return status;
    } catch (...) {
        return failed(Failure::TargetedNoMemory);
    }
}
Result
targetExperiments(const Model &model, const CompiledPatterns &patterns,
                  const char *url, Allocator *memory,
                  TargetedList *targeted) noexcept
{
    MatchScratch scratch(memory);
    const Evaluation evaluation = {patterns, url, strlen(url), &scratch, NULL};
    TargetedList result;

    /*
     * The model runs from the file's last experiment to its first: the
     * first failure met is the later one in the file, and the hits are put
     * back into the file's order at the end.
     */
    for (const Experiment &experiment : model.experiments) {
        if (!isKnownTargetingType(experiment.targetingConfiguration)) {
            Result status = failed(Failure::UnknownTargetingType);
            status.experimentId = experiment.id;
            return status;
        }

        bool hit = false;
        Result status = evaluateExperiment(evaluation, experiment, &hit);
        if (!status.ok()) {
            return status;
        }

        if (!hit) {
            continue;
        }

        try {
            Targeted record;
            record.experimentId = experiment.id;
            result.push_back(record);
        } catch (...) {
            return failed(Failure::TargetedNoMemory);
        }
    }

    std::reverse(result.begin(), result.end());
    *targeted = std::move(result);
    return Result();
}

}  // namespace vantorell
