/*
 * The visitor cookie: its directives (vantorell_cookie_flags,
 * vantorell_cookie_expires) and the Set-Cookie header that gives the visitor
 * their code.
 */

#include "ngx_http_vantorell_module.h"
#include "ngx_vantorell_compat.h"

#include "visitor.h"


ngx_str_t  ngx_http_vantorell_cookie_name = {
    vantorell::kCookieNameLength, (u_char *) vantorell::kCookieName
};

static ngx_str_t  ngx_http_vantorell_set_cookie_key = ngx_string("Set-Cookie");
static u_char     ngx_http_vantorell_set_cookie_lowcase[] = "set-cookie";


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
char *
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
char *
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
ngx_int_t
ngx_http_vantorell_set_cookie(ngx_http_request_t *r, const u_char *code)
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

    vscf = ngx_http_vantorell_srv_conf(r);

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
        ngx_http_vantorell_debug(r,
                "Failed to allocate memory for setting cookie.");
        return NGX_ERROR;
    }

    p = ngx_cpymem(cookie, ngx_http_vantorell_cookie_name.data,
                   ngx_http_vantorell_cookie_name.len);
    *p++ = '=';
    p = ngx_cpymem(p, code, vantorell::kCodeLength);

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
        ngx_http_vantorell_debug(r,
                "Failed to allocate a header to set the cookie.");
        return NGX_ERROR;
    }

    ngx_http_vantorell_debug(r, "Added cookie with value: %s", cookie);

    return NGX_OK;
}


