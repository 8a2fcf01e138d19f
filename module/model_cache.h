/*
 * The per-worker cache of the experiment model.
 *
 * A worker keeps the model of each data file it has read, with its regular
 * expressions compiled and the targeting results of recent URL texts, for as
 * long as the file stays the same.  Every request still checks the file (its
 * status, and its contents while its times are too recent to be trusted), so
 * a changed file takes effect with the very next request, and every request
 * sees exactly the results and texts that reading the file afresh would give.
 *
 * A cached model is immutable.  It is shared by the requests of one worker
 * (nginx runs them on one thread) and counted, so a model that a request
 * still holds outlives its replacement.  Nothing is shared between workers.
 */
#ifndef VANTORELL_MODEL_CACHE_H
#define VANTORELL_MODEL_CACHE_H

#include "targeting.h"

namespace vantorell {

struct CachedModel;

/* One request's hold on a model. */
struct ModelHandle {
    ExperimentConfig *experiments = nullptr;
    CachedModel *cached = nullptr;   /* null: a model of this request alone */
};

/* The model of the data file at `path`.  False with the reader's text in
 * message when the file cannot be used. */
bool acquireModel(const char *path, ModelHandle *handle, char *message) noexcept;

/* getTargetedExperiments on the handle's model, same results and texts. */
int targetModel(ModelHandle *handle, TargetedExperiment **targetedExperiments,
                char *url, char *message, ngx_pool_t *pool) noexcept;

/* completeTargetedExperimentsWithVariation on the handle's model. */
int completeModel(ModelHandle *handle, TargetedExperiment *targetedExperiments,
                  double threshold) noexcept;

void releaseModel(ModelHandle *handle) noexcept;

/* Drops every cached model (a worker that exits). */
void clearModelCache() noexcept;

/* For tests: makes the cached status of `path` equal to the file's status
 * now, as a change within one tick of a coarse file system clock leaves it. */
void adoptFileStatusForTesting(const char *path) noexcept;

}  // namespace vantorell

#endif
