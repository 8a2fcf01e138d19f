/*
 * The status page (vantorell_status): the metrics zone's counters as JSON, in
 * Prometheus's text format or as an HTML page, as stub_status shows nginx's
 * own.
 *
 * The page copies what it shows out of the zone under the zone's mutex and
 * renders it after, so that rendering never holds up the workers' counting.
 */

#include "ngx_http_vantorell_metrics.h"
#include "ngx_http_vantorell_metrics_zone.h"
#include "ngx_vantorell_compat.h"

#include "status_page.h"

#include <string>


static ngx_int_t ngx_http_vantorell_status_page_handler(ngx_http_request_t *r);


char *
ngx_http_vantorell_status_page(ngx_conf_t *cf, ngx_command_t *cmd, void *conf)
{
    ngx_str_t                       *value;
    ngx_http_core_loc_conf_t        *clcf;
    ngx_http_vantorell_loc_conf_t   *vlcf;
    ngx_http_vantorell_main_conf_t  *vmcf;

    vlcf = (ngx_http_vantorell_loc_conf_t *) conf;

    if (vlcf->status_page != NGX_HTTP_VANTORELL_STATUS_PAGE_NONE) {
        return (char *) "is duplicate";
    }

    value = (ngx_str_t *) cf->args->elts;

    vlcf->status_page = NGX_HTTP_VANTORELL_STATUS_PAGE_JSON;

    if (cf->args->nelts == 2) {
        if (ngx_strcmp(value[1].data, "prometheus") == 0) {
            vlcf->status_page = NGX_HTTP_VANTORELL_STATUS_PAGE_PROMETHEUS;

        } else if (ngx_strcmp(value[1].data, "html") == 0) {
            vlcf->status_page = NGX_HTTP_VANTORELL_STATUS_PAGE_HTML;

        } else if (ngx_strcmp(value[1].data, "json") != 0) {
            ngx_conf_log_error(NGX_LOG_EMERG, cf, 0,
                               "invalid format \"%V\" of vantorell_status: "
                               "\"json\" (the default), \"prometheus\" "
                               "or \"html\"",
                               &value[1]);
            return (char *) NGX_CONF_ERROR;
        }
    }

    clcf = (ngx_http_core_loc_conf_t *)
               ngx_http_conf_get_module_loc_conf(cf, ngx_http_core_module);
    clcf->handler = ngx_http_vantorell_status_page_handler;

    vmcf = ngx_http_vantorell_main_conf(cf);

    if (vmcf->status_page_line == 0) {
        vmcf->status_page_file = cf->conf_file->file.name;
        vmcf->status_page_line = cf->conf_file->line;
    }

    return NGX_CONF_OK;
}


ngx_int_t
ngx_http_vantorell_metrics_check(ngx_conf_t *cf)
{
    ngx_http_vantorell_main_conf_t  *vmcf;

    vmcf = ngx_http_vantorell_main_conf(cf);

    if (vmcf->status_page_line != 0 && vmcf->metrics_zone == NULL) {
        ngx_log_error(NGX_LOG_EMERG, cf->log, 0,
                      "vantorell_status in %V:%ui has no counters to show: "
                      "the http block needs vantorell_metrics_zone",
                      &vmcf->status_page_file, vmcf->status_page_line);
        return NGX_ERROR;
    }

    return NGX_OK;
}


/*
 * The HTML page holds everything it shows: this tells the browser to load
 * and run nothing else, so that a text of the data file that slipped through
 * the page's escaping could still not fetch or run anything.
 */
static ngx_str_t  ngx_http_vantorell_status_csp_key =
    ngx_string("Content-Security-Policy");
static u_char     ngx_http_vantorell_status_csp_lowcase[] =
    "content-security-policy";
static u_char     ngx_http_vantorell_status_csp[] =
    "default-src 'none'; style-src 'unsafe-inline'; base-uri 'none'; "
    "form-action 'none'; frame-ancestors 'none'";


/* The HTML page's options from the request (its refresh) and its header. */
static ngx_int_t
ngx_http_vantorell_status_page_html_headers(ngx_http_request_t *r,
    vantorell::StatusPageOptions *options)
{
    ngx_str_t  arg;

    if (ngx_http_arg(r, (u_char *) "refresh", sizeof("refresh") - 1, &arg)
        == NGX_OK)
    {
        options->refreshSeconds =
            vantorell::statusRefreshSeconds((const char *) arg.data, arg.len);
    }

    options->renderedAt = ngx_time();

    if (ngx_http_vantorell_push_header(&r->headers_out.headers,
                                       &ngx_http_vantorell_status_csp_key,
                                       ngx_http_vantorell_status_csp_lowcase,
                                       ngx_http_vantorell_status_csp,
                                       sizeof(ngx_http_vantorell_status_csp)
                                       - 1)
        == NULL)
    {
        return NGX_ERROR;
    }

    return NGX_OK;
}


static ngx_int_t
ngx_http_vantorell_status_page_handler(ngx_http_request_t *r)
{
    ngx_int_t                          rc;
    ngx_buf_t                         *b;
    ngx_chain_t                        out;
    vantorell::StatusFormat            format;
    vantorell::StatusPageOptions       options;
    ngx_http_vantorell_loc_conf_t     *vlcf;
    ngx_http_vantorell_main_conf_t    *vmcf;
    ngx_http_vantorell_metrics_ctx_t  *zone;

    if (!(r->method & (NGX_HTTP_GET|NGX_HTTP_HEAD))) {
        return NGX_HTTP_NOT_ALLOWED;
    }

    rc = ngx_http_discard_request_body(r);
    if (rc != NGX_OK) {
        return rc;
    }

    vlcf = ngx_http_vantorell_loc_conf(r);
    vmcf = ngx_http_vantorell_main_conf(r);

    zone = (ngx_http_vantorell_metrics_ctx_t *) vmcf->metrics_zone->data;

    switch (vlcf->status_page) {

    case NGX_HTTP_VANTORELL_STATUS_PAGE_PROMETHEUS:
        format = vantorell::StatusFormat::Prometheus;
        break;

    case NGX_HTTP_VANTORELL_STATUS_PAGE_HTML:
        format = vantorell::StatusFormat::Html;

        if (ngx_http_vantorell_status_page_html_headers(r, &options)
            != NGX_OK)
        {
            return NGX_HTTP_INTERNAL_SERVER_ERROR;
        }

        break;

    default:
        format = vantorell::StatusFormat::Json;
        break;
    }

    std::string  body;

    try {
        vantorell::StatusSnapshot  snapshot;

        ngx_http_vantorell_metrics_snapshot(zone, vmcf->metrics_files,
                                            &snapshot);

        vantorell::checkExperiments(&snapshot);
        vantorell::renderStatusPage(snapshot, format, &body, options);

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

    r->headers_out.content_type.data =
        (u_char *) vantorell::statusPageContentType(format);
    r->headers_out.content_type.len =
        ngx_strlen(r->headers_out.content_type.data);
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
