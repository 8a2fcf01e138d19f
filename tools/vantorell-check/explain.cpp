/*
 * explain: what the module makes of one request, step by step.
 */
extern "C" {
#include <ngx_config.h>
#include <ngx_core.h>
#include <ngx_http.h>
}

#include "check.h"
#include "decide.h"
#include "force.h"
#include "nginx_pool.h"
#include "ngx_vantorell_compat.h"
#include "outcome.h"
#include "visitor.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>

namespace vcheck {

namespace {

ngx_str_t cookieName = {vantorell::kCookieNameLength,
                        reinterpret_cast<u_char *>(const_cast<char *>(vantorell::kCookieName))};
ngx_str_t cookieKey = ngx_string("Cookie");

/* The host as nginx keeps it for a request (what the URL text begins with):
 * lower case, without a port or a trailing dot.  Empty when there is none. */
bool normaliseHost(const std::string &given, std::string *host)
{
    std::string h;
    bool bracket = !given.empty() && given[0] == '[';
    for (size_t i = 0; i < given.size(); i++) {
        char c = given[i];
        if (c == ']' && bracket) {
            h += c;
            break;
        }
        if (c == ':' && !bracket) {
            break;
        }
        if (c == '/' || c == '\\' || c == '\0' || (c == '.' && i > 0 && given[i - 1] == '.')) {
            return false;   /* nginx answers 400 to such a Host */
        }
        h += static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    while (!h.empty() && h.back() == '.') {
        h.pop_back();
    }
    *host = h;
    return true;
}

/* Splits URL into its host, when it names one, and the request target. */
bool splitUrl(const std::string &url, std::string *host, bool *hasHost, std::string *target)
{
    std::string rest = url;
    *hasHost = false;
    for (const char *scheme : {"http://", "https://"}) {
        size_t n = strlen(scheme);
        if (rest.compare(0, n, scheme) == 0) {
            size_t end = rest.find_first_of("/?", n);
            *host = rest.substr(n, end == std::string::npos ? std::string::npos : end - n);
            rest = end == std::string::npos ? "/" : rest.substr(end);
            if (rest[0] == '?') {
                rest.insert(0, "/");
            }
            *hasHost = true;
            break;
        }
    }
    if (rest.empty() || rest[0] != '/') {
        return false;
    }
    *target = rest;
    return true;
}

/* The path and arguments nginx makes of a request target: its own parser of
 * the request line, then the decoding and normalising of the path (percent
 * escapes, "//", "/./" and "/../") that nginx applies with its default
 * merge_slashes on.  The arguments stay as they were sent.  False for a
 * target nginx answers with 400. */
bool parseTarget(ngx_pool_t *pool, const std::string &target, std::string *path,
                 std::string *args)
{
    std::string line = "GET " + target + " HTTP/1.1\r\n";
    auto *r = static_cast<ngx_http_request_t *>(ngx_pcalloc(pool, sizeof(ngx_http_request_t)));
    auto *start = static_cast<u_char *>(ngx_pnalloc(pool, line.size()));
    if (r == nullptr || start == nullptr) {
        return false;
    }
    memcpy(start, line.data(), line.size());
    ngx_buf_t b{};
    b.start = b.pos = start;
    b.last = b.end = start + line.size();
    r->pool = pool;
    if (ngx_http_parse_request_line(r, &b) != NGX_OK || r->host_start != nullptr) {
        return false;
    }
    r->uri.len = r->args_start ? static_cast<size_t>(r->args_start - 1 - r->uri_start)
                               : static_cast<size_t>(r->uri_end - r->uri_start);
    if (r->complex_uri || r->quoted_uri) {
        r->uri.data = static_cast<u_char *>(ngx_pnalloc(pool, r->uri.len + 1));
        if (r->uri.data == nullptr || ngx_http_parse_complex_uri(r, 1) != NGX_OK) {
            return false;
        }
    } else {
        r->uri.data = r->uri_start;
    }
    path->assign(reinterpret_cast<const char *>(r->uri.data), r->uri.len);
    args->clear();
    if (r->args_start && r->uri_end > r->args_start) {
        args->assign(reinterpret_cast<const char *>(r->args_start),
                     static_cast<size_t>(r->uri_end - r->args_start));
    }
    return true;
}

/* The value of the visitor cookie in a Cookie header value, found by the
 * module's own lookup in nginx.  False when the header has none. */
bool cookieValue(ngx_pool_t *pool, const std::string &header, std::string *value)
{
    /* nginx hands a module the header's value without its outer blanks */
    size_t first = header.find_first_not_of(" \t");
    size_t last = header.find_last_not_of(" \t");
    std::string trimmed = first == std::string::npos ? "" : header.substr(first, last - first + 1);

    ngx_table_elt_t element{};
    element.hash = 1;
    element.key = cookieKey;
    element.lowcase_key = reinterpret_cast<u_char *>(const_cast<char *>("cookie"));
    element.value.data = reinterpret_cast<u_char *>(&trimmed[0]);
    element.value.len = trimmed.size();

    /* the request as far as the lookup reads it: its pool, its Cookie
     * header, and the connection's log, which an nginx built with debugging
     * (as Debian's is) gives the lookup's trace to; at level 0 it writes
     * nothing */
    ngx_log_t log{};
    ngx_connection_t connection{};
    connection.log = &log;
    ngx_http_request_t r{};
    r.pool = pool;
    r.connection = &connection;
    if (ngx_http_vantorell_add_cookie_header(&r, &element) != NGX_OK) {
        return false;
    }

    ngx_str_t found = {0, nullptr};
    if (ngx_http_vantorell_find_cookie(&r, &cookieName, &found) != NGX_OK) {
        return false;
    }
    value->assign(reinterpret_cast<const char *>(found.data), found.len);
    return true;
}

const char *fateName(vantorell::ForcedFate fate)
{
    switch (fate) {
    case vantorell::ForcedFate::Applied:
        return "applied";
    case vantorell::ForcedFate::NotTargeted:
        return "not_targeted";
    case vantorell::ForcedFate::UnknownExperiment:
        return "unknown_experiment";
    case vantorell::ForcedFate::UnknownVariation:
        return "unknown_variation";
    case vantorell::ForcedFate::Repeated:
        return "repeated";
    case vantorell::ForcedFate::Unused:
        break;
    }
    return "unused";
}

/* One pair of the force list: what became of it, in the module's words where
 * the module logs it. */
void describeForcedPair(const vantorell::ForcedPair &pair, Node *force)
{
    char ignored[128];
    if (vantorell::ignoredPairText(pair, ignored, sizeof(ignored)) > 0) {
        force->line().literal(ignored);
    } else if (pair.fate == vantorell::ForcedFate::Applied) {
        force->line().format("forced: experiment %d to variation %d",
                             vantorell::id32(pair.experimentId), vantorell::id32(pair.variationId));
    } else if (pair.fate == vantorell::ForcedFate::NotTargeted) {
        force->line().format("force left out: experiment %d does not target the URL text "
                             "(forcing never targets)",
                             vantorell::id32(pair.experimentId));
    }
}

/* What the tool knows of a request: what its options give, the cookie read
 * as the module reads it in nginx. */
class ToolInputs final : public vantorell::RequestInputs {
public:
    ToolInputs(const Options &options, ngx_pool_t *pool, const vantorell::ForcedList &stopped)
        : options_(options), pool_(pool), stopped_(stopped)
    {
    }

    bool visitorId(std::string_view *id) noexcept override
    {
        *id = options_.hasVisitorId ? std::string_view(options_.visitorId) : std::string_view();
        return true;
    }

    /* a given code stands for the cookie's value */
    bool cookie(std::string_view *value, bool *found) noexcept override
    {
        *found = false;
        if (options_.hasCode) {
            *value = options_.code;
            *found = true;
        } else if (options_.hasCookie) {
            try {
                *found = cookieValue(pool_, options_.cookie, &cookie_);
            } catch (const std::bad_alloc &) {
                return false;
            }
            *value = cookie_;
        }
        return true;
    }

    bool forceList(std::string_view *text) noexcept override
    {
        *text = options_.hasForce ? std::string_view(options_.force) : std::string_view();
        return true;
    }

    bool stopped(long experimentId, long variationId) noexcept override
    {
        for (const vantorell::ForcedPair &pair : stopped_) {
            if (pair.experimentId == experimentId && pair.variationId == variationId) {
                return true;
            }
        }
        return false;
    }

private:
    const Options &options_;
    ngx_pool_t *pool_;
    const vantorell::ForcedList &stopped_;
    std::string cookie_;
};

/* Where the code came from, in the tool's words. */
std::string sourceText(const vantorell::Decision &decision, const Options &options)
{
    switch (decision.source) {
    case vantorell::CodeSource::VisitorId:
        return "visitor id";
    case vantorell::CodeSource::Cookie:
        return options.hasCode ? "given" : "cookie";
    case vantorell::CodeSource::CookieFront:
        return options.hasCode ? "given" : "cookie (front end's \"_js_\" form)";
    case vantorell::CodeSource::New:
    case vantorell::CodeSource::None:
        break;
    }
    return options.hasCookie ? "generated (the cookie holds no usable code)" : "generated";
}

}  // namespace

int explain(const std::string &path, const std::string &url, const Options &options)
{
    std::string givenHost, hostPart, target, uriPath, args;
    bool urlHasHost = false;
    if (!splitUrl(url, &hostPart, &urlHasHost, &target)) {
        fprintf(stderr, "vantorell-check: URL must be http://HOST/PATH or /PATH: %s\n",
                url.c_str());
        return kExitErrors;
    }
    if (urlHasHost && options.hasHost) {
        fprintf(stderr, "vantorell-check: the URL names its host: --host is not taken\n");
        return kExitErrors;
    }
    givenHost = urlHasHost ? hostPart : options.host;
    std::string host;
    if (!normaliseHost(givenHost, &host)) {
        fprintf(stderr, "vantorell-check: nginx refuses the host \"%s\" (400)\n",
                givenHost.c_str());
        return kExitErrors;
    }

    vantorell::HeapAllocator memory;
    NginxPool pool(16384);
    if (pool.get() == nullptr) {
        fprintf(stderr, "vantorell-check: out of memory\n");
        return kExitErrors;
    }
    if (!parseTarget(pool.get(), target, &uriPath, &args)) {
        fprintf(stderr, "vantorell-check: nginx refuses the request target \"%s\" (400)\n",
                target.c_str());
        return kExitErrors;
    }

    /* a given code must be one the module would use */
    if (options.hasCode && vantorell::visitorCodeOffset(options.code.data(), options.code.size()) < 0) {
        fprintf(stderr,
                "vantorell-check: a code is 16 cookie octets (optionally after \"_js_\"): "
                "the module would not use \"%s\"\n",
                options.code.c_str());
        return kExitErrors;
    }

    /* the stopped variations are written as a force list is */
    vantorell::ForcedList stopped;
    if (options.hasStopped
        && vantorell::parseForcedList(options.stopped.data(), options.stopped.size(), &stopped)
               != vantorell::ForcedParse::Ok) {
        fprintf(stderr, "vantorell-check: --stopped takes pairs EXPERIMENT=VARIATION, "
                        "as \"101=2, 202=3\": not \"%s\"\n",
                options.stopped.c_str());
        return kExitErrors;
    }

    LoadedFile file;
    loadFile(path, &file);
    if (!file.usable) {
        Node out = Node::object();
        out.set("file", Node::text(path));
        out.set("outcome", Node::text("data_error"));
        Node &error = out.set("error", Node::text(file.problem));
        error.line().text(path).literal(": ").text(file.problem);
        error.line().literal("the module leaves every request alone");
        printReport(out, options.format);
        return kExitErrors;
    }

    /* the module's own decision, with the trace of its steps */
    ToolInputs inputs(options, pool.get(), stopped);
    inputs.host = host;
    inputs.path = uriPath;
    inputs.args = args;
    vantorell::Decision decision;
    vantorell::Trace trace;
    bool decided = vantorell::decide(file.model, file.patterns, inputs, &memory, &decision, &trace);
    struct Texts {
        vantorell::HeapAllocator *memory;
        vantorell::Decision *decision;
        ~Texts() { decision->releaseTexts(memory); }
    } texts{&memory, &decision};
    if (!decided) {
        fprintf(stderr, "vantorell-check: out of memory\n");
        return kExitErrors;
    }

    const std::string text(decision.url, decision.urlLength);
    const std::string code(decision.code, vantorell::kCodeLength);
    const std::string source = sourceText(decision, options);
    const std::vector<vantorell::ExperimentExplanation> &reports = trace.experiments;
    const vantorell::TargetedList &targeted = decision.targeted;
    const vantorell::ForcedList &pairs = decision.forced;
    const vantorell::Result &status = decision.failure;
    const bool forceMalformed = decision.force == vantorell::ForceState::Malformed;
    const double number = decision.number;
    const std::string outcome = vantorell::outcomeName(decision.outcome);
    const std::string header = decision.header != nullptr ? decision.header : "";
    std::string location = decision.location != nullptr ? decision.location : "";
    if (!location.empty() && !args.empty()) {
        location += "?" + args;
    }
    std::string digestHex(64, '0');
    if (decision.digestTaken) {
        char hex[2 * sizeof(vantorell::Digest) + 1];
        vantorell::digestText(decision.digest, hex);
        digestHex = hex;
    }

    Node out = Node::object();
    out.set("file", Node::text(path));
    out.set("url_text", Node::text(text)).line().literal("URL text: ").text(text);

    Node &experiments = out.set("experiments", Node::list());
    for (const vantorell::ExperimentExplanation &report : reports) {
        Node &e = experiments.add(Node::object());
        e.set("id", Node::integer(vantorell::id32(report.experiment->id)));
        e.set("position", Node::integer(static_cast<int64_t>(report.position)));
        e.set("targeted", Node::boolean(report.trace.targeted));
        e.set("conditions_met", Node::boolean(report.trace.result));
        e.set("deciding_group", report.group >= 0 ? Node::integer(report.group + 1) : Node());
        e.set("deciding_condition",
              report.condition >= 0 ? Node::integer(report.condition + 1) : Node());
        Node &groups = e.set("groups", Node::list());
        for (const vantorell::GroupTrace &group : report.trace.groups) {
            Node &g = groups.add(Node::object());
            g.set("result", Node::boolean(group.result));
            Node &conditions = g.set("conditions", Node::list());
            for (const vantorell::ConditionTrace &condition : group.conditions) {
                Node &c = conditions.add(Node::object());
                c.set("matched", Node::boolean(condition.matched));
                c.set("satisfied", Node::boolean(condition.satisfied));
            }
        }
        Line &line = e.line();
        line.format("experiment %d (number %zu in the file): %s",
                    vantorell::id32(report.experiment->id), report.position,
                    report.trace.targeted ? "targeted"
                    : report.trace.result ? "conditions met, but its id is never targeted"
                                          : "not targeted");
        if (report.group < 0) {
            line.literal(" (no condition groups)");
        } else {
            line.format(", decided by group %d", report.group + 1);
            if (report.condition >= 0) {
                line.format(" (condition %d)", report.condition + 1);
            }
        }
    }

    Node &visitor = out.set("visitor", Node::object());
    visitor.set("code", Node::text(code));
    visitor.set("source", Node::text(source));
    visitor.set("digest", Node::text(digestHex));
    visitor.set("number", Node::number(number));
    visitor.line().literal("visitor code: ").text(code).format(" (%s)", source.c_str());
    visitor.line().format("digest: %s", digestHex.c_str());
    visitor.line().format("number: %.17g", number);

    /* what the module does with an assigned request, step by step */
    const bool assigned = decision.assigned();
    Node &force = out.set("force", options.hasForce && !options.force.empty() ? Node::object() : Node());
    if (force.kind() == Node::Kind::Object) {
        force.set("text", Node::text(options.force));
        force.set("malformed", Node::boolean(forceMalformed));
        Node &list = force.set("pairs", Node::list());
        for (const vantorell::ForcedPair &pair : pairs) {
            Node &f = list.add(Node::object());
            f.set("experiment", Node::integer(pair.experimentId));
            f.set("variation", Node::integer(pair.variationId));
            f.set("fate", Node::text(fateName(pair.fate)));
        }
    }
    if (assigned && forceMalformed) {
        /* the module's own debug line */
        force.line().literal(vantorell::kMalformedListBefore).text(options.force)
            .literal(vantorell::kMalformedListAfter);
    }
    if (assigned) {
        for (const vantorell::ForcedPair &pair : pairs) {
            describeForcedPair(pair, &force);
        }
    }

    Node &chosen = out.set("targeted", status.ok() ? Node::list() : Node());
    for (const vantorell::Targeted &record : status.ok() ? targeted : vantorell::TargetedList()) {
        Node &t = chosen.add(Node::object());
        t.set("experiment", Node::integer(vantorell::id32(record.experimentId)));
        t.set("variation", Node::integer(vantorell::id32(record.variationId)));
        if (options.hasStopped) {
            t.set("stopped_variation", record.stoppedId != 0
                                           ? Node::integer(vantorell::id32(record.stoppedId))
                                           : Node());
        }
        Line &line = t.line();
        line.format("experiment %d: %s %d", vantorell::id32(record.experimentId),
                    record.variationId == 0 ? "the reference, variation" : "variation",
                    vantorell::id32(record.variationId));
        if (record.stoppedId != 0) {
            line.format(" (the number chose variation %d, which the guardrail stopped)",
                        vantorell::id32(record.stoppedId));
        }
    }

    Node &said = out.set("outcome", Node::text(outcome));
    if (status.ok() && targeted.empty()) {
        said.line().literal("no experiment targets the URL text: the module leaves the request alone");
    }
    Node &error = out.set("error", status.ok() ? Node() : Node::text(textOf(status)));
    if (!status.ok()) {
        error.line().literal("targeting fails: ").text(textOf(status));
        error.line().literal("the module leaves the request alone");
    }
    Node &headerNode = out.set("header", header.empty() ? Node() : Node::text(header));
    Node &locationNode = out.set("location", location.empty() ? Node() : Node::text(location));
    if (assigned) {
        headerNode.line().literal("experiments header: ").text(header);
        if (location.empty()) {
            locationNode.line().literal("location: none (the reference: no redirect)");
        } else {
            locationNode.line().literal("location: ").text(location);
        }
    }
    printReport(out, options.format);
    return status.ok() ? kExitClean : kExitErrors;
}

}  // namespace vcheck
