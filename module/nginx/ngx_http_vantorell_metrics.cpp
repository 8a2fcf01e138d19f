/*
 * The metrics zone and the status handler.
 *
 * One shared-memory zone holds the counters of every worker: per data file,
 * the requests by outcome and the file's state; per experiment of a file, the
 * split it was counted under and, per variation, the assignments and new
 * visitors.  Keys live in a red-black tree of the zone (nginx's own string
 * tree, as the zone's index) and in lists, per file and per experiment, for
 * the status to walk.  Nothing is ever removed from the zone before it goes.
 *
 * Counting never waits and never fails a request:
 *   - a worker finds its counters once (per data file: at start-up, in the
 *     master; per experiment: once per model of the file it loads) under the
 *     zone's mutex, and keeps where they are;
 *   - from then on a count is one atomic increment, lock-free;
 *   - a zone without room for a new key keeps counting the keys it has, and
 *     counts what it could not keep (one warn line per zone).
 *
 * When an experiment's variations or weights change, its counters restart: a
 * worker that loads the changed file puts the new split in place (under the
 * mutex, in place, so the memory stays where workers know it), and bumps the
 * split's epoch; a worker still on the older model sees the epoch move and
 * stops counting there.  Of two workers with different splits, the one whose
 * model was read later wins: the time a worker loaded its model orders them
 * (a system-wide monotonic clock).
 *
 * The zone is kept across a reload when its size is unchanged, as nginx's
 * zones are (the init gets the old cycle's data).
 */

#include "ngx_http_vantorell_metrics.h"

#include "split.h"
#include "text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>


/* ---- the zone ----------------------------------------------------------- */

/* the zone of a cycle (shm_zone->data) */
typedef struct {
    struct ngx_http_vantorell_metrics_sh_s  *sh;
    ngx_slab_pool_t                         *shpool;
} ngx_http_vantorell_metrics_ctx_t;


typedef struct ngx_http_vantorell_metrics_sh_s {
    ngx_rbtree_t                 rbtree;        /* every key */
    ngx_rbtree_node_t            sentinel;
    ngx_queue_t                  files;
    ngx_atomic_t                 dropped;       /* counts that found no key */
    uint64_t                     files_added;   /* numbers the files */
    ngx_uint_t                   warned;        /* the full zone said so */
} ngx_http_vantorell_metrics_sh_t;


/* per variation (the reference is id 0) */
typedef struct {
    int64_t                      id;
    double                       share;
    ngx_atomic_t                 assignments;
    ngx_atomic_t                 new_visitors;
} ngx_http_vantorell_metrics_slot_t;


/* per data file and experiment id; key: a NUL, the file's number, the id */
#define NGX_HTTP_VANTORELL_EXPERIMENT_KEY  17

typedef struct {
    ngx_str_node_t                       sn;
    ngx_queue_t                          queue;     /* the file's experiments */
    int64_t                              id;

    /* the split counted (under the mutex) */
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

    /* the file's state (under the mutex), as last read by anyone: observed
     * is when (monotonic; 0 before any read) */
    uint64_t                     observed;
    time_t                       loaded_at;
    ngx_uint_t                   experiments_count;
    ngx_uint_t                   usable;
    ngx_uint_t                   has_problem;
    u_char                       problem[vantorell::kFailureTextSize];

    u_char                       path[1];
};


namespace {

typedef ngx_http_vantorell_metrics_ctx_t         Zone;
typedef ngx_http_vantorell_metrics_sh_t          Shared;
typedef ngx_http_vantorell_metrics_file_t        File;
typedef ngx_http_vantorell_metrics_experiment_t  ExperimentCounters;
typedef ngx_http_vantorell_metrics_slot_t        Slot;


/* the zone's mutex for a scope */
class ZoneLock {
public:
    explicit ZoneLock(ngx_slab_pool_t *shpool) : shpool_(shpool)
    {
        ngx_shmtx_lock(&shpool_->mutex);
    }
    ~ZoneLock() { ngx_shmtx_unlock(&shpool_->mutex); }
    ZoneLock(const ZoneLock &) = delete;
    ZoneLock &operator=(const ZoneLock &) = delete;

private:
    ngx_slab_pool_t  *shpool_;
};


uint64_t
monotonicNow()
{
    struct timespec  ts = {0, 0};

    clock_gettime(CLOCK_MONOTONIC, &ts);

    return (uint64_t) ts.tv_sec * 1000000000u + (uint64_t) ts.tv_nsec;
}


Zone *
zoneOf(ngx_cycle_t *cycle)
{
    ngx_http_vantorell_main_conf_t  *vmcf;

    vmcf = (ngx_http_vantorell_main_conf_t *)
               ngx_http_cycle_get_module_main_conf(cycle,
                                                   ngx_http_vantorell_module);

    if (vmcf == NULL || vmcf->metricsZone == NULL) {
        return NULL;
    }

    return (Zone *) vmcf->metricsZone->data;
}


/* Under the mutex: a key that found no room.  Said once per zone. */
void
dropKey(Zone *zone, ngx_log_t *log)
{
    if (zone->sh->warned) {
        return;
    }

    zone->sh->warned = 1;

    ngx_log_error(NGX_LOG_WARN, log, 0,
                  "vantorell: the metrics zone is full: counters of new data "
                  "files and experiments are not kept, and what they would "
                  "count is counted as dropped (a larger "
                  "vantorell_metrics_zone keeps them)");
}


void
countDropped(Zone *zone)
{
    (void) ngx_atomic_fetch_add(&zone->sh->dropped, 1);
}


ngx_str_node_t *
lookup(Shared *sh, ngx_str_t *key, uint32_t *hash)
{
    *hash = ngx_crc32_short(key->data, key->len);

    return ngx_str_rbtree_lookup(&sh->rbtree, key, *hash);
}


/* Under the mutex: the file's counters, found or added; null when full. */
File *
fileCounters(Zone *zone, ngx_str_t *path, ngx_log_t *log)
{
    uint32_t         hash;
    File            *file;
    ngx_str_node_t  *sn;

    sn = lookup(zone->sh, path, &hash);
    if (sn != NULL) {
        return (File *) sn;
    }

    file = (File *) ngx_slab_calloc_locked(zone->shpool,
                                           sizeof(File) + path->len);
    if (file == NULL) {
        dropKey(zone, log);
        return NULL;
    }

    ngx_memcpy(file->path, path->data, path->len);
    file->sn.str.data = file->path;
    file->sn.str.len = path->len;
    file->sn.node.key = hash;
    file->number = ++zone->sh->files_added;

    ngx_queue_init(&file->experiments);
    ngx_rbtree_insert(&zone->sh->rbtree, &file->sn.node);
    ngx_queue_insert_tail(&zone->sh->files, &file->queue);

    return file;
}


/* Under the mutex: a state of the file read at `observed`, unless someone
 * has told one read later. */
void
setFileState(File *file, uint64_t observed, time_t loadedAt, ngx_uint_t usable,
    const char *problem, size_t experiments)
{
    if (observed < file->observed) {
        return;
    }

    file->observed = observed;
    file->loaded_at = loadedAt;
    file->usable = usable;
    file->experiments_count = experiments;

    if (problem != NULL) {
        /* the last problem's text stays when a usable file follows */
        ngx_cpystrn(file->problem, (u_char *) problem, sizeof(file->problem));
        file->has_problem = 1;
    }
}


/* ---- what a worker keeps of the zone ------------------------------------ */

/* one experiment's counters for the model a worker holds */
struct WorkerExperiment {
    ExperimentCounters  *counters = nullptr;    /* null: not counted */
    bool                 dropped = false;       /* ...for want of room */
    ngx_atomic_uint_t    epoch = 0;
    Slot                *slots = nullptr;
    std::vector<long>    ids;                   /* of the slots, in order */
    uint64_t             countedFor = 0;        /* the request last counted */
};

struct WorkerFile {
    File  *file = nullptr;

    /* the model the experiments were found for */
    uint64_t  serial = 0;
    std::unordered_map<long, WorkerExperiment>  experiments;
    uint64_t  requests = 0;     /* the requests counted, to tell them apart */

    /* the state of the file this worker last told the zone */
    bool                   told = false;
    uint64_t               toldSerial = 0;
    vantorell::FailureText  toldProblem{};
};

std::vector<WorkerFile *>  *workerFiles;


WorkerFile *
workerFile(File *file)
{
    if (workerFiles != nullptr) {
        for (WorkerFile *wf : *workerFiles) {
            if (wf->file == file) {
                return wf;
            }
        }
    }

    try {
        if (workerFiles == nullptr) {
            workerFiles = new std::vector<WorkerFile *>();
        }

        WorkerFile *wf = new WorkerFile();
        wf->file = file;

        try {
            workerFiles->push_back(wf);
        } catch (...) {
            delete wf;
            return nullptr;
        }

        return wf;

    } catch (...) {
        return nullptr;
    }
}


/*
 * Under the mutex: the experiment's counters with the split `signature`, for
 * a model loaded at `loaded`.  A different split is replaced when this model
 * was loaded later than the split's; otherwise the model is the older one,
 * and is not counted (null).  Null with *dropped when the zone is full.
 */
ExperimentCounters *
experimentCounters(Zone *zone, File *file, long id,
    const vantorell::Shares &shares, uint64_t signature, uint64_t loaded,
    ngx_log_t *log, bool *dropped)
{
    u_char               key[NGX_HTTP_VANTORELL_EXPERIMENT_KEY];
    int64_t              id64;
    uint32_t             hash;
    ngx_str_t            name;
    ngx_uint_t           i;
    ngx_str_node_t      *sn;
    ExperimentCounters  *e;
    Slot                *slots;

    id64 = id;
    key[0] = '\0';
    ngx_memcpy(key + 1, &file->number, 8);
    ngx_memcpy(key + 9, &id64, 8);

    name.data = key;
    name.len = sizeof(key);

    sn = lookup(zone->sh, &name, &hash);

    if (sn != NULL) {
        e = (ExperimentCounters *) sn;

        if (e->signature == signature && e->nslots == shares.size()) {
            return e;
        }

        if (e->loaded > loaded) {
            return NULL;
        }

    } else {
        /* a key comes with its slots, or not at all */
        slots = (Slot *) ngx_slab_calloc_locked(zone->shpool,
                                                shares.size() * sizeof(Slot));
        e = slots == NULL
            ? NULL
            : (ExperimentCounters *) ngx_slab_calloc_locked(zone->shpool,
                                              sizeof(ExperimentCounters));
        if (e == NULL) {
            if (slots != NULL) {
                ngx_slab_free_locked(zone->shpool, slots);
            }
            dropKey(zone, log);
            *dropped = true;
            return NULL;
        }

        e->slots = slots;
        e->capacity = shares.size();

        ngx_memcpy(e->key, key, sizeof(key));
        e->sn.str.data = e->key;
        e->sn.str.len = sizeof(key);
        e->sn.node.key = hash;
        e->id = id64;

        ngx_rbtree_insert(&zone->sh->rbtree, &e->sn.node);
        ngx_queue_insert_tail(&file->experiments, &e->queue);
    }

    /*
     * The new split.  A worker may still increment the old slots until it
     * sees the epoch move: they stay where they are (a larger split gets
     * slots of its own, and the old ones are never given back).
     */
    if (shares.size() > e->capacity) {
        slots = (Slot *) ngx_slab_calloc_locked(zone->shpool,
                                                shares.size() * sizeof(Slot));
        if (slots == NULL) {
            dropKey(zone, log);
            *dropped = true;
            return NULL;
        }

        e->slots = slots;
        e->capacity = shares.size();
    }

    (void) ngx_atomic_fetch_add(&e->epoch, 1);

    for (i = 0; i < shares.size(); i++) {
        e->slots[i].id = shares[i].id;
        e->slots[i].share = shares[i].share;
        e->slots[i].assignments = 0;
        e->slots[i].new_visitors = 0;
    }

    e->nslots = shares.size();
    e->signature = signature;
    e->loaded = loaded;
    e->since = ngx_time();

    return e;
}


/* The worker's view of one experiment for the model it holds. */
WorkerExperiment *
workerExperiment(Zone *zone, WorkerFile *wf, const vantorell::ModelHold &hold,
    long id, ngx_log_t *log)
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
        ZoneLock  lock(zone->shpool);

        we.counters = experimentCounters(zone, wf->file, id, shares,
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

}  // namespace


/* ---- directives --------------------------------------------------------- */

static ngx_int_t
ngx_http_vantorell_metrics_init_zone(ngx_shm_zone_t *shm_zone, void *data)
{
    Zone    *ozone = (Zone *) data;
    Zone    *zone = (Zone *) shm_zone->data;
    size_t   len;
    Shared  *sh;

    if (ozone != NULL) {
        /* a reload, the zone's size unchanged: its counters go on */
        zone->sh = ozone->sh;
        zone->shpool = ozone->shpool;
        return NGX_OK;
    }

    zone->shpool = (ngx_slab_pool_t *) shm_zone->shm.addr;

    if (shm_zone->shm.exists) {
        zone->sh = (Shared *) zone->shpool->data;
        return NGX_OK;
    }

    sh = (Shared *) ngx_slab_calloc(zone->shpool, sizeof(Shared));
    if (sh == NULL) {
        return NGX_ERROR;
    }

    zone->sh = sh;
    zone->shpool->data = sh;

    ngx_rbtree_init(&sh->rbtree, &sh->sentinel, ngx_str_rbtree_insert_value);
    ngx_queue_init(&sh->files);

    /* a full zone says so once, in words of its own */
    zone->shpool->log_nomem = 0;

    len = sizeof(" in vantorell_metrics_zone \"\"") + shm_zone->shm.name.len;

    zone->shpool->log_ctx = (u_char *) ngx_slab_alloc(zone->shpool, len);
    if (zone->shpool->log_ctx == NULL) {
        return NGX_ERROR;
    }

    ngx_sprintf(zone->shpool->log_ctx, " in vantorell_metrics_zone \"%V\"%Z",
                &shm_zone->shm.name);

    return NGX_OK;
}


char *
ngx_http_vantorell_metrics_zone(ngx_conf_t *cf, ngx_command_t *cmd, void *conf)
{
    ssize_t                          size;
    ngx_str_t                       *value, name;
    ngx_shm_zone_t                  *shm_zone;
    ngx_http_vantorell_main_conf_t  *vmcf = (ngx_http_vantorell_main_conf_t *) conf;
    Zone                            *zone;

    if (vmcf->metricsZone != NULL) {
        return (char *) "is duplicate";
    }

    value = (ngx_str_t *) cf->args->elts;

    size = ngx_parse_size(&value[1]);

    if (size == NGX_ERROR) {
        ngx_conf_log_error(NGX_LOG_EMERG, cf, 0,
                           "invalid zone size \"%V\"", &value[1]);
        return (char *) NGX_CONF_ERROR;
    }

    if (size < (ssize_t) (8 * ngx_pagesize)) {
        ngx_conf_log_error(NGX_LOG_EMERG, cf, 0,
                           "vantorell_metrics_zone \"%V\" is too small: "
                           "at least %uz", &value[1], 8 * ngx_pagesize);
        return (char *) NGX_CONF_ERROR;
    }

    zone = (Zone *) ngx_pcalloc(cf->pool, sizeof(Zone));
    if (zone == NULL) {
        return (char *) NGX_CONF_ERROR;
    }

    ngx_str_set(&name, "vantorell_metrics");

    shm_zone = ngx_shared_memory_add(cf, &name, size,
                                     &ngx_http_vantorell_module);
    if (shm_zone == NULL) {
        return (char *) NGX_CONF_ERROR;
    }

    if (shm_zone->data) {
        ngx_conf_log_error(NGX_LOG_EMERG, cf, 0,
                           "shared memory zone \"%V\" is already used",
                           &name);
        return (char *) NGX_CONF_ERROR;
    }

    shm_zone->init = ngx_http_vantorell_metrics_init_zone;
    shm_zone->data = zone;

    vmcf->metricsZone = shm_zone;

    return NGX_CONF_OK;
}


static ngx_int_t ngx_http_vantorell_status_handler(ngx_http_request_t *r);


char *
ngx_http_vantorell_status(ngx_conf_t *cf, ngx_command_t *cmd, void *conf)
{
    ngx_str_t                       *value;
    ngx_http_core_loc_conf_t        *clcf;
    ngx_http_vantorell_loc_conf_t   *vlcf = (ngx_http_vantorell_loc_conf_t *) conf;
    ngx_http_vantorell_main_conf_t  *vmcf;

    if (vlcf->status != NGX_HTTP_VANTORELL_STATUS_NONE) {
        return (char *) "is duplicate";
    }

    value = (ngx_str_t *) cf->args->elts;

    vlcf->status = NGX_HTTP_VANTORELL_STATUS_JSON;

    if (cf->args->nelts == 2) {
        if (ngx_strcmp(value[1].data, "prometheus") == 0) {
            vlcf->status = NGX_HTTP_VANTORELL_STATUS_PROMETHEUS;

        } else if (ngx_strcmp(value[1].data, "json") != 0) {
            ngx_conf_log_error(NGX_LOG_EMERG, cf, 0,
                               "invalid format \"%V\" of vantorell_status: "
                               "\"json\" (the default) or \"prometheus\"",
                               &value[1]);
            return (char *) NGX_CONF_ERROR;
        }
    }

    clcf = (ngx_http_core_loc_conf_t *)
               ngx_http_conf_get_module_loc_conf(cf, ngx_http_core_module);
    clcf->handler = ngx_http_vantorell_status_handler;

    vmcf = (ngx_http_vantorell_main_conf_t *)
               ngx_http_conf_get_module_main_conf(cf, ngx_http_vantorell_module);

    if (vmcf->statusLine == 0) {
        vmcf->statusFile = cf->conf_file->file.name;
        vmcf->statusLine = cf->conf_file->line;
    }

    return NGX_CONF_OK;
}


ngx_int_t
ngx_http_vantorell_metrics_check(ngx_conf_t *cf)
{
    ngx_http_vantorell_main_conf_t  *vmcf;

    vmcf = (ngx_http_vantorell_main_conf_t *)
               ngx_http_conf_get_module_main_conf(cf, ngx_http_vantorell_module);

    if (vmcf->statusLine != 0 && vmcf->metricsZone == NULL) {
        ngx_log_error(NGX_LOG_EMERG, cf->log, 0,
                      "vantorell_status in %V:%ui has no counters to show: "
                      "the http block needs vantorell_metrics_zone",
                      &vmcf->statusFile, vmcf->statusLine);
        return NGX_ERROR;
    }

    return NGX_OK;
}


/* ---- counting ----------------------------------------------------------- */

void
ngx_http_vantorell_metrics_add_file(ngx_cycle_t *cycle,
    ngx_http_vantorell_srv_conf_t *vscf, ngx_uint_t checked, ngx_uint_t usable,
    const vantorell::FailureText &problem, size_t experiments)
{
    File                            *file, **p;
    ngx_uint_t                       i;
    Zone                            *zone;
    ngx_http_vantorell_main_conf_t  *vmcf;

    zone = zoneOf(cycle);
    if (zone == NULL) {
        return;
    }

    vmcf = (ngx_http_vantorell_main_conf_t *)
               ngx_http_cycle_get_module_main_conf(cycle,
                                                   ngx_http_vantorell_module);

    {
        ZoneLock  lock(zone->shpool);

        file = fileCounters(zone, &vscf->dataFile, cycle->log);

        if (file != NULL && checked) {
            setFileState(file, monotonicNow(), ngx_time(), usable,
                         usable ? NULL : problem.text, experiments);
        }
    }

    if (file == NULL) {
        vscf->metricsDropped = 1;
        return;
    }

    vscf->metrics = file;

    if (vmcf->metricsFiles == NULL) {
        vmcf->metricsFiles = ngx_array_create(cycle->pool, 4, sizeof(File *));
        if (vmcf->metricsFiles == NULL) {
            return;
        }
    }

    p = (File **) vmcf->metricsFiles->elts;

    for (i = 0; i < vmcf->metricsFiles->nelts; i++) {
        if (p[i] == file) {
            return;
        }
    }

    p = (File **) ngx_array_push(vmcf->metricsFiles);
    if (p != NULL) {
        *p = file;
    }
}


void
ngx_http_vantorell_metrics_outcome(ngx_http_vantorell_srv_conf_t *vscf,
    vantorell::Outcome outcome)
{
    if (vscf->metrics == NULL) {
        if (vscf->metricsDropped) {
            countDropped(zoneOf((ngx_cycle_t *) ngx_cycle));
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

    } else if (vscf->metricsDropped) {
        counter = &zoneOf((ngx_cycle_t *) ngx_cycle)->sh->dropped;

    } else {
        return;
    }

    (void) ngx_atomic_fetch_add(counter, (ngx_atomic_int_t) -1);
}


void
ngx_http_vantorell_metrics_assigned(ngx_http_request_t *r,
    ngx_http_vantorell_srv_conf_t *vscf, const vantorell::ModelHold &hold,
    const vantorell::TargetedList &targeted, ngx_uint_t newCode)
{
    size_t             i, slot;
    uint64_t           request;
    Zone              *zone;
    WorkerFile        *wf;
    WorkerExperiment  *we;

    if (vscf->metrics == NULL) {
        return;
    }

    zone = zoneOf((ngx_cycle_t *) ngx_cycle);

    wf = workerFile(vscf->metrics);
    if (wf == nullptr) {
        return;
    }

    if (wf->serial != hold.serial()) {
        wf->experiments.clear();
        wf->serial = hold.serial();
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
            if (we->dropped) {
                countDropped(zone);
            }
            continue;
        }

        /* the split was replaced by a later model's: not this one's to count */
        if (we->counters->epoch != we->epoch) {
            continue;
        }

        for (slot = 0; slot < we->ids.size(); slot++) {
            if (we->ids[slot] == t.variationId) {
                break;
            }
        }

        if (slot == we->ids.size()) {
            continue;
        }

        (void) ngx_atomic_fetch_add(&we->slots[slot].assignments, 1);

        if (newCode) {
            (void) ngx_atomic_fetch_add(&we->slots[slot].new_visitors, 1);
        }
    }
}


void
ngx_http_vantorell_metrics_file(ngx_http_request_t *r,
    ngx_http_vantorell_srv_conf_t *vscf, const vantorell::Result &status,
    const vantorell::ModelHold &hold)
{
    bool                   usable;
    Zone                  *zone;
    WorkerFile            *wf;
    vantorell::FailureText  problem;

    if (vscf->metrics == NULL) {
        return;
    }

    wf = workerFile(vscf->metrics);
    if (wf == nullptr) {
        return;
    }

    /* a worker tells the zone what changed in its view of the file */
    if (status.ok()) {
        if (wf->told && wf->toldSerial == hold.serial()) {
            return;
        }

        usable = hold.problem().ok();
        if (!usable) {
            problem = vantorell::failureText(hold.problem());
        }

    } else {
        problem = vantorell::failureText(status);

        if (wf->told && wf->toldSerial == 0
            && ngx_strcmp(wf->toldProblem.text, problem.text) == 0)
        {
            return;
        }

        usable = false;
    }

    zone = zoneOf((ngx_cycle_t *) ngx_cycle);

    {
        ZoneLock  lock(zone->shpool);

        if (status.ok()) {
            setFileState(vscf->metrics, hold.loadedMonotonic(), hold.loadedAt(),
                         usable, usable ? NULL : problem.text,
                         hold.model().experiments.size());
        } else {
            setFileState(vscf->metrics, monotonicNow(), ngx_time(), 0,
                         problem.text, 0);
        }
    }

    wf->told = true;
    wf->toldSerial = status.ok() ? hold.serial() : 0;
    wf->toldProblem = problem;
}


void
ngx_http_vantorell_metrics_exit(void)
{
    if (workerFiles == nullptr) {
        return;
    }

    for (WorkerFile *wf : *workerFiles) {
        delete wf;
    }

    delete workerFiles;
    workerFiles = nullptr;
}


/* ---- the status --------------------------------------------------------- */

namespace {

/* What the status shows, copied out of the zone under its mutex. */
struct SlotView {
    long      id;
    double    share;
    uint64_t  assignments;
    uint64_t  newVisitors;
};

struct ExperimentView {
    long                   id;
    time_t                 since;
    std::vector<SlotView>  slots;
    vantorell::SplitCheck  newVisitors;
    vantorell::SplitCheck  assignments;
};

struct FileView {
    std::string                  path;
    bool                         known;
    bool                         usable;
    bool                         hasProblem;
    std::string                  problem;
    size_t                       experiments;
    time_t                       loadedAt;
    uint64_t                     requests[vantorell::kOutcomes];
    std::vector<ExperimentView>  counted;
};

struct View {
    std::vector<FileView>  files;
    uint64_t               dropped = 0;
};


void
snapshot(Zone *zone, ngx_array_t *files, View *view)
{
    ngx_uint_t                 i, k;
    ngx_queue_t               *q;
    File                     **f;
    ExperimentCounters        *e;

    f = files != NULL ? (File **) files->elts : NULL;

    ZoneLock  lock(zone->shpool);

    view->dropped = zone->sh->dropped;

    for (i = 0; files != NULL && i < files->nelts; i++) {
        FileView  fv;
        File     *file = f[i];

        fv.path.assign((const char *) file->path, file->sn.str.len);
        fv.known = file->observed != 0;
        fv.usable = file->usable;
        fv.hasProblem = file->has_problem;
        if (file->has_problem) {
            fv.problem.assign((const char *) file->problem);
        }
        fv.experiments = file->experiments_count;
        fv.loadedAt = file->loaded_at;

        for (k = 0; k < vantorell::kOutcomes; k++) {
            fv.requests[k] = file->requests[k];
        }

        for (q = ngx_queue_head(&file->experiments);
             q != ngx_queue_sentinel(&file->experiments);
             q = ngx_queue_next(q))
        {
            e = ngx_queue_data(q, ExperimentCounters, queue);

            ExperimentView  ev;
            ev.id = e->id;
            ev.since = e->since;

            for (k = 0; k < e->nslots; k++) {
                ev.slots.push_back(SlotView{e->slots[k].id, e->slots[k].share,
                                            e->slots[k].assignments,
                                            e->slots[k].new_visitors});
            }

            fv.counted.push_back(std::move(ev));
        }

        view->files.push_back(std::move(fv));
    }
}


void
check(View *view)
{
    for (FileView &fv : view->files) {
        /* by id, as the operator looks them up */
        std::sort(fv.counted.begin(), fv.counted.end(),
                  [](const ExperimentView &a, const ExperimentView &b) {
                      return a.id < b.id;
                  });

        for (ExperimentView &ev : fv.counted) {
            std::vector<double>    shares;
            std::vector<uint64_t>  newVisitors, assignments;

            for (const SlotView &s : ev.slots) {
                shares.push_back(s.share);
                newVisitors.push_back(s.newVisitors);
                assignments.push_back(s.assignments);
            }

            ev.newVisitors = vantorell::checkSplit(shares.data(),
                                 newVisitors.data(), shares.size());
            ev.assignments = vantorell::checkSplit(shares.data(),
                                 assignments.data(), shares.size());
        }
    }
}


/* ---- texts ---- */

void
appendNumber(std::string *out, uint64_t n)
{
    char  buf[24];
    auto  end = std::to_chars(buf, buf + sizeof(buf), n).ptr;
    out->append(buf, end - buf);
}


/*
 * The whole id: experiments whose ids differ only above 32 bits are separate
 * in the zone, and must not share a series or a line of the status.
 */
void
appendId(std::string *out, long id)
{
    char  buf[24];
    auto  end = std::to_chars(buf, buf + sizeof(buf), id).ptr;
    out->append(buf, end - buf);
}


/* The shortest text that reads back as the same double. */
void
appendDouble(std::string *out, double d)
{
    char  buf[32];
    auto  end = std::to_chars(buf, buf + sizeof(buf), d).ptr;
    out->append(buf, end - buf);
}


void
appendTime(std::string *out, time_t t)
{
    char       buf[sizeof("1970-01-01T00:00:00Z") + 16];
    struct tm  tm;

    gmtime_r(&t, &tm);
    size_t n = strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%SZ", &tm);
    out->append(buf, n);
}


/*
 * A text of the configuration or of the data file as a JSON string or a
 * Prometheus label value: both must be UTF-8, so a byte that is not part of
 * a valid sequence becomes U+FFFD.
 */
void
appendEscaped(std::string *out, const std::string &text, bool json)
{
    static const char  hex[] = "0123456789abcdef";

    const unsigned char  *p = (const unsigned char *) text.data();
    size_t                left = text.size();

    while (left > 0) {
        unsigned char  c = *p;
        size_t         n = vantorell::utf8SequenceLength(p, left);

        if (n == 0) {
            out->append("\xef\xbf\xbd");
            p++;
            left--;
            continue;
        }

        if (n > 1) {
            out->append((const char *) p, n);

        } else if (c == '\\' || c == '"') {
            out->push_back('\\');
            out->push_back((char) c);

        } else if (c == '\n') {
            out->append("\\n");

        } else if (json && c < 0x20) {
            out->append("\\u00");
            out->push_back(hex[c >> 4]);
            out->push_back(hex[c & 0xf]);

        } else {
            out->push_back((char) c);
        }

        p += n;
        left -= n;
    }
}


const char *const  countedNames[] = { "new_visitors", "assignments" };


void
jsonCheck(std::string *out, const vantorell::SplitCheck &c)
{
    out->append("{\"p_value\": ");
    if (c.checked) {
        appendDouble(out, c.pValue);
    } else {
        out->append("null");
    }
    out->append(", \"alarm\": ");
    out->append(c.alarm ? "true" : "false");
    out->append("}");
}


void
json(const View &view, std::string *out)
{
    out->append("{\"data_files\": [");

    for (size_t f = 0; f < view.files.size(); f++) {
        const FileView  &fv = view.files[f];

        out->append(f ? ", " : "");
        out->append("{\"path\": \"");
        appendEscaped(out, fv.path, true);
        out->append("\", \"usable\": ");
        out->append(fv.usable ? "true" : "false");
        out->append(", \"problem\": ");
        if (fv.hasProblem) {
            out->append("\"");
            appendEscaped(out, fv.problem, true);
            out->append("\"");
        } else {
            out->append("null");
        }
        out->append(", \"experiments_count\": ");
        appendNumber(out, fv.experiments);
        out->append(", \"loaded_at\": ");
        if (fv.known) {
            out->append("\"");
            appendTime(out, fv.loadedAt);
            out->append("\"");
        } else {
            out->append("null");
        }

        out->append(", \"requests\": {");
        for (size_t k = 0; k < vantorell::kOutcomes; k++) {
            out->append(k ? ", \"" : "\"");
            out->append(vantorell::outcomeName(static_cast<vantorell::Outcome>(k)));
            out->append("\": ");
            appendNumber(out, fv.requests[k]);
        }
        out->append("}, \"experiments\": [");

        for (size_t e = 0; e < fv.counted.size(); e++) {
            const ExperimentView  &ev = fv.counted[e];

            out->append(e ? ", " : "");
            out->append("{\"id\": ");
            appendId(out, ev.id);
            out->append(", \"counting_since\": \"");
            appendTime(out, ev.since);
            out->append("\", \"variations\": [");

            for (size_t s = 0; s < ev.slots.size(); s++) {
                const SlotView  &sv = ev.slots[s];

                out->append(s ? ", " : "");
                out->append("{\"id\": ");
                appendId(out, sv.id);
                out->append(", \"expected_share\": ");
                appendDouble(out, sv.share);
                out->append(", \"assignments\": ");
                appendNumber(out, sv.assignments);
                out->append(", \"new_visitors\": ");
                appendNumber(out, sv.newVisitors);
                out->append("}");
            }

            out->append("], \"split_check\": {\"new_visitors\": ");
            jsonCheck(out, ev.newVisitors);
            out->append(", \"assignments\": ");
            jsonCheck(out, ev.assignments);
            out->append("}}");
        }

        out->append("]}");
    }

    out->append("], \"counters_dropped\": ");
    appendNumber(out, view.dropped);
    out->append("}\n");
}


void
family(std::string *out, const char *name, const char *type, const char *help)
{
    out->append("# HELP ");
    out->append(name);
    out->push_back(' ');
    out->append(help);
    out->append("\n# TYPE ");
    out->append(name);
    out->push_back(' ');
    out->append(type);
    out->push_back('\n');
}


/* name{data_file="...",experiment="..." ...: the labels are left open */
void
series(std::string *out, const char *name, const FileView &fv)
{
    out->append(name);
    out->append("{data_file=\"");
    appendEscaped(out, fv.path, false);
    out->push_back('"');
}


void
experimentSeries(std::string *out, const char *name, const FileView &fv,
    const ExperimentView &ev)
{
    series(out, name, fv);
    out->append(",experiment=\"");
    appendId(out, ev.id);
    out->push_back('"');
}


void
prometheusDouble(std::string *out, double d)
{
    if (d != d) {
        out->append("NaN");
    } else {
        appendDouble(out, d);
    }
}


void
prometheus(const View &view, std::string *out)
{
    family(out, "vantorell_requests_total", "counter",
           "Requests the module decided, by outcome.");
    for (const FileView &fv : view.files) {
        for (size_t k = 0; k < vantorell::kOutcomes; k++) {
            series(out, "vantorell_requests_total", fv);
            out->append(",outcome=\"");
            out->append(vantorell::outcomeName(static_cast<vantorell::Outcome>(k)));
            out->append("\"} ");
            appendNumber(out, fv.requests[k]);
            out->push_back('\n');
        }
    }

    struct PerVariation {
        const char  *name;
        const char  *type;
        const char  *help;
        int          what;
    };

    static const PerVariation  perVariation[] = {
        { "vantorell_assignments_total", "counter",
          "Targeted requests assigned to the variation (0: the reference), "
          "since counting_since.", 0 },
        { "vantorell_new_visitors_total", "counter",
          "Assigned requests that gave the visitor a new code: each visitor "
          "once.", 1 },
        { "vantorell_expected_share", "gauge",
          "The share of visitors that the weights give the variation.", 2 },
    };

    for (const PerVariation &pv : perVariation) {
        family(out, pv.name, pv.type, pv.help);
        for (const FileView &fv : view.files) {
            for (const ExperimentView &ev : fv.counted) {
                for (const SlotView &sv : ev.slots) {
                    experimentSeries(out, pv.name, fv, ev);
                    out->append(",variation=\"");
                    appendId(out, sv.id);
                    out->append("\"} ");
                    if (pv.what == 0) {
                        appendNumber(out, sv.assignments);
                    } else if (pv.what == 1) {
                        appendNumber(out, sv.newVisitors);
                    } else {
                        prometheusDouble(out, sv.share);
                    }
                    out->push_back('\n');
                }
            }
        }
    }

    family(out, "vantorell_counting_since_seconds", "gauge",
           "When the experiment's counters last restarted (its variations or "
           "weights changed), in seconds since the epoch.");
    for (const FileView &fv : view.files) {
        for (const ExperimentView &ev : fv.counted) {
            experimentSeries(out, "vantorell_counting_since_seconds", fv, ev);
            out->append("} ");
            appendNumber(out, (uint64_t) ev.since);
            out->push_back('\n');
        }
    }

    for (int alarm = 0; alarm < 2; alarm++) {
        const char  *name = alarm ? "vantorell_split_alarm"
                                  : "vantorell_split_p_value";

        family(out, name, "gauge",
               alarm ? "1 when the split check's p-value is below 0.001."
                     : "Chi-square test of the counts per variation against "
                       "the expected shares (NaN below 1000 counts).");

        for (const FileView &fv : view.files) {
            for (const ExperimentView &ev : fv.counted) {
                for (int c = 0; c < 2; c++) {
                    const vantorell::SplitCheck  &sc = c == 0 ? ev.newVisitors
                                                              : ev.assignments;
                    experimentSeries(out, name, fv, ev);
                    out->append(",counted=\"");
                    out->append(countedNames[c]);
                    out->append("\"} ");
                    if (alarm) {
                        out->push_back(sc.alarm ? '1' : '0');
                    } else {
                        prometheusDouble(out, sc.checked ? sc.pValue
                                                         : std::nan(""));
                    }
                    out->push_back('\n');
                }
            }
        }
    }

    family(out, "vantorell_data_file_usable", "gauge",
           "1 when the workers can use the data file.");
    for (const FileView &fv : view.files) {
        series(out, "vantorell_data_file_usable", fv);
        out->append("} ");
        out->push_back(fv.usable ? '1' : '0');
        out->push_back('\n');
    }

    family(out, "vantorell_data_file_experiments", "gauge",
           "Experiments in the data file.");
    for (const FileView &fv : view.files) {
        series(out, "vantorell_data_file_experiments", fv);
        out->append("} ");
        appendNumber(out, fv.experiments);
        out->push_back('\n');
    }

    family(out, "vantorell_counters_dropped_total", "counter",
           "Counts lost because the metrics zone had no room for their key.");
    out->append("vantorell_counters_dropped_total ");
    appendNumber(out, view.dropped);
    out->push_back('\n');
}

}  // namespace


static ngx_int_t
ngx_http_vantorell_status_handler(ngx_http_request_t *r)
{
    ngx_int_t                        rc;
    ngx_buf_t                       *b;
    ngx_chain_t                      out;
    ngx_http_vantorell_loc_conf_t   *vlcf;
    ngx_http_vantorell_main_conf_t  *vmcf;
    Zone                            *zone;

    if (!(r->method & (NGX_HTTP_GET|NGX_HTTP_HEAD))) {
        return NGX_HTTP_NOT_ALLOWED;
    }

    rc = ngx_http_discard_request_body(r);
    if (rc != NGX_OK) {
        return rc;
    }

    vlcf = (ngx_http_vantorell_loc_conf_t *)
               ngx_http_get_module_loc_conf(r, ngx_http_vantorell_module);
    vmcf = (ngx_http_vantorell_main_conf_t *)
               ngx_http_get_module_main_conf(r, ngx_http_vantorell_module);

    zone = (Zone *) vmcf->metricsZone->data;

    std::string  body;

    try {
        View  view;

        snapshot(zone, vmcf->metricsFiles, &view);
        check(&view);

        if (vlcf->status == NGX_HTTP_VANTORELL_STATUS_PROMETHEUS) {
            prometheus(view, &body);
        } else {
            json(view, &body);
        }

    } catch (...) {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    b = ngx_create_temp_buf(r->pool, body.size());
    if (b == NULL) {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    b->last = ngx_cpymem(b->last, body.data(), body.size());
    b->last_buf = (r == r->main) ? 1 : 0;
    b->last_in_chain = 1;

    r->headers_out.status = NGX_HTTP_OK;
    r->headers_out.content_length_n = body.size();

    if (vlcf->status == NGX_HTTP_VANTORELL_STATUS_PROMETHEUS) {
        ngx_str_set(&r->headers_out.content_type,
                    "text/plain; version=0.0.4; charset=utf-8");
    } else {
        ngx_str_set(&r->headers_out.content_type, "application/json");
    }

    r->headers_out.content_type_len = r->headers_out.content_type.len;

    if (r->method == NGX_HTTP_HEAD) {
        r->header_only = 1;
    }

    rc = ngx_http_send_header(r);

    if (rc == NGX_ERROR || rc > NGX_OK || r->header_only) {
        return rc;
    }

    out.buf = b;
    out.next = NULL;

    return ngx_http_output_filter(r, &out);
}
