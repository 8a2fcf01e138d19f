/*
 * A decision's debug lines, in the order of its steps: operators grep for
 * these texts, so they stay as they are.  Each function writes nothing
 * unless the error log's level is debug, and builds no text before that.
 */

#include "ngx_http_vantorell_module.h"

#include "outcome.h"


void
ngx_http_vantorell_debug_targeting(ngx_http_request_t *r,
    const vantorell::Decision &decision)
{
    ngx_str_t  logged;

    if (!ngx_http_vantorell_debug_on(r)) {
        return;
    }

    if (decision.outcome == vantorell::Outcome::TargetingError) {
        ngx_http_vantorell_debug(r, "Error in the targeting configuration: %s",
                                 vantorell::failureText(decision.failure).text);
        return;
    }

    if (decision.url == NULL || decision.targeted.empty()) {
        return;
    }

    logged = ngx_http_vantorell_log_text(r, (const u_char *) decision.url,
                                         decision.urlLength);

    for (const vantorell::Targeted &t : decision.targeted) {
        ngx_http_vantorell_debug(r, "Url: %V is targeted by experiment: %d",
                                 &logged, vantorell::id32(t.experimentId));
    }
}


void
ngx_http_vantorell_debug_visitor(ngx_http_request_t *r,
    const vantorell::Decision &decision)
{
    ngx_str_t  code;

    if (!ngx_http_vantorell_debug_on(r)) {
        return;
    }

    code.data = (u_char *) decision.code;
    code.len = vantorell::kCodeLength;

    /* the id itself is never logged: it is usually an account's */
    if (decision.source == vantorell::CodeSource::VisitorId) {
        ngx_http_vantorell_debug(r, "Visitor code from the visitor id: %V",
                                 &code);

    } else if (decision.idWithoutDigest) {
        ngx_http_vantorell_debug(r, "No visitor code from the visitor id: "
                                 "no digest");
    }

    if (decision.cookieFront) {
        ngx_http_vantorell_debug(r, "Found vantorell cookie from front");
    }

    if (decision.source == vantorell::CodeSource::New) {
        ngx_http_vantorell_debug(r, "Generating a new cookie value: %V ",
                                 &code);
    }
}


void
ngx_http_vantorell_debug_number(ngx_http_request_t *r,
    const vantorell::Decision &decision)
{
    char       digest_text[2 * sizeof(vantorell::Digest) + 1];
    ngx_str_t  code;

    if (!ngx_http_vantorell_debug_on(r)) {
        return;
    }

    code.data = (u_char *) decision.code;
    code.len = vantorell::kCodeLength;

    /* a digest that OpenSSL could not take shows as nothing */
    digest_text[0] = '\0';
    if (decision.digestTaken) {
        vantorell::digestText(decision.digest, digest_text);
    }

    ngx_http_vantorell_debug(r, "Visitor Code: %V", &code);
    ngx_http_vantorell_debug(r, "Sha 256: %s", digest_text);
    ngx_http_vantorell_debug(r, "Random generated number: %.3f",
                             decision.number);

    for (const vantorell::Targeted &t : decision.targeted) {
        if (t.stoppedId != 0) {
            ngx_http_vantorell_debug(r, "Variation %d of experiment %d is "
                                     "stopped by the guardrail: the reference "
                                     "instead",
                                     vantorell::id32(t.stoppedId),
                                     vantorell::id32(t.experimentId));
        }
    }
}


/*
 * What became of the force list.  A listed experiment that does not target
 * the request is left out silently: forcing never targets.
 */
void
ngx_http_vantorell_debug_force(ngx_http_request_t *r,
    const vantorell::Decision &decision)
{
    char       ignored[128];
    size_t     length;
    u_char    *text;
    ngx_str_t  logged;

    if (!ngx_http_vantorell_debug_on(r)) {
        return;
    }

    if (decision.force == vantorell::ForceState::Malformed) {
        logged = ngx_http_vantorell_log_text(r,
                     (const u_char *) decision.forceText.data(),
                     decision.forceText.size());
        ngx_http_vantorell_debug(r, "%s%V%s", vantorell::kMalformedListBefore,
                                 &logged, vantorell::kMalformedListAfter);
        return;
    }

    for (const vantorell::ForcedPair &pair : decision.forced) {
        if (vantorell::ignoredPairText(pair, ignored, sizeof(ignored)) > 0) {
            ngx_http_vantorell_debug(r, "%s", ignored);
        }
    }

    if (decision.forcedCount == 0) {
        return;
    }

    length = vantorell::forcedText(decision.forced, NULL, 0);

    text = (u_char *) ngx_pnalloc(r->pool, length + 1);
    if (text == NULL) {
        return;
    }

    vantorell::forcedText(decision.forced, (char *) text, length + 1);

    ngx_http_vantorell_debug(r, "Forced variations: %s", text);
}
