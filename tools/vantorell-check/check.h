/*
 * The commands of vantorell-check and what they share.
 */
#ifndef VANTORELL_CHECK_H
#define VANTORELL_CHECK_H

#include "allocator.h"
#include "data_file.h"
#include "failure.h"
#include "report.h"
#include "targeting.h"

#include <json-c/json.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace vcheck {

constexpr int kExitClean = 0;
constexpr int kExitWarnings = 1;
constexpr int kExitErrors = 2;

constexpr unsigned long long kMaxVisitors = 100000000ULL;

struct Options {
    Format format = Format::Text;
    bool hasCode = false;
    bool hasCookie = false;
    bool hasHost = false;
    bool hasVisitorId = false;
    bool hasForce = false;
    bool hasStopped = false;
    std::string code;
    std::string cookie;
    std::string host;
    std::string visitorId;      /* what vantorell_visitor_id would give */
    std::string force;          /* what vantorell_force would give */
    std::string stopped;        /* variations the guardrail stopped */
    unsigned long long visitors = 100000;
};

/* A data file as a worker has it: its model and compiled patterns, or the
 * problem that keeps a worker from reading it (the module's own text).
 * Targeting may still fail on it: targetingFailure tells. */
struct LoadedFile {
    vantorell::Model model;
    vantorell::CompiledPatterns patterns;
    bool usable = false;
    std::string problem;
};

void loadFile(const std::string &path, LoadedFile *file);

/* The module's text of a status. */
std::string textOf(const vantorell::Result &status);

/* A JSON object that owns its members; put() on an owned tree. */
class Json {
public:
    explicit Json(json_object *value) : value_(value) {}
    ~Json() { json_object_put(value_); }
    Json(const Json &) = delete;
    Json &operator=(const Json &) = delete;
    json_object *get() const { return value_; }

private:
    json_object *value_;
};

/* One finding of lint: an error is what the module meets (its own text), a
 * warning what it accepts but is almost always a mistake. */
struct LintProblem {
    bool error = false;
    size_t position = 0;        /* the experiment's number in the file; 0: the file */
    std::string text;
};

/* The problems listed for one file: a file of millions of unreadable
 * elements would otherwise take gigabytes of texts.  Those past the bound are
 * counted, and the count is told at the end. */
constexpr size_t kMostLintProblems = 100000;

struct LintReport {
    std::vector<LintProblem> problems;
    size_t unlisted = 0;
    bool unlistedError = false;

    void add(bool error, size_t position, std::string text)
    {
        if (problems.size() >= kMostLintProblems) {
            unlisted++;
            unlistedError = unlistedError || error;
            return;
        }
        problems.push_back(LintProblem{error, position, std::move(text)});
    }
    void error(size_t position, std::string text) { add(true, position, std::move(text)); }
    void warn(size_t position, std::string text) { add(false, position, std::move(text)); }
};

/* Lints one data file into *report; the exit code it calls for.  `memory`
 * is lent to targeting. */
int lintPath(const std::string &path, LintReport *report, vantorell::Allocator *memory);

int lint(const std::vector<std::string> &files, const Options &options);
int explain(const std::string &file, const std::string &url, const Options &options);
int split(const std::string &file, const Options &options);

}  // namespace vcheck

#endif
