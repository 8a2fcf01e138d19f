/*
 * The handler: gate -> the request's inputs -> decide -> apply.
 *
 *   gate     main request only, module switch, ignore expression, a request
 *            decided before, the triggered flag, a usable data file
 *   decide   the core's decision (decide.h): URL text, targeted
 *            experiments, the visitor's code and number, the variations,
 *            the force list, the texts
 *   apply    Set-Cookie, the experiments header, the variables, counting,
 *            and the internal redirect to the variation's location
 *
 * What the decision holds belongs to the request's record, a cleanup of the
 * request's pool.  Texts handed to nginx come from the request pool.  Nothing
 * survives between requests; within one request, the record says that the
 * request has been decided, so that every later pass (internal redirects of
 * any kind) leaves it alone.
 *
 * With a metrics zone, every request the module looks at is counted once, at
 * its decision (ngx_http_vantorell_metrics.cpp).
 */

#include "ngx_http_vantorell_module.h"
#include "ngx_http_vantorell_metrics.h"
#include "ngx_vantorell_compat.h"

#include "allocator.h"
#include "decide.h"
#include "model_cache.h"
#include "outcome.h"

#include <new>
#include <string_view>
#include <utility>
#include <vector>


/* ---- the request's decision --------------------------------------------- */

/*
 * The targeted lists of finished requests, emptied, for the next requests
 * to fill: a list is a block of the heap, which taking one back saves.  A
 * worker keeps a few, of a few experiments each, and frees them at exit.
 */
namespace {

constexpr size_t  kSpareLists = 32;
constexpr size_t  kSpareListRoom = 64;

std::vector<vantorell::TargetedList>  ngx_http_vantorell_spare_lists;

}  // namespace


static void
ngx_http_vantorell_cleanup(void *data)
{
    ngx_http_vantorell_ctx_t  *ctx = (ngx_http_vantorell_ctx_t *) data;

    vantorell::TargetedList  &list = ctx->decision.targeted;
    std::vector<vantorell::TargetedList>  &spare =
        ngx_http_vantorell_spare_lists;

    if (list.capacity() > 0 && list.capacity() <= kSpareListRoom
        && spare.size() < spare.capacity())
    {
        list.clear();
        spare.push_back(std::move(list));
    }

    ctx->~ngx_http_vantorell_ctx_t();
}


/*
 * nginx clears r->ctx on every internal redirect, and so does a filter that
 * finalizes the request itself (the not-modified filter's 412), which need
 * not be internal; the pool cleanup that carries the record stays, so the
 * record is found again there (as the realip module finds its own).
 */
ngx_http_vantorell_ctx_t *
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

    std::vector<vantorell::TargetedList>  &spare =
        ngx_http_vantorell_spare_lists;

    if (!spare.empty()) {
        ctx->decision.targeted = std::move(spare.back());
        spare.pop_back();

    } else if (spare.capacity() == 0) {
        /* room for the spares, once: keeping one never allocates */
        try {
            spare.reserve(kSpareLists);
        } catch (...) {
            /* none are kept */
        }
    }

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

    ngx_http_vantorell_debug(r, "Triggered flag found with value: %V",
                      &ctx->flag->value);

    ctx->flag->hash = 0;
    ctx->flag = NULL;
}


/* ---- data --------------------------------------------------------------- */

/*
 * The model the whole way: the file checked or read, and what the worker
 * has to tell about it said.
 */
static vantorell::Result
ngx_http_vantorell_acquire_model(ngx_http_request_t *r,
    ngx_http_vantorell_srv_conf_t *vscf, vantorell::ModelHold *model)
{
    vantorell::Result               status;
    vantorell::FileReport           report;
    vantorell::ChangeCheck          check;
    ngx_http_vantorell_problem_t    problem;

    /* why changes are not notified: said once per worker */
    static ngx_uint_t               check_said;

    status = vantorell::acquireModel((const char *) vscf->data_file.data,
                                     vscf->data_file.len,
                                     &vscf->data_file_slot, model, &check,
                                     &report);

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
                      "vantorell: data file \"%V\": %V", &vscf->data_file,
                      &problem.text);
        break;

    case vantorell::FileReport::Kind::Usable:
        ngx_log_error(NGX_LOG_NOTICE, r->connection->log, 0,
                      "vantorell: data file \"%V\": %uz experiments",
                      &vscf->data_file, report.experiments);
        break;

    case vantorell::FileReport::Kind::None:
        break;
    }

    if (check != vantorell::ChangeCheck::Notified && !check_said) {
        check_said = 1;
        ngx_log_error(NGX_LOG_NOTICE, r->connection->log,
                      vantorell::changeCheckError(check),
                      "vantorell: %V: %s", &vscf->data_file,
                      vantorell::changeCheckText(check));
    }

    return status;
}


/*
 * The model comes from the worker's cache, which learns of every change of
 * the file before a request uses it: a changed file takes effect at once, and
 * the texts are those of reading the file afresh.
 */
static ngx_int_t
ngx_http_vantorell_get_model(ngx_http_request_t *r, vantorell::ModelHold *model)
{
    vantorell::Result               status;
    const vantorell::Result        *failure;
    ngx_http_vantorell_srv_conf_t  *vscf;

    vscf = ngx_http_vantorell_srv_conf(r);

    /* nearly every request: the worker's model, with nothing new to tell */
    if (vantorell::settledModel(&vscf->data_file_slot, model, &failure)) {
        if (failure != NULL) {
            status = *failure;
        }

    } else {
        status = ngx_http_vantorell_acquire_model(r, vscf, model);
    }

    if (ngx_http_vantorell_counts(vscf)) {
        ngx_http_vantorell_metrics_file(r, vscf, status, *model);
    }

    if (!status.ok()) {
        ngx_http_vantorell_debug(r, "Issue with configuration: %s",
                               vantorell::failureText(status).text);
        return NGX_DECLINED;
    }

    return NGX_OK;
}


/* ---- the request's inputs ----------------------------------------------- */

namespace {

/*
 * The request's pool as the core's allocator.  A block handed back is freed
 * at once when the pool took it from the heap (one of its large blocks, such
 * as a long URL text or the matcher's backtracking frames); the rest goes
 * with the request.
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


std::string_view
viewOf(const ngx_str_t &s)
{
    return std::string_view((const char *) s.data, s.len);
}


/*
 * What the decision reads of the request: the URL parts at once, the rest
 * (the visitor id and force expressions, the cookie) only when it asks.
 */
class NginxInputs final : public vantorell::RequestInputs {
public:
    NginxInputs(ngx_http_request_t *r, ngx_http_vantorell_srv_conf_t *vscf,
                ngx_http_vantorell_loc_conf_t *vlcf,
                const vantorell::ModelHold &hold) noexcept
        : r_(r), vscf_(vscf), vlcf_(vlcf), hold_(hold)
    {
        /* a worker's numbers of the codes it met last */
        static vantorell::NumberMemo  numbers_seen;

        numbers = &numbers_seen;
        host = viewOf(r->headers_in.server);
        path = viewOf(r->uri);
        args = viewOf(r->args);
        wantHeader = vscf->experiments_header;
    }

    bool visitorId(std::string_view *id) noexcept override
    {
        return evaluate(vscf_->visitor_id, id);
    }

    bool cookie(std::string_view *value, bool *found) noexcept override
    {
        ngx_str_t  v;

        *found = ngx_http_vantorell_find_cookie(
                     r_, &ngx_http_vantorell_cookie_name, &v) == NGX_OK;
        if (*found) {
            *value = viewOf(v);
        }
        return true;
    }

    bool forceList(std::string_view *text) noexcept override
    {
        return evaluate(vlcf_->force, text);
    }

    /* the stop is the zone's, seen by every worker at once */
    bool stopped(long experiment_id, long variation_id) noexcept override
    {
        return vscf_->guardrail == NGX_HTTP_VANTORELL_GUARDRAIL_STOP
               && ngx_http_vantorell_metrics_stopped(r_, vscf_, hold_,
                                                     experiment_id,
                                                     variation_id);
    }

private:
    /* a directive's expression; none: an empty text */
    bool evaluate(ngx_http_complex_value_t *cv, std::string_view *text)
        noexcept
    {
        ngx_str_t  value;

        if (cv == NULL) {
            *text = std::string_view();
            return true;
        }
        if (ngx_http_complex_value(r_, cv, &value) != NGX_OK) {
            return false;
        }
        *text = viewOf(value);
        return true;
    }

    ngx_http_request_t             *r_;
    ngx_http_vantorell_srv_conf_t  *vscf_;
    ngx_http_vantorell_loc_conf_t  *vlcf_;
    const vantorell::ModelHold     &hold_;
};

}  // namespace


/* ---- apply -------------------------------------------------------------- */

/* The experiments header to the upstream, with the decision's text. */
static ngx_int_t
ngx_http_vantorell_set_header(ngx_http_request_t *r,
    ngx_http_vantorell_ctx_t *ctx)
{
    vantorell::Decision  &decision = ctx->decision;

    if (ngx_http_vantorell_push_header(&r->headers_in.headers,
                                       &ngx_http_vantorell_experiment_key,
                                       ngx_http_vantorell_experiment_key.data,
                                       (u_char *) decision.header,
                                       decision.headerLength)
        == NULL)
    {
        return NGX_ERROR;
    }

    ngx_http_vantorell_debug(r, "Vantorell experiment: %s", decision.header);

    /* $vantorell_experiments is the same text */
    ctx->experiments.data = (u_char *) decision.header;
    ctx->experiments.len = decision.headerLength;

    return NGX_OK;
}


/*
 * The request is assigned: from now on the variables hold the assignment.
 * The assignment is counted here, before a redirect hands the request on.
 */
static void
ngx_http_vantorell_assigned(ngx_http_request_t *r,
    ngx_http_vantorell_ctx_t *ctx)
{
    ngx_http_vantorell_srv_conf_t  *vscf;

    const vantorell::Decision  &decision = ctx->decision;

    ctx->assigned = 1;

    vscf = ngx_http_vantorell_srv_conf(r);

    /* a forced view is no assignment: the split's counts never see it,
     * though its response is a response of the variation it shows */
    if (ngx_http_vantorell_counts(vscf)) {
        ngx_http_vantorell_metrics_outcome(vscf, decision.outcome);

        if (decision.outcome != vantorell::Outcome::Forced
            || ngx_http_vantorell_main_conf(r)->count_responses)
        {
            /*
             * the new visitors' split check relies on codes drawn at random:
             * a code derived from an id is the same on every request that
             * names the id, and a client that keeps no cookie would be a new
             * visitor each time, all in one variation
             */
            ngx_http_vantorell_metrics_assigned(r, vscf, ctx,
                decision.outcome != vantorell::Outcome::Forced,
                decision.newVisitor
                && decision.source != vantorell::CodeSource::VisitorId);
        }
    }

    ngx_http_vantorell_variables_assigned(r);
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

    ngx_http_vantorell_debug(r, "Added flag to stop targeting.");

    return NGX_OK;
}


/*
 * The deciding experiment's variation: the reference leaves the request
 * where it is; a variation flags the request (so that its second pass
 * through the handler is declined at the gate) and redirects it to the
 * variation's location with its own arguments.
 */
static ngx_int_t
ngx_http_vantorell_apply_choice(ngx_http_request_t *r, ngx_http_vantorell_ctx_t *ctx)
{
    ngx_str_t  location;

    const vantorell::Decision  &decision = ctx->decision;

    if (decision.location == NULL) {
        ngx_http_vantorell_assigned(r, ctx);
        ngx_http_vantorell_debug(r, "Redirected to the reference.");
        return NGX_DECLINED;
    }

    if (ngx_http_vantorell_add_flag(r, ctx) != NGX_OK) {
        return NGX_ERROR;
    }

    location.data = (u_char *) decision.location;
    location.len = decision.locationLength;

    /* before the redirect: the variation's location reads the variables */
    ngx_http_vantorell_assigned(r, ctx);

    (void) ngx_http_internal_redirect(r, &location, &r->args);
    ngx_http_finalize_request(r, NGX_DONE);

    return NGX_DONE;
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


/*
 * Whether the module decides this request: NGX_OK with the request's record
 * in *ctxp, or what the handler returns for a request left alone.
 */
static ngx_int_t
ngx_http_vantorell_gate(ngx_http_request_t *r,
    ngx_http_vantorell_ctx_t **ctxp)
{
    ngx_str_t                       ignore;
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

    vscf = ngx_http_vantorell_srv_conf(r);

    if (!vscf->enable) {
        return NGX_DECLINED;
    }

    vlcf = ngx_http_vantorell_loc_conf(r);

    /* the status page takes no part in experiments, and is not counted */
    if (vlcf->status_page != NGX_HTTP_VANTORELL_STATUS_PAGE_NONE) {
        return NGX_DECLINED;
    }

    if (vlcf->ignore != NULL) {
        if (ngx_http_complex_value(r, vlcf->ignore, &ignore) != NGX_OK) {
            return NGX_HTTP_INTERNAL_SERVER_ERROR;
        }

        if (ignore.len >= 4 && ngx_strncmp(ignore.data, "true", 4) == 0) {
            ngx_http_vantorell_ignored(r, vscf);
            return NGX_DECLINED;
        }
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

    } else if (ngx_http_vantorell_counts(vscf)) {
        /* counted once, whatever passes follow: the record says so */
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
    if (vscf->experiments_header
        && ngx_http_vantorell_drop_client_header(r) != NGX_OK)
    {
        return ngx_http_vantorell_failed(vscf);
    }

    if (ngx_http_vantorell_flag_triggered(r)) {
        /*
         * The flag is hidden now: a later pass would not find it again, and
         * must find the record instead, or it would decide the request
         */
        if (ctx == NULL && ngx_http_vantorell_create_ctx(r) == NULL) {
            return ngx_http_vantorell_failed(vscf);
        }
        return ngx_http_vantorell_decided(vscf, vantorell::Outcome::Flagged,
                                          NGX_DECLINED);
    }

    /*
     * Uncounted, a request is given its record only now, when it will be
     * decided: a site whose data file is missing or broken spends nothing
     * on records, and a later pass of such a request (try_files,
     * error_page) looks at the file again, as a new request would.
     */
    vantorell::ModelHold  model;

    if (ngx_http_vantorell_get_model(r, ctx != NULL ? &ctx->model : &model)
        != NGX_OK)
    {
        return ngx_http_vantorell_decided(vscf, vantorell::Outcome::DataError,
                                          NGX_DECLINED);
    }

    if (ctx == NULL) {
        /* from here on, the request's record owns what the decision holds */
        ctx = ngx_http_vantorell_create_ctx(r);
        if (ctx == NULL) {
            return ngx_http_vantorell_failed(vscf);
        }
        ctx->model = std::move(model);
    }

    *ctxp = ctx;

    return NGX_OK;
}


/* What the decision says, done: the cookie, the header, the redirect. */
static ngx_int_t
ngx_http_vantorell_apply(ngx_http_request_t *r, ngx_http_vantorell_ctx_t *ctx,
    vantorell::Allocator *memory)
{
    ngx_int_t                       rc;
    ngx_http_vantorell_srv_conf_t  *vscf;

    vantorell::Decision  &decision = ctx->decision;

    vscf = ngx_http_vantorell_srv_conf(r);

    ngx_http_vantorell_debug_targeting(r, decision);

    /* a long URL text is a large block of the pool, which this gives back */
    decision.releaseUrl(memory);

    if (decision.outcome == vantorell::Outcome::TargetingError) {
        return ngx_http_vantorell_decided(vscf, decision.outcome,
                                          NGX_DECLINED);
    }

    if (decision.outcome == vantorell::Outcome::Untargeted) {
        ngx_http_vantorell_debug(r, "Not targeted by any experiment.");
        return ngx_http_vantorell_decided(vscf, decision.outcome,
                                          NGX_DECLINED);
    }

    ngx_http_vantorell_debug_visitor(r, decision);

    if (ngx_http_vantorell_set_cookie(r, (u_char *) decision.code) != NGX_OK) {
        ngx_http_vantorell_debug(r, "Error while updating/creating cookie");
        return ngx_http_vantorell_failed(vscf);
    }

    ngx_http_vantorell_debug_number(r, decision);
    ngx_http_vantorell_debug_force(r, decision);

    if (vscf->experiments_header
        && ngx_http_vantorell_set_header(r, ctx) != NGX_OK)
    {
        ngx_http_vantorell_debug(r, "Error while writing vantorell header");
        return ngx_http_vantorell_failed(vscf);
    }

    /* counted where it is decided, before a redirect (assigned) */
    rc = ngx_http_vantorell_apply_choice(r, ctx);

    if (rc == NGX_ERROR) {
        return ngx_http_vantorell_failed(vscf);
    }

    return rc;
}


/* gate -> the request's inputs -> decide -> apply */
ngx_int_t
ngx_http_vantorell_handler(ngx_http_request_t *r)
{
    ngx_int_t                  rc;
    ngx_http_vantorell_ctx_t  *ctx;

    ctx = NULL;

    rc = ngx_http_vantorell_gate(r, &ctx);
    if (rc != NGX_OK) {
        return rc;
    }

    PoolAllocator  memory(r->pool);
    NginxInputs    inputs(r, ngx_http_vantorell_srv_conf(r),
                          ngx_http_vantorell_loc_conf(r), ctx->model);

    if (!vantorell::decide(ctx->model, inputs, &memory, &ctx->decision)) {
        ngx_http_vantorell_debug(r, ctx->decision.url == NULL
                                 ? "Error while allocating memory for the url."
                                 : "Error while deciding the request: "
                                   "no memory");
        return ngx_http_vantorell_failed(ngx_http_vantorell_srv_conf(r));
    }

    /* after a redirect the request may be gone: nothing of it is touched */
    return ngx_http_vantorell_apply(r, ctx, &memory);
}
