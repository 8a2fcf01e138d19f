/*
 * The responses of assigned requests, per variation: counted at the log
 * phase of the main request, when the final status and the time the request
 * took are known; and the guardrail, which stops giving a variation that
 * answers with 5xx significantly more often than the others.
 *
 * Like the other counts, each is an atomic increment of the slots the worker
 * found when it assigned the request, and only while the experiment's epoch
 * is the one it found: a split that restarted (or an experiment that
 * expired) since is not this response's to count.
 *
 * The stop is a flag of the variation's slot in the zone, so every worker
 * applies it from its next request on; it goes with the slot's other counts
 * when the experiment's counters restart.  One worker sets it (a
 * compare-and-set), and that one writes the warning.
 */

#include "ngx_http_vantorell_metrics.h"
#include "ngx_http_vantorell_metrics_zone.h"

#include "outcome.h"
#include "responses.h"
#include "split.h"

#include <cstdio>


namespace {

/* The status nginx's access log writes for the request. */
ngx_uint_t
finalStatus(ngx_http_request_t *r)
{
    if (r->err_status) {
        return r->err_status;
    }

    return r->headers_out.status;
}


/* $request_time in milliseconds. */
uint64_t
requestMilliseconds(ngx_http_request_t *r)
{
    ngx_time_t      *tp;
    ngx_msec_int_t   ms;

    tp = ngx_timeofday();

    ms = (ngx_msec_int_t)
             ((tp->sec - r->start_sec) * 1000 + (tp->msec - r->start_msec));

    return ms > 0 ? (uint64_t) ms : 0;
}


/* A percentage as the warning writes it. */
void
percent(char *buf, size_t size, double share)
{
    (void) snprintf(buf, size, "%.1f", share * 100.0);
}


/*
 * The errors check over the experiment's counts as they stand; with an
 * alarm on a variation other than the reference, that variation stops being
 * given.  The counts are read one by one without the zone's lock: a check
 * may see one response more in one slot than in another, which no p-value
 * near the alarm's bound can tell.
 */
void
guard(ngx_http_request_t *r, const ngx_http_vantorell_response_t *response)
{
    ngx_uint_t                          i, c;
    uint64_t                           *answered, *failed;
    ngx_http_vantorell_metrics_slot_t  *worst;
    char                                a[32], b[32], p[32];

    if (response->nslots < 2) {
        return;
    }

    answered = (uint64_t *) ngx_palloc(r->pool,
                                       2 * response->nslots * sizeof(uint64_t));
    if (answered == NULL) {
        return;
    }

    failed = answered + response->nslots;

    for (i = 0; i < response->nslots; i++) {
        const ngx_http_vantorell_metrics_slot_t  &s = response->slots[i];

        answered[i] = 0;
        for (c = 0; c < vantorell::kStatusClasses; c++) {
            answered[i] += s.responses[c];
        }
        failed[i] = s.responses[vantorell::kServerErrorClass];
    }

    vantorell::ErrorsCheck  check =
        vantorell::checkErrors(answered, failed, response->nslots);

    if (!check.alarm) {
        return;
    }

    worst = &response->slots[check.worst];

    if (worst->id == 0 || worst->stopped
        || !ngx_atomic_cmp_set(&worst->stopped, 0, 1))
    {
        return;
    }

    percent(a, sizeof(a), check.worstShare);
    percent(b, sizeof(b), check.othersShare);
    (void) snprintf(p, sizeof(p), "%.3g", check.pValue);

    ngx_log_error(NGX_LOG_WARN, r->connection->log, 0,
                  "vantorell: experiment %d: variation %d stopped: "
                  "5xx %s%% against %s%% (p = %s)",
                  vantorell::id32(response->experiment_id),
                  vantorell::id32((long) worst->id), a, b, p);
}

}  // namespace


ngx_int_t
ngx_http_vantorell_responses_handler(ngx_http_request_t *r)
{
    size_t                            cls, bucket;
    uint64_t                          ms, answered;
    ngx_uint_t                        i, c, guardrail;
    ngx_http_vantorell_ctx_t         *ctx;
    ngx_http_vantorell_response_t    *response;
    ngx_http_vantorell_metrics_slot_t  *slot;

    if (r != r->main) {
        return NGX_OK;
    }

    ctx = ngx_http_vantorell_get_ctx(r);

    if (ctx == NULL || ctx->responses == NULL || ctx->nresponses == 0
        || ctx->responded)
    {
        return NGX_OK;
    }

    ctx->responded = 1;

    /* an interim status, or none at all, tells nothing of the variation */
    if (!vantorell::statusClassOf((unsigned) finalStatus(r), &cls)) {
        return NGX_OK;
    }

    ms = requestMilliseconds(r);
    bucket = vantorell::latencyBucket(ms);

    guardrail = ngx_http_vantorell_srv_conf(r)->guardrail
                == NGX_HTTP_VANTORELL_GUARDRAIL_STOP;

    for (i = 0; i < ctx->nresponses; i++) {
        response = &ctx->responses[i];

        if (response->counters->epoch != response->epoch) {
            continue;
        }

        slot = &response->slots[response->slot];

        (void) ngx_atomic_fetch_add(&slot->responses[cls], 1);
        (void) ngx_atomic_fetch_add(&slot->latency[bucket], 1);
        (void) ngx_atomic_fetch_add(&slot->latency_ms, (ngx_atomic_int_t) ms);

        if (!guardrail) {
            continue;
        }

        /* a 5xx moves the check most; other answers move it slowly, and
         * are looked at every 64th of the variation's */
        answered = 0;
        for (c = 0; c < vantorell::kStatusClasses; c++) {
            answered += slot->responses[c];
        }

        if (cls == vantorell::kServerErrorClass || answered % 64 == 0) {
            guard(r, response);
        }
    }

    return NGX_OK;
}


void
ngx_http_vantorell_metrics_copy_responses(
    const ngx_http_vantorell_metrics_slot_t *slot,
    vantorell::StatusVariation *v)
{
    size_t  i;

    for (i = 0; i < vantorell::kStatusClasses; i++) {
        v->responses[i] = slot->responses[i];
    }

    for (i = 0; i < vantorell::kLatencyBuckets; i++) {
        v->latencyBuckets[i] = slot->latency[i];
    }

    v->latencySeconds = (double) slot->latency_ms / 1000.0;
    v->stopped = slot->stopped != 0;
}
