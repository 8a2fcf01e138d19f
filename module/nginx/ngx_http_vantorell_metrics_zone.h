/*
 * The metrics zone: one shared-memory zone (vantorell_metrics_zone) whose
 * slab holds the counters of every worker.
 *
 * Per data file, the requests by outcome and the file's state; per
 * experiment of a file, the split it is counted under and, per variation,
 * the assignments and new visitors.  Keys live in a red-black tree of the
 * zone (nginx's own string tree, as the zone's index) and in lists, per file
 * for the status page to walk, and zone-wide in the order they were last
 * seen in a model.
 *
 * Used by the counting (ngx_http_vantorell_metrics.cpp) and the status page
 * (ngx_http_vantorell_status_page.cpp); everything here that touches the
 * zone's records runs under the zone's mutex unless it says otherwise.
 */
#ifndef NGX_HTTP_VANTORELL_METRICS_ZONE_H
#define NGX_HTTP_VANTORELL_METRICS_ZONE_H

#include "ngx_http_vantorell_module.h"

#include "data_file.h"
#include "failure.h"
#include "outcome.h"
#include "responses.h"
#include "split.h"
#include "status_page.h"

#include <cstdint>


typedef struct ngx_http_vantorell_metrics_sh_s  ngx_http_vantorell_metrics_sh_t;

/* the zone of a cycle (shm_zone->data) */
typedef struct {
    ngx_http_vantorell_metrics_sh_t   *sh;
    ngx_slab_pool_t                   *shpool;
} ngx_http_vantorell_metrics_ctx_t;


struct ngx_http_vantorell_metrics_sh_s {
    ngx_rbtree_t                 rbtree;        /* every key */
    ngx_rbtree_node_t            sentinel;
    ngx_queue_t                  files;
    ngx_queue_t                  seen;          /* experiments, least recently
                                                   seen in a model first */
    ngx_queue_t                  spare;         /* expired experiments */
    ngx_atomic_t                 dropped;       /* counts that found no key */
    uint64_t                     files_added;   /* numbers the files */
    ngx_uint_t                   warned;        /* the full zone said so */
};


/* per variation (the reference is id 0) */
typedef struct {
    int64_t                      id;
    double                       share;
    ngx_atomic_t                 assignments;
    ngx_atomic_t                 new_visitors;

    /* the responses to requests assigned it, by status class; the time they
     * took, per bucket and in all (milliseconds) */
    ngx_atomic_t                 responses[vantorell::kStatusClasses];
    ngx_atomic_t                 latency[vantorell::kLatencyBuckets];
    ngx_atomic_t                 latency_ms;

    /* the guardrail stopped giving it (set once, by one worker) */
    ngx_atomic_t                 stopped;
} ngx_http_vantorell_metrics_slot_t;


/* per data file and experiment id; key: a NUL, the file's number, the id */
#define NGX_HTTP_VANTORELL_EXPERIMENT_KEY  17

typedef struct {
    ngx_str_node_t                       sn;
    ngx_queue_t                          queue;     /* the file's experiments */
    ngx_queue_t                          seen;      /* the zone's seen, or spare */
    ngx_http_vantorell_metrics_file_t   *file;
    int64_t                              id;

    /* the load time (monotonic) of the latest model that lists it */
    uint64_t                             listed;

    /* the split counted */
    uint64_t                             signature;
    uint64_t                             loaded;    /* its model's, monotonic */
    time_t                               since;
    ngx_atomic_t                         epoch;
    ngx_uint_t                           nslots;
    ngx_uint_t                           capacity;
    ngx_http_vantorell_metrics_slot_t   *slots;

    u_char                               key[NGX_HTTP_VANTORELL_EXPERIMENT_KEY];
} ngx_http_vantorell_metrics_experiment_t;


/* per data file path; key: the path */
struct ngx_http_vantorell_metrics_file_s {
    ngx_str_node_t               sn;
    ngx_queue_t                  queue;             /* the zone's files */
    ngx_queue_t                  experiments;
    uint64_t                     number;
    ngx_atomic_t                 requests[vantorell::kOutcomes];

    /* the load time (monotonic) of the latest model read of the file: an
     * experiment that model does not list is listed by no current one */
    uint64_t                     model;

    /* the file's state, as last read by anyone: observed is when
     * (monotonic; 0 before any read) */
    uint64_t                     observed;
    time_t                       loaded_at;
    ngx_uint_t                   experiments_count;
    ngx_uint_t                   usable;
    ngx_uint_t                   has_problem;
    u_char                       problem[vantorell::kFailureTextSize];

    u_char                       path[1];
};


/* Where an assigned request's response is counted: one experiment's slots
 * as the worker found them, valid while the experiment's epoch stays. */
struct ngx_http_vantorell_response_s {
    ngx_http_vantorell_metrics_experiment_t  *counters;
    ngx_atomic_uint_t                         epoch;
    ngx_http_vantorell_metrics_slot_t        *slots;
    ngx_uint_t                                nslots;
    ngx_uint_t                                slot;
    long                                      experiment_id;
};


/* The zone's mutex for a scope. */
class ngx_http_vantorell_metrics_lock_t {
public:
    explicit ngx_http_vantorell_metrics_lock_t(
        ngx_http_vantorell_metrics_ctx_t *zone)
        : shpool_(zone->shpool)
    {
        ngx_shmtx_lock(&shpool_->mutex);
    }

    ~ngx_http_vantorell_metrics_lock_t() { ngx_shmtx_unlock(&shpool_->mutex); }

    ngx_http_vantorell_metrics_lock_t(
        const ngx_http_vantorell_metrics_lock_t &) = delete;
    ngx_http_vantorell_metrics_lock_t &operator=(
        const ngx_http_vantorell_metrics_lock_t &) = delete;

private:
    ngx_slab_pool_t  *shpool_;
};


/* CLOCK_MONOTONIC in nanoseconds: every process of the host reads it alike. */
uint64_t ngx_http_vantorell_metrics_now(void);

/* The zone of a cycle; null without one.  No lock. */
ngx_http_vantorell_metrics_ctx_t *ngx_http_vantorell_metrics_zone_of(
    ngx_cycle_t *cycle);

/* A count that found no key.  No lock. */
void ngx_http_vantorell_metrics_count_dropped(
    ngx_http_vantorell_metrics_ctx_t *zone);

/* The counters of the data file at `path`, found or added; null when the
 * zone has no room for them (said once per zone, at warn level). */
ngx_http_vantorell_metrics_file_t *ngx_http_vantorell_metrics_file_counters(
    ngx_http_vantorell_metrics_ctx_t *zone, ngx_str_t *path, ngx_log_t *log);

/* A state of the file read at `observed`, unless someone has told one read
 * later.  `problem`: null for none (the last problem's text then stays). */
void ngx_http_vantorell_metrics_file_state(
    ngx_http_vantorell_metrics_file_t *file, uint64_t observed,
    time_t loaded_at, ngx_uint_t usable, const char *problem,
    size_t experiments);

/* A model of the file, loaded at `loaded`: its experiments with counters are
 * seen now, and it lists them. */
void ngx_http_vantorell_metrics_model_seen(
    ngx_http_vantorell_metrics_ctx_t *zone,
    ngx_http_vantorell_metrics_file_t *file, const vantorell::Model &model,
    uint64_t loaded);

/*
 * The counters of experiment `id` of the file with the split `signature`
 * (`shares`), for a model loaded at `loaded`.  A different split is replaced
 * when this model was loaded later than the split's; otherwise the model is
 * the older one, and is not counted (null).  Null with *dropped when the
 * zone has no room, even after expiring what it could.
 */
ngx_http_vantorell_metrics_experiment_t *
ngx_http_vantorell_metrics_experiment_counters(
    ngx_http_vantorell_metrics_ctx_t *zone,
    ngx_http_vantorell_metrics_file_t *file, long id,
    const vantorell::Shares &shares, uint64_t signature, uint64_t loaded,
    ngx_log_t *log, bool *dropped);

/* A slot's responses, latency and stop into the status page's record.  No
 * lock: each counter is read once. */
void ngx_http_vantorell_metrics_copy_responses(
    const ngx_http_vantorell_metrics_slot_t *slot,
    vantorell::StatusVariation *v);

/* What the status page shows of `files` (the configuration's), copied under
 * the zone's mutex, which this takes.  Throws std::bad_alloc. */
void ngx_http_vantorell_metrics_snapshot(
    ngx_http_vantorell_metrics_ctx_t *zone, ngx_array_t *files,
    vantorell::StatusSnapshot *snapshot);

#endif
