/*
 * Configuration records of the vantorell module.
 */
#ifndef NGX_HTTP_VANTORELL_MODULE_H
#define NGX_HTTP_VANTORELL_MODULE_H

extern "C" {
#include <ngx_config.h>
#include <ngx_core.h>
#include <ngx_http.h>
}

/* The module's variables, in the order of their table. */
enum {
    NGX_HTTP_VANTORELL_VAR_VISITOR_CODE,
    NGX_HTTP_VANTORELL_VAR_VISITOR_NEW,
    NGX_HTTP_VANTORELL_VAR_EXPERIMENTS,
    NGX_HTTP_VANTORELL_VAR_EXPERIMENT,
    NGX_HTTP_VANTORELL_VAR_VARIATION,
    NGX_HTTP_VANTORELL_VARS
};

typedef struct {
    /* the module's variables as nginx keeps them: which are indexed, where */
    ngx_http_variable_t             *variables[NGX_HTTP_VANTORELL_VARS];
} ngx_http_vantorell_main_conf_t;

typedef struct {
    ngx_flag_t                       enable;
    ngx_flag_t                       experimentsHeader;
    ngx_http_complex_value_t        *cookieDomain;
    ngx_str_t                        dataFile;   /* NUL-terminated path */
} ngx_http_vantorell_srv_conf_t;

typedef struct {
    ngx_http_complex_value_t        *ignore;
} ngx_http_vantorell_loc_conf_t;

extern "C" {
extern ngx_module_t  ngx_http_vantorell_module;
}

#endif
