/*
 * The regular expressions of a model: compiled once, with the meaning data
 * files were written for, and run over a URL text within one step budget,
 * the matcher taking its memory from the caller's Allocator.
 */
#ifndef VANTORELL_PATTERN_H
#define VANTORELL_PATTERN_H

#include "allocator.h"
#include "data_file.h"
#include "failure.h"

#ifndef PCRE2_CODE_UNIT_WIDTH
#define PCRE2_CODE_UNIT_WIDTH 8
#endif
#include <pcre2.h>

#include <string>
#include <unordered_map>

namespace vantorell {

/* One "R" condition's pattern: compiled on the heap, or the compiler's
 * error text.  `source` is the text compiled where it is not the
 * condition's own (a spelling of the first-generation library, rewritten). */
struct CompiledPattern {
    pcre2_code *re = nullptr;
    std::string error;
    std::string source;
};

class CompiledPatterns {
public:
    CompiledPatterns() = default;
    ~CompiledPatterns();
    CompiledPatterns(const CompiledPatterns &) = delete;
    CompiledPatterns &operator=(const CompiledPatterns &) = delete;

    /* Compiles every "R" condition of the model, which must outlive the
     * table.  False when the heap runs out (the table is then unusable). */
    bool compile(const Model &model) noexcept;

    const CompiledPattern *find(const Condition &condition) const noexcept;

private:
    std::unordered_map<const Condition *, CompiledPattern> patterns_;
};

/*
 * What pcre2_match needs besides the pattern: a general context that takes
 * memory from the evaluation's allocator, a match context with the limits
 * and the budget's callout, and a match data block (which also keeps the
 * matcher's backtracking frames between matches).  Made on the evaluation's
 * first regular expression, used by all of its others, and given back to the
 * allocator at its end.  Nothing process-wide is touched, so a match of ours
 * cannot disturb nginx's own regular expressions or another module's.
 */
class MatchScratch {
public:
    explicit MatchScratch(Allocator *memory) noexcept : memory_(memory) {}
    ~MatchScratch();

    MatchScratch(const MatchScratch &) = delete;
    MatchScratch &operator=(const MatchScratch &) = delete;

    /* False when the allocator has no memory for them. */
    bool prepare() noexcept;

    pcre2_match_context *context() const noexcept { return context_; }
    pcre2_match_data *data() const noexcept { return data_; }

private:
    Allocator *memory_;
    pcre2_general_context *general_ = nullptr;
    pcre2_match_context *context_ = nullptr;
    pcre2_match_data *data_ = nullptr;
};

/* Runs a compiled pattern over the URL text, within one budget for the
 * whole URL; `expression` is the condition's text, which a failure names. */
Result runPattern(const CompiledPattern &pattern, const char *expression, const char *url,
                  size_t urlLength, MatchScratch *scratch, bool *matched) noexcept;

}  // namespace vantorell

#endif
