/*
 * Targeting and the choice of variations on a model held from the worker's
 * cache (model_cache.h): the results that targeting the model afresh gives,
 * with its patterns compiled once and a memo of recent URL texts.
 */
#ifndef VANTORELL_CACHED_TARGETING_H
#define VANTORELL_CACHED_TARGETING_H

#include "allocator.h"
#include "failure.h"
#include "model_cache.h"
#include "targeting.h"

#include <cstddef>

namespace vantorell {

/* targetExperiments on the held model, with its compiled patterns and its
 * memo of recent URL texts. */
Result targetModel(const ModelHold &hold, const char *url, Allocator *memory,
                   TargetedList *targeted) noexcept;

/* The visitor's variation for every targeted experiment, from the
 * experiment that finding its id in the held model gives. */
void chooseVariations(const ModelHold &hold, TargetedList *targeted, double number) noexcept;

/* The bytes that the memo of URL texts of the held model takes.  Only while
 * held. */
size_t urlMemoBytes(const ModelHold &hold) noexcept;

}  // namespace vantorell

#endif
