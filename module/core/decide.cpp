#include "decide.h"

#include "cached_targeting.h"

#include <cstring>
#include <new>

namespace vantorell {

namespace {

/* The model a decision is made on: the worker's, through its cache, or one
 * read afresh. */
class DecisionModel {
public:
    virtual Result target(const char *url, Allocator *memory,
                          TargetedList *targeted) const noexcept = 0;
    virtual void choose(TargetedList *targeted, double number) const noexcept = 0;
    virtual size_t force(ForcedList *pairs, TargetedList *targeted) const noexcept = 0;

protected:
    ~DecisionModel() = default;
};

class HeldModel final : public DecisionModel {
public:
    explicit HeldModel(const ModelHold &hold) noexcept : hold_(hold) {}

    Result target(const char *url, Allocator *memory,
                  TargetedList *targeted) const noexcept override
    {
        return targetModel(hold_, url, memory, targeted);
    }

    void choose(TargetedList *targeted, double number) const noexcept override
    {
        chooseVariations(hold_, targeted, number);
    }

    size_t force(ForcedList *pairs, TargetedList *targeted) const noexcept override
    {
        return applyForcedList(hold_, pairs, targeted);
    }

private:
    const ModelHold &hold_;
};

class ModelAfresh final : public DecisionModel {
public:
    ModelAfresh(const Model &model, const CompiledPatterns &patterns) noexcept
        : model_(model), patterns_(patterns)
    {
    }

    Result target(const char *url, Allocator *memory,
                  TargetedList *targeted) const noexcept override
    {
        return targetExperiments(model_, patterns_, url, memory, targeted);
    }

    void choose(TargetedList *targeted, double number) const noexcept override
    {
        for (Targeted &record : *targeted) {
            const Experiment *experiment = findExperiment(model_, record.experimentId);
            const Variation *chosen =
                experiment != nullptr ? chooseVariation(experiment->variations, number) : nullptr;
            record.variationId = chosen != nullptr ? chosen->id : 0;
        }
    }

    size_t force(ForcedList *pairs, TargetedList *targeted) const noexcept override
    {
        return applyForcedList(model_, pairs, targeted);
    }

private:
    const Model &model_;
    const CompiledPatterns &patterns_;
};

bool buildUrl(const RequestInputs &inputs, Allocator *memory, Decision *decision) noexcept
{
    std::string_view path = inputs.path;
    if (path == "/") {
        path = std::string_view();
    }
    size_t length = inputs.host.size() + path.size() + (inputs.args.empty() ? 0 : inputs.args.size() + 1);

    char *url = static_cast<char *>(memory->allocate(length + 1));
    if (url == nullptr) {
        return false;
    }
    char *p = url;
    /* an HTTP/1.0 request without Host has no host text at all */
    if (!inputs.host.empty()) {
        memcpy(p, inputs.host.data(), inputs.host.size());
        p += inputs.host.size();
    }
    if (!path.empty()) {
        memcpy(p, path.data(), path.size());
        p += path.size();
    }
    if (!inputs.args.empty()) {
        *p++ = '?';
        memcpy(p, inputs.args.data(), inputs.args.size());
        p += inputs.args.size();
    }
    *p = '\0';

    decision->url = url;
    decision->urlLength = length;
    return true;
}

/*
 * The visitor's code: from the visitor id when there is one (a client that
 * holds another code, or none, is new to it); otherwise the cookie's; else a
 * new one.
 */
bool workOutVisitor(RequestInputs &inputs, Decision *decision) noexcept
{
    std::string_view id;
    if (!inputs.visitorId(&id)) {
        return false;
    }
    bool fromId = false;
    if (!id.empty()) {
        fromId = visitorCodeOfId(id.data(), id.size(), decision->code);
        /* OpenSSL could not take a digest: the visitor as without an id */
        decision->idWithoutDigest = !fromId;
    }

    std::string_view cookie;
    bool found = false;
    if (!inputs.cookie(&cookie, &found)) {
        return false;
    }
    int offset = found ? visitorCodeOffset(cookie.data(), cookie.size()) : -1;
    decision->cookieFront = offset > 0;

    if (fromId) {
        decision->source = CodeSource::VisitorId;
        decision->newVisitor =
            offset < 0 || memcmp(cookie.data() + offset, decision->code, kCodeLength) != 0;
    } else if (offset >= 0) {
        /* only the 16 code bytes count, never what follows them */
        memcpy(decision->code, cookie.data() + offset, kCodeLength);
        decision->source = offset > 0 ? CodeSource::CookieFront : CodeSource::Cookie;
        decision->newVisitor = false;
    } else {
        newVisitorCode(decision->code, kCodeLength,
                       inputs.random != nullptr ? *inputs.random : hostRandom());
        decision->source = CodeSource::New;
        decision->newVisitor = true;
    }

    /* a digest that OpenSSL cannot take is all zeros: the number 0 */
    if (inputs.numbers != nullptr
        && inputs.numbers->find(decision->code, &decision->digest, &decision->number)) {
        decision->digestTaken = true;
    } else {
        decision->digestTaken = visitorDigest(decision->code, &decision->digest);
        decision->number = visitorNumber(decision->digest);
        if (decision->digestTaken && inputs.numbers != nullptr) {
            inputs.numbers->keep(decision->code, decision->digest, decision->number);
        }
    }
    double given;
    if (inputs.givenNumber(&given)) {
        decision->number = given;
    }
    return true;
}

/* The force list, read: its pairs wait to be applied. */
bool readForce(RequestInputs &inputs, Decision *decision) noexcept
{
    if (!inputs.forceList(&decision->forceText)) {
        return false;
    }
    if (decision->forceText.empty()) {
        return true;
    }
    switch (parseForcedList(decision->forceText.data(), decision->forceText.size(),
                            &decision->forced)) {
    case ForcedParse::Ok:
        decision->force = ForceState::Listed;
        return true;
    case ForcedParse::Malformed:
        decision->force = ForceState::Malformed;
        return true;
    case ForcedParse::NoMemory:
        break;
    }
    return false;
}

/* The force list, applied to the choices already made. */
bool applyForce(const DecisionModel &model, RequestInputs &inputs, Decision *decision) noexcept
{
    if (!readForce(inputs, decision)) {
        return false;
    }
    if (decision->force == ForceState::Listed) {
        decision->forcedCount = model.force(&decision->forced, &decision->targeted);
    }
    return true;
}

/* The guardrail's stops: a stopped variation's visitors get the reference. */
void applyStops(RequestInputs &inputs, Decision *decision) noexcept
{
    for (Targeted &record : decision->targeted) {
        if (record.variationId != 0 && !record.forced
            && inputs.stopped(record.experimentId, record.variationId)) {
            record.stoppedId = record.variationId;
            record.variationId = 0;
        }
    }
}

/* What a trace shows of a request that no experiment takes: the visitor and
 * the force list as they would be. */
bool traceUnassigned(RequestInputs &inputs, Decision *decision) noexcept
{
    return workOutVisitor(inputs, decision) && readForce(inputs, decision);
}

bool writeTexts(const RequestInputs &inputs, Allocator *memory, Decision *decision) noexcept
{
    /* each text is written once, into room for its longest form: measuring
     * it first would cost as much as writing it */
    const TargetedList &targeted = decision->targeted;
    if (inputs.wantHeader) {
        size_t room = experimentsHeaderRoom(targeted);
        decision->header = static_cast<char *>(memory->allocate(room));
        if (decision->header == nullptr) {
            return false;
        }
        decision->headerLength = experimentsHeaderText(targeted, decision->header, room);
    }

    const Targeted &deciding = targeted.front();
    if (deciding.variationId != 0) {
        size_t room = kVariationLocationRoom;
        decision->location = static_cast<char *>(memory->allocate(room));
        if (decision->location == nullptr) {
            return false;
        }
        decision->locationLength = variationLocationText(
            deciding.experimentId, deciding.variationId, decision->location, room);
    }
    return true;
}

/* The item at which a joined list took its final value for good (from 0),
 * or -1 for an empty list. */
template <typename Item, typename Value>
int decidingItem(const std::vector<Item> &items, size_t evaluated, Value value)
{
    if (evaluated == 0) {
        return -1;
    }
    std::vector<bool> running;
    bool joined = false;
    for (size_t i = 0; i < evaluated; i++) {
        joined = joinResults(joined, items[i].orOperator, value(i));
        running.push_back(joined);
    }
    int k = static_cast<int>(evaluated) - 1;
    while (k > 0 && running[k - 1] == running.back()) {
        k--;
    }
    return k;
}

/* Every experiment's evaluation, in the file's order (the model keeps them
 * the other way round). */
void explainExperiments(const Model &model, const CompiledPatterns &patterns, const char *url,
                        Allocator *memory, Trace *trace)
{
    size_t count = model.experiments.size();
    for (size_t i = count; i-- > 0;) {
        ExperimentExplanation e;
        e.experiment = &model.experiments[i];
        e.position = count - i;
        /* a failure ends the trace where targeting stops; the decision has
         * the failure already */
        (void) traceExperiment(*e.experiment, patterns, url, memory, &e.trace);
        const auto &groups = e.experiment->conditionGroups;
        const auto &traced = e.trace.groups;
        e.group = decidingItem(groups, traced.size(), [&](size_t g) { return traced[g].result; });
        if (e.group >= 0) {
            const auto &conditions = groups[e.group].conditions;
            const auto &tconditions = traced[e.group].conditions;
            e.condition = decidingItem(conditions, tconditions.size(),
                                       [&](size_t c) { return tconditions[c].satisfied; });
        }
        trace->experiments.push_back(std::move(e));
    }
}

bool decideOn(const DecisionModel &model, RequestInputs &inputs, Allocator *memory,
              Decision *decision, bool visitorAlways) noexcept
{
    if (!buildUrl(inputs, memory, decision)) {
        return false;
    }

    decision->failure = model.target(decision->url, memory, &decision->targeted);
    if (!decision->failure.ok()) {
        /* the request is left alone, as for any failure of targeting */
        decision->outcome = Outcome::TargetingError;
        return !visitorAlways || traceUnassigned(inputs, decision);
    }
    if (decision->targeted.empty()) {
        decision->outcome = Outcome::Untargeted;
        return !visitorAlways || traceUnassigned(inputs, decision);
    }

    if (!workOutVisitor(inputs, decision)) {
        return false;
    }
    model.choose(&decision->targeted, decision->number);
    if (!applyForce(model, inputs, decision)) {
        return false;
    }
    applyStops(inputs, decision);

    /* a forced request is counted as forced, wherever it goes */
    decision->outcome = decision->forcedCount > 0 ? Outcome::Forced
                        : decision->targeted.front().variationId == 0 ? Outcome::Reference
                                                                       : Outcome::Redirected;
    return writeTexts(inputs, memory, decision);
}

bool failed(Decision *decision) noexcept
{
    decision->outcome = Outcome::Error;
    return false;
}

}  // namespace

void Decision::releaseUrl(Allocator *memory) noexcept
{
    if (url != nullptr) {
        memory->release(url);
        url = nullptr;
    }
}

void Decision::releaseTexts(Allocator *memory) noexcept
{
    releaseUrl(memory);
    if (header != nullptr) {
        memory->release(header);
        header = nullptr;
    }
    if (location != nullptr) {
        memory->release(location);
        location = nullptr;
    }
}

bool decide(const ModelHold &model, RequestInputs &inputs, Allocator *memory,
            Decision *decision) noexcept
{
    HeldModel held(model);
    return decideOn(held, inputs, memory, decision, false) || failed(decision);
}

bool decide(const Model &model, const CompiledPatterns &patterns, RequestInputs &inputs,
            Allocator *memory, Decision *decision, Trace *trace) noexcept
{
    ModelAfresh afresh(model, patterns);
    if (!decideOn(afresh, inputs, memory, decision, trace != nullptr)) {
        return failed(decision);
    }
    if (trace != nullptr) {
        try {
            explainExperiments(model, patterns, decision->url, memory, trace);
        } catch (const std::bad_alloc &) {
            return failed(decision);
        }
    }
    return true;
}

}  // namespace vantorell
