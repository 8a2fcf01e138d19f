/*
 * The per-worker cache of the experiment model.
 *
 * A worker keeps the model of each data file it has read, with its regular
 * expressions compiled and the targeting results of recent URL texts, for as
 * long as the file stays the same.  Every request still checks the file (its
 * status, and its contents while its times are too recent to be trusted), so
 * a changed file takes effect with the very next request, and every request
 * sees exactly the results that reading the file afresh would give.
 *
 * A cached model is immutable.  It is shared by the requests of one worker
 * (nginx runs them on one thread) and counted, so a model that a request
 * still holds outlives its replacement.  Nothing is shared between workers.
 */
#ifndef VANTORELL_MODEL_CACHE_H
#define VANTORELL_MODEL_CACHE_H

#include "data_file.h"
#include "status.h"
#include "targeting.h"

namespace vantorell {

struct CachedModel;

/* One request's hold on a cached model, given back when the hold goes. */
class ModelHold {
public:
    ModelHold() noexcept = default;
    ~ModelHold() { release(); }
    ModelHold(const ModelHold &) = delete;
    ModelHold &operator=(const ModelHold &) = delete;

    /* Only while held: after a successful acquireModel. */
    const Model &model() const noexcept;

    void release() noexcept;

private:
    friend Status acquireModel(const char *path, ModelHold *hold) noexcept;
    friend Status targetModel(const ModelHold &hold, const char *url, ngx_pool_t *pool,
                              TargetedList *targeted) noexcept;
    friend void chooseVariations(const ModelHold &hold, TargetedList *targeted,
                                 double number) noexcept;

    CachedModel *cached_ = nullptr;
};

/* Holds the model of the data file at `path`; the failure of the file
 * otherwise. */
Status acquireModel(const char *path, ModelHold *hold) noexcept;

/* targetExperiments on the held model, with its compiled patterns and its
 * memo of recent URL texts. */
Status targetModel(const ModelHold &hold, const char *url, ngx_pool_t *pool,
                   TargetedList *targeted) noexcept;

/* The visitor's variation for every targeted experiment, from the
 * experiment that finding its id in the held model gives. */
void chooseVariations(const ModelHold &hold, TargetedList *targeted, double number) noexcept;

/* Drops every cached model (a worker that exits); held ones live on until
 * their holds go. */
void clearModelCache() noexcept;

}  // namespace vantorell

#endif
