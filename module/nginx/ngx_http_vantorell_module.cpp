/*
 * vantorell: server-side A/B experiments in nginx's precontent phase.
 *
 * This file is the module's definition: its directives, its configuration
 * records and what start-up does.  The rest of the nginx layer:
 *
 *   ngx_http_vantorell_handler.cpp    gate -> inputs -> decide -> apply
 *   ngx_http_vantorell_cookie.cpp     the cookie's directives and Set-Cookie
 *   ngx_http_vantorell_variables.cpp  $vantorell_* variables
 *   ngx_http_vantorell_metrics.cpp    the metrics zone and the status page
 *
 * The decision itself, and everything else that needs no nginx, is the
 * portable core in ../core.
 */

#include "ngx_http_vantorell_module.h"
#include "ngx_http_vantorell_metrics.h"

#include "failure.h"
#include "model_cache.h"

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



static ngx_conf_enum_t  ngx_http_vantorell_guardrail_values[] = {
    { ngx_string("off"), NGX_HTTP_VANTORELL_GUARDRAIL_OFF },
    { ngx_string("stop"), NGX_HTTP_VANTORELL_GUARDRAIL_STOP },
    { ngx_null_string, 0 }
};


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
      offsetof(ngx_http_vantorell_srv_conf_t, experiments_header),
      NULL },

    { ngx_string("vantorell_cookie_domain"),
      NGX_HTTP_SRV_CONF|NGX_CONF_TAKE1,
      ngx_http_set_complex_value_slot,
      NGX_HTTP_SRV_CONF_OFFSET,
      offsetof(ngx_http_vantorell_srv_conf_t, cookie_domain),
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
      offsetof(ngx_http_vantorell_srv_conf_t, visitor_id),
      NULL },

    { ngx_string("vantorell_data_file"),
      NGX_HTTP_MAIN_CONF|NGX_HTTP_SRV_CONF|NGX_CONF_TAKE1,
      ngx_conf_set_str_slot,
      NGX_HTTP_SRV_CONF_OFFSET,
      offsetof(ngx_http_vantorell_srv_conf_t, data_file),
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
      NGX_HTTP_MAIN_CONF|NGX_CONF_TAKE12,
      ngx_http_vantorell_metrics_zone,
      NGX_HTTP_MAIN_CONF_OFFSET,
      0,
      NULL },

    { ngx_string("vantorell_guardrail"),
      NGX_HTTP_MAIN_CONF|NGX_HTTP_SRV_CONF|NGX_CONF_TAKE1,
      ngx_conf_set_enum_slot,
      NGX_HTTP_SRV_CONF_OFFSET,
      offsetof(ngx_http_vantorell_srv_conf_t, guardrail),
      &ngx_http_vantorell_guardrail_values },

    { ngx_string("vantorell_status"),
      NGX_HTTP_LOC_CONF|NGX_CONF_NOARGS|NGX_CONF_TAKE1,
      ngx_http_vantorell_status_page,
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


/* ---- configuration ------------------------------------------------------ */

static void *
ngx_http_vantorell_create_main_conf(ngx_conf_t *cf)
{
    return ngx_pcalloc(cf->pool, sizeof(ngx_http_vantorell_main_conf_t));
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
     *     conf->data_file_slot = { NULL, 0, 0 };
     *
     *     conf->cookie_domain = NULL;
     *     conf->visitor_id = NULL;
     *     conf->data_file = { 0, NULL };
     */

    conf->enable = NGX_CONF_UNSET;
    conf->experiments_header = NGX_CONF_UNSET;
    conf->cookie_flags = NGX_CONF_UNSET_UINT;
    conf->cookie_expires = NGX_CONF_UNSET;
    conf->guardrail = NGX_CONF_UNSET_UINT;

    return conf;
}


static char *
ngx_http_vantorell_merge_srv_conf(ngx_conf_t *cf, void *parent, void *child)
{
    ngx_http_vantorell_srv_conf_t   *prev, *conf;
    ngx_http_vantorell_main_conf_t  *vmcf;

    prev = (ngx_http_vantorell_srv_conf_t *) parent;
    conf = (ngx_http_vantorell_srv_conf_t *) child;

    ngx_conf_merge_value(conf->enable, prev->enable, 0);
    ngx_conf_merge_value(conf->experiments_header, prev->experiments_header, 0);

    if (conf->cookie_domain == NULL) {
        conf->cookie_domain = prev->cookie_domain;
    }

    ngx_conf_merge_uint_value(conf->cookie_flags, prev->cookie_flags,
                              NGX_HTTP_VANTORELL_COOKIE_OFF);
    ngx_conf_merge_sec_value(conf->cookie_expires, prev->cookie_expires,
                             NGX_HTTP_VANTORELL_COOKIE_MAX_AGE);

    if (conf->visitor_id == NULL) {
        conf->visitor_id = prev->visitor_id;
    }

    ngx_conf_merge_uint_value(conf->guardrail, prev->guardrail,
                              (ngx_uint_t) NGX_HTTP_VANTORELL_GUARDRAIL_OFF);

    vmcf = ngx_http_vantorell_main_conf(cf);

    /* the stop rests on the responses the zone counts */
    if (conf->guardrail == NGX_HTTP_VANTORELL_GUARDRAIL_STOP
        && (vmcf->metrics_zone == NULL || !vmcf->count_responses))
    {
        ngx_conf_log_error(NGX_LOG_EMERG, cf, 0,
                           "vantorell_guardrail stop needs the responses "
                           "that vantorell_metrics_zone counts");
        return (char *) NGX_CONF_ERROR;
    }

    ngx_conf_merge_str_value(conf->data_file, prev->data_file,
                             vantorell::kDefaultDataFile);

    if (conf->data_file.len == 0) {
        ngx_conf_log_error(NGX_LOG_EMERG, cf, 0,
                           "vantorell_data_file must name a file");
        return (char *) NGX_CONF_ERROR;
    }

    /* a relative path is taken from nginx's prefix; the result ends in NUL */
    if (ngx_conf_full_name(cf->cycle, &conf->data_file, 0) != NGX_OK) {
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

static ngx_int_t
ngx_http_vantorell_init(ngx_conf_t *cf)
{
    ngx_http_handler_pt             *h;
    ngx_http_core_main_conf_t       *cmcf;
    ngx_http_vantorell_main_conf_t  *vmcf;

    cmcf = (ngx_http_core_main_conf_t *)
               ngx_http_conf_get_module_main_conf(cf, ngx_http_core_module);

    h = (ngx_http_handler_pt *)
            ngx_array_push(&cmcf->phases[NGX_HTTP_PRECONTENT_PHASE].handlers);
    if (h == NULL) {
        return NGX_ERROR;
    }

    *h = ngx_http_vantorell_handler;

    /* a configuration that counts no responses pays nothing at the log
     * phase */
    vmcf = ngx_http_vantorell_main_conf(cf);

    if (vmcf->metrics_zone != NULL && vmcf->count_responses) {
        h = (ngx_http_handler_pt *)
                ngx_array_push(&cmcf->phases[NGX_HTTP_LOG_PHASE].handlers);
        if (h == NULL) {
            return NGX_ERROR;
        }

        *h = ngx_http_vantorell_responses_handler;
    }

    return ngx_http_vantorell_metrics_check(cf);
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

        path = &vscf->data_file;
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


