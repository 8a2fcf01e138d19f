// What a request would see if the data file were read afresh for it, with
// nothing remembered: the reference that the per-worker model cache must
// match exactly (the unit tests and the data file fuzz target hold it to
// this).  The decision is the module's own, on a model read afresh; the
// module itself always decides through the cache.
#ifndef VANTORELL_TEST_AFRESH_H
#define VANTORELL_TEST_AFRESH_H

#include "data_file.h"
#include "decide.h"
#include "failure.h"
#include "counting_allocator.h"
#include "targeting.h"
#include "visitor.h"

#include <sys/stat.h>

#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace afresh {

// What one request sees: the data stage's text, or targeting's text, or the
// targeted experiments with the variations a number picks.
struct Outcome {
    bool loaded = false;
    int rc = 0;                                   // targeting: 1, or -1 with a text
    std::string message;
    std::vector<std::pair<long, long>> choice;    // (experiment, variation)

    bool operator==(const Outcome &o) const {
        return loaded == o.loaded && rc == o.rc && message == o.message && choice == o.choice;
    }
};

inline std::ostream &operator<<(std::ostream &os, const Outcome &o) {
    os << "{loaded=" << o.loaded << " rc=" << o.rc << " message='" << o.message << "' choice=";
    for (const auto &p : o.choice) os << p.first << "=" << p.second << " ";
    return os << "}";
}

inline std::string textOf(const vantorell::Result &status) {
    return vantorell::failureText(status).text;
}

// The data file's text read, targeted with `url` and the choice made with
// `number`.  False in *complete when the heap ran out on the way.
inline Outcome fromText(const std::string &text, const std::string &url, double number,
                        vantorell::Allocator *memory, bool *complete = nullptr) {
    Outcome out;
    vantorell::Model model;
    vantorell::Result status = vantorell::modelFromText(text.data(), text.size(), &model);
    if (complete != nullptr) {
        *complete = !vantorell::isNoMemory(status.failure);
    }
    if (!status.ok()) {
        out.message = textOf(status);
        return out;
    }
    out.loaded = true;

    vantorell::CompiledPatterns patterns;
    if (!patterns.compile(model)) {
        if (complete != nullptr) {
            *complete = false;
        }
        return out;
    }

    // the module's own decision, on a model with nothing cached, at the
    // number given; the URL text stands whole in the host
    struct AtNumber final : vantorell::RequestInputs {
        double number = 0.0;
        bool visitorId(std::string_view *id) noexcept override { *id = {}; return true; }
        bool cookie(std::string_view *, bool *found) noexcept override { *found = false; return true; }
        bool forceList(std::string_view *text) noexcept override { *text = {}; return true; }
        bool givenNumber(double *n) noexcept override { *n = number; return true; }
    } inputs;
    inputs.host = url;
    inputs.wantHeader = false;
    inputs.number = number;

    vantorell::Decision decision;
    bool decided = vantorell::decide(model, patterns, inputs, memory, &decision);
    decision.releaseTexts(memory);
    if (!decided) {
        if (complete != nullptr) {
            *complete = false;
        }
        return out;
    }
    if (decision.outcome == vantorell::Outcome::TargetingError) {
        out.rc = -1;
        out.message = textOf(decision.failure);   // the pattern's text lives with `model`
        return out;
    }
    out.rc = 1;
    for (const vantorell::Targeted &t : decision.targeted) {
        out.choice.emplace_back(t.experimentId, t.variationId);
    }
    return out;
}

inline Outcome fromFile(const char *path, const std::string &url, double number,
                        vantorell::Allocator *memory) {
    std::string text;
    struct stat identity;
    vantorell::Result status = vantorell::readDataFile(path, &text, &identity);
    if (!status.ok()) {
        Outcome out;
        out.message = textOf(status);
        return out;
    }
    return fromText(text, url, number, memory);
}

}  // namespace afresh

#endif
