/*
 * The metrics: counters shared by every worker in one shared-memory zone
 * (vantorell_metrics_zone, ngx_http_vantorell_metrics_zone.cpp), counted by
 * the handler (ngx_http_vantorell_metrics.cpp) and shown on the status page
 * as JSON or in Prometheus's text format (vantorell_status,
 * ngx_http_vantorell_status_page.cpp).
 */
#ifndef NGX_HTTP_VANTORELL_METRICS_H
#define NGX_HTTP_VANTORELL_METRICS_H

#include "ngx_http_vantorell_module.h"

#include "model_cache.h"
#include "outcome.h"
#include "failure.h"
#include "targeting.h"

/* directive handlers: vantorell_metrics_zone, vantorell_status */
char *ngx_http_vantorell_metrics_zone(ngx_conf_t *cf, ngx_command_t *cmd,
    void *conf);
char *ngx_http_vantorell_status_page(ngx_conf_t *cf, ngx_command_t *cmd,
    void *conf);

/* postconfiguration: a status page needs the zone */
ngx_int_t ngx_http_vantorell_metrics_check(ngx_conf_t *cf);

/*
 * Start-up and reload (nginx's master): the counters of a server's data file
 * (vscf->metrics), found in the zone or added to it, with what the master's
 * own read of the file found (`usable`, `problem`, `experiments`).  Called
 * once per server with the module on.
 */
void ngx_http_vantorell_metrics_add_file(ngx_cycle_t *cycle,
    ngx_http_vantorell_srv_conf_t *vscf, ngx_uint_t checked, ngx_uint_t usable,
    const vantorell::FailureText &problem, size_t experiments);

/* One request's outcome. */
void ngx_http_vantorell_metrics_outcome(ngx_http_vantorell_srv_conf_t *vscf,
    vantorell::Outcome outcome);

/* An ignored request that a later location decides after all. */
void ngx_http_vantorell_metrics_unignore(ngx_http_vantorell_srv_conf_t *vscf);

/*
 * An assigned request: its variation in every targeted experiment, counted
 * as an assignment (and a new visitor) when `count_assignment`; with the
 * responses counted, where the log phase counts its response
 * (ctx->responses).
 */
void ngx_http_vantorell_metrics_assigned(ngx_http_request_t *r,
    ngx_http_vantorell_srv_conf_t *vscf, ngx_http_vantorell_ctx_t *ctx,
    ngx_uint_t count_assignment, ngx_uint_t new_code);

/* Whether the guardrail stopped the variation of the experiment, for the
 * model `hold`. */
bool ngx_http_vantorell_metrics_stopped(ngx_http_request_t *r,
    ngx_http_vantorell_srv_conf_t *vscf, const vantorell::ModelHold &hold,
    long experiment_id, long variation_id) noexcept;

/* log phase: an assigned request's response, per variation; with the
 * guardrail, the errors check (ngx_http_vantorell_responses.cpp) */
ngx_int_t ngx_http_vantorell_responses_handler(ngx_http_request_t *r);

/* What a request found of its data file: `hold` when `result` is ok. */
void ngx_http_vantorell_metrics_file(ngx_http_request_t *r,
    ngx_http_vantorell_srv_conf_t *vscf, const vantorell::Result &result,
    const vantorell::ModelHold &hold);

/* A worker that exits: what it kept of the zone's keys. */
void ngx_http_vantorell_metrics_exit(void);

/* whether a server counts: a pointer test, nothing more, without the zone */
#define ngx_http_vantorell_counts(vscf)                                       \
    ((vscf)->metrics != NULL || (vscf)->metrics_dropped)

#endif
