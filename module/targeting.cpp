/*
 * Targeting: the condition groups of every experiment evaluated against one
 * URL text, with the model's regular expressions compiled once.
 *
 * Nothing here logs or throws: a failure is a Status with its arguments.  The
 * only nginx object used is the pool lent to PCRE while a pattern matches.
 */
extern "C" {
#include <ngx_config.h>
#include <ngx_core.h>
}

#include "targeting.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

/*
 * How deep PCRE's matcher may recurse.  The library recurses on the machine
 * stack (about 500 bytes a level), and patterns such as "(a|b)*" take one or
 * two levels per subject byte: a URL text of some 12,000 bytes, which a long
 * Host header plus a long path reaches with nginx's default buffers, would
 * overflow an 8 MB worker stack and kill the worker.  5,000 levels stay within
 * about 2.5 MB; past them the match is a failure of this request only.
 */
#define VANTORELL_PCRE_RECURSION_LIMIT 5000

/*
 * How much work one pattern may do on one URL text, in steps of the matcher
 * (see chargeMatchStep).  A pattern with nested repetition can backtrack
 * exponentially on a URL the client chooses, and even a linear pattern can
 * rescan the rest of the URL from every start position.  PCRE's own
 * match_limit cannot bound either: PCRE 8 restarts its counter at every start
 * position, so a limit of N allows N steps per byte of the URL, and a long
 * URL buys seconds of the worker, and of every request it serves, with each
 * request.  This budget is one for the whole match, every start position
 * included: a few milliseconds of the worker at worst, on the longest URL
 * texts that nginx accepts, and no reasonable URL pattern comes near it.
 */
#define VANTORELL_PCRE_MATCH_BUDGET 200000

/*
 * Bytes that an item may compare ahead of the match position for one step of
 * the budget.  PCRE compares a byte some eight times faster than it takes a
 * step, and small counts such as "\d{4}" or "[0-9a-f]{32}", tried at every
 * start position of a long URL, must stay well within the budget.
 */
#define VANTORELL_PCRE_READ_AHEAD_PER_STEP 8

/*
 * Every pattern is compiled with a call into chargeMatchStep before each of
 * its items, so that the budget sees every step of the interpreter.  The
 * calls make the compiled pattern about four times larger: a pattern of more
 * than about 8,000 items no longer fits PCRE's size limit and does not
 * compile ("regular expression is too large").
 */
#define VANTORELL_PCRE_COMPILE_OPTIONS PCRE_AUTO_CALLOUT

/* Room for the offsets of the whole match only; the offsets are not used. */
#define VANTORELL_PCRE_OVECTOR_SIZE 3

namespace vantorell {

namespace {

/*
 * PCRE's allocation hooks while it matches: everything PCRE allocates then
 * comes from the pool of the request being evaluated and goes away with it.
 * Outside a match there is no pool and the hook refuses.
 */
ngx_pool_t *pcrePool;

void *
pcrePoolAllocate(size_t size)
{
    if (pcrePool == NULL) {
        return NULL;
    }

    return ngx_palloc(pcrePool, size);
}

void
pcrePoolRelease(void *p)
{
    /* blocks go back with their pool */
    (void) p;
}

/* The work done so far by one pcre_exec, over all its start positions. */
struct MatchBudget {
    const char *pattern;    /* the text compiled: the items' source */
    long spent;
    int lastPosition;
};

/*
 * Whether the pattern item is a back-reference: \1 to \9 and longer numbers,
 * \g with a number or a name in braces, \k, or (?P=name).  \g<...> and
 * \g'...' call a group instead: that group's own items are charged.
 */
bool
isBackReference(const char *item, int length)
{
    if (length >= 2 && item[0] == '\\') {
        char c = item[1];
        if (c >= '1' && c <= '9') {
            return true;
        }
        if (c == 'k') {
            return true;
        }
        return c == 'g' && length >= 3 && item[2] != '<' && item[2] != '\'';
    }

    return length >= 4 && strncmp(item, "(?P=", 4) == 0;
}

/*
 * The least count of the item's quantifier, "{n}", "{n,}" or "{n,m}", or 1
 * without one.  The first such text is taken: in extended mode the item runs
 * on over the white space and comment that follow it.
 */
long
leastRepeat(const char *item, int length)
{
    const char *end = item + length;
    const char *brace = item;

    while ((brace = static_cast<const char *>(memchr(brace, '{', end - brace)))
           != NULL)
    {
        int open = static_cast<int>(brace - item);
        brace++;

        /* the braces of an escape such as \x{41} or \p{L} count nothing */
        if (open >= 2 && item[open - 2] == '\\' && item[open - 1] != '\0'
            && strchr("xopPNgk", item[open - 1]) != NULL)
        {
            continue;
        }

        long count = 0;
        int i = open + 1;
        while (i < length && item[i] >= '0' && item[i] <= '9') {
            /* PCRE refuses counts above 65535 when it compiles */
            if (count <= 65535) {
                count = count * 10 + (item[i] - '0');
            }
            i++;
        }
        if (i == open + 1) {
            continue;
        }
        if (i < length && item[i] == ',') {
            do {
                i++;
            } while (i < length && item[i] >= '0' && item[i] <= '9');
        }
        if (i < length && item[i] == '}') {
            return count;
        }
    }

    return 1;
}

/* The longest group captured so far (PCRE keeps every group up to the
 * highest back-reference, even when our vector is smaller). */
long
longestCapture(const pcre_callout_block *block)
{
    long longest = 0;

    for (int group = 1; group < block->capture_top; group++) {
        int start = block->offset_vector[2 * group];
        int end = block->offset_vector[2 * group + 1];
        if (start >= 0 && end - start > longest) {
            longest = end - start;
        }
    }

    return longest;
}

/*
 * How many bytes the next item may read ahead of the match position and then
 * fail where it stands: a counted repetition such as "a{8000}" reads up to its
 * least count, a back-reference up to the length of the longest group
 * captured so far, times its own least count.  The position does not move,
 * so the step that follows does not see this work, and a URL of long runs
 * makes the matcher do it again at every start position.  A group's own items
 * are charged one by one.
 */
long
readAhead(const pcre_callout_block *block, const char *pattern)
{
    int length = block->next_item_length;

    /* a single character reads a single byte */
    if (length < 2 || pattern == NULL) {
        return 0;
    }

    const char *item = pattern + block->pattern_position;
    bool reference = isBackReference(item, length);
    if (item[0] == '(' && !reference) {
        return 0;
    }

    long unit = reference ? longestCapture(block) : 1;
    long bytes = unit * leastRepeat(item, length);
    long rest = block->subject_length - block->current_position;

    return bytes < rest ? bytes : rest;
}

/*
 * PCRE's callout hook while one of our matches runs: called before every item
 * of the pattern, at every start position, and at the pattern's own "(?C)"
 * points.  Each call is one step, plus the bytes the matcher moved over since
 * the previous call: a possessive or auto-possessified scan such as "a*+", a
 * back-reference that matched, or the skip to the next start position did
 * that much work between two calls.  Bytes that the next item may read ahead
 * without moving are charged before it runs, one step for every
 * VANTORELL_PCRE_READ_AHEAD_PER_STEP.  Past the budget the match is abandoned
 * with the same error as PCRE's own match limit.
 */
int
chargeMatchStep(pcre_callout_block *block)
{
    MatchBudget *budget = static_cast<MatchBudget *>(block->callout_data);
    if (budget == NULL) {
        /* not one of our matches: nothing to charge it to */
        return 0;
    }

    long moved = static_cast<long>(block->current_position)
                 - budget->lastPosition;
    budget->lastPosition = block->current_position;
    budget->spent += 1 + (moved < 0 ? -moved : moved)
                     + readAhead(block, budget->pattern)
                       / VANTORELL_PCRE_READ_AHEAD_PER_STEP;

    return budget->spent > VANTORELL_PCRE_MATCH_BUDGET ? PCRE_ERROR_MATCHLIMIT
                                                       : 0;
}


/*
 * Lends PCRE an allocator for one compilation or match, so that every way
 * out puts back the hooks that were installed before (nginx's own, which
 * SSI's run-time regular expressions rely on): a pool for a match, the
 * process heap for a pattern kept with a model, which outlives every request.
 */
class PcreMemoryLease {
public:
    explicit PcreMemoryLease(ngx_pool_t *pool) noexcept
        : previousMalloc_(pcre_malloc), previousFree_(pcre_free), previousPool_(pcrePool)
    {
        pcrePool = pool;
        pcre_malloc = pool != NULL ? pcrePoolAllocate : malloc;
        pcre_free = pool != NULL ? pcrePoolRelease : free;
    }

    ~PcreMemoryLease()
    {
        pcrePool = previousPool_;
        pcre_malloc = previousMalloc_;
        pcre_free = previousFree_;
    }

    PcreMemoryLease(const PcreMemoryLease &) = delete;
    PcreMemoryLease &operator=(const PcreMemoryLease &) = delete;

private:
    void *(*previousMalloc_)(size_t);
    void (*previousFree_)(void *);
    ngx_pool_t *previousPool_;
};

/*
 * Installs chargeMatchStep as PCRE's callout hook for one pcre_exec.  The hook
 * is process-wide, like the allocation hooks: whatever was there before is put
 * back on every way out, so the rest of nginx never sees ours.
 */
class PcreCalloutLease {
public:
    PcreCalloutLease() : previousCallout_(pcre_callout)
    {
        pcre_callout = chargeMatchStep;
    }

    ~PcreCalloutLease() { pcre_callout = previousCallout_; }

    PcreCalloutLease(const PcreCalloutLease &) = delete;
    PcreCalloutLease &operator=(const PcreCalloutLease &) = delete;

private:
    int (*previousCallout_)(pcre_callout_block *);
};

Status
failed(Failure failure) noexcept
{
    Status status;
    status.failure = failure;
    return status;
}

bool
isKnownTargetingType(char type)
{
    return type == 'P' || type == 'S' || type == 'T' || type == 'U';
}


/*
 * Runs a compiled pattern over the URL text, within one budget for the whole
 * URL.  Memory that PCRE takes while matching comes from the request pool.
 */
Status
runPattern(const pcre *re, const char *expression, const char *url,
           size_t urlLength, ngx_pool_t *pool, bool *matched)
{
    MatchBudget budget = {expression, 0, 0};

    /* PCRE's own counters stay as further caps; its match limit, counted
     * afresh at every start position, is the budget as well */
    pcre_extra limits;
    memset(&limits, 0, sizeof(limits));
    limits.flags = PCRE_EXTRA_MATCH_LIMIT | PCRE_EXTRA_MATCH_LIMIT_RECURSION
                   | PCRE_EXTRA_CALLOUT_DATA;
    limits.match_limit = VANTORELL_PCRE_MATCH_BUDGET;
    limits.match_limit_recursion = VANTORELL_PCRE_RECURSION_LIMIT;
    limits.callout_data = &budget;

    int ovector[VANTORELL_PCRE_OVECTOR_SIZE];
    int rc;
    {
        PcreMemoryLease memory(pool);
        PcreCalloutLease callout;
        rc = pcre_exec(re, &limits, url, static_cast<int>(urlLength), 0, 0,
                       ovector, VANTORELL_PCRE_OVECTOR_SIZE);
    }

    /* 0 means the capture groups did not fit the vector: still a match */
    if (rc >= 0 || rc == PCRE_ERROR_NOMATCH) {
        *matched = rc >= 0;
        return Status();
    }

    Status status = failed(Failure::PatternMatch);
    status.pattern = expression;
    return status;
}

struct Evaluation {
    const CompiledPatterns &patterns;
    const char *url;
    size_t urlLength;
    ngx_pool_t *pool;
    ExperimentTrace *trace;     /* null but for traceExperiment */
};

Status
matchCondition(const Evaluation &evaluation, const Condition &condition,
               bool *matched)
{
    switch (condition.matchType) {
    case 'C':
        *matched = strstr(evaluation.url, condition.url.c_str()) != NULL;
        return Status();
    case 'E':
        *matched = strcmp(evaluation.url, condition.url.c_str()) == 0;
        return Status();
    case 'R':
        break;
    default:
        return failed(Failure::UnknownMatchType);
    }

    const CompiledPattern *pattern = evaluation.patterns.find(condition);
    if (pattern == NULL || pattern->re == NULL) {
        Status status = failed(Failure::PatternCompile);
        status.pattern = condition.url.c_str();
        status.reason = pattern != NULL ? pattern->error : NULL;
        return status;
    }

    return runPattern(pattern->re, condition.url.c_str(), evaluation.url,
                      evaluation.urlLength, evaluation.pool, matched);
}

/*
 * Joins the results of a list's items (conditions, or groups) by each item's
 * operator.  Every item is evaluated, even once the outcome is settled, so a
 * broken condition never hides behind an earlier one; the first failure ends
 * the evaluation.
 */
template <typename Item, typename Evaluate>
Status
joinItems(const std::vector<Item> &items, Evaluate evaluate, bool *result)
{
    bool joined = false;

    for (const Item &item : items) {
        bool value = false;
        Status status = evaluate(item, &value);
        if (!status.ok()) {
            return status;
        }

        joined = joinResults(joined, item.orOperator, value);
    }

    *result = joined;
    return Status();
}

/* A condition is satisfied when its match is what it includes. */
Status
evaluateCondition(const Evaluation &evaluation, const Condition &condition,
                  bool *satisfied)
{
    bool matched = false;
    Status status = matchCondition(evaluation, condition, &matched);
    *satisfied = matched == condition.include;
    if (evaluation.trace != NULL && status.ok()) {
        ConditionTrace step;
        step.matched = matched;
        step.satisfied = *satisfied;
        evaluation.trace->groups.back().conditions.push_back(step);
    }
    return status;
}

Status
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
Status
evaluateExperiment(const Evaluation &evaluation, const Experiment &experiment,
                   bool *targeted)
{
    bool experimentResult = false;

    Status status = joinItems(experiment.conditionGroups,
                              [&evaluation](const ConditionGroup &group, bool *result) {
                                  if (evaluation.trace != NULL) {
                                      evaluation.trace->groups.emplace_back();
                                  }
                                  Status status = evaluateGroup(evaluation, group, result);
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
        Status refused = failed(Failure::UntargetableId);
        refused.experimentId = experiment.id;
        return refused;
    }

    /* an experiment with id 0 reads as "not targeted" */
    *targeted = experimentResult && experiment.id != 0;
    return Status();
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
CompiledPatterns::~CompiledPatterns()
{
    for (auto &entry : patterns_) {
        free(entry.second.re);
    }
}


bool
CompiledPatterns::compile(const Model &model) noexcept
{
    PcreMemoryLease heap(NULL);

    for (const Experiment &experiment : model.experiments) {
        for (const ConditionGroup &group : experiment.conditionGroups) {
            for (const Condition &condition : group.conditions) {
                if (condition.matchType != 'R') {
                    continue;
                }

                CompiledPattern pattern;
                int errorOffset = 0;
                pattern.re = pcre_compile(condition.url.c_str(),
                                          VANTORELL_PCRE_COMPILE_OPTIONS,
                                          &pattern.error, &errorOffset, NULL);
                if (pattern.re == NULL
                    && (pattern.error == NULL
                        || strcmp(pattern.error, "failed to get memory") == 0))
                {
                    /* the heap, not the pattern: do not keep this as the
                     * pattern's error */
                    return false;
                }

                try {
                    patterns_.emplace(&condition, pattern);
                } catch (...) {
                    free(pattern.re);
                    return false;
                }
            }
        }
    }

    return true;
}


const CompiledPattern *
CompiledPatterns::find(const Condition &condition) const noexcept
{
    auto it = patterns_.find(&condition);
    return it == patterns_.end() ? NULL : &it->second;
}


Status
targetingFailure(const Model &model, const CompiledPatterns &patterns) noexcept
{
    /* the walk of targetExperiments, less everything that depends on the
     * URL text: every condition is evaluated there, so each of these failures
     * ends every evaluation that gets as far as it */
    for (const Experiment &experiment : model.experiments) {
        if (!isKnownTargetingType(experiment.targetingConfiguration)) {
            Status status = failed(Failure::UnknownTargetingType);
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
                    Status status = failed(Failure::PatternCompile);
                    status.pattern = condition.url.c_str();
                    status.reason = pattern != NULL ? pattern->error : NULL;
                    return status;
                }
            }
        }
    }

    return Status();
}


Status
traceExperiment(const Experiment &experiment, const CompiledPatterns &patterns,
                const char *url, ngx_pool_t *pool, ExperimentTrace *trace) noexcept
{
    *trace = ExperimentTrace();
    if (!isKnownTargetingType(experiment.targetingConfiguration)) {
        Status status = failed(Failure::UnknownTargetingType);
        status.experimentId = experiment.id;
        return status;
    }
    const Evaluation evaluation = {patterns, url, strlen(url), pool, trace};
    try {
        bool hit = false;
        Status status = evaluateExperiment(evaluation, experiment, &hit);
        trace->targeted = hit;
        return status;
    } catch (...) {
        return failed(Failure::TargetedNoMemory);
    }
}
Status
targetExperiments(const Model &model, const CompiledPatterns &patterns,
                  const char *url, ngx_pool_t *pool,
                  TargetedList *targeted) noexcept
{
    const Evaluation evaluation = {patterns, url, strlen(url), pool, NULL};
    TargetedList result;

    /*
     * The model runs from the file's last experiment to its first: the
     * first failure met is the later one in the file, and the hits are put
     * back into the file's order at the end.
     */
    for (const Experiment &experiment : model.experiments) {
        if (!isKnownTargetingType(experiment.targetingConfiguration)) {
            Status status = failed(Failure::UnknownTargetingType);
            status.experimentId = experiment.id;
            return status;
        }

        bool hit = false;
        Status status = evaluateExperiment(evaluation, experiment, &hit);
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
    return Status();
}

}  // namespace vantorell
