/*
 * Everything that differs between the nginx releases the module builds
 * against lives here, so the rest of the module reads the same everywhere.
 */
#ifndef NGX_VANTORELL_COMPAT_H
#define NGX_VANTORELL_COMPAT_H

extern "C" {
#include <ngx_config.h>
#include <ngx_core.h>
#include <ngx_http.h>
}

#include "visitor.h"

/*
 * Finds the cookie `name` in the request's Cookie headers, the first in the
 * order they came.  Returns NGX_OK with `value` pointing into the header
 * text, or NGX_DECLINED.
 *
 * Each header is read by the core's own rule rather than by nginx's lookup:
 * up to 1.29.5 nginx splits cookies on "," too, so the same header would give
 * another visitor code on another release.
 */
static ngx_inline ngx_int_t
ngx_http_vantorell_find_cookie_in(ngx_table_elt_t *h, ngx_str_t *name,
    ngx_str_t *value)
{
    size_t  start, length;

    if (!vantorell::findCookie((const char *) h->value.data, h->value.len,
                               (const char *) name->data, name->len,
                               &start, &length))
    {
        return NGX_DECLINED;
    }

    value->data = h->value.data + start;
    value->len = length;

    return NGX_OK;
}


static ngx_inline ngx_int_t
ngx_http_vantorell_find_cookie(ngx_http_request_t *r, ngx_str_t *name,
    ngx_str_t *value)
{
#if (nginx_version >= 1023000)
    ngx_table_elt_t  *h;

    for (h = r->headers_in.cookie; h != NULL; h = h->next) {
        if (ngx_http_vantorell_find_cookie_in(h, name, value) == NGX_OK) {
            return NGX_OK;
        }
    }
#else
    ngx_uint_t         i;
    ngx_table_elt_t  **h;

    h = (ngx_table_elt_t **) r->headers_in.cookies.elts;
    for (i = 0; i < r->headers_in.cookies.nelts; i++) {
        if (ngx_http_vantorell_find_cookie_in(h[i], name, value) == NGX_OK) {
            return NGX_OK;
        }
    }
#endif

    return NGX_DECLINED;
}


/*
 * Adds `h` to the request's Cookie headers as nginx keeps them, for
 * vantorell-check, which builds a request of its own to look the cookie up
 * as the module does.
 */
static ngx_inline ngx_int_t
ngx_http_vantorell_add_cookie_header(ngx_http_request_t *r, ngx_table_elt_t *h)
{
#if (nginx_version >= 1023000)
    ngx_table_elt_t  **last;

    /* in the order the headers came, as nginx links them */
    for (last = &r->headers_in.cookie; *last != NULL; last = &(*last)->next) {
        /* void */
    }
    h->next = NULL;
    *last = h;
#else
    ngx_table_elt_t  **slot;

    if (r->headers_in.cookies.elts == NULL
        && ngx_array_init(&r->headers_in.cookies, r->pool, 1,
                          sizeof(ngx_table_elt_t *)) != NGX_OK)
    {
        return NGX_ERROR;
    }

    slot = (ngx_table_elt_t **) ngx_array_push(&r->headers_in.cookies);
    if (slot == NULL) {
        return NGX_ERROR;
    }
    *slot = h;
#endif

    return NGX_OK;
}

/*
 * Appends a complete header element to `headers`.  `lowcase_key` is always
 * filled: other modules (the proxy module among them) look headers up by it.
 */
static ngx_inline ngx_table_elt_t *
ngx_http_vantorell_push_header(ngx_list_t *headers, ngx_str_t *key,
    u_char *lowcase_key, u_char *value, size_t len)
{
    ngx_table_elt_t  *h;

    h = (ngx_table_elt_t *) ngx_list_push(headers);
    if (h == NULL) {
        return NULL;
    }

    h->hash = 1;
    h->key = *key;
    h->lowcase_key = lowcase_key;
    h->value.data = value;
    h->value.len = len;
#if (nginx_version >= 1023000)
    h->next = NULL;
#endif

    return h;
}

#endif
