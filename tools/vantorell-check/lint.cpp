/*
 * lint: every problem the module would meet in a data file, in its own texts,
 * and warnings for what it accepts but is almost always a mistake.
 *
 * The module stops at a file's first problem; lint goes on.  It does so by
 * putting each part to the core on its own: each experiment of the file as a
 * file of one experiment, each condition as an experiment of one condition.
 * The verdicts and their texts are then the core's, with nothing decided
 * twice.
 */
#include "check.h"
#include "outcome.h"
#include "split.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>

namespace vcheck {

namespace {

using Problem = LintProblem;
using Report = LintReport;

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

std::string format(const char *fmt, ...)
{
    char buffer[512];
    va_list args;
    va_start(args, fmt);
    vsnprintf(buffer, sizeof(buffer), fmt, args);
    va_end(args);
    return buffer;
}

/* URL texts that no pattern meant for URLs should take long over: the
 * experiment's own base URL (without its scheme), short and common ones, and
 * long ones of the kind that tracking links and search pages make. */
std::vector<std::string> sampleUrlTexts(const vantorell::Experiment &experiment)
{
    std::vector<std::string> samples;
    std::string base = experiment.baseUrl;
    for (const char *scheme : {"https://", "http://"}) {
        if (base.compare(0, strlen(scheme), scheme) == 0) {
            base.erase(0, strlen(scheme));
        }
    }
    if (!base.empty()) {
        samples.push_back(base);
    }
    samples.push_back("www.example.com");
    samples.push_back("www.example.com/products/shoes/running-shoe-12345?color=blue&size=42");
    std::string path = "www.example.com";
    for (int i = 0; i < 40; i++) {
        path += "/section-" + std::to_string(i) + "/item_" + std::to_string(i * 7919);
    }
    std::string query = "?utm_source=newsletter&utm_medium=email&utm_campaign=spring_sale";
    for (int i = 0; i < 40; i++) {
        query += "&filter" + std::to_string(i) + "=aaaaaaaaaaaaaaaaaaaaaaaa" + std::to_string(i);
    }
    samples.push_back(path + query);
    /* session ids and tracking tokens: long runs of letters and digits */
    samples.push_back("www.example.com/checkout/step-2?session=3f9a0c6e1b7d4a2f8e5c9b1d0a7f3e6c"
                      "5b2d8a4f1e7c3b9d6a0f2e8c4b1d7a5f&ref=newsletter_2024_spring_campaign_b");
    return samples;
}

const char *kindOf(json_object *value)
{
    switch (json_object_get_type(value)) {
    case json_type_null:
        return "null";
    case json_type_boolean:
        return "a boolean";
    case json_type_double:
    case json_type_int:
        return "a number";
    case json_type_object:
        return "an object";
    case json_type_array:
        return "a list";
    case json_type_string:
        return "a text";
    }
    return "a value";
}

json_object *memberOf(json_object *object, const char *name)
{
    json_object *value = nullptr;
    if (!json_object_is_type(object, json_type_object)
        || !json_object_object_get_ex(object, name, &value)) {
        return nullptr;
    }
    return value;
}

/* What the reader does with the members of one record: a missing one (absent,
 * JSON null, or a list where a list belongs that is something else) and what
 * that costs; a scalar given as an object or a list is read as its JSON text;
 * `include` reads only an upper-case Y as yes. */
struct Shape {
    const char *name;
    bool list;
};

/* The first member of a record that the reader takes as missing, or null. */
const char *missingMember(json_object *record, const Shape *shapes, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        json_object *value = memberOf(record, shapes[i].name);
        if (value == nullptr || (shapes[i].list && !json_object_is_type(value, json_type_array))) {
            return shapes[i].name;
        }
    }
    return nullptr;
}

void oddScalars(json_object *record, const Shape *shapes, size_t n, const std::string &where,
                size_t position, Report *report)
{
    for (size_t i = 0; i < n; i++) {
        json_object *value = memberOf(record, shapes[i].name);
        if (value == nullptr || shapes[i].list) {
            continue;
        }
        if (json_object_is_type(value, json_type_object)
            || json_object_is_type(value, json_type_array)) {
            report->warn(position, format("%s: \"%s\" is %s, read as its JSON text",
                                          where.c_str(), shapes[i].name, kindOf(value)));
        }
    }
}

const Shape kVariationShape[] = {{"redirection", false}, {"id", false}, {"weight", false}};
const Shape kGroupShape[] = {{"orOperator", false}, {"conditions", true}};
const Shape kConditionShape[] = {
    {"orOperator", false}, {"id", false}, {"url", false}, {"matchType", false}, {"include", false}};
const Shape kExperimentShape[] = {{"baseUrl", false},
                                  {"experimentId", false},
                                  {"targetingConfiguration", false},
                                  {"variations", true},
                                  {"conditionsData", true}};

/* What the reader leaves out of an experiment without a word: lists it
 * empties because one of their records lacks a member. */
void checkShapes(json_object *json, size_t position, Report *report)
{
    oddScalars(json, kExperimentShape, 5, "the experiment", position, report);

    json_object *variations = memberOf(json, "variations");
    size_t count = json_object_is_type(variations, json_type_array)
                       ? json_object_array_length(variations) : 0;
    for (size_t v = 0; v < count; v++) {
        json_object *variation = json_object_array_get_idx(variations, v);
        std::string where = format("variation %zu", v + 1);
        if (!json_object_is_type(variation, json_type_object)) {
            report->warn(position, where + " is " + kindOf(variation)
                                       + ", not an object: the experiment is read with no "
                                         "variations (every visitor sees the reference)");
            break;
        }
        if (const char *missing = missingMember(variation, kVariationShape, 3)) {
            report->warn(position,
                         format("%s has no usable \"%s\": the experiment is read with no "
                                "variations (every visitor sees the reference)",
                                where.c_str(), missing));
            break;
        }
        oddScalars(variation, kVariationShape, 3, where, position, report);
    }

    json_object *groups = memberOf(json, "conditionsData");
    count = json_object_is_type(groups, json_type_array) ? json_object_array_length(groups) : 0;
    for (size_t g = 0; g < count; g++) {
        json_object *group = json_object_array_get_idx(groups, g);
        std::string where = format("group %zu", g + 1);
        if (!json_object_is_type(group, json_type_object)) {
            report->warn(position, where + " is " + kindOf(group)
                                       + ", not an object: the experiment is read with no "
                                         "condition groups (never targeted)");
            break;
        }
        if (const char *missing = missingMember(group, kGroupShape, 2)) {
            report->warn(position,
                         format("%s has no usable \"%s\": the experiment is read with no "
                                "condition groups (never targeted)",
                                where.c_str(), missing));
            break;
        }
        oddScalars(group, kGroupShape, 2, where, position, report);
        json_object *conditions = memberOf(group, "conditions");
        size_t n = json_object_array_length(conditions);
        for (size_t c = 0; c < n; c++) {
            json_object *condition = json_object_array_get_idx(conditions, c);
            std::string at = format("group %zu, condition %zu", g + 1, c + 1);
            if (!json_object_is_type(condition, json_type_object)) {
                report->warn(position, at + " is " + kindOf(condition)
                                           + ", not an object: the group is read with no "
                                             "conditions (never true)");
                break;
            }
            if (const char *missing = missingMember(condition, kConditionShape, 5)) {
                report->warn(position,
                             format("%s has no usable \"%s\": the group is read with no "
                                    "conditions (never true)",
                                    at.c_str(), missing));
                break;
            }
            oddScalars(condition, kConditionShape, 5, at, position, report);
            const char *include = json_object_get_string(memberOf(condition, "include"));
            if (include != nullptr && include[0] != 'Y' && include[0] != 'N') {
                report->warn(position,
                             format("%s: \"include\" is %s: only a value beginning with an "
                                    "upper-case Y includes, this one excludes",
                                    at.c_str(), include));
            }
        }
    }
}

/* The core's verdict on one piece of an experiment as a file of its own: the
 * failure's text, empty when there is none.  A text, not the status: the
 * status points into the model, which goes with this call. */
std::string targetingOf(const vantorell::Experiment &experiment)
{
    vantorell::Model model;
    model.experiments.push_back(experiment);
    vantorell::CompiledPatterns patterns;
    if (!patterns.compile(model)) {
        return textOf(vantorell::Result{vantorell::Failure::FileNoMemory});
    }
    vantorell::Result status = vantorell::targetingFailure(model, patterns);
    return status.ok() ? std::string() : textOf(status);
}

void checkTargeting(const vantorell::Experiment &experiment, size_t position, Report *report,
                    vantorell::Allocator *memory)
{
    vantorell::Experiment bare = experiment;
    bare.conditionGroups.clear();
    std::string failure = targetingOf(bare);
    if (!failure.empty()) {
        report->error(position, failure);
        return;     /* the module stops at the letter: no condition is looked at */
    }

    for (size_t g = 0; g < experiment.conditionGroups.size(); g++) {
        const vantorell::ConditionGroup &group = experiment.conditionGroups[g];
        for (size_t c = 0; c < group.conditions.size(); c++) {
            vantorell::Experiment one = bare;
            one.conditionGroups.push_back(vantorell::ConditionGroup{group.orOperator, {group.conditions[c]}});
            failure = targetingOf(one);
            if (!failure.empty()) {
                report->error(position, format("group %zu, condition %zu: %s", g + 1, c + 1,
                                               failure.c_str()));
                continue;
            }
            if (group.conditions[c].matchType != 'R') {
                continue;
            }
            /* the match budget: the pattern alone, on sample URL texts */
            vantorell::Model model;
            model.experiments.push_back(one);
            model.experiments[0].id = 1;
            vantorell::CompiledPatterns patterns;
            if (!patterns.compile(model)) {
                continue;
            }
            const vantorell::CompiledPattern *compiled =
                patterns.find(model.experiments[0].conditionGroups[0].conditions[0]);
            if (compiled != nullptr && !compiled->source.empty()) {
                report->warn(position,
                             format("group %zu, condition %zu: the pattern is read as \"%s\" "
                                    "(an unknown escape stands for its letter, a \"-\" after a "
                                    "class escape for itself); write it so, as other regular "
                                    "expression libraries refuse it",
                                    g + 1, c + 1, printable(compiled->source).c_str()));
            }
            for (const std::string &sample : sampleUrlTexts(experiment)) {
                vantorell::TargetedList targeted;
                vantorell::Result status = vantorell::targetExperiments(model, patterns, sample.c_str(),
                                                                        memory, &targeted);
                if (status.failure == vantorell::Failure::PatternMatch) {
                    report->warn(position,
                                 format("group %zu, condition %zu: the pattern exceeds the "
                                        "match budget on a URL text of %zu bytes (\"%s\" on "
                                        "every such request)",
                                        g + 1, c + 1, sample.size(), textOf(status).c_str()));
                    break;
                }
            }
        }
    }
}

/* "never true": the first item of a list is joined with false. */
void checkJoins(const vantorell::Experiment &experiment, size_t position, Report *report)
{
    const auto &groups = experiment.conditionGroups;
    if (groups.empty()) {
        report->warn(position, "no condition groups: the experiment never targets a request");
        return;
    }
    if (groups[0].orOperator == '&') {
        report->warn(position, "group 1 has the operator \"&\": the first group is joined "
                               "with false, so it can never count");
    }
    for (size_t g = 0; g < groups.size(); g++) {
        const auto &conditions = groups[g].conditions;
        if (conditions.empty()) {
            report->warn(position, format("group %zu has no conditions: it is never true",
                                          g + 1));
        } else if (conditions[0].orOperator == '&') {
            report->warn(position,
                         format("group %zu, condition 1 has the operator \"&\": the first "
                                "condition is joined with false, so the group is never true "
                                "by it",
                                g + 1));
        }
    }
}

void checkIdsAndWeights(const vantorell::Experiment &experiment, size_t position,
                        Report *report)
{
    if (experiment.id == 0) {
        report->warn(position, "experiment id 0: an experiment of id 0 never targets a request");
    } else if (experiment.id == -1) {
        vantorell::Result status{vantorell::Failure::UntargetableId};
        status.experimentId = -1;
        report->warn(position, format("experiment id -1: every request it targets fails (\"%s\")",
                                      textOf(status).c_str()));
    }

    /* variations in the file's order: the model holds them the other way */
    std::vector<vantorell::Variation> inFile(experiment.variations.rbegin(),
                                             experiment.variations.rend());
    std::map<long, int> seen;
    double total = 0.0;
    for (const vantorell::Variation &variation : inFile) {
        total += variation.weight;
        if (variation.id == 0) {
            report->warn(position, "variation id 0 is the reference's: its visitors see the "
                                   "reference and are not redirected");
        }
        if (++seen[variation.id] == 2) {
            report->warn(position, format("variation id %d stands more than once",
                                          vantorell::id32(variation.id)));
        }
        if (variation.weight < 0 || std::isnan(variation.weight)) {
            report->warn(position, format("variation %d has the weight %g",
                                          vantorell::id32(variation.id), variation.weight));
        }
    }
    if (inFile.empty()) {
        report->warn(position, "no variations: every visitor sees the reference");
        return;
    }

    const double slack = 1e-9;
    if (total < 1.0 - slack) {
        report->warn(position, format("the weights add up to %.6g: the other %.4g%% of the "
                                      "visitors see the reference",
                                      total, 100.0 * (1.0 - total)));
    } else if (total > 1.0 + slack) {
        vantorell::Shares shares;
        std::string cut;
        if (vantorell::expectedShares(experiment.variations, &shares)) {
            for (const vantorell::Variation &variation : inFile) {
                for (const vantorell::Share &share : shares) {
                    if (share.id == variation.id && share.share < variation.weight - slack) {
                        cut += format("%s variation %d gets %.4g%%", cut.empty() ? ":" : ",",
                                      vantorell::id32(variation.id), 100.0 * share.share);
                    }
                }
            }
        }
        report->warn(position, format("the weights add up to %.6g, more than 1: some "
                                      "variations cannot be reached in full",
                                      total) + cut);
    }
}

}  // namespace

int lintPath(const std::string &path, LintReport *report, vantorell::Allocator *memory)
{
    std::string text;
    struct stat identity;
    vantorell::Result status = vantorell::readDataFile(path.c_str(), &text, &identity);
    if (!status.ok()) {
        report->error(0, textOf(status));
        return kExitErrors;
    }
    vantorell::Model whole;
    status = vantorell::modelFromText(text.data(), text.size(), &whole);
    if (!status.ok() && status.position == 0) {
        report->error(0, textOf(status));
        return kExitErrors;
    }

    /* the tree the reader walks, to read each experiment on its own */
    json_tokener *tokener = json_tokener_new_ex(JSON_TOKENER_DEFAULT_DEPTH);
    if (tokener == nullptr) {
        report->error(0, textOf(vantorell::Result{vantorell::Failure::FileNoMemory}));
        return kExitErrors;
    }
    Json tree(json_tokener_parse_ex(tokener, text.data(), static_cast<int>(text.size())));
    json_tokener_free(tokener);

    std::map<long, std::vector<size_t>> ids;
    size_t count = json_object_array_length(tree.get());
    for (size_t i = 0; i < count; i++) {
        size_t position = i + 1;
        json_object *element = json_object_array_get_idx(tree.get(), i);
        Json alone(json_object_new_array());
        json_object_array_add(alone.get(), json_object_get(element));
        vantorell::Model model;
        status = vantorell::modelFromJson(alone.get(), &model);
        if (!status.ok()) {
            status.position = position;
            report->error(position, textOf(status));
            continue;
        }
        const vantorell::Experiment &experiment = model.experiments[0];
        ids[experiment.id].push_back(position);
        checkShapes(element, position, report);
        checkTargeting(experiment, position, report, memory);
        checkJoins(experiment, position, report);
        checkIdsAndWeights(experiment, position, report);
    }
    for (const auto &id : ids) {
        if (id.second.size() < 2) {
            continue;
        }
        std::string numbers;
        for (size_t position : id.second) {
            numbers += (numbers.empty() ? "" : ", ") + std::to_string(position);
        }
        report->warn(0, format("experiment id %d stands at numbers %s: each of them targets "
                               "on its own, the variations of number %zu decide for all",
                               vantorell::id32(id.first), numbers.c_str(), id.second.back()));
    }

    /* the module names variation locations, headers and logs by the low 32
     * bits of an id: ids that differ only above them share those */
    std::map<int, std::vector<long>> alike;
    for (const auto &id : ids) {
        alike[vantorell::id32(id.first)].push_back(id.first);
    }
    for (const auto &same : alike) {
        if (same.second.size() < 2) {
            continue;
        }
        std::string list;
        for (long id : same.second) {
            list += format("%s%ld (number %zu)", list.empty() ? "" : ", ", id,
                           ids[id].back());
        }
        report->warn(0, format("experiment ids %s are %d in 32 bits: their variation "
                               "locations (/experiment_%d_variation_...) are the same",
                               list.c_str(), same.first, same.first));
    }

    if (report->unlisted > 0) {
        report->problems.push_back(
            Problem{report->unlistedError, 0,
                    format("%zu more problems are not listed", report->unlisted)});
    }

    int exit = kExitClean;
    for (const Problem &problem : report->problems) {
        exit = std::max(exit, problem.error ? kExitErrors : kExitWarnings);
    }
    return exit;
}

int lint(const std::vector<std::string> &files, const Options &options)
{
    vantorell::HeapAllocator memory;
    int worst = kExitClean;
    Json out(json_object_new_array());
    for (const std::string &path : files) {
        Report report;
        int exit = lintPath(path, &report, &memory);
        worst = std::max(worst, exit);
        if (options.format == Format::Json) {
            json_object *f = json_object_new_object();
            json_object_object_add(f, "file", jsonText(path));
            json_object_object_add(f, "status",
                                   json_object_new_string(exit == kExitErrors     ? "errors"
                                                          : exit == kExitWarnings ? "warnings"
                                                                                  : "clean"));
            json_object *list = json_object_new_array();
            for (const Problem &problem : report.problems) {
                json_object *p = json_object_new_object();
                json_object_object_add(p, "severity",
                                       json_object_new_string(problem.error ? "error" : "warning"));
                json_object_object_add(p, "experiment",
                                       problem.position == 0
                                           ? nullptr
                                           : json_object_new_int64(static_cast<int64_t>(problem.position)));
                json_object_object_add(p, "text", jsonText(problem.text));
                json_object_array_add(list, p);
            }
            json_object_object_add(f, "problems", list);
            json_object_array_add(out.get(), f);
            continue;
        }
        for (const Problem &problem : report.problems) {
            printf("%s: %s: ", printable(path).c_str(), problem.error ? "error" : "warning");
            if (problem.position != 0) {
                printf("experiment number %zu: ", problem.position);
            }
            printf("%s\n", printable(problem.text).c_str());
        }
    }
    if (options.format == Format::Json) {
        printJson(out.get());
    }
    return worst;
}

}  // namespace vcheck
