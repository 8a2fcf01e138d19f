/*
 * The counting: what a request adds to the metrics zone.
 *
 * Counting never waits and never fails a request:
 *   - a worker finds its counters once (per data file: at start-up, in the
 *     master; per experiment: once per model of the file it loads) under the
 *     zone's mutex, and keeps where they are;
 *   - from then on a count is one atomic increment, lock-free;
 *   - a zone without room for a new key keeps counting the keys it has, and
 *     counts what it could not keep (once it has made what room it can:
 *     ngx_http_vantorell_metrics_zone.cpp).
 *
 * When an experiment's variations or weights change, its counters restart: a
 * worker that loads the changed file puts the new split in place (under the
 * mutex, in place, so the memory stays where workers know it), and bumps the
 * split's epoch; a worker still on the older model sees the epoch move and
 * stops counting there.  Of two workers with different splits, the one whose
 * model was read later wins: the time a worker loaded its model orders them
 * (a system-wide monotonic clock).
 */

#include "ngx_http_vantorell_metrics.h"
#include "ngx_http_vantorell_metrics_zone.h"

#include "split.h"

#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>


namespace {

/* one experiment's counters for the model a worker holds */
struct WorkerExperiment {
    ngx_http_vantorell_metrics_experiment_t  *counters = nullptr;  /* null: not counted */
    bool                                      dropped = false;     /* ...for want of room */
    ngx_atomic_uint_t                         epoch = 0;
    ngx_http_vantorell_metrics_slot_t        *slots = nullptr;
    std::vector<long>                         ids;                 /* of the slots, in order */
    uint64_t                                  countedFor = 0;      /* the request last counted */
};

/* what a worker keeps of one data file's counters */
struct WorkerFile {
    explicit WorkerFile(ngx_http_vantorell_metrics_file_t *counters)
        : file(counters) {}

    ngx_http_vantorell_metrics_file_t  *file;

    /* the model the experiments were found for */
    uint64_t                                     serial = 0;
    std::unordered_map<long, WorkerExperiment>  experiments;
    uint64_t                                     requests = 0;  /* counted, to tell them apart */

    /* the state of the file this worker last told the zone */
    bool                    told = false;
    uint64_t                toldSerial = 0;
    vantorell::FailureText  toldProblem{};
};

/* A worker's: per data file it counts, made by its first count. */
class WorkerCache {
public:
    /* The file's, found or added; null without memory. */
    WorkerFile *of(ngx_http_vantorell_metrics_file_t *file) noexcept
    {
        for (const std::unique_ptr<WorkerFile> &wf : files_) {
            if (wf->file == file) {
                return wf.get();
            }
        }

        try {
            files_.push_back(std::make_unique<WorkerFile>(file));
            return files_.back().get();

        } catch (...) {
            return nullptr;
        }
    }

private:
    std::vector<std::unique_ptr<WorkerFile>>  files_;
};

std::unique_ptr<WorkerCache>  ngx_http_vantorell_worker_cache;


WorkerFile *
workerFile(ngx_http_vantorell_metrics_file_t *file) noexcept
{
    if (ngx_http_vantorell_worker_cache == nullptr) {
        ngx_http_vantorell_worker_cache.reset(new (std::nothrow) WorkerCache());
        if (ngx_http_vantorell_worker_cache == nullptr) {
            return nullptr;
        }
    }

    return ngx_http_vantorell_worker_cache->of(file);
}


/* The worker's view of one experiment for the model it holds. */
WorkerExperiment *
workerExperiment(ngx_http_vantorell_metrics_ctx_t *zone, WorkerFile *wf,
    const vantorell::ModelHold &hold, long id, ngx_log_t *log) noexcept
{
    auto found = wf->experiments.find(id);
    if (found != wf->experiments.end()) {
        return &found->second;
    }

    const vantorell::Experiment  *experiment = hold.experiment(id);
    if (experiment == nullptr) {
        return nullptr;
    }

    vantorell::Shares  shares;
    if (!vantorell::expectedShares(experiment->variations, &shares)) {
        return nullptr;
    }

    WorkerExperiment  we;

    try {
        we.ids.reserve(shares.size());
        for (const vantorell::Share &s : shares) {
            we.ids.push_back(s.id);
        }
    } catch (...) {
        return nullptr;
    }

    {
        ngx_http_vantorell_metrics_lock_t  lock(zone);

        we.counters = ngx_http_vantorell_metrics_experiment_counters(zone,
                          wf->file, id, shares,
                          vantorell::splitSignature(experiment->variations),
                          hold.loadedMonotonic(), log, &we.dropped);

        if (we.counters != nullptr) {
            we.epoch = we.counters->epoch;
            we.slots = we.counters->slots;
        }
    }

    try {
        return &wf->experiments.emplace(id, std::move(we)).first->second;
    } catch (...) {
        return nullptr;
    }
}

/* The worker's record of the file for the model it holds: the experiments
 * found for another model are not this one's. */
WorkerFile *
workerFileFor(ngx_http_vantorell_metrics_file_t *file,
    const vantorell::ModelHold &hold) noexcept
{
    WorkerFile  *wf;

    wf = workerFile(file);

    if (wf != nullptr && wf->serial != hold.serial()) {
        wf->experiments.clear();
        wf->serial = hold.serial();
    }

    return wf;
}


/* The slot of a variation id; ids.size() for none. */
size_t
slotOf(const WorkerExperiment *we, long variation_id) noexcept
{
    size_t  slot;

    for (slot = 0; slot < we->ids.size(); slot++) {
        if (we->ids[slot] == variation_id) {
            break;
        }
    }

    return slot;
}

}  // namespace


void
ngx_http_vantorell_metrics_add_file(ngx_cycle_t *cycle,
    ngx_http_vantorell_srv_conf_t *vscf, ngx_uint_t checked, ngx_uint_t usable,
    const vantorell::FailureText &problem, size_t experiments)
{
    ngx_uint_t                           i;
    ngx_http_vantorell_main_conf_t      *vmcf;
    ngx_http_vantorell_metrics_ctx_t    *zone;
    ngx_http_vantorell_metrics_file_t   *file, **p;

    zone = ngx_http_vantorell_metrics_zone_of(cycle);
    if (zone == NULL) {
        return;
    }

    vmcf = ngx_http_vantorell_main_conf(cycle);

    {
        ngx_http_vantorell_metrics_lock_t  lock(zone);

        file = ngx_http_vantorell_metrics_file_counters(zone, &vscf->data_file,
                                                        cycle->log);

        if (file != NULL && checked) {
            ngx_http_vantorell_metrics_file_state(file,
                ngx_http_vantorell_metrics_now(), ngx_time(), usable,
                usable ? NULL : problem.text, experiments);
        }
    }

    if (file == NULL) {
        vscf->metrics_dropped = 1;
        return;
    }

    vscf->metrics = file;

    if (vmcf->metrics_files == NULL) {
        vmcf->metrics_files = ngx_array_create(cycle->pool, 4,
                                 sizeof(ngx_http_vantorell_metrics_file_t *));
        if (vmcf->metrics_files == NULL) {
            return;
        }
    }

    p = (ngx_http_vantorell_metrics_file_t **) vmcf->metrics_files->elts;

    for (i = 0; i < vmcf->metrics_files->nelts; i++) {
        if (p[i] == file) {
            return;
        }
    }

    p = (ngx_http_vantorell_metrics_file_t **)
            ngx_array_push(vmcf->metrics_files);
    if (p != NULL) {
        *p = file;
    }
}


void
ngx_http_vantorell_metrics_outcome(ngx_http_vantorell_srv_conf_t *vscf,
    vantorell::Outcome outcome)
{
    if (vscf->metrics == NULL) {
        if (vscf->metrics_dropped) {
            ngx_http_vantorell_metrics_count_dropped(
                ngx_http_vantorell_metrics_zone_of((ngx_cycle_t *) ngx_cycle));
        }
        return;
    }

    (void) ngx_atomic_fetch_add(
               &vscf->metrics->requests[static_cast<size_t>(outcome)], 1);
}


void
ngx_http_vantorell_metrics_unignore(ngx_http_vantorell_srv_conf_t *vscf)
{
    ngx_atomic_t  *counter;

    if (vscf->metrics != NULL) {
        counter = &vscf->metrics->requests[
                      static_cast<size_t>(vantorell::Outcome::Ignored)];

    } else if (vscf->metrics_dropped) {
        counter = &ngx_http_vantorell_metrics_zone_of(
                       (ngx_cycle_t *) ngx_cycle)->sh->dropped;

    } else {
        return;
    }

    (void) ngx_atomic_fetch_add(counter, (ngx_atomic_int_t) -1);
}


bool
ngx_http_vantorell_metrics_stopped(ngx_http_request_t *r,
    ngx_http_vantorell_srv_conf_t *vscf, const vantorell::ModelHold &hold,
    long experiment_id, long variation_id) noexcept
{
    size_t             slot;
    WorkerFile        *wf;
    WorkerExperiment  *we;

    if (vscf->metrics == NULL) {
        return false;
    }

    wf = workerFileFor(vscf->metrics, hold);
    if (wf == nullptr) {
        return false;
    }

    we = workerExperiment(
             ngx_http_vantorell_metrics_zone_of((ngx_cycle_t *) ngx_cycle),
             wf, hold, experiment_id, r->connection->log);

    if (we == nullptr || we->counters == nullptr
        || we->counters->epoch != we->epoch)
    {
        return false;
    }

    slot = slotOf(we, variation_id);

    return slot < we->ids.size() && we->slots[slot].stopped != 0;
}


void
ngx_http_vantorell_metrics_assigned(ngx_http_request_t *r,
    ngx_http_vantorell_srv_conf_t *vscf, ngx_http_vantorell_ctx_t *ctx,
    ngx_uint_t count_assignment, ngx_uint_t new_code)
{
    size_t                              i, slot;
    uint64_t                            request;
    WorkerFile                         *wf;
    WorkerExperiment                   *we;
    ngx_http_vantorell_response_t      *response;
    ngx_http_vantorell_metrics_ctx_t   *zone;
    ngx_http_vantorell_main_conf_t     *vmcf;

    const vantorell::ModelHold      &hold = ctx->model;
    const vantorell::TargetedList   &targeted = ctx->decision.targeted;

    if (vscf->metrics == NULL) {
        return;
    }

    zone = ngx_http_vantorell_metrics_zone_of((ngx_cycle_t *) ngx_cycle);

    wf = workerFileFor(vscf->metrics, hold);
    if (wf == nullptr) {
        return;
    }

    /* where the response will be counted, once the log phase knows it; a
     * request that cannot keep them is left uncounted there */
    vmcf = ngx_http_vantorell_main_conf(r);

    if (vmcf->count_responses && ctx->responses == NULL) {
        ctx->responses = (ngx_http_vantorell_response_t *)
            ngx_palloc(r->pool,
                       targeted.size() * sizeof(ngx_http_vantorell_response_t));
        ctx->nresponses = 0;
    }

    request = ++wf->requests;

    for (i = 0; i < targeted.size(); i++) {
        const vantorell::Targeted  &t = targeted[i];

        we = workerExperiment(zone, wf, hold, t.experimentId,
                              r->connection->log);
        if (we == nullptr) {
            continue;
        }

        /*
         * an id the file repeats is one experiment of the request: its
         * record is marked with the request once counted, which keeps a
         * request with many targeted experiments linear
         */
        if (we->countedFor == request) {
            continue;
        }

        we->countedFor = request;

        if (we->counters == nullptr) {
            if (we->dropped && count_assignment) {
                ngx_http_vantorell_metrics_count_dropped(zone);
            }
            continue;
        }

        /* the split was replaced by a later model's, or the experiment
         * expired: not this one's to count */
        if (we->counters->epoch != we->epoch) {
            continue;
        }

        slot = slotOf(we, t.variationId);

        if (slot == we->ids.size()) {
            continue;
        }

        if (count_assignment) {
            (void) ngx_atomic_fetch_add(&we->slots[slot].assignments, 1);

            if (new_code) {
                (void) ngx_atomic_fetch_add(&we->slots[slot].new_visitors, 1);
            }
        }

        if (ctx->responses != NULL && ctx->nresponses < targeted.size()) {
            response = &ctx->responses[ctx->nresponses++];
            response->counters = we->counters;
            response->epoch = we->epoch;
            response->slots = we->slots;
            response->nslots = we->ids.size();
            response->slot = slot;
            response->experiment_id = t.experimentId;
        }
    }
}


void
ngx_http_vantorell_metrics_file(ngx_http_request_t *r,
    ngx_http_vantorell_srv_conf_t *vscf, const vantorell::Result &result,
    const vantorell::ModelHold &hold)
{
    bool                               usable;
    WorkerFile                        *wf;
    vantorell::FailureText             problem;
    ngx_http_vantorell_metrics_ctx_t  *zone;

    if (vscf->metrics == NULL) {
        return;
    }

    wf = workerFile(vscf->metrics);
    if (wf == nullptr) {
        return;
    }

    /* a worker tells the zone what changed in its view of the file */
    if (result.ok()) {
        if (wf->told && wf->toldSerial == hold.serial()) {
            return;
        }

        usable = hold.problem().ok();
        if (!usable) {
            problem = vantorell::failureText(hold.problem());
        }

    } else {
        problem = vantorell::failureText(result);

        if (wf->told && wf->toldSerial == 0
            && ngx_strcmp(wf->toldProblem.text, problem.text) == 0)
        {
            return;
        }

        usable = false;
    }

    zone = ngx_http_vantorell_metrics_zone_of((ngx_cycle_t *) ngx_cycle);

    {
        ngx_http_vantorell_metrics_lock_t  lock(zone);

        if (result.ok()) {
            ngx_http_vantorell_metrics_file_state(vscf->metrics,
                hold.loadedMonotonic(), hold.loadedAt(), usable,
                usable ? NULL : problem.text, hold.model().experiments.size());

            /* what this model lists stays; what it does not may expire */
            ngx_http_vantorell_metrics_model_seen(zone, vscf->metrics,
                                                  hold.model(),
                                                  hold.loadedMonotonic());

        } else {
            ngx_http_vantorell_metrics_file_state(vscf->metrics,
                ngx_http_vantorell_metrics_now(), ngx_time(), 0, problem.text,
                0);
        }
    }

    wf->told = true;
    wf->toldSerial = result.ok() ? hold.serial() : 0;
    wf->toldProblem = problem;
}


void
ngx_http_vantorell_metrics_exit(void)
{
    ngx_http_vantorell_worker_cache.reset();
}
