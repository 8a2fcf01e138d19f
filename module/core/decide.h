/*
 * The decision for one request, written once: the URL text, the visitor's
 * code and number, the targeted experiments and their variations, the force
 * list, the outcome and the texts that tell nginx about it.  The nginx layer
 * gathers the inputs from a request and applies the decision; the
 * command-line tool's explain prints it, with a trace of why.
 */
#ifndef VANTORELL_DECIDE_H
#define VANTORELL_DECIDE_H

#include "allocator.h"
#include "data_file.h"
#include "failure.h"
#include "force.h"
#include "outcome.h"
#include "targeting.h"
#include "visitor.h"

#include <string>
#include <string_view>
#include <vector>

namespace vantorell {

class ModelHold;

/* Where the visitor's code came from. */
enum class CodeSource : unsigned char {
    None,           /* not worked out: no experiment targets the request */
    VisitorId,      /* derived from the visitor id */
    Cookie,         /* the cookie's value */
    CookieFront,    /* the cookie's value, after the front end's "_js_" */
    New,            /* drawn at random */
};

/*
 * What a decision reads of a request.  The URL parts are read on every
 * request; the rest is asked for only once an experiment targets it, so an
 * untargeted request costs no cookie lookup and no expression.  Each
 * question returns false when the request cannot answer it (no memory): the
 * request then fails.
 */
class RequestInputs {
public:
    std::string_view host;      /* as nginx keeps it: lower case, no port */
    std::string_view path;      /* decoded and normalised */
    std::string_view args;      /* as sent */

    /* Whether the experiments header's text is wanted. */
    bool wantHeader = true;

    /* Where a new visitor's code comes from; null: the host's sources. */
    RandomSource *random = nullptr;

    /* The numbers of codes seen before; null: every digest is taken. */
    NumberMemo *numbers = nullptr;

    /* The visitor id; empty: none. */
    virtual bool visitorId(std::string_view *id) noexcept = 0;

    /* The visitor cookie's value; *found is false without one. */
    virtual bool cookie(std::string_view *value, bool *found) noexcept = 0;

    /* The force list's text, which must live as long as the decision;
     * empty: none. */
    virtual bool forceList(std::string_view *text) noexcept = 0;

    /* A number to take instead of the code's, to see the choice at an exact
     * number; false: the code's. */
    virtual bool givenNumber(double *) noexcept { return false; }

    /* Whether the guardrail stopped giving the variation: its visitors then
     * get the reference.  Asked only of a variation the number chose (a
     * forced one is shown as forced). */
    virtual bool stopped(long /* experimentId */, long /* variationId */) noexcept
    {
        return false;
    }

protected:
    ~RequestInputs() = default;
};

enum class ForceState : unsigned char {
    None,           /* no force list (or an empty one) */
    Malformed,      /* not a list of pairs: ignored as a whole */
    Listed,         /* parsed: each pair has its fate */
};

struct Decision {
    /* TargetingError, Untargeted, Reference, Redirected, Forced, or Error
     * (the request could not be decided: no memory) */
    Outcome outcome = Outcome::Untargeted;
    Result failure;                 /* targeting's, with TargetingError */

    /* host + path + "?" + args (the path "/" alone counts as none, the
     * question mark stands only before arguments), NUL-terminated */
    char *url = nullptr;
    size_t urlLength = 0;

    /* The visitor, once an experiment targets the request (with a trace,
     * always). */
    char code[kCodeLength] = {};
    CodeSource source = CodeSource::None;
    bool newVisitor = false;        /* the client did not hold this code yet */
    bool idWithoutDigest = false;   /* an id, but no digest to derive a code */
    bool cookieFront = false;       /* the cookie was read in the "_js_" form */
    bool digestTaken = false;       /* false: OpenSSL failed, the number is 0 */
    Digest digest{};
    double number = 0.0;

    /* The targeted experiments in the file's order with their variations,
     * the forced ones and the guardrail's stops applied; the first decides
     * the location. */
    TargetedList targeted;

    ForceState force = ForceState::None;
    std::string_view forceText;
    ForcedList forced;              /* the pairs and their fates */
    size_t forcedCount = 0;         /* pairs applied: the request is forced */

    /* "12=3, 7=0", when wanted; NUL-terminated */
    char *header = nullptr;
    size_t headerLength = 0;

    /* "/experiment_12_variation_3" when the deciding experiment gives a
     * variation (the arguments are the request's own); NUL-terminated */
    char *location = nullptr;
    size_t locationLength = 0;

    bool assigned() const noexcept
    {
        return outcome == Outcome::Reference || outcome == Outcome::Redirected
               || outcome == Outcome::Forced;
    }

    /* Gives the URL text back to the allocator (a long one is a large
     * block), once it is no longer shown. */
    void releaseUrl(Allocator *memory) noexcept;

    /* Gives every text back to the allocator. */
    void releaseTexts(Allocator *memory) noexcept;
};

/* Why one experiment targets the request or not: its evaluation, item by
 * item, and the group (and the condition in it) at which the result was
 * settled, from 0; -1 for none. */
struct ExperimentExplanation {
    const Experiment *experiment = nullptr;
    size_t position = 0;            /* in the file, from 1 */
    ExperimentTrace trace;
    int group = -1;
    int condition = -1;
};

/* What a decision records of its steps for the command-line tool. */
struct Trace {
    std::vector<ExperimentExplanation> experiments;     /* the file's order */
};

/*
 * Decides a request on the worker's model.  False when the request cannot
 * be decided (no memory, or an input that could not be read): the outcome is
 * then Error.  The texts come from `memory`.
 */
bool decide(const ModelHold &model, RequestInputs &inputs, Allocator *memory,
            Decision *decision) noexcept;

/*
 * The same on a model read afresh, with nothing cached; with a trace, every
 * experiment's evaluation is recorded, and the visitor and the force list
 * are worked out even for a request that no experiment targets (the list
 * then applies to nothing: its pairs stay unused).
 */
bool decide(const Model &model, const CompiledPatterns &patterns, RequestInputs &inputs,
            Allocator *memory, Decision *decision, Trace *trace = nullptr) noexcept;

}  // namespace vantorell

#endif
