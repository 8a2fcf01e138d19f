/*
 * The model's regular expressions: compiled once, and run within one budget
 * per URL text.  Nothing here logs or throws, and nothing is nginx's: what
 * the matcher needs while it runs comes from the Allocator that the caller
 * lends the evaluation.
 */
#include "pattern.h"
#include "pattern_messages.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

/*
 * How deep the matcher's backtracking may nest.  Each level is a frame of the
 * matcher's memory, and a repeated group such as "(a/)*" or "(a|b)*" takes
 * two levels per repetition: a URL text of some 12,000 bytes, which a long
 * Host header plus a long path reaches with nginx's default buffers, would
 * take tens of thousands of frames.  10,000 levels allow about 5,000
 * repetitions of a group, which data files in service rely on; past them
 * the match is a failure of this request only.
 */
#define VANTORELL_PCRE_DEPTH_LIMIT 10000

/*
 * The most memory, in KiB, that the matcher's frames may take for one match:
 * the depth limit bounds their number, this their size whatever the number
 * of capture groups in the pattern.  Realistic patterns stay under 2 MiB at
 * the deepest.
 */
#define VANTORELL_PCRE_HEAP_LIMIT_KIB (16 * 1024)

/*
 * How much work one pattern may do on one URL text, in steps of the matcher
 * (see chargeMatchStep).  A pattern with nested repetition can backtrack
 * exponentially on a URL the client chooses, and even a linear pattern can
 * rescan the rest of the URL from every start position.  A step count kept
 * per start position cannot bound either: a limit of N would allow N steps
 * per byte of the URL, and a long URL would buy seconds of the worker, and of
 * every request it serves, with each request.  This budget is one for the
 * whole match, every start position included: a few milliseconds of the
 * worker at worst, on the longest URL texts that nginx accepts, and no
 * reasonable URL pattern comes near it.
 */
#define VANTORELL_PCRE_MATCH_BUDGET 200000

/*
 * Bytes that an item may compare ahead of the match position for one step of
 * the budget.  The matcher compares a byte some eight times faster than it
 * takes a step, and small counts such as "\d{4}" or "[0-9a-f]{32}", tried at
 * every start position of a long URL, must stay well within the budget.
 */
#define VANTORELL_PCRE_READ_AHEAD_PER_STEP 8

/*
 * Every pattern is compiled with a call into chargeMatchStep before each of
 * its items, so that the budget sees every step of the interpreter.  The
 * calls make the compiled pattern about four times larger: a pattern of more
 * than about 8,000 items no longer fits the library's size limit and does
 * not compile ("regular expression is too large").
 */
#define VANTORELL_PCRE_COMPILE_OPTIONS PCRE2_AUTO_CALLOUT

/* Room for the offsets of the whole match only; the offsets are not used. */
#define VANTORELL_PCRE_MATCH_PAIRS 1

namespace vantorell {

namespace {

/* The work done so far by one pcre2_match, over all its start positions. */
struct MatchBudget {
    const char *pattern;    /* the text compiled: the items' source */
    long spent;
    PCRE2_SIZE lastPosition;
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

/* The longest group captured so far. */
long
longestCapture(const pcre2_callout_block *block)
{
    long longest = 0;

    for (uint32_t group = 1; group < block->capture_top; group++) {
        PCRE2_SIZE start = block->offset_vector[2 * group];
        PCRE2_SIZE end = block->offset_vector[2 * group + 1];
        if (start != PCRE2_UNSET && end != PCRE2_UNSET && end > start
            && static_cast<long>(end - start) > longest)
        {
            longest = static_cast<long>(end - start);
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
readAhead(const pcre2_callout_block *block, const char *pattern)
{
    int length = static_cast<int>(block->next_item_length);

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
    long rest = static_cast<long>(block->subject_length - block->current_position);

    return bytes < rest ? bytes : rest;
}

/*
 * The matcher's callout while one of our matches runs: called before every
 * item of the pattern, at every start position, and at the pattern's own
 * "(?C)" points.  Each call is one step, plus the bytes the matcher moved
 * over since the previous call: a possessive or auto-possessified scan such
 * as "a*+", a back-reference that matched, or the skip to the next start
 * position did that much work between two calls.  Bytes that the next item
 * may read ahead without moving are charged before it runs, one step for
 * every VANTORELL_PCRE_READ_AHEAD_PER_STEP.  Past the budget the match is
 * abandoned with the same error as the library's own match limit.
 */
int
chargeMatchStep(pcre2_callout_block *block, void *data)
{
    MatchBudget *budget = static_cast<MatchBudget *>(data);

    PCRE2_SIZE position = block->current_position;
    long moved = position >= budget->lastPosition
                 ? static_cast<long>(position - budget->lastPosition)
                 : static_cast<long>(budget->lastPosition - position);
    budget->lastPosition = position;
    budget->spent += 1 + moved
                     + readAhead(block, budget->pattern)
                       / VANTORELL_PCRE_READ_AHEAD_PER_STEP;

    return budget->spent > VANTORELL_PCRE_MATCH_BUDGET ? PCRE2_ERROR_MATCHLIMIT
                                                       : 0;
}

void *
allocateFrom(PCRE2_SIZE size, void *allocator)
{
    return static_cast<Allocator *>(allocator)->allocate(size);
}

void
releaseTo(void *block, void *allocator)
{
    if (block != NULL) {
        static_cast<Allocator *>(allocator)->release(block);
    }
}

}  // namespace


MatchScratch::~MatchScratch()
{
    pcre2_match_data_free(data_);
    pcre2_match_context_free(context_);
    pcre2_general_context_free(general_);
}


bool
MatchScratch::prepare() noexcept
{
    if (data_ != NULL) {
        return true;
    }
    if (general_ == NULL) {
        general_ = pcre2_general_context_create(allocateFrom, releaseTo, memory_);
        if (general_ == NULL) {
            return false;
        }
    }
    if (context_ == NULL) {
        context_ = pcre2_match_context_create(general_);
        if (context_ == NULL) {
            return false;
        }
        /* the library's own counters stay as further caps */
        pcre2_set_match_limit(context_, VANTORELL_PCRE_MATCH_BUDGET);
        pcre2_set_depth_limit(context_, VANTORELL_PCRE_DEPTH_LIMIT);
        pcre2_set_heap_limit(context_, VANTORELL_PCRE_HEAP_LIMIT_KIB);
    }
    data_ = pcre2_match_data_create(VANTORELL_PCRE_MATCH_PAIRS, general_);
    return data_ != NULL;
}


Result
runPattern(const CompiledPattern &pattern, const char *expression, const char *url,
           size_t urlLength, MatchScratch *scratch, bool *matched) noexcept
{
    int rc = PCRE2_ERROR_NOMEMORY;

    if (scratch->prepare()) {
        /* the budget reads the items in the text that was compiled */
        MatchBudget budget = {pattern.source.empty() ? expression : pattern.source.c_str(),
                              0, 0};
        pcre2_set_callout(scratch->context(), chargeMatchStep, &budget);
        rc = pcre2_match(pattern.re, reinterpret_cast<PCRE2_SPTR>(url), urlLength, 0, 0,
                         scratch->data(), scratch->context());
    }

    /* 0 means the capture groups did not fit the vector: still a match */
    if (rc >= 0 || rc == PCRE2_ERROR_NOMATCH) {
        *matched = rc >= 0;
        return Result();
    }

    Result status;
    status.failure = Failure::PatternMatch;
    status.pattern = expression;
    return status;
}

CompiledPatterns::~CompiledPatterns()
{
    for (auto &entry : patterns_) {
        pcre2_code_free(entry.second.re);
    }
}


/*
 * The compiler's text for a pattern that does not compile.  Operators' log
 * parsing and alerts know the texts of the first-generation library, so
 * those are kept where the fault has one.
 */
static std::string
compileErrorText(int code)
{
    const char *legacy = legacyCompileMessage(code);
    if (legacy != NULL) {
        return legacy;
    }

    PCRE2_UCHAR text[256];
    if (pcre2_get_error_message(code, text, sizeof(text)) < 0) {
        return "unknown";
    }
    return reinterpret_cast<const char *>(text);
}


/*
 * Compiles a pattern with the meaning data files in service were written
 * for; 0, or the compiler's error code.  PCRE2 refuses two spellings that the first-generation
 * library took, and that data files in service may hold: an unknown escape
 * such as "\i", which stood for the letter, and a hyphen right after a class
 * escape in a class, such as "[\w-.]" (a host name's characters), which stood
 * for itself.  Refused for one of them, the pattern is compiled again with
 * that letter unescaped or that hyphen escaped, so that it keeps its meaning.
 * The text compiled is kept when it is not the condition's own: the budget
 * reads the pattern's items in it, and lint shows it.  The heap's failures in
 * std::string throw.
 */
static int
compileAsWritten(const std::string &text, CompiledPattern *pattern)
{
    std::string source = text;
    for (;;) {
        /* the patterns live with the model, which outlives every request:
         * the process heap, as the library's default */
        int code = 0;
        PCRE2_SIZE offset = 0;
        pattern->re = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(source.c_str()),
                                    PCRE2_ZERO_TERMINATED, VANTORELL_PCRE_COMPILE_OPTIONS,
                                    &code, &offset, NULL);
        if (pattern->re != NULL) {
            if (source != text) {
                pattern->source = std::move(source);
            }
            return 0;
        }

        /* the offset is that of the escape's letter; that of the hyphen,
         * or, in later releases (10.46), of the character after it */
        if (code == PCRE2_ERROR_UNKNOWN_ESCAPE && offset >= 1 && offset <= source.size()
            && source[offset - 1] == '\\')
        {
            source.erase(offset - 1, 1);
        } else if (code == PCRE2_ERROR_CLASS_INVALID_RANGE && offset < source.size()
                   && source[offset] == '-')
        {
            source.insert(offset, 1, '\\');
        } else if (code == PCRE2_ERROR_CLASS_INVALID_RANGE && offset >= 1
                   && offset <= source.size() && source[offset - 1] == '-')
        {
            source.insert(offset - 1, 1, '\\');
        } else {
            return code;
        }
    }
}


bool
CompiledPatterns::compile(const Model &model) noexcept
{
    for (const Experiment &experiment : model.experiments) {
        for (const ConditionGroup &group : experiment.conditionGroups) {
            for (const Condition &condition : group.conditions) {
                if (condition.matchType != 'R') {
                    continue;
                }

                try {
                    CompiledPattern &pattern = patterns_[&condition];
                    int code = compileAsWritten(condition.url, &pattern);
                    if (code == PCRE2_ERROR_HEAP_FAILED) {
                        /* the heap, not the pattern: do not keep this as
                         * the pattern's error */
                        return false;
                    }
                    if (pattern.re == NULL) {
                        pattern.error = compileErrorText(code);
                    }
                } catch (...) {
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


}  // namespace vantorell
