/*
 * The little of nginx's runtime that its parsers and its pool reach, for the
 * few nginx sources that vantorell-check compiles in (the request line's
 * parser, the cookie lookup, the pool and arrays they allocate from) instead
 * of the whole of nginx.  The parsers log only their refusals at debug level
 * and the pool only a failed allocation, which the tool reports from the
 * NULL it gets: nothing is written.
 */
#include <ngx_config.h>
#include <ngx_core.h>

volatile ngx_cycle_t  *ngx_cycle;


void
ngx_log_error_core(ngx_uint_t level, ngx_log_t *log, ngx_err_t err,
    const char *fmt, ...)
{
    (void) level;
    (void) log;
    (void) err;
    (void) fmt;
}
