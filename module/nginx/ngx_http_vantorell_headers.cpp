/*
 * What the module reads and writes among a request's headers, apart from
 * the cookie: the triggered flag that ends a redirected request's second
 * pass, the client's own experiments headers, which never reach the
 * upstream, and the escape of request texts in log lines.
 */

#include "ngx_http_vantorell_module.h"
#include "ngx_vantorell_compat.h"

#include "text.h"


ngx_str_t  ngx_http_vantorell_triggered_key = ngx_string("vantorell-triggered");
ngx_str_t  ngx_http_vantorell_triggered_value = ngx_string("true");
ngx_str_t  ngx_http_vantorell_experiment_key = ngx_string("vantorell-experiment");


/*
 * A request-derived text as a log line may show it (control characters and
 * bytes from 0x7f up as \\xHH, so that a text cannot start a line of its own
 * in the error log).
 * Printable texts come back as they are, without a copy.
 */
ngx_str_t
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


/* ---- the triggered flag ------------------------------------------------- */

ngx_int_t
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
            ngx_http_vantorell_debug(r, "Triggered flag found with value: %V",
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


/* ---- the experiments header --------------------------------------------- */

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
ngx_int_t
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

    ngx_http_vantorell_debug(r, "Client's vantorell-experiment headers "
                           "dropped: %ui", dropped);

    return NGX_OK;
}


/*
 * "id=variation" pairs of the targeted list, in list order, joined by a comma
 * and a blank.  The length is computed with the format that writes the text.
 */
