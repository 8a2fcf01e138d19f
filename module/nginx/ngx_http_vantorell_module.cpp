/*
 * vantorell: server-side A/B experiments in nginx's precontent phase.
 *
 * The handler runs its stages in a fixed order and stops at the first one
 * that does not succeed:
 *
 *   gate        main request only, module switch, ignore expression,
 *               a request decided before, triggered flag
 *   data        the experiment data file, parsed into a heap model
 *   targeting   URL text -> the experiments that target it
 *   visitor     visitor code from the cookie, or a new one; Set-Cookie
 *   number      the code's digest as a number in [0, 1]
 *   choice      one variation (or the reference) per targeted experiment
 *   outcome     experiments header, then triggered flag + internal redirect
 *
 * The assignment stays in the request's record, where the module's variables
 * ($vantorell_visitor_code, ...) find it for the rest of the request.
 *
 * What the stages hold (the model and the targeted list) belongs to the
 * request's record, a cleanup of the request's pool, so each stage just
 * returns its status.  Texts handed to nginx come from the request pool.
 * Nothing survives between requests; within one request, the record says that
 * the request has been decided, so that every later pass (internal redirects
 * of any kind) leaves it alone.
 *
 * With a metrics zone, every request the module looks at is counted once, at
 * its decision (ngx_http_vantorell_metrics.cpp).
 */

#include "ngx_http_vantorell_module.h"
#include "ngx_http_vantorell_metrics.h"
#include "ngx_vantorell_compat.h"

#include "cached_targeting.h"
#include "data_file.h"
#include "force.h"
#include "model_cache.h"
#include "outcome.h"
#include "failure.h"
#include "targeting.h"
#include "text.h"
#include "visitor.h"

#include <cstdio>
#include <cstring>
#include <new>


#define ngx_http_vantorell_log(r, ...)                                        \
    ngx_log_error(NGX_LOG_DEBUG, (r)->connection->log, 0, __VA_ARGS__)

/* whether debug lines are written at all: texts built only for them wait */
#define ngx_http_vantorell_debug_on(r)                                        \
    ((r)->connection->log->log_level >= NGX_LOG_DEBUG)

/* Cookie lifetime unless vantorell_cookie_expires says otherwise: 14 days. */
#define VANTORELL_COOKIE_MAX_AGE  1209600


static ngx_int_t ngx_http_vantorell_add_variables(ngx_conf_t *cf);
static ngx_int_t ngx_http_vantorell_init(ngx_conf_t *cf);
static void *ngx_http_vantorell_create_main_conf(ngx_conf_t *cf);
static void *ngx_http_vantorell_create_srv_conf(ngx_conf_t *cf);
static char *ngx_http_vantorell_merge_srv_conf(ngx_conf_t *cf, void *parent,
    void *child);
static void *ngx_http_vantorell_create_loc_conf(ngx_conf_t *cf);
static char *ngx_http_vantorell_merge_loc_conf(ngx_conf_t *cf, void *parent,
    void *child);
static ngx_int_t ngx_http_vantorell_init_module(ngx_cycle_t *cycle);
static void ngx_http_vantorell_exit_process(ngx_cycle_t *cycle);
static ngx_int_t ngx_http_vantorell_handler(ngx_http_request_t *r);
static char *ngx_http_vantorell_cookie_flags(ngx_conf_t *cf,
    ngx_command_t *cmd, void *conf);
static char *ngx_http_vantorell_cookie_expires(ngx_conf_t *cf,
    ngx_command_t *cmd, void *conf);


/*
 * The request's own record, in a cleanup of the request's pool.  Its presence
 * says that the request has been decided (unless `ignored`).  It owns what the stages hold (the
 * model and the targeted list), released with the pool whichever way the
 * handler left; `flag` is the triggered flag the module added before
 * redirecting, until the redirected pass has seen it.
 *
 * Once the request is assigned (`assigned`: variations chosen, and the
 * request redirected or left to the reference), the record is what the
 * variables read: the code (16 bytes, in the Cookie header or the pool),
 * whether it is new, and the targeted list.  `experiments` is the text of
 * the list once written, by the experiments header or a variable.
 */
typedef struct {
    vantorell::ModelHold      model;
    vantorell::TargetedList   targeted;
    ngx_table_elt_t          *flag;
    ngx_str_t                 code;
    ngx_str_t                 experiments;
    unsigned                  newCode:1;
    /* the code follows from vantorell_visitor_id, not from chance */
    unsigned                  fromId:1;
    unsigned                  assigned:1;
    /* a QA preview chose a variation: counted as forced, nothing else */
    unsigned                  forced:1;
    /* counted as ignored, not decided: a later location may still decide */
    unsigned                  ignored:1;
} ngx_http_vantorell_ctx_t;


static ngx_command_t  ngx_http_vantorell_commands[] = {

    { ngx_string("vantorell_module"),
      NGX_HTTP_MAIN_CONF|NGX_HTTP_SRV_CONF|NGX_CONF_FLAG,
      ngx_conf_set_flag_slot,
      NGX_HTTP_SRV_CONF_OFFSET,
      offsetof(ngx_http_vantorell_srv_conf_t, enable),
      NULL },

    { ngx_string("vantorell_experiments_header"),
      NGX_HTTP_MAIN_CONF|NGX_HTTP_SRV_CONF|NGX_CONF_FLAG,
      ngx_conf_set_flag_slot,
      NGX_HTTP_SRV_CONF_OFFSET,
      offsetof(ngx_http_vantorell_srv_conf_t, experimentsHeader),
      NULL },

    { ngx_string("vantorell_cookie_domain"),
      NGX_HTTP_SRV_CONF|NGX_CONF_TAKE1,
      ngx_http_set_complex_value_slot,
      NGX_HTTP_SRV_CONF_OFFSET,
      offsetof(ngx_http_vantorell_srv_conf_t, cookieDomain),
      NULL },

    { ngx_string("vantorell_cookie_flags"),
      NGX_HTTP_MAIN_CONF|NGX_HTTP_SRV_CONF|NGX_CONF_1MORE,
      ngx_http_vantorell_cookie_flags,
      NGX_HTTP_SRV_CONF_OFFSET,
      0,
      NULL },

    { ngx_string("vantorell_cookie_expires"),
      NGX_HTTP_MAIN_CONF|NGX_HTTP_SRV_CONF|NGX_CONF_TAKE1,
      ngx_http_vantorell_cookie_expires,
      NGX_HTTP_SRV_CONF_OFFSET,
      0,
      NULL },

    { ngx_string("vantorell_visitor_id"),
      NGX_HTTP_MAIN_CONF|NGX_HTTP_SRV_CONF|NGX_CONF_TAKE1,
      ngx_http_set_complex_value_slot,
      NGX_HTTP_SRV_CONF_OFFSET,
      offsetof(ngx_http_vantorell_srv_conf_t, visitorId),
      NULL },

    { ngx_string("vantorell_data_file"),
      NGX_HTTP_MAIN_CONF|NGX_HTTP_SRV_CONF|NGX_CONF_TAKE1,
      ngx_conf_set_str_slot,
      NGX_HTTP_SRV_CONF_OFFSET,
      offsetof(ngx_http_vantorell_srv_conf_t, dataFile),
      NULL },

    { ngx_string("vantorell_ignore"),
      NGX_HTTP_LOC_CONF|NGX_HTTP_LIF_CONF|NGX_CONF_TAKE1,
      ngx_http_set_complex_value_slot,
      NGX_HTTP_LOC_CONF_OFFSET,
      offsetof(ngx_http_vantorell_loc_conf_t, ignore),
      NULL },

    { ngx_string("vantorell_force"),
      NGX_HTTP_SRV_CONF|NGX_HTTP_LOC_CONF|NGX_CONF_TAKE1,
      ngx_http_set_complex_value_slot,
      NGX_HTTP_LOC_CONF_OFFSET,
      offsetof(ngx_http_vantorell_loc_conf_t, force),
      NULL },

    { ngx_string("vantorell_metrics_zone"),
      NGX_HTTP_MAIN_CONF|NGX_CONF_TAKE1,
      ngx_http_vantorell_metrics_zone,
      NGX_HTTP_MAIN_CONF_OFFSET,
      0,
      NULL },

    { ngx_string("vantorell_status"),
      NGX_HTTP_LOC_CONF|NGX_CONF_NOARGS|NGX_CONF_TAKE1,
      ngx_http_vantorell_status,
      NGX_HTTP_LOC_CONF_OFFSET,
      0,
      NULL },

      ngx_null_command
};


static ngx_http_module_t  ngx_http_vantorell_module_ctx = {
    ngx_http_vantorell_add_variables,      /* preconfiguration */
    ngx_http_vantorell_init,               /* postconfiguration */

    ngx_http_vantorell_create_main_conf,   /* create main configuration */
    NULL,                                  /* init main configuration */

    ngx_http_vantorell_create_srv_conf,    /* create server configuration */
    ngx_http_vantorell_merge_srv_conf,     /* merge server configuration */

    ngx_http_vantorell_create_loc_conf,    /* create location configuration */
    ngx_http_vantorell_merge_loc_conf      /* merge location configuration */
};


extern "C" {

ngx_module_t  ngx_http_vantorell_module = {
    NGX_MODULE_V1,
    &ngx_http_vantorell_module_ctx,        /* module context */
    ngx_http_vantorell_commands,           /* module directives */
    NGX_HTTP_MODULE,                       /* module type */
    NULL,                                  /* init master */
    ngx_http_vantorell_init_module,        /* init module */
    NULL,                                  /* init process */
    NULL,                                  /* init thread */
    NULL,                                  /* exit thread */
    ngx_http_vantorell_exit_process,       /* exit process */
    NULL,                                  /* exit master */
    NGX_MODULE_V1_PADDING
};

}


static ngx_str_t  ngx_http_vantorell_cookie_name =
    ngx_string("vantorellVisitorCode");


static ngx_str_t  ngx_http_vantorell_set_cookie_key = ngx_string("Set-Cookie");
static u_char     ngx_http_vantorell_set_cookie_lowcase[] = "set-cookie";
static ngx_str_t  ngx_http_vantorell_triggered_key =
    ngx_string("vantorell-triggered");
static ngx_str_t  ngx_http_vantorell_triggered_value = ngx_string("true");
static ngx_str_t  ngx_http_vantorell_experiment_key =
    ngx_string("vantorell-experiment");


static ngx_int_t ngx_http_vantorell_visitor_code_variable(
    ngx_http_request_t *r, ngx_http_variable_value_t *v, uintptr_t data);
static ngx_int_t ngx_http_vantorell_visitor_new_variable(
    ngx_http_request_t *r, ngx_http_variable_value_t *v, uintptr_t data);
static ngx_int_t ngx_http_vantorell_experiments_variable(
    ngx_http_request_t *r, ngx_http_variable_value_t *v, uintptr_t data);
static ngx_int_t ngx_http_vantorell_id_variable(
    ngx_http_request_t *r, ngx_http_variable_value_t *v, uintptr_t data);

/*
 * In the order of NGX_HTTP_VANTORELL_VAR_*.  Cacheable: a value never changes
 * once the request is assigned, and what a read before that cached is
 * forgotten at that moment (ngx_http_vantorell_assigned).
 */
static ngx_http_variable_t  ngx_http_vantorell_vars[] = {

    { ngx_string("vantorell_visitor_code"), NULL,
      ngx_http_vantorell_visitor_code_variable, 0, 0, 0 },

    { ngx_string("vantorell_visitor_new"), NULL,
      ngx_http_vantorell_visitor_new_variable, 0, 0, 0 },

    { ngx_string("vantorell_experiments"), NULL,
      ngx_http_vantorell_experiments_variable, 0, 0, 0 },

    { ngx_string("vantorell_experiment"), NULL,
      ngx_http_vantorell_id_variable, 0, 0, 0 },

    { ngx_string("vantorell_variation"), NULL,
      ngx_http_vantorell_id_variable, 1, 0, 0 },

      ngx_http_null_variable
};


/* ---- configuration ------------------------------------------------------ */

static void *
ngx_http_vantorell_create_main_conf(ngx_conf_t *cf)
{
    return ngx_pcalloc(cf->pool, sizeof(ngx_http_vantorell_main_conf_t));
}


static ngx_int_t
ngx_http_vantorell_add_variables(ngx_conf_t *cf)
{
    ngx_uint_t                       i;
    ngx_http_variable_t             *var, *v;
    ngx_http_vantorell_main_conf_t  *vmcf;

    vmcf = (ngx_http_vantorell_main_conf_t *)
               ngx_http_conf_get_module_main_conf(cf, ngx_http_vantorell_module);

    for (i = 0, v = ngx_http_vantorell_vars; v->name.len; i++, v++) {
        var = ngx_http_add_variable(cf, &v->name, v->flags);
        if (var == NULL) {
            return NGX_ERROR;
        }

        var->get_handler = v->get_handler;
        var->data = v->data;

        vmcf->variables[i] = var;
    }

    return NGX_OK;
}

static void *
ngx_http_vantorell_create_srv_conf(ngx_conf_t *cf)
{
    ngx_http_vantorell_srv_conf_t  *conf;

    conf = (ngx_http_vantorell_srv_conf_t *)
               ngx_pcalloc(cf->pool, sizeof(ngx_http_vantorell_srv_conf_t));
    if (conf == NULL) {
        return NULL;
    }

    /*
     * set by ngx_pcalloc():
     *
     *     conf->cookieDomain = NULL;
     *     conf->visitorId = NULL;
     *     conf->dataFile = { 0, NULL };
     */

    conf->enable = NGX_CONF_UNSET;
    conf->experimentsHeader = NGX_CONF_UNSET;
    conf->cookieFlags = NGX_CONF_UNSET_UINT;
    conf->cookieExpires = NGX_CONF_UNSET;

    return conf;
}


static char *
ngx_http_vantorell_merge_srv_conf(ngx_conf_t *cf, void *parent, void *child)
{
    ngx_http_vantorell_srv_conf_t  *prev, *conf;

    prev = (ngx_http_vantorell_srv_conf_t *) parent;
    conf = (ngx_http_vantorell_srv_conf_t *) child;

    ngx_conf_merge_value(conf->enable, prev->enable, 0);
    ngx_conf_merge_value(conf->experimentsHeader, prev->experimentsHeader, 0);

    if (conf->cookieDomain == NULL) {
        conf->cookieDomain = prev->cookieDomain;
    }

    ngx_conf_merge_uint_value(conf->cookieFlags, prev->cookieFlags,
                              NGX_HTTP_VANTORELL_COOKIE_OFF);
    ngx_conf_merge_sec_value(conf->cookieExpires, prev->cookieExpires,
                             VANTORELL_COOKIE_MAX_AGE);

    if (conf->visitorId == NULL) {
        conf->visitorId = prev->visitorId;
    }

    ngx_conf_merge_str_value(conf->dataFile, prev->dataFile,
                             vantorell::kDefaultDataFile);

    if (conf->dataFile.len == 0) {
        ngx_conf_log_error(NGX_LOG_EMERG, cf, 0,
                           "vantorell_data_file must name a file");
        return (char *) NGX_CONF_ERROR;
    }

    /* a relative path is taken from nginx's prefix; the result ends in NUL */
    if (ngx_conf_full_name(cf->cycle, &conf->dataFile, 0) != NGX_OK) {
        return (char *) NGX_CONF_ERROR;
    }

    return NGX_CONF_OK;
}


static void *
ngx_http_vantorell_create_loc_conf(ngx_conf_t *cf)
{
    return ngx_pcalloc(cf->pool, sizeof(ngx_http_vantorell_loc_conf_t));
}


static char *
ngx_http_vantorell_merge_loc_conf(ngx_conf_t *cf, void *parent, void *child)
{
    ngx_http_vantorell_loc_conf_t  *prev, *conf;

    prev = (ngx_http_vantorell_loc_conf_t *) parent;
    conf = (ngx_http_vantorell_loc_conf_t *) child;

    if (conf->ignore == NULL) {
        conf->ignore = prev->ignore;
    }

    if (conf->force == NULL) {
        conf->force = prev->force;
    }

    return NGX_CONF_OK;
}


static ngx_conf_bitmask_t  ngx_http_vantorell_cookie_flag_names[] = {
    { ngx_string("off"), NGX_HTTP_VANTORELL_COOKIE_OFF },
    { ngx_string("secure"), NGX_HTTP_VANTORELL_COOKIE_SECURE },
    { ngx_string("httponly"), NGX_HTTP_VANTORELL_COOKIE_HTTPONLY },
    { ngx_string("samesite=strict"),
      NGX_HTTP_VANTORELL_COOKIE_SAMESITE_STRICT },
    { ngx_string("samesite=lax"), NGX_HTTP_VANTORELL_COOKIE_SAMESITE_LAX },
    { ngx_string("samesite=none"), NGX_HTTP_VANTORELL_COOKIE_SAMESITE_NONE },
    { ngx_null_string, 0 }
};


/*
 * vantorell_cookie_flags off | flag ...: as userid_flags takes them, and
 * stricter: an unknown, repeated or contradicting flag is an error, since a
 * cookie written with attributes other than the ones meant is found only in
 * browsers.
 */
static char *
ngx_http_vantorell_cookie_flags(ngx_conf_t *cf, ngx_command_t *cmd,
    void *conf)
{
    ngx_http_vantorell_srv_conf_t  *vscf;

    ngx_str_t           *value;
    ngx_uint_t           i, flags;
    ngx_conf_bitmask_t  *f;

    vscf = (ngx_http_vantorell_srv_conf_t *) conf;

    if (vscf->cookieFlags != NGX_CONF_UNSET_UINT) {
        return (char *) "is duplicate";
    }

    value = (ngx_str_t *) cf->args->elts;
    flags = 0;

    for (i = 1; i < cf->args->nelts; i++) {

        for (f = ngx_http_vantorell_cookie_flag_names; f->name.len; f++) {
            if (f->name.len == value[i].len
                && ngx_strcasecmp(f->name.data, value[i].data) == 0)
            {
                break;
            }
        }

        if (f->name.len == 0) {
            ngx_conf_log_error(NGX_LOG_EMERG, cf, 0,
                               "invalid flag \"%V\" of vantorell_cookie_flags: "
                               "\"off\", \"secure\", \"httponly\", "
                               "\"samesite=strict\", \"samesite=lax\" or "
                               "\"samesite=none\"", &value[i]);
            return (char *) NGX_CONF_ERROR;
        }

        if (flags & f->mask) {
            ngx_conf_log_error(NGX_LOG_EMERG, cf, 0,
                               "vantorell_cookie_flags \"%V\" stands twice",
                               &value[i]);
            return (char *) NGX_CONF_ERROR;
        }

        if ((f->mask & NGX_HTTP_VANTORELL_COOKIE_SAMESITE)
            && (flags & NGX_HTTP_VANTORELL_COOKIE_SAMESITE))
        {
            ngx_conf_log_error(NGX_LOG_EMERG, cf, 0,
                               "vantorell_cookie_flags takes one samesite "
                               "value, \"%V\" is a second", &value[i]);
            return (char *) NGX_CONF_ERROR;
        }

        flags |= f->mask;
    }

    if ((flags & NGX_HTTP_VANTORELL_COOKIE_OFF)
        && flags != NGX_HTTP_VANTORELL_COOKIE_OFF)
    {
        ngx_conf_log_error(NGX_LOG_EMERG, cf, 0,
                           "vantorell_cookie_flags \"off\" stands alone");
        return (char *) NGX_CONF_ERROR;
    }

    if ((flags & NGX_HTTP_VANTORELL_COOKIE_SAMESITE_NONE)
        && !(flags & NGX_HTTP_VANTORELL_COOKIE_SECURE))
    {
        ngx_conf_log_error(NGX_LOG_WARN, cf, 0,
                           "vantorell_cookie_flags \"samesite=none\" without "
                           "\"secure\": browsers refuse such a cookie");
    }

    vscf->cookieFlags = flags;

    return NGX_CONF_OK;
}


/*
 * vantorell_cookie_expires time | max | off, as userid_expires.  A time is
 * at most 2^31 - 1 seconds (68 years), which keeps every expiry date within
 * four-digit years.
 */
static char *
ngx_http_vantorell_cookie_expires(ngx_conf_t *cf, ngx_command_t *cmd,
    void *conf)
{
    ngx_http_vantorell_srv_conf_t  *vscf;

    time_t      expires;
    ngx_str_t  *value;

    vscf = (ngx_http_vantorell_srv_conf_t *) conf;

    if (vscf->cookieExpires != NGX_CONF_UNSET) {
        return (char *) "is duplicate";
    }

    value = (ngx_str_t *) cf->args->elts;

    if (ngx_strcmp(value[1].data, "max") == 0) {
        vscf->cookieExpires = NGX_HTTP_VANTORELL_EXPIRES_MAX;
        return NGX_CONF_OK;
    }

    if (ngx_strcmp(value[1].data, "off") == 0) {
        vscf->cookieExpires = 0;
        return NGX_CONF_OK;
    }

    expires = ngx_parse_time(&value[1], 1);

    if (expires == (time_t) NGX_ERROR) {
        ngx_conf_log_error(NGX_LOG_EMERG, cf, 0,
                           "invalid value \"%V\" of vantorell_cookie_expires: "
                           "a time (\"14d\", \"1y 6M\"), \"max\" or \"off\"",
                           &value[1]);
        return (char *) NGX_CONF_ERROR;
    }

    if (expires > NGX_MAX_INT32_VALUE) {
        ngx_conf_log_error(NGX_LOG_EMERG, cf, 0,
                           "vantorell_cookie_expires \"%V\" is too long: "
                           "at most 68y, or \"max\"", &value[1]);
        return (char *) NGX_CONF_ERROR;
    }

    vscf->cookieExpires = expires;

    return NGX_CONF_OK;
}


static ngx_int_t
ngx_http_vantorell_init(ngx_conf_t *cf)
{
    ngx_http_handler_pt        *h;
    ngx_http_core_main_conf_t  *cmcf;

    cmcf = (ngx_http_core_main_conf_t *)
               ngx_http_conf_get_module_main_conf(cf, ngx_http_core_module);

    h = (ngx_http_handler_pt *)
            ngx_array_push(&cmcf->phases[NGX_HTTP_PRECONTENT_PHASE].handlers);
    if (h == NULL) {
        return NGX_ERROR;
    }

    *h = ngx_http_vantorell_handler;

    return ngx_http_vantorell_metrics_check(cf);
}


/* ---- helpers ------------------------------------------------------------ */

/*
 * A request-derived text as a log line may show it (escaped as above).
 * Printable texts come back as they are, without a copy.
 */
static ngx_str_t
ngx_http_vantorell_log_text(ngx_http_request_t *r, const u_char *data,
    size_t len)
{
    size_t      extra;
    u_char     *p;
    ngx_str_t   text;

    extra = vantorell::logEscapeExtra(data, len);

    if (extra == 0) {
        text.data = (u_char *) data;
        text.len = len;
        return text;
    }

    p = (u_char *) ngx_pnalloc(r->pool, len + extra);
    if (p == NULL) {
        ngx_str_set(&text, "-");
        return text;
    }

    text.data = p;
    text.len = (u_char *) vantorell::logEscape((char *) p, data, len) - p;

    return text;
}


/*
 * A problem of the data file as the error log shows it.  The text comes from
 * the data file (a pattern, for one): written as it is when printable.
 */
typedef struct {
    u_char     data[vantorell::kLogEscapeGrowth * vantorell::kFailureTextSize];
    ngx_str_t  text;
} ngx_http_vantorell_problem_t;


static void
ngx_http_vantorell_problem(ngx_http_vantorell_problem_t *problem,
    const vantorell::FailureText &status)
{
    problem->text.data = problem->data;
    problem->text.len = (u_char *) vantorell::logEscape(
                            (char *) problem->data,
                            (const u_char *) status.text,
                            ngx_strlen(status.text))
                        - problem->data;
}


/* ---- the request's decision --------------------------------------------- */

static void
ngx_http_vantorell_cleanup(void *data)
{
    ngx_http_vantorell_ctx_t  *ctx = (ngx_http_vantorell_ctx_t *) data;

    ctx->~ngx_http_vantorell_ctx_t();
}


/*
 * nginx clears r->ctx on every internal redirect, and so does a filter that
 * finalizes the request itself (the not-modified filter's 412), which need
 * not be internal; the pool cleanup that carries the record stays, so the
 * record is found again there (as the realip module finds its own).
 */
static ngx_http_vantorell_ctx_t *
ngx_http_vantorell_get_ctx(ngx_http_request_t *r)
{
    ngx_pool_cleanup_t        *cln;
    ngx_http_vantorell_ctx_t  *ctx;

    ctx = (ngx_http_vantorell_ctx_t *)
              ngx_http_get_module_ctx(r, ngx_http_vantorell_module);

    if (ctx != NULL || !(r->internal || r->filter_finalize)) {
        return ctx;
    }

    for (cln = r->pool->cleanup; cln; cln = cln->next) {
        if (cln->handler == ngx_http_vantorell_cleanup) {
            ctx = (ngx_http_vantorell_ctx_t *) cln->data;
            ngx_http_set_ctx(r, ctx, ngx_http_vantorell_module);
            break;
        }
    }

    return ctx;
}


static ngx_http_vantorell_ctx_t *
ngx_http_vantorell_create_ctx(ngx_http_request_t *r)
{
    ngx_pool_cleanup_t        *cln;
    ngx_http_vantorell_ctx_t  *ctx;

    cln = ngx_pool_cleanup_add(r->pool, sizeof(ngx_http_vantorell_ctx_t));
    if (cln == NULL) {
        return NULL;
    }

    ctx = new (cln->data) ngx_http_vantorell_ctx_t();

    cln->handler = ngx_http_vantorell_cleanup;

    ngx_http_set_ctx(r, ctx, ngx_http_vantorell_module);

    return ctx;
}


/*
 * A pass of a request decided before.  The pass that the module's own
 * redirect started sees the flag it added, hides it from $http_ variables
 * and says so; every other pass just declines.
 */
static void
ngx_http_vantorell_decided_before(ngx_http_request_t *r,
    ngx_http_vantorell_ctx_t *ctx)
{
    if (ctx->flag == NULL) {
        return;
    }

    ngx_http_vantorell_log(r, "Triggered flag found with value: %V",
                      &ctx->flag->value);

    ctx->flag->hash = 0;
    ctx->flag = NULL;
}


/* ---- gate --------------------------------------------------------------- */

static ngx_int_t
ngx_http_vantorell_flag_triggered(ngx_http_request_t *r)
{
    ngx_str_t         value;
    ngx_uint_t        i;
    ngx_list_part_t  *part;
    ngx_table_elt_t  *h;

    part = &r->headers_in.headers.part;
    h = (ngx_table_elt_t *) part->elts;

    for (i = 0; /* void */; i++) {

        if (i >= part->nelts) {
            if (part->next == NULL) {
                break;
            }

            part = part->next;
            h = (ngx_table_elt_t *) part->elts;
            i = 0;
        }

        /* header names are case-insensitive */
        if (h[i].hash == 0
            || h[i].key.len != ngx_http_vantorell_triggered_key.len
            || ngx_strncasecmp(h[i].key.data,
                               ngx_http_vantorell_triggered_key.data,
                               ngx_http_vantorell_triggered_key.len) != 0)
        {
            continue;
        }

        if (ngx_http_vantorell_debug_on(r)) {
            value = ngx_http_vantorell_log_text(r, h[i].value.data,
                                           h[i].value.len);
            ngx_http_vantorell_log(r, "Triggered flag found with value: %V",
                              &value);
        }

        if (h[i].value.len == ngx_http_vantorell_triggered_value.len
            && ngx_strncmp(h[i].value.data,
                           ngx_http_vantorell_triggered_value.data,
                           ngx_http_vantorell_triggered_value.len) == 0)
        {
            /* hides the flag from $http_ variables of the redirected request */
            h[i].hash = 0;
            return 1;
        }

        return 0;
    }

    return 0;
}


/* ---- data --------------------------------------------------------------- */

/*
 * The model comes from the worker's cache, which learns of every change of
 * the file before a request uses it: a changed file takes effect at once, and
 * the texts are those of reading the file afresh.
 */
static ngx_int_t
ngx_http_vantorell_get_model(ngx_http_request_t *r, vantorell::ModelHold *model)
{
    vantorell::Result               status;
    vantorell::FileReport           report;
    vantorell::ChangeCheck          check;
    ngx_http_vantorell_problem_t    problem;
    ngx_http_vantorell_srv_conf_t  *vscf;

    /* why changes are not notified: said once per worker */
    static ngx_uint_t               checkSaid;

    vscf = (ngx_http_vantorell_srv_conf_t *)
               ngx_http_get_module_srv_conf(r, ngx_http_vantorell_module);

    status = vantorell::acquireModel((const char *) vscf->dataFile.data, model,
                                     &check, &report);

    /*
     * A file the worker cannot use, or whose targeting fails for every
     * request, leaves the site without experiments: said at error level once
     * per state of the file (the debug lines go on for every request), and
     * said again, at notice level, when a usable file follows.
     */
    switch (report.kind) {

    case vantorell::FileReport::Kind::Problem:
        ngx_http_vantorell_problem(&problem, report.text);
        ngx_log_error(NGX_LOG_ERR, r->connection->log, 0,
                      "vantorell: data file \"%V\": %V", &vscf->dataFile,
                      &problem.text);
        break;

    case vantorell::FileReport::Kind::Usable:
        ngx_log_error(NGX_LOG_NOTICE, r->connection->log, 0,
                      "vantorell: data file \"%V\": %uz experiments",
                      &vscf->dataFile, report.experiments);
        break;

    case vantorell::FileReport::Kind::None:
        break;
    }

    if (ngx_http_vantorell_counts(vscf)) {
        ngx_http_vantorell_metrics_file(r, vscf, status, *model);
    }

    if (check != vantorell::ChangeCheck::Notified && !checkSaid) {
        checkSaid = 1;
        ngx_log_error(NGX_LOG_NOTICE, r->connection->log,
                      vantorell::changeCheckError(check),
                      "vantorell: %V: %s", &vscf->dataFile,
                      vantorell::changeCheckText(check));
    }

    if (!status.ok()) {
        ngx_http_vantorell_log(r, "Issue with configuration: %s",
                               vantorell::failureText(status).text);
        return NGX_DECLINED;
    }

    return NGX_OK;
}


/* ---- targeting ---------------------------------------------------------- */

/*
 * host + path + "?" + args, NUL-terminated.  The root path "/" is left out and
 * the question mark only stands before a non-empty query string.
 */
static ngx_inline u_char *
ngx_http_vantorell_get_url(ngx_http_request_t *r)
{
    size_t   hostLength, pathLength, queryLength;
    u_char  *url, *p;

    hostLength = r->headers_in.server.len;

    pathLength = r->uri.len;
    if (pathLength == 1 && r->uri.data[0] == '/') {
        pathLength = 0;
    }

    queryLength = r->args.len ? r->args.len + 1 : 0;

    url = (u_char *) ngx_pnalloc(r->pool,
                                 hostLength + pathLength + queryLength + 1);
    if (url == NULL) {
        ngx_http_vantorell_log(r, "Memory error with url");
        return NULL;
    }

    p = url;

    /* an HTTP/1.0 request without Host has no host text at all */
    if (hostLength != 0) {
        p = ngx_cpymem(p, r->headers_in.server.data, hostLength);
    }

    if (pathLength != 0) {
        p = ngx_cpymem(p, r->uri.data, pathLength);
    }

    if (queryLength != 0) {
        *p++ = '?';
        p = ngx_cpymem(p, r->args.data, r->args.len);
    }

    *p = '\0';

    return url;
}


namespace {

/*
 * The request's pool as the core's allocator.  A block handed back is freed
 * at once when the pool took it from the heap (one of its large blocks, such
 * as the matcher's backtracking frames); the rest goes with the request.
 */
class PoolAllocator final : public vantorell::Allocator {
public:
    explicit PoolAllocator(ngx_pool_t *pool) noexcept : pool_(pool) {}

    void *allocate(size_t size) noexcept override
    {
        return ngx_palloc(pool_, size);
    }

    void release(void *block) noexcept override
    {
        ngx_pfree(pool_, block);
    }

private:
    ngx_pool_t *pool_;
};

}  // namespace


static ngx_int_t
ngx_http_vantorell_get_targeted(ngx_http_request_t *r,
    vantorell::ModelHold *model, vantorell::TargetedList *targeted)
{
    u_char             *url;
    ngx_str_t           logged;
    vantorell::Result   status;
    PoolAllocator       memory(r->pool);

    url = ngx_http_vantorell_get_url(r);
    if (url == NULL) {
        ngx_http_vantorell_log(r, "Error while allocating memory for the url.");
        return NGX_ERROR;
    }

    status = vantorell::targetModel(*model, (const char *) url, &memory,
                                    targeted);
    if (!status.ok()) {
        ngx_http_vantorell_log(r, "Error in the targeting configuration: %s",
                               vantorell::failureText(status).text);
        return NGX_DECLINED;
    }

    if (!targeted->empty() && ngx_http_vantorell_debug_on(r)) {
        logged = ngx_http_vantorell_log_text(r, url, ngx_strlen(url));

        for (const vantorell::Targeted &t : *targeted) {
            ngx_http_vantorell_log(r, "Url: %V is targeted by experiment: %d",
                                   &logged, vantorell::id32(t.experimentId));
        }
    }

    /* a long URL text is a large block of the pool, which this gives back */
    ngx_pfree(r->pool, url);

    return NGX_OK;
}


/* ---- visitor code ------------------------------------------------------- */

/*
 * A usable code is the first 16 bytes of the cookie's value, or of what
 * follows the "_js_" prefix that the front end writes.  The code is used
 * where it lies in the Cookie header, without a copy.
 */
static ngx_int_t
ngx_http_vantorell_get_cookie(ngx_http_request_t *r,
    ngx_str_t *vantorellVisitorCode)
{
    int  offset;

    if (ngx_http_vantorell_find_cookie(r, &ngx_http_vantorell_cookie_name,
                                       vantorellVisitorCode)
        == NGX_DECLINED)
    {
        return NGX_DECLINED;
    }

    offset = vantorell::visitorCodeOffset(
                 (const char *) vantorellVisitorCode->data,
                 vantorellVisitorCode->len);
    if (offset < 0) {
        return NGX_DECLINED;
    }

    if (offset > 0) {
        ngx_http_vantorell_log(r, "Found vantorell cookie from front");

        vantorellVisitorCode->data += offset;
        vantorellVisitorCode->len -= offset;
    }

    return NGX_OK;
}


static ngx_int_t
ngx_http_vantorell_new_code(ngx_http_request_t *r,
    ngx_str_t *vantorellVisitorCode)
{
    u_char  *code;

    code = (u_char *) ngx_pnalloc(r->pool, vantorell::kCodeLength);
    if (code == NULL) {
        ngx_http_vantorell_log(r,
                "Failed to allocate memory for a new cookie value.");
        return NGX_ERROR;
    }

    vantorell::newVisitorCode((char *) code, vantorell::kCodeLength);

    vantorellVisitorCode->data = code;
    vantorellVisitorCode->len = vantorell::kCodeLength;

    ngx_http_vantorell_log(r, "Generating a new cookie value: %V ",
                      vantorellVisitorCode);

    return NGX_OK;
}


/*
 * vantorell_visitor_id: a non-empty value gives the visitor's code, the same
 * wherever the id is known.  NGX_DECLINED when there is no id (the code comes
 * from the cookie or is new, as without the directive).  The id itself is
 * never logged: it is usually an account's.
 */
static ngx_int_t
ngx_http_vantorell_id_code(ngx_http_request_t *r,
    ngx_http_vantorell_srv_conf_t *vscf, ngx_str_t *vantorellVisitorCode)
{
    u_char     *code;
    ngx_str_t   id;

    if (vscf->visitorId == NULL) {
        return NGX_DECLINED;
    }

    if (ngx_http_complex_value(r, vscf->visitorId, &id) != NGX_OK) {
        return NGX_ERROR;
    }

    if (id.len == 0) {
        return NGX_DECLINED;
    }

    code = (u_char *) ngx_pnalloc(r->pool, vantorell::kCodeLength);
    if (code == NULL) {
        return NGX_ERROR;
    }

    if (!vantorell::visitorCodeOfId((const char *) id.data, id.len,
                                    (char *) code))
    {
        /* OpenSSL could not take a digest: the visitor as without an id */
        ngx_http_vantorell_log(r, "No visitor code from the visitor id: "
                               "no digest");
        return NGX_DECLINED;
    }

    vantorellVisitorCode->data = code;
    vantorellVisitorCode->len = vantorell::kCodeLength;

    ngx_http_vantorell_log(r, "Visitor code from the visitor id: %V",
                           vantorellVisitorCode);

    return NGX_OK;
}


/*
 * The domain expression usually holds client input ($host): a value with
 * anything but letters, digits, '-' and '.' would add attributes of the
 * client's choosing to the cookie, so it is left out, and said once at info
 * level (nginx's level for what a client causes).  An empty value is written
 * as it is; browsers ignore an empty domain.
 */
static ngx_uint_t
ngx_http_vantorell_cookie_domain_ok(ngx_http_request_t *r, ngx_str_t *value)
{
    u_char      c;
    size_t      i;
    ngx_str_t   logged;

    for (i = 0; i < value->len; i++) {
        c = value->data[i];

        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')
            || (c >= '0' && c <= '9') || c == '-' || c == '.')
        {
            continue;
        }

        if (r->connection->log->log_level >= NGX_LOG_INFO) {
            logged = ngx_http_vantorell_log_text(r, value->data, value->len);
            ngx_log_error(NGX_LOG_INFO, r->connection->log, 0,
                          "vantorell: cookie domain \"%V\" is not a host "
                          "name, the cookie is set without it", &logged);
        }

        return 0;
    }

    return 1;
}


/*
 * The cookie's expiry date, `expires` seconds from now: formatted once a
 * second for each lifetime, not for every request (the worker runs one
 * request at a time).  The text stays until the next call.
 */
static ngx_str_t
ngx_http_vantorell_expires(time_t expires)
{
    static time_t  formattedFor = -1;
    static u_char  text[sizeof("Thu, 01-Jan-1970 00:00:00 GMT")];
    static size_t  length;

    time_t     at;
    ngx_str_t  date;

    /* at most 2^31 - 1 seconds from now: a four-digit year, which fits */
    at = ngx_time() + expires;

    if (at != formattedFor) {
        length = ngx_http_cookie_time(text, at) - text;
        formattedFor = at;
    }

    date.data = text;
    date.len = length;

    return date;
}


/*
 * name=code[; expires=date][; domain=value]; path=/[; flag...];
 *
 * as the userid module writes its cookie: the length is computed from the
 * parts, the text written into one allocation of exactly that size.
 */
static ngx_int_t
ngx_http_vantorell_set_cookie(ngx_http_request_t *r,
    ngx_str_t *vantorellVisitorCode)
{
    static const u_char  expiresTrunked[] = "; expires=";
    static const u_char  expiresMax[] = "; expires=Thu, 31-Dec-37 23:55:55 GMT";
    static const u_char  domain[] = "; domain=";
    static const u_char  path[] = "; path=/";
    static const u_char  secure[] = "; secure";
    static const u_char  httponly[] = "; httponly";
    static const u_char  strict[] = "; samesite=strict";
    static const u_char  lax[] = "; samesite=lax";
    static const u_char  none[] = "; samesite=none";

    size_t                          cookieLength;
    u_char                         *cookie, *p;
    ngx_uint_t                      withDomain, flags;
    ngx_str_t                       cookieDomain, date;
    ngx_http_vantorell_srv_conf_t  *vscf;

    vscf = (ngx_http_vantorell_srv_conf_t *)
               ngx_http_get_module_srv_conf(r, ngx_http_vantorell_module);

    flags = vscf->cookieFlags;

    /* name, "=", code, the path and the closing ";" */
    cookieLength = ngx_http_vantorell_cookie_name.len + 1
                   + vantorell::kCodeLength + sizeof(path) - 1 + 1;

    date.len = 0;

    if (vscf->cookieExpires == NGX_HTTP_VANTORELL_EXPIRES_MAX) {
        cookieLength += sizeof(expiresMax) - 1;

    } else if (vscf->cookieExpires != 0) {
        date = ngx_http_vantorell_expires(vscf->cookieExpires);
        cookieLength += sizeof(expiresTrunked) - 1 + date.len;
    }

    withDomain = 0;

    if (vscf->cookieDomain != NULL) {
        if (ngx_http_complex_value(r, vscf->cookieDomain, &cookieDomain)
            != NGX_OK)
        {
            return NGX_ERROR;
        }

        withDomain = ngx_http_vantorell_cookie_domain_ok(r, &cookieDomain);

        if (withDomain) {
            cookieLength += cookieDomain.len + sizeof(domain) - 1;
        }
    }

    if (flags & NGX_HTTP_VANTORELL_COOKIE_SECURE) {
        cookieLength += sizeof(secure) - 1;
    }

    if (flags & NGX_HTTP_VANTORELL_COOKIE_HTTPONLY) {
        cookieLength += sizeof(httponly) - 1;
    }

    if (flags & NGX_HTTP_VANTORELL_COOKIE_SAMESITE_STRICT) {
        cookieLength += sizeof(strict) - 1;
    }

    if (flags & NGX_HTTP_VANTORELL_COOKIE_SAMESITE_LAX) {
        cookieLength += sizeof(lax) - 1;
    }

    if (flags & NGX_HTTP_VANTORELL_COOKIE_SAMESITE_NONE) {
        cookieLength += sizeof(none) - 1;
    }

    /* and a NUL, for the debug line */
    cookie = (u_char *) ngx_pnalloc(r->pool, cookieLength + 1);
    if (cookie == NULL) {
        ngx_http_vantorell_log(r,
                "Failed to allocate memory for setting cookie.");
        return NGX_ERROR;
    }

    p = ngx_cpymem(cookie, ngx_http_vantorell_cookie_name.data,
                   ngx_http_vantorell_cookie_name.len);
    *p++ = '=';
    p = ngx_cpymem(p, vantorellVisitorCode->data, vantorell::kCodeLength);

    if (vscf->cookieExpires == NGX_HTTP_VANTORELL_EXPIRES_MAX) {
        p = ngx_cpymem(p, expiresMax, sizeof(expiresMax) - 1);

    } else if (vscf->cookieExpires != 0) {
        p = ngx_cpymem(p, expiresTrunked, sizeof(expiresTrunked) - 1);
        p = ngx_cpymem(p, date.data, date.len);
    }

    if (withDomain) {
        p = ngx_cpymem(p, domain, sizeof(domain) - 1);
        p = ngx_cpymem(p, cookieDomain.data, cookieDomain.len);
    }

    p = ngx_cpymem(p, path, sizeof(path) - 1);

    if (flags & NGX_HTTP_VANTORELL_COOKIE_SECURE) {
        p = ngx_cpymem(p, secure, sizeof(secure) - 1);
    }

    if (flags & NGX_HTTP_VANTORELL_COOKIE_HTTPONLY) {
        p = ngx_cpymem(p, httponly, sizeof(httponly) - 1);
    }

    if (flags & NGX_HTTP_VANTORELL_COOKIE_SAMESITE_STRICT) {
        p = ngx_cpymem(p, strict, sizeof(strict) - 1);
    }

    if (flags & NGX_HTTP_VANTORELL_COOKIE_SAMESITE_LAX) {
        p = ngx_cpymem(p, lax, sizeof(lax) - 1);
    }

    if (flags & NGX_HTTP_VANTORELL_COOKIE_SAMESITE_NONE) {
        p = ngx_cpymem(p, none, sizeof(none) - 1);
    }

    *p++ = ';';
    *p = '\0';

    if (ngx_http_vantorell_push_header(&r->headers_out.headers,
                                  &ngx_http_vantorell_set_cookie_key,
                                  ngx_http_vantorell_set_cookie_lowcase,
                                  cookie, p - cookie)
        == NULL)
    {
        ngx_http_vantorell_log(r,
                "Failed to allocate a header to set the cookie.");
        return NGX_ERROR;
    }

    ngx_http_vantorell_log(r, "Added cookie with value: %s", cookie);

    return NGX_OK;
}


/* ---- number ------------------------------------------------------------- */

static double
ngx_http_vantorell_get_random(ngx_http_request_t *r,
    ngx_str_t *vantorellVisitorCode)
{
    char               digestText[2 * sizeof(vantorell::Digest) + 1];
    double             randomNumber;
    ngx_str_t          code;
    vantorell::Digest  digest;

    /* only the 16 code bytes count, never what follows them in the cookie */
    code.data = vantorellVisitorCode->data;
    code.len = vantorell::kCodeLength;

    /* a digest that OpenSSL cannot take is all zeros: the number 0 */
    digestText[0] = '\0';

    if (vantorell::visitorDigest((const char *) code.data, &digest)
        && ngx_http_vantorell_debug_on(r))
    {
        vantorell::digestText(digest, digestText);
    }

    ngx_http_vantorell_log(r, "Visitor Code: %V", &code);
    ngx_http_vantorell_log(r, "Sha 256: %s", digestText);

    randomNumber = vantorell::visitorNumber(digest);

    ngx_http_vantorell_log(r, "Random generated number: %.3f", randomNumber);

    return randomNumber;
}


/* ---- forced variations ------------------------------------------------- */

/*
 * vantorell_force: the pairs of its value replace the choices of the
 * experiments they name among the targeted ones.  What cannot apply is left
 * out with a debug line (a listed experiment that does not target the
 * request is left out silently: forcing never targets).
 */
static ngx_int_t
ngx_http_vantorell_force(ngx_http_request_t *r, ngx_http_vantorell_ctx_t *ctx)
{
    size_t                          length;
    u_char                         *text;
    ngx_str_t                       value, logged;
    vantorell::ForcedList           pairs;
    ngx_http_vantorell_loc_conf_t  *vlcf;

    vlcf = (ngx_http_vantorell_loc_conf_t *)
               ngx_http_get_module_loc_conf(r, ngx_http_vantorell_module);

    if (vlcf->force == NULL) {
        return NGX_OK;
    }

    if (ngx_http_complex_value(r, vlcf->force, &value) != NGX_OK) {
        return NGX_ERROR;
    }

    if (value.len == 0) {
        return NGX_OK;
    }

    switch (vantorell::parseForcedList((const char *) value.data, value.len,
                                       &pairs))
    {
    case vantorell::ForcedParse::Ok:
        break;

    case vantorell::ForcedParse::Malformed:
        if (ngx_http_vantorell_debug_on(r)) {
            logged = ngx_http_vantorell_log_text(r, value.data, value.len);
            ngx_http_vantorell_log(r, "Forced variations ignored: \"%V\" is "
                                   "not a list of experiment=variation",
                                   &logged);
        }
        return NGX_OK;

    case vantorell::ForcedParse::NoMemory:
        return NGX_ERROR;
    }

    if (vantorell::applyForcedList(ctx->model, &pairs, &ctx->targeted) == 0
        && !ngx_http_vantorell_debug_on(r))
    {
        return NGX_OK;
    }

    for (const vantorell::ForcedPair &pair : pairs) {

        switch (pair.fate) {

        case vantorell::ForcedFate::Applied:
            ctx->forced = 1;
            break;

        case vantorell::ForcedFate::UnknownExperiment:
            ngx_http_vantorell_log(r, "Forced variation ignored: "
                                   "no experiment %d",
                                   vantorell::id32(pair.experimentId));
            break;

        case vantorell::ForcedFate::UnknownVariation:
            ngx_http_vantorell_log(r, "Forced variation ignored: "
                                   "experiment %d has no variation %d",
                                   vantorell::id32(pair.experimentId),
                                   vantorell::id32(pair.variationId));
            break;

        case vantorell::ForcedFate::Repeated:
            ngx_http_vantorell_log(r, "Forced variation ignored: "
                                   "experiment %d is forced before",
                                   vantorell::id32(pair.experimentId));
            break;

        default:
            break;
        }
    }

    if (!ctx->forced || !ngx_http_vantorell_debug_on(r)) {
        return NGX_OK;
    }

    length = vantorell::forcedText(pairs, NULL, 0);

    text = (u_char *) ngx_pnalloc(r->pool, length + 1);
    if (text == NULL) {
        return NGX_OK;
    }

    vantorell::forcedText(pairs, (char *) text, length + 1);

    ngx_http_vantorell_log(r, "Forced variations: %s", text);

    return NGX_OK;
}


/* ---- outcome ------------------------------------------------------------ */

/*
 * Takes every client header named like the experiments header out of the
 * request's header list, whatever its case.  Marking it (hash 0) is not
 * enough: the proxy module forwards every element of the list.
 *
 * No other element moves, since the request's records (headers_in.host, the
 * cookies...) point at them.  The list's parts are cut around a removed
 * element instead, as it stands in its part:
 *   - its last one: the part ends before it;
 *   - its first, in a part after the list's first: the part starts after it;
 *   - its only one, in a part after the list's first: the part is unlinked;
 *   - otherwise the elements after it become a part of their own.
 * Every part but the list's first keeps at least one element, since nginx's
 * walks of a list read a part's first element before they look at its count.
 * ngx_list_push() appends after the last part's elements while that part
 * holds fewer than nalloc: a last part cut out of another may have no room
 * after its elements, so nalloc comes down to its count, and the next push
 * starts a part of its own.
 */
static ngx_int_t
ngx_http_vantorell_drop_client_header(ngx_http_request_t *r)
{
    ngx_uint_t        i, dropped;
    ngx_list_t       *list;
    ngx_list_part_t  *part, *prev, *tail;
    ngx_table_elt_t  *h;

    list = &r->headers_in.headers;
    prev = NULL;
    part = &list->part;
    dropped = 0;
    i = 0;

    while (part != NULL) {

        if (i >= part->nelts) {
            prev = part;
            part = part->next;
            i = 0;
            continue;
        }

        h = (ngx_table_elt_t *) part->elts;

        if (h[i].key.len != ngx_http_vantorell_experiment_key.len
            || ngx_strncasecmp(h[i].key.data,
                               ngx_http_vantorell_experiment_key.data,
                               ngx_http_vantorell_experiment_key.len) != 0)
        {
            i++;
            continue;
        }

        if (i + 1 == part->nelts && (i > 0 || prev == NULL)) {
            part->nelts--;

        } else if (i + 1 == part->nelts) {
            prev->next = part->next;

            if (list->last == part) {
                list->last = prev;
            }

            part = prev;
            i = part->nelts;

        } else if (i == 0 && prev != NULL) {
            part->elts = &h[1];
            part->nelts--;

        } else {
            tail = (ngx_list_part_t *) ngx_palloc(r->pool,
                                                  sizeof(ngx_list_part_t));
            if (tail == NULL) {
                return NGX_ERROR;
            }

            tail->elts = &h[i + 1];
            tail->nelts = part->nelts - i - 1;
            tail->next = part->next;

            part->nelts = i;
            part->next = tail;

            if (list->last == part) {
                list->last = tail;
            }
        }

        dropped++;
    }

    if (dropped == 0) {
        return NGX_OK;
    }

    if (list->last != &list->part && list->last->nelts < list->nalloc) {
        list->nalloc = list->last->nelts;
    }

    ngx_http_vantorell_log(r, "Client's vantorell-experiment headers "
                           "dropped: %ui", dropped);

    return NGX_OK;
}


/*
 * "id=variation" pairs of the targeted list, in list order, joined by a comma
 * and a blank.  The length is computed with the format that writes the text.
 */
static ngx_int_t
ngx_http_vantorell_set_header(ngx_http_request_t *r,
    ngx_http_vantorell_ctx_t *ctx)
{
    size_t   length;
    u_char  *finalExperimentsHeader;

    const vantorell::TargetedList  &targeted = ctx->targeted;

    length = vantorell::experimentsHeaderText(targeted, NULL, 0);

    finalExperimentsHeader = (u_char *) ngx_pnalloc(r->pool, length + 1);
    if (finalExperimentsHeader == NULL) {
        ngx_http_vantorell_log(r, "Error: failed to allocate memory for "
                               "final vantorell header.");
        return NGX_ERROR;
    }

    vantorell::experimentsHeaderText(targeted,
                                     (char *) finalExperimentsHeader,
                                     length + 1);

    if (ngx_http_vantorell_push_header(&r->headers_in.headers,
                                  &ngx_http_vantorell_experiment_key,
                                  ngx_http_vantorell_experiment_key.data,
                                  finalExperimentsHeader, length)
        == NULL)
    {
        return NGX_ERROR;
    }

    ngx_http_vantorell_log(r, "Vantorell experiment: %s",
                           finalExperimentsHeader);

    /* $vantorell_experiments is the same text */
    ctx->experiments.data = finalExperimentsHeader;
    ctx->experiments.len = length;

    return NGX_OK;
}


/*
 * The request is assigned: from now on the variables hold the assignment.
 * A variable read before (an `if` or `set` of the rewrite phase) cached
 * "not found"; that is forgotten, so that every later read sees the values.
 * The assignment is counted here, before a redirect hands the request on.
 */
static void
ngx_http_vantorell_assigned(ngx_http_request_t *r,
    ngx_http_vantorell_ctx_t *ctx, vantorell::Outcome outcome)
{
    ngx_uint_t                       i;
    ngx_http_variable_t             *var;
    ngx_http_variable_value_t       *vv;
    ngx_http_vantorell_srv_conf_t   *vscf;
    ngx_http_vantorell_main_conf_t  *vmcf;

    ctx->assigned = 1;

    vscf = (ngx_http_vantorell_srv_conf_t *)
               ngx_http_get_module_srv_conf(r, ngx_http_vantorell_module);

    /* a forced view is no assignment: the split's counts never see it */
    if (ngx_http_vantorell_counts(vscf)) {
        if (ctx->forced) {
            ngx_http_vantorell_metrics_outcome(vscf,
                                               vantorell::Outcome::Forced);

        } else {
            ngx_http_vantorell_metrics_outcome(vscf, outcome);
            /*
             * the new visitors' split check relies on codes drawn at random:
             * a code derived from an id is the same on every request that
             * names the id, and a client that keeps no cookie would be a new
             * visitor each time, all in one variation
             */
            ngx_http_vantorell_metrics_assigned(r, vscf, ctx->model,
                                                ctx->targeted,
                                                ctx->newCode && !ctx->fromId);
        }
    }

    vmcf = (ngx_http_vantorell_main_conf_t *)
               ngx_http_get_module_main_conf(r, ngx_http_vantorell_module);

    for (i = 0; i < NGX_HTTP_VANTORELL_VARS; i++) {
        var = vmcf->variables[i];

        /* only an indexed variable has a place among the request's values */
        if (var->flags & NGX_HTTP_VAR_INDEXED) {
            vv = &r->variables[var->index];
            vv->valid = 0;
            vv->not_found = 0;
        }
    }
}


static ngx_int_t
ngx_http_vantorell_add_flag(ngx_http_request_t *r,
    ngx_http_vantorell_ctx_t *ctx)
{
    ctx->flag = ngx_http_vantorell_push_header(
                    &r->headers_in.headers,
                    &ngx_http_vantorell_triggered_key,
                    ngx_http_vantorell_triggered_key.data,
                    ngx_http_vantorell_triggered_value.data,
                    ngx_http_vantorell_triggered_value.len);
    if (ctx->flag == NULL) {
        return NGX_ERROR;
    }

    ngx_http_vantorell_log(r, "Added flag to stop targeting.");

    return NGX_OK;
}


/*
 * The first targeted experiment decides: with a variation, the request is
 * flagged (so its second pass through the handler is declined at the gate)
 * and redirected to /experiment_<id>_variation_<id> with its own arguments.
 */
static ngx_int_t
ngx_http_vantorell_redirect(ngx_http_request_t *r,
    ngx_http_vantorell_ctx_t *ctx, const vantorell::Targeted &targeted)
{
    size_t     size;
    u_char    *location;
    ngx_str_t  redirectLocation;

    if (targeted.variationId == 0) {
        ngx_http_vantorell_assigned(r, ctx, vantorell::Outcome::Reference);
        ngx_http_vantorell_log(r, "Redirected to the reference.");
        return NGX_DECLINED;
    }

    if (ngx_http_vantorell_add_flag(r, ctx) != NGX_OK) {
        return NGX_ERROR;
    }

    size = vantorell::variationLocationText(targeted.experimentId,
                                            targeted.variationId,
                                            NULL, 0) + 1;

    location = (u_char *) ngx_pcalloc(r->pool, size);
    if (location == NULL) {
        ngx_http_vantorell_log(r,
                "Error: failed to allocate memory for redirection location.");
        return NGX_ERROR;
    }

    vantorell::variationLocationText(targeted.experimentId,
                                     targeted.variationId,
                                     (char *) location, size);

    redirectLocation.data = location;
    redirectLocation.len = size - 1;

    /* before the redirect: the variation's location reads the variables */
    ngx_http_vantorell_assigned(r, ctx, vantorell::Outcome::Redirected);

    (void) ngx_http_internal_redirect(r, &redirectLocation, &r->args);
    ngx_http_finalize_request(r, NGX_DONE);

    return NGX_DONE;
}


/* ---- variables ---------------------------------------------------------- */

/*
 * The record of an assigned request, for a variable of that request or of
 * one of its subrequests; null when the module made no assignment (off,
 * ignored, flagged, no usable data file, not targeted, an error).
 */
static ngx_http_vantorell_ctx_t *
ngx_http_vantorell_assignment(ngx_http_request_t *r)
{
    ngx_http_vantorell_ctx_t  *ctx;

    ctx = ngx_http_vantorell_get_ctx(r->main);

    return (ctx != NULL && ctx->assigned) ? ctx : NULL;
}


static void
ngx_http_vantorell_set_value(ngx_http_variable_value_t *v, u_char *data,
    size_t len)
{
    v->len = len;
    v->valid = 1;
    v->no_cacheable = 0;
    v->not_found = 0;
    v->data = data;
}


static ngx_int_t
ngx_http_vantorell_visitor_code_variable(ngx_http_request_t *r,
    ngx_http_variable_value_t *v, uintptr_t data)
{
    ngx_http_vantorell_ctx_t  *ctx;

    ctx = ngx_http_vantorell_assignment(r);
    if (ctx == NULL) {
        v->not_found = 1;
        return NGX_OK;
    }

    ngx_http_vantorell_set_value(v, ctx->code.data, ctx->code.len);

    return NGX_OK;
}


static ngx_int_t
ngx_http_vantorell_visitor_new_variable(ngx_http_request_t *r,
    ngx_http_variable_value_t *v, uintptr_t data)
{
    ngx_http_vantorell_ctx_t  *ctx;

    ctx = ngx_http_vantorell_assignment(r);
    if (ctx == NULL) {
        v->not_found = 1;
        return NGX_OK;
    }

    ngx_http_vantorell_set_value(v, (u_char *) (ctx->newCode ? "1" : "0"), 1);

    return NGX_OK;
}


/* The experiments header's text, written here when the header was not. */
static ngx_int_t
ngx_http_vantorell_experiments_variable(ngx_http_request_t *r,
    ngx_http_variable_value_t *v, uintptr_t data)
{
    size_t                     length;
    u_char                    *text;
    ngx_http_vantorell_ctx_t  *ctx;

    ctx = ngx_http_vantorell_assignment(r);
    if (ctx == NULL) {
        v->not_found = 1;
        return NGX_OK;
    }

    if (ctx->experiments.data == NULL) {
        length = vantorell::experimentsHeaderText(ctx->targeted, NULL, 0);

        text = (u_char *) ngx_pnalloc(r->pool, length + 1);
        if (text == NULL) {
            return NGX_ERROR;
        }

        vantorell::experimentsHeaderText(ctx->targeted, (char *) text,
                                         length + 1);

        ctx->experiments.data = text;
        ctx->experiments.len = length;
    }

    ngx_http_vantorell_set_value(v, ctx->experiments.data,
                                 ctx->experiments.len);

    return NGX_OK;
}


/* The deciding experiment's id (data 0), or its variation's (data 1). */
static ngx_int_t
ngx_http_vantorell_id_variable(ngx_http_request_t *r,
    ngx_http_variable_value_t *v, uintptr_t data)
{
    long                       id;
    u_char                    *p;
    ngx_http_vantorell_ctx_t  *ctx;

    ctx = ngx_http_vantorell_assignment(r);
    if (ctx == NULL) {
        v->not_found = 1;
        return NGX_OK;
    }

    const vantorell::Targeted  &deciding = ctx->targeted.front();

    id = data == 0 ? deciding.experimentId : deciding.variationId;

    p = (u_char *) ngx_pnalloc(r->pool, NGX_INT32_LEN);
    if (p == NULL) {
        return NGX_ERROR;
    }

    ngx_http_vantorell_set_value(v, p,
                                 ngx_sprintf(p, "%d", vantorell::id32(id)) - p);

    return NGX_OK;
}


/* ---- start-up and exit ------------------------------------------------- */

/*
 * nginx -t, start-up and every reload read each data file that a server with
 * the module on names, as a worker will, and warn about one that a worker
 * could not use.  A warning only: the file may be put in place after nginx
 * starts, and every request looks at it again.  This runs in the master (or
 * in nginx -t's process): it keeps nothing and watches nothing, so every
 * worker still makes its own model and its own inotify instance.
 */
static ngx_int_t
ngx_http_vantorell_init_module(ngx_cycle_t *cycle)
{
    ngx_str_t                       *path, **checked, **p;
    ngx_uint_t                       s, i;
    ngx_array_t                      paths;
    ngx_pool_t                      *pool;
    ngx_http_core_srv_conf_t       **cscfp;
    ngx_http_core_main_conf_t       *cmcf;
    ngx_http_vantorell_srv_conf_t   *vscf;
    size_t                           experiments;
    ngx_uint_t                       usable;
    ngx_http_vantorell_problem_t     problem;
    vantorell::FailureText            text{};

    cmcf = (ngx_http_core_main_conf_t *)
               ngx_http_cycle_get_module_main_conf(cycle, ngx_http_core_module);
    if (cmcf == NULL) {
        return NGX_OK;
    }

    /*
     * The paths checked so far: each once, whichever servers share it.  The
     * check only warns: when there is no memory for it, it is left out (a
     * failure here would end the master, even on a reload).  With a metrics
     * zone, every server with the module on gets its file's counters here,
     * and the zone learns what this read of the file found.
     */
    pool = ngx_create_pool(NGX_DEFAULT_POOL_SIZE, cycle->log);
    if (pool == NULL) {
        return NGX_OK;
    }

    if (ngx_array_init(&paths, pool, 4, sizeof(ngx_str_t *)) != NGX_OK) {
        ngx_destroy_pool(pool);
        return NGX_OK;
    }

    cscfp = (ngx_http_core_srv_conf_t **) cmcf->servers.elts;

    for (s = 0; s < cmcf->servers.nelts; s++) {
        vscf = (ngx_http_vantorell_srv_conf_t *)
                   cscfp[s]->ctx->srv_conf[ngx_http_vantorell_module.ctx_index];

        if (!vscf->enable) {
            continue;
        }

        path = &vscf->dataFile;
        checked = (ngx_str_t **) paths.elts;

        for (i = 0; i < paths.nelts; i++) {
            if (checked[i]->len == path->len
                && ngx_strncmp(checked[i]->data, path->data, path->len) == 0)
            {
                break;
            }
        }

        if (i < paths.nelts) {
            /* the file's counters, its state already told */
            ngx_http_vantorell_metrics_add_file(cycle, vscf, 0, 0, text, 0);
            continue;
        }

        p = (ngx_str_t **) ngx_array_push(&paths);
        if (p == NULL) {
            ngx_http_vantorell_metrics_add_file(cycle, vscf, 0, 0, text, 0);
            continue;
        }

        *p = path;

        usable = vantorell::checkDataFile((const char *) path->data, &text,
                                          &experiments);

        ngx_http_vantorell_metrics_add_file(cycle, vscf, 1, usable, text,
                                            experiments);

        if (usable) {
            continue;
        }

        ngx_http_vantorell_problem(&problem, text);

        ngx_log_error(NGX_LOG_WARN, cycle->log, 0,
                      "vantorell: data file \"%V\": %V", path, &problem.text);
    }

    ngx_destroy_pool(pool);

    return NGX_OK;
}


static void
ngx_http_vantorell_exit_process(ngx_cycle_t *cycle)
{
    ngx_http_vantorell_metrics_exit();
    vantorell::clearModelCache();
}


/* ---- the handler -------------------------------------------------------- */

/* The request's outcome, counted (with a metrics zone); returns `rc`. */
static ngx_int_t
ngx_http_vantorell_decided(ngx_http_vantorell_srv_conf_t *vscf,
    vantorell::Outcome outcome, ngx_int_t rc)
{
    if (ngx_http_vantorell_counts(vscf)) {
        ngx_http_vantorell_metrics_outcome(vscf, outcome);
    }

    return rc;
}


/*
 * A request the module could not decide (no memory), counted as an error.
 * nginx answers it with 500, as it does for realip and limit_req: NGX_ERROR
 * from a phase handler would close the connection without an answer.
 */
static ngx_int_t
ngx_http_vantorell_failed(ngx_http_vantorell_srv_conf_t *vscf)
{
    return ngx_http_vantorell_decided(vscf, vantorell::Outcome::Error,
                                      NGX_HTTP_INTERNAL_SERVER_ERROR);
}


/*
 * An ignored pass.  Counted once per request: the request keeps a record
 * that says so (only with a metrics zone; without one nothing is kept), and a
 * later location that decides the request after all takes the count back.
 */
static void
ngx_http_vantorell_ignored(ngx_http_request_t *r,
    ngx_http_vantorell_srv_conf_t *vscf)
{
    ngx_http_vantorell_ctx_t  *ctx;

    if (!ngx_http_vantorell_counts(vscf)) {
        return;
    }

    if (ngx_http_vantorell_get_ctx(r) != NULL) {
        return;
    }

    ctx = ngx_http_vantorell_create_ctx(r);
    if (ctx == NULL) {
        return;
    }

    ctx->ignored = 1;

    ngx_http_vantorell_metrics_outcome(vscf, vantorell::Outcome::Ignored);
}


static ngx_int_t
ngx_http_vantorell_handler(ngx_http_request_t *r)
{
    double                          randomNumber;
    ngx_int_t                       rc;
    ngx_str_t                       ignore, vantorellVisitorCode, cookieCode;
    ngx_http_vantorell_ctx_t       *ctx;
    ngx_http_vantorell_srv_conf_t  *vscf;
    ngx_http_vantorell_loc_conf_t  *vlcf;

    /*
     * Subrequests (auth_request, mirror, SSI includes...) share their
     * parent's header list: an experiment run in one would flag, redirect
     * or answer for the parent.  The module acts on the main request only.
     * A post action runs after the response has gone: a cookie set there
     * would never reach the visitor, and the request was looked at already
     * (or left alone on purpose).
     */
    if (r != r->main || r->post_action) {
        return NGX_DECLINED;
    }

    vscf = (ngx_http_vantorell_srv_conf_t *)
               ngx_http_get_module_srv_conf(r, ngx_http_vantorell_module);

    if (!vscf->enable) {
        return NGX_DECLINED;
    }

    vlcf = (ngx_http_vantorell_loc_conf_t *)
               ngx_http_get_module_loc_conf(r, ngx_http_vantorell_module);

    /* the status takes no part in experiments, and is not counted */
    if (vlcf->status != NGX_HTTP_VANTORELL_STATUS_NONE) {
        return NGX_DECLINED;
    }

    ngx_str_set(&ignore, "false");

    if (vlcf->ignore != NULL
        && ngx_http_complex_value(r, vlcf->ignore, &ignore) != NGX_OK)
    {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    if (ignore.len >= 4 && ngx_strncmp(ignore.data, "true", 4) == 0) {
        ngx_http_vantorell_ignored(r, vscf);
        return NGX_DECLINED;
    }

    /* one decision per request, whatever internal redirects follow */
    ctx = ngx_http_vantorell_get_ctx(r);

    if (ctx != NULL && ctx->ignored) {
        /* ignored where it was before, decided here */
        ctx->ignored = 0;
        ngx_http_vantorell_metrics_unignore(vscf);

    } else if (ctx != NULL) {
        ngx_http_vantorell_decided_before(r, ctx);
        return NGX_DECLINED;

    } else {
        /* from here on, the request's record owns what the stages hold */
        ctx = ngx_http_vantorell_create_ctx(r);
        if (ctx == NULL) {
            return ngx_http_vantorell_failed(vscf);
        }
    }

    /*
     * The upstream hears of experiments from the module alone, whatever the
     * decision: a client's header of that name would choose its variation
     * for it, even one not yet released.
     */
    if (vscf->experimentsHeader
        && ngx_http_vantorell_drop_client_header(r) != NGX_OK)
    {
        return ngx_http_vantorell_failed(vscf);
    }

    if (ngx_http_vantorell_flag_triggered(r)) {
        return ngx_http_vantorell_decided(vscf, vantorell::Outcome::Flagged,
                                          NGX_DECLINED);
    }

    if (ngx_http_vantorell_get_model(r, &ctx->model) != NGX_OK) {
        return ngx_http_vantorell_decided(vscf, vantorell::Outcome::DataError,
                                          NGX_DECLINED);
    }

    rc = ngx_http_vantorell_get_targeted(r, &ctx->model, &ctx->targeted);

    if (rc == NGX_ERROR) {
        return ngx_http_vantorell_failed(vscf);
    }

    if (rc != NGX_OK) {
        return ngx_http_vantorell_decided(vscf,
                                          vantorell::Outcome::TargetingError,
                                          rc);
    }

    if (ctx->targeted.empty()) {
        ngx_http_vantorell_log(r, "Not targeted by any experiment.");
        return ngx_http_vantorell_decided(vscf, vantorell::Outcome::Untargeted,
                                          NGX_DECLINED);
    }

    rc = ngx_http_vantorell_id_code(r, vscf, &vantorellVisitorCode);

    if (rc == NGX_ERROR) {
        return ngx_http_vantorell_failed(vscf);
    }

    if (rc == NGX_OK) {
        /* new where the client did not hold this code yet */
        ctx->fromId = 1;
        ctx->newCode =
            ngx_http_vantorell_get_cookie(r, &cookieCode) != NGX_OK
            || ngx_memcmp(cookieCode.data, vantorellVisitorCode.data,
                          vantorell::kCodeLength) != 0;

    } else if (ngx_http_vantorell_get_cookie(r, &vantorellVisitorCode)
               == NGX_DECLINED)
    {
        if (ngx_http_vantorell_new_code(r, &vantorellVisitorCode) != NGX_OK) {
            ngx_http_vantorell_log(r, "Error while updating/creating cookie");
            return ngx_http_vantorell_failed(vscf);
        }

        ctx->newCode = 1;
    }

    /* the code's 16 bytes, where they lie (the Cookie header, or the pool) */
    ctx->code.data = vantorellVisitorCode.data;
    ctx->code.len = vantorell::kCodeLength;

    if (ngx_http_vantorell_set_cookie(r, &vantorellVisitorCode) != NGX_OK) {
        ngx_http_vantorell_log(r, "Error while updating/creating cookie");
        return ngx_http_vantorell_failed(vscf);
    }

    randomNumber = ngx_http_vantorell_get_random(r, &vantorellVisitorCode);

    vantorell::chooseVariations(ctx->model, &ctx->targeted, randomNumber);

    if (ngx_http_vantorell_force(r, ctx) != NGX_OK) {
        return ngx_http_vantorell_failed(vscf);
    }

    if (vscf->experimentsHeader
        && ngx_http_vantorell_set_header(r, ctx) != NGX_OK)
    {
        ngx_http_vantorell_log(r, "Error while writing vantorell header");
        return ngx_http_vantorell_failed(vscf);
    }

    /* counted where it is decided, before a redirect (assigned) */
    rc = ngx_http_vantorell_redirect(r, ctx, ctx->targeted.front());

    if (rc == NGX_ERROR) {
        return ngx_http_vantorell_failed(vscf);
    }

    return rc;
}
