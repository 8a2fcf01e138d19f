/*
 * The vantorell module's nginx layer: its configuration records, the
 * request's record, and what its files share.  The decision itself is the
 * core's (decide.h); this layer gathers a request's inputs and applies the
 * decision.
 */
#ifndef NGX_HTTP_VANTORELL_MODULE_H
#define NGX_HTTP_VANTORELL_MODULE_H

extern "C" {
#include <ngx_config.h>
#include <ngx_core.h>
#include <ngx_http.h>
}

#include "decide.h"
#include "failure.h"
#include "model_cache.h"
#include "text.h"

/* The module's variables, in the order of their table. */
enum {
    NGX_HTTP_VANTORELL_VAR_VISITOR_CODE,
    NGX_HTTP_VANTORELL_VAR_VISITOR_NEW,
    NGX_HTTP_VANTORELL_VAR_EXPERIMENTS,
    NGX_HTTP_VANTORELL_VAR_EXPERIMENT,
    NGX_HTTP_VANTORELL_VAR_VARIATION,
    NGX_HTTP_VANTORELL_VARS
};

/* A data file's counters in the metrics zone (ngx_http_vantorell_metrics). */
typedef struct ngx_http_vantorell_metrics_file_s
    ngx_http_vantorell_metrics_file_t;

/* Where an assigned request's response is counted (the metrics zone's). */
typedef struct ngx_http_vantorell_response_s
    ngx_http_vantorell_response_t;

/* vantorell_status: the format of a location's status page */
enum {
    NGX_HTTP_VANTORELL_STATUS_PAGE_NONE = 0,
    NGX_HTTP_VANTORELL_STATUS_PAGE_JSON,
    NGX_HTTP_VANTORELL_STATUS_PAGE_PROMETHEUS,
    NGX_HTTP_VANTORELL_STATUS_PAGE_HTML
};

/* vantorell_guardrail */
enum {
    NGX_HTTP_VANTORELL_GUARDRAIL_OFF = 0,
    NGX_HTTP_VANTORELL_GUARDRAIL_STOP
};

typedef struct {
    /* the module's variables as nginx keeps them: which are indexed, where */
    ngx_http_variable_t             *variables[NGX_HTTP_VANTORELL_VARS];

    /* vantorell_metrics_zone, or null */
    ngx_shm_zone_t                  *metrics_zone;
    /* this configuration's data files in the zone, in the servers' order */
    ngx_array_t                     *metrics_files;
    /* the zone counts the responses of assigned requests (responses=on) */
    ngx_flag_t                       count_responses;
    /* where vantorell_status stands first, for the missing zone's message */
    ngx_str_t                        status_page_file;
    ngx_uint_t                       status_page_line;
} ngx_http_vantorell_main_conf_t;

/* vantorell_cookie_flags: the attributes written after the path */
#define NGX_HTTP_VANTORELL_COOKIE_OFF              0x0002
#define NGX_HTTP_VANTORELL_COOKIE_SECURE           0x0004
#define NGX_HTTP_VANTORELL_COOKIE_HTTPONLY         0x0008
#define NGX_HTTP_VANTORELL_COOKIE_SAMESITE_STRICT  0x0010
#define NGX_HTTP_VANTORELL_COOKIE_SAMESITE_LAX     0x0020
#define NGX_HTTP_VANTORELL_COOKIE_SAMESITE_NONE    0x0040
#define NGX_HTTP_VANTORELL_COOKIE_SAMESITE         0x0070

/* the cookie's lifetime unless vantorell_cookie_expires says otherwise:
 * 14 days */
#define NGX_HTTP_VANTORELL_COOKIE_MAX_AGE          1209600

/* vantorell_cookie_expires max: the fixed date that userid_expires max
 * writes, never a number of seconds */
#define NGX_HTTP_VANTORELL_EXPIRES_MAX             ((time_t) -2)

typedef struct {
    ngx_flag_t                       enable;
    ngx_flag_t                       experiments_header;
    ngx_http_complex_value_t        *cookie_domain;
    ngx_uint_t                       cookie_flags;     /* bitmask, or unset */
    time_t                           cookie_expires;   /* seconds; 0: none */
    ngx_http_complex_value_t        *visitor_id;
    ngx_str_t                        data_file;   /* NUL-terminated path */
    /* the worker's cache entry of data_file: each worker fills its own copy */
    vantorell::PathSlot              data_file_slot;
    ngx_uint_t                       guardrail;   /* NGX_HTTP_VANTORELL_GUARDRAIL_ */

    /* the data file's counters; null without the zone, or when the zone had
     * no room for them (metrics_dropped) */
    ngx_http_vantorell_metrics_file_t  *metrics;
    ngx_uint_t                       metrics_dropped;
} ngx_http_vantorell_srv_conf_t;

typedef struct {
    ngx_http_complex_value_t        *ignore;
    ngx_http_complex_value_t        *force;
    ngx_uint_t                       status_page; /* NGX_HTTP_VANTORELL_STATUS_PAGE_ */
} ngx_http_vantorell_loc_conf_t;

extern "C" {
extern ngx_module_t  ngx_http_vantorell_module;
}


/* the configuration records, typed */

static ngx_inline ngx_http_vantorell_main_conf_t *
ngx_http_vantorell_main_conf(ngx_http_request_t *r)
{
    return (ngx_http_vantorell_main_conf_t *)
               ngx_http_get_module_main_conf(r, ngx_http_vantorell_module);
}


static ngx_inline ngx_http_vantorell_srv_conf_t *
ngx_http_vantorell_srv_conf(ngx_http_request_t *r)
{
    return (ngx_http_vantorell_srv_conf_t *)
               ngx_http_get_module_srv_conf(r, ngx_http_vantorell_module);
}


static ngx_inline ngx_http_vantorell_loc_conf_t *
ngx_http_vantorell_loc_conf(ngx_http_request_t *r)
{
    return (ngx_http_vantorell_loc_conf_t *)
               ngx_http_get_module_loc_conf(r, ngx_http_vantorell_module);
}


/* ... of the configuration being read, and of a cycle (null without http) */

static ngx_inline ngx_http_vantorell_main_conf_t *
ngx_http_vantorell_main_conf(ngx_conf_t *cf)
{
    return (ngx_http_vantorell_main_conf_t *)
               ngx_http_conf_get_module_main_conf(cf, ngx_http_vantorell_module);
}


static ngx_inline ngx_http_vantorell_main_conf_t *
ngx_http_vantorell_main_conf(ngx_cycle_t *cycle)
{
    return (ngx_http_vantorell_main_conf_t *)
               ngx_http_cycle_get_module_main_conf(cycle,
                                                   ngx_http_vantorell_module);
}


/*
 * The module's debug lines: written when the error log's level is debug,
 * with or without nginx's --with-debug.
 */
#define ngx_http_vantorell_debug(r, ...)                                      \
    ngx_log_error(NGX_LOG_DEBUG, (r)->connection->log, 0, __VA_ARGS__)

/* whether debug lines are written at all: texts built only for them wait */
#define ngx_http_vantorell_debug_on(r)                                        \
    ((r)->connection->log->log_level >= NGX_LOG_DEBUG)


/* the visitor cookie's name, from the core */
extern ngx_str_t  ngx_http_vantorell_cookie_name;


/* ngx_http_vantorell_cookie.cpp: the cookie's directives and Set-Cookie */
char *ngx_http_vantorell_cookie_flags(ngx_conf_t *cf, ngx_command_t *cmd,
    void *conf);
char *ngx_http_vantorell_cookie_expires(ngx_conf_t *cf, ngx_command_t *cmd,
    void *conf);
ngx_int_t ngx_http_vantorell_set_cookie(ngx_http_request_t *r,
    const u_char *code);

/* ngx_http_vantorell_variables.cpp */
ngx_int_t ngx_http_vantorell_add_variables(ngx_conf_t *cf);
/* forgets what reads before the assignment cached */
void ngx_http_vantorell_variables_assigned(ngx_http_request_t *r);

/* ngx_http_vantorell_handler.cpp */
ngx_int_t ngx_http_vantorell_handler(ngx_http_request_t *r);

/* ngx_http_vantorell_headers.cpp: the request headers the module reads and
 * writes */
extern ngx_str_t  ngx_http_vantorell_triggered_key;
extern ngx_str_t  ngx_http_vantorell_triggered_value;
extern ngx_str_t  ngx_http_vantorell_experiment_key;
/* whether the client sent the triggered flag (the module's own redirect) */
ngx_int_t ngx_http_vantorell_flag_triggered(ngx_http_request_t *r);
/* takes the client's experiments headers out of the request */
ngx_int_t ngx_http_vantorell_drop_client_header(ngx_http_request_t *r);

/* ngx_http_vantorell_debug.cpp: a decision's debug lines, step by step */
void ngx_http_vantorell_debug_targeting(ngx_http_request_t *r,
    const vantorell::Decision &decision);
void ngx_http_vantorell_debug_visitor(ngx_http_request_t *r,
    const vantorell::Decision &decision);
void ngx_http_vantorell_debug_number(ngx_http_request_t *r,
    const vantorell::Decision &decision);
void ngx_http_vantorell_debug_force(ngx_http_request_t *r,
    const vantorell::Decision &decision);

/*
 * The request's own record, in a cleanup of the request's pool.  Its presence
 * says that the request has been decided (unless `ignored`).  It owns what
 * the decision holds (the model and the decision), released with the pool
 * whichever way the handler left; `flag` is the triggered flag the module
 * added before redirecting, until the redirected pass has seen it.
 *
 * Once the request is assigned (`assigned`: variations chosen, and the
 * request redirected or left to the reference), the record is what the
 * variables read.  `experiments` is the text of the targeted list once
 * written, by the experiments header or a variable.
 */
typedef struct {
    vantorell::ModelHold      model;
    vantorell::Decision       decision;
    ngx_table_elt_t          *flag;
    ngx_str_t                 experiments;
    /* where the log phase counts the response (nresponses of them) */
    ngx_http_vantorell_response_t  *responses;
    ngx_uint_t                nresponses;
    unsigned                  assigned:1;
    /* the response is counted */
    unsigned                  responded:1;
    /* counted as ignored, not decided: a later location may still decide */
    unsigned                  ignored:1;
} ngx_http_vantorell_ctx_t;

/* the request's record, found again after an internal redirect; null when
 * the module has not looked at the request */
ngx_http_vantorell_ctx_t *ngx_http_vantorell_get_ctx(ngx_http_request_t *r);

/* A request-derived text as a log line may show it: control characters and
 * bytes from 0x7f up as \xHH.  Printable texts come back without a copy. */
ngx_str_t ngx_http_vantorell_log_text(ngx_http_request_t *r,
    const u_char *data, size_t len);

/*
 * A problem of the data file as the error log shows it.  The text comes from
 * the data file (a pattern, for one): written as it is when printable.
 */
typedef struct {
    u_char     data[vantorell::kLogEscapeGrowth * vantorell::kFailureTextSize];
    ngx_str_t  text;
} ngx_http_vantorell_problem_t;


static ngx_inline void
ngx_http_vantorell_problem(ngx_http_vantorell_problem_t *problem,
    const vantorell::FailureText &failure)
{
    problem->text.data = problem->data;
    problem->text.len = (u_char *) vantorell::logEscape(
                            (char *) problem->data,
                            (const u_char *) failure.text,
                            ngx_strlen(failure.text))
                        - problem->data;
}

#endif
