/*
 * Targeting: the condition groups of every experiment evaluated against one
 * URL text, and the weighted choice of a variation for each experiment that
 * targets it.
 *
 * Plain functions over the records of read_configuration.h.  Nothing here
 * logs: a failure is -1 (or 0 for the choice) plus one bounded text in the
 * caller's message buffer.  The only nginx object used is the pool lent to
 * the regular-expression matcher.
 */
extern "C" {
#include <ngx_config.h>
#include <ngx_core.h>
}

#include <pcre.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "targeting.h"
#include "targeting_internal.h"

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

extern "C" {

/*
 * PCRE's allocation hooks for one evaluation.  Everything PCRE allocates
 * comes from the pool of the request being evaluated, so the compiled pattern
 * needs no release of its own and goes away with the request.  Outside an
 * evaluation there is no pool and the hook refuses.
 */
static ngx_pool_t *ngx_pcre_pool;

static void *ngx_libc_cdecl
ngx_pcre_malloc(size_t size)
{
    if (ngx_pcre_pool == NULL) {
        return NULL;
    }

    return ngx_palloc(ngx_pcre_pool, size);
}

static void ngx_libc_cdecl
ngx_pcre_free(void *p)
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
static bool
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
static long
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
static long
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
static long
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
static int
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

}  // extern "C"

namespace {

/*
 * Lends the pool to PCRE for the lifetime of one evaluation, so that every way
 * out resets it.  The hooks that were installed before (nginx's own, which
 * SSI's run-time regular expressions rely on) are put back as well: leaving
 * ours installed would make those compilations fail for want of memory.
 */
class PcrePoolLease {
public:
    explicit PcrePoolLease(ngx_pool_t *pool)
        : previousMalloc_(pcre_malloc), previousFree_(pcre_free)
    {
        ngx_pcre_pool = pool;
        pcre_malloc = ngx_pcre_malloc;
        pcre_free = ngx_pcre_free;
    }

    ~PcrePoolLease()
    {
        ngx_pcre_pool = NULL;
        pcre_malloc = previousMalloc_;
        pcre_free = previousFree_;
    }

    PcrePoolLease(const PcrePoolLease &) = delete;
    PcrePoolLease &operator=(const PcrePoolLease &) = delete;

private:
    void *(*previousMalloc_)(size_t);
    void (*previousFree_)(void *);
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

/* Every text goes into the caller's buffer bounded and NUL-terminated. */
__attribute__((format(printf, 2, 3))) void
writeMessage(char *message, const char *format, ...)
{
    va_list args;

    va_start(args, format);
    vsnprintf(message, VANTORELL_MESSAGE_SIZE, format, args);
    va_end(args);
}

/* Ids appear in texts as signed 32-bit numbers, like the rest of the module. */
int
id32(long id)
{
    return static_cast<int>(id);
}

bool
isKnownTargetingType(char type)
{
    return type == 'P' || type == 'S' || type == 'T' || type == 'U';
}

/* "&" and, "|" or; any other letter starts afresh with the new value. */
bool
joinResults(bool before, char orOperator, bool value)
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

/*
 * 1 or 0 into *result for one group, or -1.  Every condition is evaluated,
 * even once the outcome is settled, so a broken condition never hides behind
 * an earlier one.
 */
int matchConditionWith(Condition *condition, char *url, char *message,
                       ngx_pool_t *pool,
                       const vantorell::CompiledPatterns *patterns);

int
evaluateGroup(const ConditionData *group, char *url, char *message,
              ngx_pool_t *pool, const vantorell::CompiledPatterns *patterns,
              bool *result)
{
    bool groupResult = false;

    for (Condition *condition = group->conditions; condition != NULL;
         condition = condition->next)
    {
        int match = matchConditionWith(condition, url, message, pool, patterns);
        if (match != 0 && match != 1) {
            return match;
        }

        bool satisfied = (match == 1) == condition->include;
        groupResult = joinResults(groupResult, condition->orOperator, satisfied);
    }

    *result = groupResult;
    return 1;
}

TargetedExperiment *
newTargetedExperiment(long experimentId, TargetedExperiment *next)
{
    TargetedExperiment *record =
        static_cast<TargetedExperiment *>(malloc(sizeof(TargetedExperiment)));
    if (record == NULL) {
        return NULL;
    }

    record->next = next;
    record->experimentId = experimentId;
    record->variationId = 0;
    record->redirectUrl = NULL;
    return record;
}

/* The first variation whose running total of weights exceeds threshold. */
const Variation *
chooseVariation(const Variation *variations, double threshold)
{
    double weightedSum = 0.0;

    for (const Variation *variation = variations; variation != NULL;
         variation = variation->next)
    {
        weightedSum += variation->weight;
        if (weightedSum > threshold) {
            return variation;
        }
    }

    return NULL;
}

/*
 * Runs a pattern compiled with VANTORELL_PCRE_COMPILE_OPTIONS over the URL
 * text, within one budget for the whole URL.  Memory that PCRE takes while
 * matching comes from the request pool, as for the compilation.
 */
int
runPattern(const pcre *re, const char *expression, char *url, char *message)
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
        PcreCalloutLease callout;
        rc = pcre_exec(re, &limits, url, static_cast<int>(strlen(url)), 0, 0,
                       ovector, VANTORELL_PCRE_OVECTOR_SIZE);
    }

    /* 0 means the capture groups did not fit the vector: still a match */
    if (rc >= 0) {
        return 1;
    }

    if (rc == PCRE_ERROR_NOMATCH) {
        return 0;
    }

    writeMessage(message, "Error while matching regular expression: %s",
                 expression);
    return -1;
}

void
writeCompileError(char *message, const char *expression, const char *error)
{
    writeMessage(message,
                 "NGINX: Cannot compile regular expression: %s, reason: %s",
                 expression, error != NULL ? error : "unknown");
}

int
matchConditionWith(Condition *condition, char *url, char *message,
                   ngx_pool_t *pool, const vantorell::CompiledPatterns *patterns)
{
    switch (condition->matchType) {
    case 'C':
        return strstr(url, condition->url) != NULL ? 1 : 0;
    case 'E':
        return strcmp(url, condition->url) == 0 ? 1 : 0;
    case 'R':
        break;
    default:
        writeMessage(message, "Match type does not exist.");
        return -1;
    }

    if (patterns == NULL) {
        return urlMatchRegularExpression(url, condition->url, message, pool);
    }

    const vantorell::CompiledPattern *pattern = patterns->find(condition);
    if (pattern == NULL) {
        return urlMatchRegularExpression(url, condition->url, message, pool);
    }

    if (pattern->re == NULL) {
        writeCompileError(message, condition->url, pattern->error);
        return -1;
    }

    PcrePoolLease lease(pool);
    return runPattern(pattern->re, condition->url, url, message);
}

long
targetedExperimentWith(ExperimentConfig *experimentConfig, char *url,
                       char *message, ngx_pool_t *pool,
                       const vantorell::CompiledPatterns *patterns)
{
    bool experimentResult = false;

    for (ConditionData *group = experimentConfig->conditionsData; group != NULL;
         group = group->next)
    {
        bool groupResult = false;

        int rc = evaluateGroup(group, url, message, pool, patterns,
                               &groupResult);
        if (rc != 1) {
            return rc;
        }

        experimentResult = joinResults(experimentResult, group->orOperator,
                                       groupResult);
    }

    if (!experimentResult) {
        return 0;
    }

    /* -1 is the failure value: say why rather than fail without a text */
    if (experimentConfig->experimentId == -1) {
        writeMessage(message, "Experiment id %d cannot be targeted.",
                     id32(experimentConfig->experimentId));
        return -1;
    }

    /* an experiment with id 0 reads as "not targeted" */
    return experimentConfig->experimentId;
}

int
targetExperimentsWith(ExperimentConfig *experimentConfigs,
                      TargetedExperiment **targetedExperiments, char *url,
                      char *message, ngx_pool_t *pool,
                      const vantorell::CompiledPatterns *patterns)
{
    /*
     * The experiment list runs from the file's last experiment to its first;
     * putting each hit at the head leaves the result in the file's order.
     */
    TargetedExperiment *result = NULL;

    for (ExperimentConfig *experiment = experimentConfigs; experiment != NULL;
         experiment = experiment->next)
    {
        if (!isKnownTargetingType(experiment->targetingConfiguration)) {
            writeMessage(message,
                         "Targeting configuration type does not exist for "
                         "experiment %d.",
                         id32(experiment->experimentId));
            freeTargetedExperiments(result);
            return -1;
        }

        long experimentId = targetedExperimentWith(experiment, url, message,
                                                   pool, patterns);
        if (experimentId == -1) {
            freeTargetedExperiments(result);
            return -1;
        }

        if (experimentId == 0) {
            continue;
        }

        TargetedExperiment *record = newTargetedExperiment(experimentId, result);
        if (record == NULL) {
            writeMessage(message,
                         "Cannot allocate memory for targeted experiment.");
            freeTargetedExperiments(result);
            return -1;
        }
        result = record;
    }

    *targetedExperiments = result;
    return 1;
}

/*
 * Compiles on the process heap: a pattern kept with a model outlives every
 * request pool.
 */
class PcreHeapLease {
public:
    PcreHeapLease() : previousMalloc_(pcre_malloc), previousFree_(pcre_free)
    {
        pcre_malloc = malloc;
        pcre_free = free;
    }

    ~PcreHeapLease()
    {
        pcre_malloc = previousMalloc_;
        pcre_free = previousFree_;
    }

    PcreHeapLease(const PcreHeapLease &) = delete;
    PcreHeapLease &operator=(const PcreHeapLease &) = delete;

private:
    void *(*previousMalloc_)(size_t);
    void (*previousFree_)(void *);
};

}  // namespace


int
urlMatchRegularExpression(char *url, char *expression, char *message,
                          ngx_pool_t *pool)
{
    PcrePoolLease lease(pool);

    const char *error = NULL;
    int errorOffset = 0;

    pcre *re = pcre_compile(expression, VANTORELL_PCRE_COMPILE_OPTIONS, &error,
                            &errorOffset, NULL);
    if (re == NULL) {
        writeCompileError(message, expression, error);
        return -1;
    }

    int rc = runPattern(re, expression, url, message);

    pcre_free(re);

    return rc;
}


int
matchCondition(Condition *condition, char *url, char *message, ngx_pool_t *pool)
{
    return matchConditionWith(condition, url, message, pool, NULL);
}


long
targetedExperimentByConditions(ExperimentConfig *experimentConfig, char *url,
                               char *message, ngx_pool_t *pool)
{
    return targetedExperimentWith(experimentConfig, url, message, pool, NULL);
}


int
getTargetedExperiments(ExperimentConfig *experimentConfigs,
                       TargetedExperiment **targetedExperiments, char *url,
                       char *message, ngx_pool_t *pool)
{
    return targetExperimentsWith(experimentConfigs, targetedExperiments, url,
                                 message, pool, NULL);
}


int
completeTargetedExperimentsWithVariation(ExperimentConfig *experimentConfigs,
                                         TargetedExperiment *targetedExperiments,
                                         double threshold)
{
    for (TargetedExperiment *record = targetedExperiments; record != NULL;
         record = record->next)
    {
        const ExperimentConfig *experiment =
            getExperimentConfigByExperimentId(experimentConfigs,
                                              record->experimentId);

        if (!vantorell::completeTargetedExperiment(experiment, record,
                                                   threshold))
        {
            /* the caller releases the list, copies made so far included */
            return 0;
        }
    }

    return 1;
}


void
freeTargetedExperiments(TargetedExperiment *targetedExperiments)
{
    while (targetedExperiments != NULL) {
        TargetedExperiment *next = targetedExperiments->next;
        free(targetedExperiments->redirectUrl);
        free(targetedExperiments);
        targetedExperiments = next;
    }
}


namespace vantorell {

int
completeTargetedExperiment(const ExperimentConfig *experiment,
                           TargetedExperiment *record, double threshold)
{
    record->variationId = 0;
    record->redirectUrl = NULL;

    if (experiment == NULL) {
        /* not in this model: the visitor sees the reference */
        return 1;
    }

    const Variation *chosen = chooseVariation(experiment->variations, threshold);
    if (chosen == NULL) {
        return 1;
    }

    char *redirectUrl = NULL;
    if (chosen->redirectUrl != NULL) {
        size_t size = strlen(chosen->redirectUrl) + 1;
        redirectUrl = static_cast<char *>(malloc(size));
        if (redirectUrl == NULL) {
            return 0;
        }
        memcpy(redirectUrl, chosen->redirectUrl, size);
    }

    record->variationId = chosen->variationId;
    record->redirectUrl = redirectUrl;
    return 1;
}


size_t
experimentsHeaderText(const TargetedExperiment *targetedExperiments,
                      char *buffer, size_t size) noexcept
{
    size_t length = 0;

    for (const TargetedExperiment *t = targetedExperiments; t != NULL;
         t = t->next)
    {
        size_t room = length < size ? size - length : 0;
        int n = snprintf(room ? buffer + length : NULL, room,
                         t->next != NULL ? "%d=%d, " : "%d=%d",
                         id32(t->experimentId), id32(t->variationId));
        length += n > 0 ? static_cast<size_t>(n) : 0;
    }

    if (length == 0 && size > 0) {
        buffer[0] = '\0';
    }

    return length;
}


size_t
variationLocationText(long experimentId, long variationId, char *buffer,
                      size_t size) noexcept
{
    int n = snprintf(size ? buffer : NULL, size, "/experiment_%d_variation_%d",
                     id32(experimentId), id32(variationId));
    return n > 0 ? static_cast<size_t>(n) : 0;
}


CompiledPatterns::~CompiledPatterns()
{
    for (auto &entry : patterns_) {
        free(entry.second.re);
    }
}


bool
CompiledPatterns::compile(ExperimentConfig *experimentConfigs) noexcept
{
    try {
        PcreHeapLease lease;

        for (ExperimentConfig *experiment = experimentConfigs;
             experiment != NULL; experiment = experiment->next)
        {
            for (ConditionData *group = experiment->conditionsData;
                 group != NULL; group = group->next)
            {
                for (Condition *condition = group->conditions;
                     condition != NULL; condition = condition->next)
                {
                    if (condition->matchType != 'R' || condition->url == NULL) {
                        continue;
                    }

                    CompiledPattern pattern;
                    int errorOffset = 0;
                    pattern.re = pcre_compile(condition->url,
                                              VANTORELL_PCRE_COMPILE_OPTIONS,
                                              &pattern.error, &errorOffset,
                                              NULL);
                    if (pattern.re == NULL
                        && (pattern.error == NULL
                            || strcmp(pattern.error, "failed to get memory")
                               == 0))
                    {
                        /* the heap, not the pattern: do not keep this as
                         * the pattern's error */
                        return false;
                    }

                    auto inserted = patterns_.emplace(condition, pattern);
                    if (!inserted.second) {
                        free(pattern.re);
                    }
                }
            }
        }

        return true;

    } catch (...) {
        return false;
    }
}


const CompiledPattern *
CompiledPatterns::find(const Condition *condition) const noexcept
{
    auto it = patterns_.find(condition);
    return it == patterns_.end() ? NULL : &it->second;
}


int
getTargetedExperimentsCompiled(ExperimentConfig *experimentConfigs,
                               TargetedExperiment **targetedExperiments,
                               char *url, char *message, ngx_pool_t *pool,
                               const CompiledPatterns &patterns)
{
    return targetExperimentsWith(experimentConfigs, targetedExperiments, url,
                                 message, pool, &patterns);
}

}  // namespace vantorell
