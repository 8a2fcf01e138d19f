/*
 * The metrics zone: its directive, its start, its keys, and the copy that the
 * status page renders.
 *
 * The zone is kept across a reload when its name and size are unchanged, as
 * nginx's zones are (the init gets the old cycle's data).
 *
 * A zone without room for a new experiment makes room from experiments that
 * no current model lists (their file's latest model does not), least
 * recently seen in a model first: they leave the index and the status page,
 * and their counters serve the new one.  Their memory is kept for
 * experiments rather than given back to the slab: a worker may have read an
 * experiment's epoch just before it expired and still add one to a slot.
 * Such a late count then lands in another experiment's slot at worst, never
 * in a record of the index.  The epoch moves with the expiry, so the worker
 * stops counting there from its next request on.
 *
 * What still finds no room is counted as dropped, and a full zone says so
 * once.  A data file's own counters never expire: every worker keeps where
 * they are for as long as it runs.
 */

#include "ngx_http_vantorell_metrics.h"
#include "ngx_http_vantorell_metrics_zone.h"

#include <ctime>
#include <utility>


/* ---- the directive and the zone's start ---------------------------------- */

static ngx_int_t
ngx_http_vantorell_metrics_init_zone(ngx_shm_zone_t *shm_zone, void *data)
{
    size_t                             len;
    ngx_http_vantorell_metrics_sh_t   *sh;
    ngx_http_vantorell_metrics_ctx_t  *ozone, *zone;

    ozone = (ngx_http_vantorell_metrics_ctx_t *) data;
    zone = (ngx_http_vantorell_metrics_ctx_t *) shm_zone->data;

    if (ozone != NULL) {
        /* a reload, the zone's size unchanged: its counters go on */
        zone->sh = ozone->sh;
        zone->shpool = ozone->shpool;
        return NGX_OK;
    }

    zone->shpool = (ngx_slab_pool_t *) shm_zone->shm.addr;

    if (shm_zone->shm.exists) {
        zone->sh = (ngx_http_vantorell_metrics_sh_t *) zone->shpool->data;
        return NGX_OK;
    }

    sh = (ngx_http_vantorell_metrics_sh_t *)
             ngx_slab_calloc(zone->shpool, sizeof(ngx_http_vantorell_metrics_sh_t));
    if (sh == NULL) {
        return NGX_ERROR;
    }

    zone->sh = sh;
    zone->shpool->data = sh;

    ngx_rbtree_init(&sh->rbtree, &sh->sentinel, ngx_str_rbtree_insert_value);
    ngx_queue_init(&sh->files);
    ngx_queue_init(&sh->seen);
    ngx_queue_init(&sh->spare);

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


/*
 * vantorell_metrics_zone [name:]size: the zone's name is what nginx shows of
 * it (and what a reload matches it by); a size alone names it
 * "vantorell_metrics".
 */
char *
ngx_http_vantorell_metrics_zone(ngx_conf_t *cf, ngx_command_t *cmd, void *conf)
{
    u_char                            *colon;
    ssize_t                            size;
    ngx_str_t                         *value, name, s;
    ngx_shm_zone_t                    *shm_zone;
    ngx_http_vantorell_main_conf_t    *vmcf;
    ngx_http_vantorell_metrics_ctx_t  *zone;

    vmcf = (ngx_http_vantorell_main_conf_t *) conf;

    if (vmcf->metrics_zone != NULL) {
        return (char *) "is duplicate";
    }

    value = (ngx_str_t *) cf->args->elts;

    vmcf->count_responses = 1;

    if (cf->args->nelts == 3) {
        if (ngx_strcmp(value[2].data, "responses=off") == 0) {
            vmcf->count_responses = 0;

        } else if (ngx_strcmp(value[2].data, "responses=on") != 0) {
            ngx_conf_log_error(NGX_LOG_EMERG, cf, 0,
                               "invalid parameter \"%V\"", &value[2]);
            return (char *) NGX_CONF_ERROR;
        }
    }

    colon = (u_char *) ngx_strlchr(value[1].data, value[1].data + value[1].len,
                                   ':');

    if (colon == NULL) {
        ngx_str_set(&name, "vantorell_metrics");
        s = value[1];

    } else {
        name.data = value[1].data;
        name.len = colon - value[1].data;
        s.data = colon + 1;
        s.len = value[1].data + value[1].len - s.data;

        if (name.len == 0) {
            ngx_conf_log_error(NGX_LOG_EMERG, cf, 0,
                               "invalid zone name \"%V\"", &value[1]);
            return (char *) NGX_CONF_ERROR;
        }
    }

    size = ngx_parse_size(&s);

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

    zone = (ngx_http_vantorell_metrics_ctx_t *)
               ngx_pcalloc(cf->pool, sizeof(ngx_http_vantorell_metrics_ctx_t));
    if (zone == NULL) {
        return (char *) NGX_CONF_ERROR;
    }

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

    vmcf->metrics_zone = shm_zone;

    return NGX_CONF_OK;
}


/* ---- keys ---------------------------------------------------------------- */

uint64_t
ngx_http_vantorell_metrics_now(void)
{
    struct timespec  ts = {0, 0};

    clock_gettime(CLOCK_MONOTONIC, &ts);

    return (uint64_t) ts.tv_sec * 1000000000u + (uint64_t) ts.tv_nsec;
}


ngx_http_vantorell_metrics_ctx_t *
ngx_http_vantorell_metrics_zone_of(ngx_cycle_t *cycle)
{
    ngx_http_vantorell_main_conf_t  *vmcf;

    vmcf = ngx_http_vantorell_main_conf(cycle);

    if (vmcf == NULL || vmcf->metrics_zone == NULL) {
        return NULL;
    }

    return (ngx_http_vantorell_metrics_ctx_t *) vmcf->metrics_zone->data;
}


/* A key that found no room.  Said once per zone. */
static void
ngx_http_vantorell_metrics_full(ngx_http_vantorell_metrics_ctx_t *zone,
    ngx_log_t *log)
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
ngx_http_vantorell_metrics_count_dropped(ngx_http_vantorell_metrics_ctx_t *zone)
{
    (void) ngx_atomic_fetch_add(&zone->sh->dropped, 1);
}


static ngx_str_node_t *
ngx_http_vantorell_metrics_lookup(ngx_http_vantorell_metrics_sh_t *sh,
    ngx_str_t *key, uint32_t *hash)
{
    *hash = ngx_crc32_short(key->data, key->len);

    return ngx_str_rbtree_lookup(&sh->rbtree, key, *hash);
}


ngx_http_vantorell_metrics_file_t *
ngx_http_vantorell_metrics_file_counters(ngx_http_vantorell_metrics_ctx_t *zone,
    ngx_str_t *path, ngx_log_t *log)
{
    uint32_t                            hash;
    ngx_str_node_t                     *sn;
    ngx_http_vantorell_metrics_file_t  *file;

    sn = ngx_http_vantorell_metrics_lookup(zone->sh, path, &hash);
    if (sn != NULL) {
        return (ngx_http_vantorell_metrics_file_t *) sn;
    }

    file = (ngx_http_vantorell_metrics_file_t *)
               ngx_slab_calloc_locked(zone->shpool,
                   sizeof(ngx_http_vantorell_metrics_file_t) + path->len);
    if (file == NULL) {
        ngx_http_vantorell_metrics_full(zone, log);
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


void
ngx_http_vantorell_metrics_file_state(ngx_http_vantorell_metrics_file_t *file,
    uint64_t observed, time_t loaded_at, ngx_uint_t usable, const char *problem,
    size_t experiments)
{
    if (observed < file->observed) {
        return;
    }

    file->observed = observed;
    file->loaded_at = loaded_at;
    file->usable = usable;
    file->experiments_count = experiments;

    if (problem != NULL) {
        /* the last problem's text stays when a usable file follows */
        ngx_cpystrn(file->problem, (u_char *) problem, sizeof(file->problem));
        file->has_problem = 1;
    }
}


/* The key of the file's experiment `id`, written to key[] and named by *name. */
static void
ngx_http_vantorell_metrics_experiment_key(
    ngx_http_vantorell_metrics_file_t *file, long id,
    u_char key[NGX_HTTP_VANTORELL_EXPERIMENT_KEY], ngx_str_t *name)
{
    int64_t  id64 = id;

    key[0] = '\0';
    ngx_memcpy(key + 1, &file->number, 8);
    ngx_memcpy(key + 9, &id64, 8);

    name->data = key;
    name->len = NGX_HTTP_VANTORELL_EXPERIMENT_KEY;
}


/* A model loaded at `loaded` lists the experiment: it is seen now. */
static void
ngx_http_vantorell_metrics_listed(ngx_http_vantorell_metrics_sh_t *sh,
    ngx_http_vantorell_metrics_experiment_t *e, uint64_t loaded)
{
    if (loaded > e->listed) {
        e->listed = loaded;
    }

    ngx_queue_remove(&e->seen);
    ngx_queue_insert_tail(&sh->seen, &e->seen);
}


void
ngx_http_vantorell_metrics_model_seen(ngx_http_vantorell_metrics_ctx_t *zone,
    ngx_http_vantorell_metrics_file_t *file, const vantorell::Model &model,
    uint64_t loaded)
{
    u_char           key[NGX_HTTP_VANTORELL_EXPERIMENT_KEY];
    uint32_t         hash;
    ngx_str_t        name;
    ngx_str_node_t  *sn;

    if (loaded > file->model) {
        file->model = loaded;
    }

    for (const vantorell::Experiment &experiment : model.experiments) {
        ngx_http_vantorell_metrics_experiment_key(file, experiment.id, key,
                                                  &name);

        sn = ngx_http_vantorell_metrics_lookup(zone->sh, &name, &hash);
        if (sn != NULL) {
            ngx_http_vantorell_metrics_listed(zone->sh,
                (ngx_http_vantorell_metrics_experiment_t *) sn, loaded);
        }
    }
}


/*
 * The least recently seen experiment that no current model lists (but
 * `keep`), out of the index and the page and into the spare ones.  False
 * when there is none.
 */
static bool
ngx_http_vantorell_metrics_expire(ngx_http_vantorell_metrics_sh_t *sh,
    ngx_http_vantorell_metrics_experiment_t *keep)
{
    ngx_queue_t                              *q;
    ngx_http_vantorell_metrics_experiment_t  *e;

    for (q = ngx_queue_head(&sh->seen);
         q != ngx_queue_sentinel(&sh->seen);
         q = ngx_queue_next(q))
    {
        e = ngx_queue_data(q, ngx_http_vantorell_metrics_experiment_t, seen);

        if (e == keep || e->listed >= e->file->model) {
            continue;
        }

        ngx_rbtree_delete(&sh->rbtree, &e->sn.node);
        ngx_queue_remove(&e->queue);
        ngx_queue_remove(&e->seen);
        ngx_queue_insert_tail(&sh->spare, &e->seen);

        /* a worker that still holds it stops counting there */
        (void) ngx_atomic_fetch_add(&e->epoch, 1);

        return true;
    }

    return false;
}


/*
 * A spare experiment with room for `nslots` slots, taken off the spare ones:
 * the smallest that fits, expiring experiments (least recently seen first)
 * until one does.  Null when none can.
 */
static ngx_http_vantorell_metrics_experiment_t *
ngx_http_vantorell_metrics_room(ngx_http_vantorell_metrics_sh_t *sh,
    size_t nslots, ngx_http_vantorell_metrics_experiment_t *keep)
{
    ngx_queue_t                              *q;
    ngx_http_vantorell_metrics_experiment_t  *e, *best;

    do {
        best = NULL;

        for (q = ngx_queue_head(&sh->spare);
             q != ngx_queue_sentinel(&sh->spare);
             q = ngx_queue_next(q))
        {
            e = ngx_queue_data(q, ngx_http_vantorell_metrics_experiment_t,
                               seen);

            if (e->capacity >= nslots
                && (best == NULL || e->capacity < best->capacity))
            {
                best = e;
            }
        }

        if (best != NULL) {
            ngx_queue_remove(&best->seen);
            return best;
        }

    } while (ngx_http_vantorell_metrics_expire(sh, keep));

    return NULL;
}


/* A record for a new experiment with room for `nslots` slots; null when
 * there is none to be had.  A spare one keeps its slots and its epoch. */
static ngx_http_vantorell_metrics_experiment_t *
ngx_http_vantorell_metrics_new_experiment(
    ngx_http_vantorell_metrics_ctx_t *zone, size_t nslots)
{
    ngx_http_vantorell_metrics_slot_t        *slots;
    ngx_http_vantorell_metrics_experiment_t  *e;

    /* a key comes with its slots, or not at all */
    slots = (ngx_http_vantorell_metrics_slot_t *)
                ngx_slab_calloc_locked(zone->shpool,
                    nslots * sizeof(ngx_http_vantorell_metrics_slot_t));

    e = slots == NULL
        ? NULL
        : (ngx_http_vantorell_metrics_experiment_t *)
              ngx_slab_calloc_locked(zone->shpool,
                  sizeof(ngx_http_vantorell_metrics_experiment_t));

    if (e != NULL) {
        e->slots = slots;
        e->capacity = nslots;
        return e;
    }

    if (slots != NULL) {
        /* nobody has seen them yet */
        ngx_slab_free_locked(zone->shpool, slots);
    }

    return ngx_http_vantorell_metrics_room(zone->sh, nslots, NULL);
}


ngx_http_vantorell_metrics_experiment_t *
ngx_http_vantorell_metrics_experiment_counters(
    ngx_http_vantorell_metrics_ctx_t *zone,
    ngx_http_vantorell_metrics_file_t *file, long id,
    const vantorell::Shares &shares, uint64_t signature, uint64_t loaded,
    ngx_log_t *log, bool *dropped)
{
    u_char                                    key[NGX_HTTP_VANTORELL_EXPERIMENT_KEY];
    uint32_t                                  hash;
    ngx_str_t                                 name;
    ngx_uint_t                                i;
    ngx_str_node_t                           *sn;
    ngx_http_vantorell_metrics_slot_t        *slots;
    ngx_http_vantorell_metrics_experiment_t  *e, *spare;

    ngx_http_vantorell_metrics_experiment_key(file, id, key, &name);

    sn = ngx_http_vantorell_metrics_lookup(zone->sh, &name, &hash);

    if (sn != NULL) {
        e = (ngx_http_vantorell_metrics_experiment_t *) sn;

        ngx_http_vantorell_metrics_listed(zone->sh, e, loaded);

        if (e->signature == signature && e->nslots == shares.size()) {
            return e;
        }

        if (e->loaded > loaded) {
            return NULL;
        }

    } else {
        e = ngx_http_vantorell_metrics_new_experiment(zone, shares.size());
        if (e == NULL) {
            ngx_http_vantorell_metrics_full(zone, log);
            *dropped = true;
            return NULL;
        }

        ngx_memcpy(e->key, key, sizeof(key));
        e->sn.str.data = e->key;
        e->sn.str.len = sizeof(key);
        e->sn.node.key = hash;
        e->id = id;
        e->file = file;
        e->listed = loaded;
        e->signature = 0;
        e->nslots = 0;

        ngx_rbtree_insert(&zone->sh->rbtree, &e->sn.node);
        ngx_queue_insert_tail(&file->experiments, &e->queue);
        ngx_queue_insert_tail(&zone->sh->seen, &e->seen);
    }

    /*
     * The new split.  A worker may still increment the old slots until it
     * sees the epoch move: they stay slots (a larger split gets slots of its
     * own, and the old ones are never given back to the slab).
     */
    if (shares.size() > e->capacity) {
        slots = (ngx_http_vantorell_metrics_slot_t *)
                    ngx_slab_calloc_locked(zone->shpool,
                        shares.size() * sizeof(ngx_http_vantorell_metrics_slot_t));

        if (slots != NULL) {
            e->slots = slots;
            e->capacity = shares.size();

        } else {
            spare = ngx_http_vantorell_metrics_room(zone->sh, shares.size(), e);
            if (spare == NULL) {
                ngx_http_vantorell_metrics_full(zone, log);
                *dropped = true;
                return NULL;
            }

            /* the spare's slots for this split; the spare keeps the old */
            std::swap(e->slots, spare->slots);
            std::swap(e->capacity, spare->capacity);
            ngx_queue_insert_tail(&zone->sh->spare, &spare->seen);
        }
    }

    (void) ngx_atomic_fetch_add(&e->epoch, 1);

    for (i = 0; i < shares.size(); i++) {
        /* every count restarts, and the guardrail's stop with them */
        ngx_memzero(&e->slots[i], sizeof(ngx_http_vantorell_metrics_slot_t));
        e->slots[i].id = shares[i].id;
        e->slots[i].share = shares[i].share;
    }

    e->nslots = shares.size();
    e->signature = signature;
    e->loaded = loaded;
    e->since = ngx_time();

    return e;
}


/* ---- the copy for the status page ----------------------------------------- */

void
ngx_http_vantorell_metrics_snapshot(ngx_http_vantorell_metrics_ctx_t *zone,
    ngx_array_t *files, vantorell::StatusSnapshot *snapshot)
{
    ngx_uint_t                                 i, k;
    ngx_queue_t                               *q;
    ngx_http_vantorell_metrics_file_t        **f, *file;
    ngx_http_vantorell_metrics_experiment_t   *e;

    f = files != NULL ? (ngx_http_vantorell_metrics_file_t **) files->elts
                      : NULL;

    ngx_http_vantorell_metrics_lock_t  lock(zone);

    snapshot->countersDropped = zone->sh->dropped;

    for (i = 0; files != NULL && i < files->nelts; i++) {
        vantorell::StatusDataFile  df;

        file = f[i];

        df.path.assign((const char *) file->path, file->sn.str.len);
        df.known = file->observed != 0;
        df.usable = file->usable;
        df.hasProblem = file->has_problem;
        if (file->has_problem) {
            df.problem.assign((const char *) file->problem);
        }
        df.experimentsCount = file->experiments_count;
        df.loadedAt = file->loaded_at;

        for (k = 0; k < vantorell::kOutcomes; k++) {
            df.requests[k] = file->requests[k];
        }

        for (q = ngx_queue_head(&file->experiments);
             q != ngx_queue_sentinel(&file->experiments);
             q = ngx_queue_next(q))
        {
            e = ngx_queue_data(q, ngx_http_vantorell_metrics_experiment_t,
                               queue);

            vantorell::StatusExperiment  se;

            se.id = e->id;
            se.countingSince = e->since;

            for (k = 0; k < e->nslots; k++) {
                vantorell::StatusVariation  v;

                v.id = e->slots[k].id;
                v.expectedShare = e->slots[k].share;
                v.assignments = e->slots[k].assignments;
                v.newVisitors = e->slots[k].new_visitors;
                ngx_http_vantorell_metrics_copy_responses(&e->slots[k], &v);

                se.variations.push_back(v);
            }

            df.experiments.push_back(std::move(se));
        }

        snapshot->dataFiles.push_back(std::move(df));
    }
}
