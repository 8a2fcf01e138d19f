/*
 * Targeting over a model that stays loaded: regular expressions compiled once
 * per model instead of once per condition and request.  The results, texts
 * included, are those of getTargetedExperiments on the same model and URL.
 * C++ only; used by the per-worker model cache.
 */
#ifndef VANTORELL_TARGETING_INTERNAL_H
#define VANTORELL_TARGETING_INTERNAL_H

#include "targeting.h"

#include <pcre.h>

#include <unordered_map>

namespace vantorell {

/* One "R" condition's pattern: compiled on the heap, or the compiler's
 * error text (PCRE's own static text). */
struct CompiledPattern {
    pcre *re = nullptr;
    const char *error = nullptr;
};

class CompiledPatterns {
public:
    CompiledPatterns() = default;
    ~CompiledPatterns();
    CompiledPatterns(const CompiledPatterns &) = delete;
    CompiledPatterns &operator=(const CompiledPatterns &) = delete;

    /* Compiles every "R" condition of the model.  False when the heap runs
     * out (the table is then unusable). */
    bool compile(ExperimentConfig *experimentConfigs) noexcept;

    const CompiledPattern *find(const Condition *condition) const noexcept;

private:
    std::unordered_map<const Condition *, CompiledPattern> patterns_;
};

/* getTargetedExperiments with the patterns of `patterns` (which must have
 * been compiled from the same model). */
int getTargetedExperimentsCompiled(ExperimentConfig *experimentConfigs,
                                   TargetedExperiment **targetedExperiments,
                                   char *url, char *message, ngx_pool_t *pool,
                                   const CompiledPatterns &patterns);

/* The weighted choice for one targeted record whose experiment is known
 * (NULL: not in the model, the reference).  1, or 0 when the heap runs out. */
int completeTargetedExperiment(const ExperimentConfig *experiment,
                               TargetedExperiment *record, double threshold);

/*
 * The texts that tell the outcome, with ids written as signed 32-bit numbers
 * (the low 32 bits of the 64-bit id).  Like snprintf, each writes at most
 * `size` bytes, the NUL included, and returns the length of the whole text,
 * so a first call with size 0 measures the buffer for any id.
 */

/* "12=3, 7=0, 4501=12": the targeted list's pairs in list order. */
size_t experimentsHeaderText(const TargetedExperiment *targetedExperiments,
                             char *buffer, size_t size) noexcept;

/* "/experiment_12_variation_3". */
size_t variationLocationText(long experimentId, long variationId, char *buffer,
                             size_t size) noexcept;

}  // namespace vantorell

#endif
