/*
 * The module's variables: the request's assignment, for logs, headers and
 * the rest of the configuration ($vantorell_visitor_code,
 * $vantorell_visitor_new, $vantorell_experiments, $vantorell_experiment,
 * $vantorell_variation).
 */

#include "ngx_http_vantorell_module.h"

#include "outcome.h"
#include "visitor.h"



static ngx_int_t ngx_http_vantorell_visitor_variable(
    ngx_http_request_t *r, ngx_http_variable_value_t *v, uintptr_t data);
static ngx_int_t ngx_http_vantorell_experiments_variable(
    ngx_http_request_t *r, ngx_http_variable_value_t *v, uintptr_t data);
static ngx_int_t ngx_http_vantorell_id_variable(
    ngx_http_request_t *r, ngx_http_variable_value_t *v, uintptr_t data);

/*
 * In the order of NGX_HTTP_VANTORELL_VAR_*.  Cacheable: a value never changes
 * once the request is assigned, and what a read before that cached is
 * forgotten at that moment (ngx_http_vantorell_variables_assigned).
 */
static ngx_http_variable_t  ngx_http_vantorell_vars[] = {

    { ngx_string("vantorell_visitor_code"), NULL,
      ngx_http_vantorell_visitor_variable, 0, 0, 0 },

    { ngx_string("vantorell_visitor_new"), NULL,
      ngx_http_vantorell_visitor_variable, 1, 0, 0 },

    { ngx_string("vantorell_experiments"), NULL,
      ngx_http_vantorell_experiments_variable, 0, 0, 0 },

    { ngx_string("vantorell_experiment"), NULL,
      ngx_http_vantorell_id_variable, 0, 0, 0 },

    { ngx_string("vantorell_variation"), NULL,
      ngx_http_vantorell_id_variable, 1, 0, 0 },

      ngx_http_null_variable
};


ngx_int_t
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

/* ---- variables ---------------------------------------------------------- */

/*
 * The record of an assigned request, for a variable of that request or of
 * one of its subrequests; null, with the variable not found, when the module
 * made no assignment (off, ignored, flagged, no usable data file, not
 * targeted, an error).
 */
static ngx_http_vantorell_ctx_t *
ngx_http_vantorell_assignment(ngx_http_request_t *r,
    ngx_http_variable_value_t *v)
{
    ngx_http_vantorell_ctx_t  *ctx;

    ctx = ngx_http_vantorell_get_ctx(r->main);

    if (ctx == NULL || !ctx->assigned) {
        v->not_found = 1;
        return NULL;
    }

    return ctx;
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


/* The visitor's code (data 0), or whether it is new to the client (data 1). */
static ngx_int_t
ngx_http_vantorell_visitor_variable(ngx_http_request_t *r,
    ngx_http_variable_value_t *v, uintptr_t data)
{
    ngx_http_vantorell_ctx_t  *ctx;

    ctx = ngx_http_vantorell_assignment(r, v);
    if (ctx == NULL) {
        return NGX_OK;
    }

    if (data == 0) {
        ngx_http_vantorell_set_value(v, (u_char *) ctx->decision.code,
                                     vantorell::kCodeLength);

    } else {
        ngx_http_vantorell_set_value(v,
            (u_char *) (ctx->decision.newVisitor ? "1" : "0"), 1);
    }

    return NGX_OK;
}


/* The experiments header's text, written here when the header was not. */
static ngx_int_t
ngx_http_vantorell_experiments_variable(ngx_http_request_t *r,
    ngx_http_variable_value_t *v, uintptr_t data)
{
    size_t                     length, room;
    u_char                    *text;
    ngx_http_vantorell_ctx_t  *ctx;

    ctx = ngx_http_vantorell_assignment(r, v);
    if (ctx == NULL) {
        return NGX_OK;
    }

    if (ctx->experiments.data == NULL) {
        /* written once, into room for its longest form */
        room = vantorell::experimentsHeaderRoom(ctx->decision.targeted);

        text = (u_char *) ngx_pnalloc(r->pool, room);
        if (text == NULL) {
            return NGX_ERROR;
        }

        length = vantorell::experimentsHeaderText(ctx->decision.targeted,
                                                  (char *) text, room);

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

    ctx = ngx_http_vantorell_assignment(r, v);
    if (ctx == NULL) {
        return NGX_OK;
    }

    const vantorell::Targeted  &deciding = ctx->decision.targeted.front();

    id = data == 0 ? deciding.experimentId : deciding.variationId;

    p = (u_char *) ngx_pnalloc(r->pool, vantorell::kIdTextLength);
    if (p == NULL) {
        return NGX_ERROR;
    }

    ngx_http_vantorell_set_value(v, p, vantorell::idText(id, (char *) p));

    return NGX_OK;
}


/*
 * The request is assigned: from now on the variables hold the assignment.
 * A variable read before (an `if` or `set` of the rewrite phase) cached
 * "not found"; that is forgotten, so that every later read sees the values.
 */
void
ngx_http_vantorell_variables_assigned(ngx_http_request_t *r)
{
    ngx_uint_t                       i;
    ngx_http_variable_t             *var;
    ngx_http_variable_value_t       *vv;
    ngx_http_vantorell_main_conf_t  *vmcf;

    vmcf = ngx_http_vantorell_main_conf(r);

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
