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

/* A data file's counters in the metrics zone (ngx_http_vantorell_metrics). */
typedef struct ngx_http_vantorell_metrics_file_s
    ngx_http_vantorell_metrics_file_t;

/* vantorell_status: the format of a location's status page */
enum {
    NGX_HTTP_VANTORELL_STATUS_PAGE_NONE = 0,
    NGX_HTTP_VANTORELL_STATUS_PAGE_JSON,
    NGX_HTTP_VANTORELL_STATUS_PAGE_PROMETHEUS
};

typedef struct {
    /* the module's variables as nginx keeps them: which are indexed, where */
    ngx_http_variable_t             *variables[NGX_HTTP_VANTORELL_VARS];

    /* vantorell_metrics_zone, or null */
    ngx_shm_zone_t                  *metricsZone;
    /* this configuration's data files in the zone, in the servers' order */
    ngx_array_t                     *metricsFiles;
    /* where vantorell_status stands first, for the missing zone's message */
    ngx_str_t                        statusPageFile;
    ngx_uint_t                       statusPageLine;
} ngx_http_vantorell_main_conf_t;

/* vantorell_cookie_flags: the attributes written after the path */
#define NGX_HTTP_VANTORELL_COOKIE_OFF              0x0002
#define NGX_HTTP_VANTORELL_COOKIE_SECURE           0x0004
#define NGX_HTTP_VANTORELL_COOKIE_HTTPONLY         0x0008
#define NGX_HTTP_VANTORELL_COOKIE_SAMESITE_STRICT  0x0010
#define NGX_HTTP_VANTORELL_COOKIE_SAMESITE_LAX     0x0020
#define NGX_HTTP_VANTORELL_COOKIE_SAMESITE_NONE    0x0040
#define NGX_HTTP_VANTORELL_COOKIE_SAMESITE         0x0070

/* vantorell_cookie_expires max: the fixed date that userid_expires max
 * writes, never a number of seconds */
#define NGX_HTTP_VANTORELL_EXPIRES_MAX             ((time_t) -2)

typedef struct {
    ngx_flag_t                       enable;
    ngx_flag_t                       experimentsHeader;
    ngx_http_complex_value_t        *cookieDomain;
    ngx_uint_t                       cookieFlags;     /* bitmask, or unset */
    time_t                           cookieExpires;   /* seconds; 0: none */
    ngx_http_complex_value_t        *visitorId;
    ngx_str_t                        dataFile;   /* NUL-terminated path */

    /* the data file's counters; null without the zone, or when the zone had
     * no room for them (metricsDropped) */
    ngx_http_vantorell_metrics_file_t  *metrics;
    ngx_uint_t                       metricsDropped;
} ngx_http_vantorell_srv_conf_t;

typedef struct {
    ngx_http_complex_value_t        *ignore;
    ngx_http_complex_value_t        *force;
    ngx_uint_t                       statusPage; /* NGX_HTTP_VANTORELL_STATUS_PAGE_ */
} ngx_http_vantorell_loc_conf_t;

extern "C" {
extern ngx_module_t  ngx_http_vantorell_module;
}


/*
 * The module's configuration records, typed:
 *   ngx_http_vantorell_main_conf(r), _srv_conf(r), _loc_conf(r) of a request;
 *   ngx_http_vantorell_main_conf(cf) of the configuration being read;
 *   ngx_http_vantorell_main_conf(cycle) of a cycle (null without http).
 */
#define NGX_HTTP_VANTORELL_CONF_ACCESSOR(level, type, arg, get)               \
    inline ngx_http_vantorell_##level##_conf_t *                              \
    ngx_http_vantorell_##level##_conf(type arg)                               \
    {                                                                         \
        return (ngx_http_vantorell_##level##_conf_t *)                        \
                   get(arg, ngx_http_vantorell_module);                       \
    }

NGX_HTTP_VANTORELL_CONF_ACCESSOR(main, ngx_http_request_t *, r,
                                 ngx_http_get_module_main_conf)
NGX_HTTP_VANTORELL_CONF_ACCESSOR(srv, ngx_http_request_t *, r,
                                 ngx_http_get_module_srv_conf)
NGX_HTTP_VANTORELL_CONF_ACCESSOR(loc, ngx_http_request_t *, r,
                                 ngx_http_get_module_loc_conf)
NGX_HTTP_VANTORELL_CONF_ACCESSOR(main, ngx_conf_t *, cf,
                                 ngx_http_conf_get_module_main_conf)
NGX_HTTP_VANTORELL_CONF_ACCESSOR(main, ngx_cycle_t *, cycle,
                                 ngx_http_cycle_get_module_main_conf)

#undef NGX_HTTP_VANTORELL_CONF_ACCESSOR

#endif
