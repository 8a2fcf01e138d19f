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
#include <cstdio>
#include <cstring>
#include <map>

namespace vcheck {

namespace {

using Problem = LintProblem;
using Report = LintReport;

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

/* The problems of one kind that the walk over an experiment finds. */
class Found {
public:
    void error(std::string text) { problems_.push_back(Problem{true, 0, std::move(text)}); }
    void warn(std::string text) { problems_.push_back(Problem{false, 0, std::move(text)}); }

    void tell(size_t position, Report *report) const
    {
        for (const Problem &problem : problems_) {
            report->add(problem.error, position, problem.text);
        }
    }

private:
    std::vector<Problem> problems_;
};

/* What one walk over an experiment's records finds, told kind by kind: how
 * the reader reads the records, what targeting makes of them, how their
 * lists are joined, then the ids and weights. */
struct Findings {
    Found shapes;
    Found targeting;
    Found joins;
    Found values;

    void tell(size_t position, Report *report) const
    {
        for (const Found *found : {&shapes, &targeting, &joins, &values}) {
            found->tell(position, report);
        }
    }
};

template <size_t n>
void oddScalars(json_object *record, const vantorell::RecordMember (&members)[n],
                const std::string &where, Found *shapes)
{
    for (const vantorell::RecordMember &member : members) {
        json_object *value = vantorell::recordMember(record, member.name);
        if (value == nullptr || member.list) {
            continue;
        }
        if (json_object_is_type(value, json_type_object)
            || json_object_is_type(value, json_type_array)) {
            shapes->warn(format("%s: \"%s\" is %s, read as its JSON text", where.c_str(),
                                member.name, kindOf(value)));
        }
    }
}

/* Whether the reader reads a record of a list; a warning when it does not,
 * as the record then empties its list (`emptied` tells what that costs).
 * A record it reads may still hold scalars it reads as JSON texts. */
template <size_t n>
bool readable(json_object *record, const vantorell::RecordMember (&members)[n],
              const std::string &where, const char *emptied, Found *shapes)
{
    if (!json_object_is_type(record, json_type_object)) {
        shapes->warn(where + " is " + kindOf(record) + ", not an object: " + emptied);
        return false;
    }
    for (const vantorell::RecordMember &member : members) {
        json_object *value = vantorell::recordMember(record, member.name);
        if (value == nullptr || (member.list && !json_object_is_type(value, json_type_array))) {
            shapes->warn(format("%s has no usable \"%s\": %s", where.c_str(), member.name,
                                emptied));
            return false;
        }
    }
    oddScalars(record, members, where, shapes);
    return true;
}

/* How many records a list member holds: none when it is not a list. */
size_t recordCount(json_object *record, const char *name)
{
    json_object *list = vantorell::recordMember(record, name);
    return json_object_is_type(list, json_type_array) ? json_object_array_length(list) : 0;
}

json_object *recordAt(json_object *record, const char *name, size_t i)
{
    return json_object_array_get_idx(vantorell::recordMember(record, name), i);
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

/* One condition put to targeting alone, in an experiment (`bare`) with no
 * other condition; a pattern also on sample URL texts, for the match budget. */
void conditionTargeting(const vantorell::Experiment &experiment,
                        const vantorell::Experiment &bare, char groupOperator,
                        const vantorell::Condition &condition, const std::string &at,
                        vantorell::Allocator *memory, Found *targeting)
{
    vantorell::Experiment one = bare;
    one.conditionGroups.push_back(vantorell::ConditionGroup{groupOperator, {condition}});
    std::string failure = targetingOf(one);
    if (!failure.empty()) {
        targeting->error(at + ": " + failure);
        return;
    }
    if (condition.matchType != 'R') {
        return;
    }
    vantorell::Model model;
    model.experiments.push_back(one);
    model.experiments[0].id = 1;
    vantorell::CompiledPatterns patterns;
    if (!patterns.compile(model)) {
        return;
    }
    const vantorell::CompiledPattern *compiled =
        patterns.find(model.experiments[0].conditionGroups[0].conditions[0]);
    if (compiled != nullptr && !compiled->source.empty()) {
        targeting->warn(format("%s: the pattern is read as \"%s\" (an unknown escape stands for "
                               "its letter, a \"-\" after a class escape for itself); write it "
                               "so, as other regular expression libraries refuse it",
                               at.c_str(), printable(compiled->source).c_str()));
    }
    for (const std::string &sample : sampleUrlTexts(experiment)) {
        vantorell::TargetedList targeted;
        vantorell::Result status =
            vantorell::targetExperiments(model, patterns, sample.c_str(), memory, &targeted);
        if (status.failure == vantorell::Failure::PatternMatch) {
            targeting->warn(format("%s: the pattern exceeds the match budget on a URL text of "
                                   "%zu bytes (\"%s\" on every such request)",
                                   at.c_str(), sample.size(), textOf(status).c_str()));
            break;
        }
    }
}

void idProblems(const vantorell::Experiment &experiment, Found *values)
{
    if (experiment.id == 0) {
        values->warn("experiment id 0: an experiment of id 0 never targets a request");
    } else if (experiment.id == -1) {
        vantorell::Result status{vantorell::Failure::UntargetableId};
        status.experimentId = -1;
        values->warn(format("experiment id -1: every request it targets fails (\"%s\")",
                            textOf(status).c_str()));
    }
}

/* The walk below goes over the file's records of a list and, beside each,
 * the model's record while there is one: the model's lists are the file's,
 * or empty where the reader met a record it could not read (the walk stops
 * at that record). */

void walkVariations(json_object *json, const vantorell::Experiment &experiment, Findings *found)
{
    /* the file's order: the model holds them the other way */
    std::vector<vantorell::Variation> inFile(experiment.variations.rbegin(),
                                             experiment.variations.rend());
    std::map<long, int> seen;
    double total = 0.0;
    size_t count = recordCount(json, vantorell::member::kVariations);
    for (size_t v = 0; v < count; v++) {
        if (!readable(recordAt(json, vantorell::member::kVariations, v),
                      vantorell::kVariationMembers, format("variation %zu", v + 1),
                      "the experiment is read with no variations (every visitor sees the "
                      "reference)",
                      &found->shapes)) {
            break;
        }
        if (v >= inFile.size()) {
            continue;
        }
        const vantorell::Variation &variation = inFile[v];
        total += variation.weight;
        if (variation.id == 0) {
            found->values.warn("variation id 0 is the reference's: its visitors see the "
                               "reference and are not redirected");
        }
        if (++seen[variation.id] == 2) {
            found->values.warn(format("variation id %d stands more than once",
                                      vantorell::id32(variation.id)));
        }
        if (variation.weight < 0 || std::isnan(variation.weight)) {
            found->values.warn(format("variation %d has the weight %g",
                                      vantorell::id32(variation.id), variation.weight));
        }
    }
    if (inFile.empty()) {
        found->values.warn("no variations: every visitor sees the reference");
        return;
    }

    const double slack = 1e-9;
    if (total < 1.0 - slack) {
        found->values.warn(format("the weights add up to %.6g: the other %.4g%% of the "
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
        found->values.warn(format("the weights add up to %.6g, more than 1: some "
                                  "variations cannot be reached in full",
                                  total) + cut);
    }
}

void walkGroups(json_object *json, const vantorell::Experiment &experiment,
                vantorell::Allocator *memory, Findings *found)
{
    vantorell::Experiment bare = experiment;
    bare.conditionGroups.clear();
    std::string letter = targetingOf(bare);
    if (!letter.empty()) {
        /* the module stops at the letter: no condition is looked at */
        found->targeting.error(letter);
    }

    /* "never true": the first item of a list is joined with false */
    const auto &groups = experiment.conditionGroups;
    if (groups.empty()) {
        found->joins.warn("no condition groups: the experiment never targets a request");
    } else if (groups[0].orOperator == '&') {
        found->joins.warn("group 1 has the operator \"&\": the first group is joined with "
                          "false, so it can never count");
    }

    size_t count = recordCount(json, vantorell::member::kConditionsData);
    for (size_t g = 0; g < count; g++) {
        json_object *groupJson = recordAt(json, vantorell::member::kConditionsData, g);
        if (!readable(groupJson, vantorell::kGroupMembers, format("group %zu", g + 1),
                      "the experiment is read with no condition groups (never targeted)",
                      &found->shapes)) {
            break;
        }
        const vantorell::ConditionGroup *group = g < groups.size() ? &groups[g] : nullptr;
        if (group != nullptr && group->conditions.empty()) {
            found->joins.warn(format("group %zu has no conditions: it is never true", g + 1));
        } else if (group != nullptr && group->conditions[0].orOperator == '&') {
            found->joins.warn(format("group %zu, condition 1 has the operator \"&\": the first "
                                     "condition is joined with false, so the group is never "
                                     "true by it",
                                     g + 1));
        }

        size_t n = recordCount(groupJson, vantorell::member::kConditions);
        for (size_t c = 0; c < n; c++) {
            json_object *conditionJson = recordAt(groupJson, vantorell::member::kConditions, c);
            std::string at = format("group %zu, condition %zu", g + 1, c + 1);
            if (!readable(conditionJson, vantorell::kConditionMembers, at,
                          "the group is read with no conditions (never true)", &found->shapes)) {
                break;
            }
            const char *include = json_object_get_string(
                vantorell::recordMember(conditionJson, vantorell::member::kInclude));
            if (include != nullptr && include[0] != 'Y' && include[0] != 'N') {
                found->shapes.warn(format("%s: \"include\" is %s: only a value beginning with "
                                          "an upper-case Y includes, this one excludes",
                                          at.c_str(), include));
            }
            if (group != nullptr && c < group->conditions.size() && letter.empty()) {
                conditionTargeting(experiment, bare, group->orOperator, group->conditions[c],
                                   at, memory, &found->targeting);
            }
        }
    }
}

/* Every problem of one experiment, in one walk over its records. */
void lintExperiment(json_object *json, const vantorell::Experiment &experiment,
                    size_t position, vantorell::Allocator *memory, Report *report)
{
    Findings found;
    oddScalars(json, vantorell::kExperimentMembers, "the experiment", &found.shapes);
    idProblems(experiment, &found.values);
    walkVariations(json, experiment, &found);
    walkGroups(json, experiment, memory, &found);
    found.tell(position, report);
}

/* "/experiment_12_variation_...": where an experiment's variations are. */
std::string variationLocations(long experimentId)
{
    char location[64];
    vantorell::variationLocationText(experimentId, 0, location, sizeof(location));
    std::string text = location;
    text.pop_back();    /* the variation's id */
    return text + "...";
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
    json_object *parsed = nullptr;
    status = vantorell::parseDataFile(text.data(), text.size(), &parsed);
    Json tree(parsed);
    vantorell::Model whole;
    if (status.ok()) {
        status = vantorell::modelFromJson(tree.get(), &whole);
    }
    if (!status.ok() && status.position == 0) {
        report->error(0, textOf(status));
        return kExitErrors;
    }

    /* the module stops at the first experiment it cannot read; each is read
     * on its own here, as a file of one */
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
        lintExperiment(element, experiment, position, memory, report);
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
                               "locations (%s) are the same",
                               list.c_str(), same.first, variationLocations(same.first).c_str()));
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
    Node out = Node::list();
    for (const std::string &path : files) {
        Report report;
        int exit = lintPath(path, &report, &memory);
        worst = std::max(worst, exit);
        Node &file = out.add(Node::object());
        file.set("file", Node::text(path));
        file.set("status", Node::text(exit == kExitErrors     ? "errors"
                                      : exit == kExitWarnings ? "warnings"
                                                              : "clean"));
        Node &problems = file.set("problems", Node::list());
        for (const Problem &problem : report.problems) {
            const char *severity = problem.error ? "error" : "warning";
            Node &p = problems.add(Node::object());
            p.set("severity", Node::text(severity));
            p.set("experiment", problem.position == 0
                                    ? Node()
                                    : Node::integer(static_cast<int64_t>(problem.position)));
            p.set("text", Node::text(problem.text));
            Line &line = p.line().text(path).format(": %s: ", severity);
            if (problem.position != 0) {
                line.format("experiment number %zu: ", problem.position);
            }
            line.text(problem.text);
        }
    }
    printReport(out, options.format);
    return worst;
}

}  // namespace vcheck
