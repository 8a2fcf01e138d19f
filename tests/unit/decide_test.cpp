// The decision for one request: which code source wins, what the force list
// does, and what an untargeted request is spared.

#include <gtest/gtest.h>

#include "counting_allocator.h"
#include "decide.h"
#include "visitor.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

using vantorell::CodeSource;
using vantorell::ForcedFate;
using vantorell::ForceState;
using vantorell::Outcome;

// Experiment 11 has variations 1 and 2 (a quarter each: numbers below 0.25
// give 2, below 0.5 give 1, the rest the reference); experiment 22 has 5 for
// everyone.  Both target "promo"; 11 is first in the file, so it decides.
const char kFile[] =
    "[{\"baseUrl\":\"b\",\"experimentId\":11,\"targetingConfiguration\":\"P\","
    "\"variations\":[{\"redirection\":\"r\",\"id\":1,\"weight\":0.25},"
    "{\"redirection\":\"r\",\"id\":2,\"weight\":0.25}],"
    "\"conditionsData\":[{\"orOperator\":\"|\",\"conditions\":[{\"orOperator\":\"|\",\"id\":1,"
    "\"url\":\"promo\",\"matchType\":\"C\",\"include\":\"Y\"}]}]},"
    "{\"baseUrl\":\"b\",\"experimentId\":22,\"targetingConfiguration\":\"P\","
    "\"variations\":[{\"redirection\":\"r\",\"id\":5,\"weight\":1.0}],"
    "\"conditionsData\":[{\"orOperator\":\"|\",\"conditions\":[{\"orOperator\":\"|\",\"id\":1,"
    "\"url\":\"promo\",\"matchType\":\"C\",\"include\":\"Y\"}]}]}]";

// Bytes 0, 1, 2... from the kernel, the same on every run.
struct Counting final : vantorell::RandomSource {
    unsigned char next = 0;
    ssize_t kernelBytes(unsigned char *buffer, size_t length) noexcept override {
        for (size_t i = 0; i < length; i++) {
            buffer[i] = next++;
        }
        return static_cast<ssize_t>(length);
    }
    bool libraryBytes(unsigned char *, size_t) noexcept override { return false; }
};

struct Inputs final : vantorell::RequestInputs {
    std::string id;
    std::optional<std::string> cookieValue;
    std::string force;
    std::optional<double> number;
    int asked = 0;      // questions beyond the URL

    bool visitorId(std::string_view *value) noexcept override {
        asked++;
        *value = id;
        return true;
    }
    bool cookie(std::string_view *value, bool *found) noexcept override {
        asked++;
        *found = cookieValue.has_value();
        if (*found) {
            *value = *cookieValue;
        }
        return true;
    }
    bool forceList(std::string_view *text) noexcept override {
        asked++;
        *text = force;
        return true;
    }
    bool givenNumber(double *n) noexcept override {
        if (number) {
            *n = *number;
        }
        return number.has_value();
    }
    std::vector<std::pair<long, long>> stops;
    bool stopped(long experimentId, long variationId) noexcept override {
        for (auto [e, v] : stops) {
            if (e == experimentId && v == variationId) {
                return true;
            }
        }
        return false;
    }
};

class Decide : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(vantorell::modelFromText(kFile, sizeof(kFile) - 1, &model).ok());
        ASSERT_TRUE(patterns.compile(model));
    }

    vantorell::Decision decide(Inputs &inputs, const char *path = "/promo") {
        inputs.host = "alpha";
        inputs.path = path;
        vantorell::Decision decision;
        EXPECT_TRUE(vantorell::decide(model, patterns, inputs, &memory, &decision));
        text = decision.url != nullptr ? decision.url : "";
        header = decision.header != nullptr ? decision.header : "";
        location = decision.location != nullptr ? decision.location : "";
        decision.releaseTexts(&memory);
        return decision;
    }

    std::string codeOf(const vantorell::Decision &d) { return std::string(d.code, vantorell::kCodeLength); }

    void TearDown() override { EXPECT_EQ(memory.outstanding(), 0); }

    vantorell::Model model;
    vantorell::CompiledPatterns patterns;
    CountingAllocator memory;
    std::string text, header, location;
};

std::string idCode(const std::string &id) {
    char code[vantorell::kCodeLength];
    EXPECT_TRUE(vantorell::visitorCodeOfId(id.data(), id.size(), code));
    return std::string(code, sizeof(code));
}

TEST_F(Decide, WhichCodeSourceWins) {
    const std::string code = "abcdefghijklmnop";
    struct Row {
        const char *name;
        std::string id;
        std::optional<std::string> cookie;
        CodeSource source;
        std::string code;       // empty: a new code
        bool newVisitor;
        bool front;
    } rows[] = {
        {"nothing", "", std::nullopt, CodeSource::New, "", true, false},
        {"cookie", "", code, CodeSource::Cookie, code, false, false},
        {"longer cookie", "", code + "0123", CodeSource::Cookie, code, false, false},
        {"front form", "", "_js_" + code, CodeSource::CookieFront, code, false, true},
        {"short cookie", "", "abc", CodeSource::New, "", true, false},
        {"not cookie octets", "", "abcdefgh ijklmnop", CodeSource::New, "", true, false},
        {"id, no cookie", "acct-1", std::nullopt, CodeSource::VisitorId, idCode("acct-1"), true, false},
        {"id, its own code", "acct-1", idCode("acct-1"), CodeSource::VisitorId, idCode("acct-1"), false,
         false},
        {"id, its code in front form", "acct-1", "_js_" + idCode("acct-1"), CodeSource::VisitorId,
         idCode("acct-1"), false, true},
        {"id, another code", "acct-1", code, CodeSource::VisitorId, idCode("acct-1"), true, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Counting random;
        Inputs inputs;
        inputs.id = row.id;
        inputs.cookieValue = row.cookie;
        inputs.random = &random;
        vantorell::Decision d = decide(inputs);
        EXPECT_EQ(text, "alpha/promo");
        EXPECT_EQ(d.source, row.source);
        EXPECT_EQ(d.newVisitor, row.newVisitor);
        EXPECT_EQ(d.cookieFront, row.front);
        if (!row.code.empty()) {
            EXPECT_EQ(codeOf(d), row.code);
        } else {
            // a new code is drawn from the source the request gives
            Counting again;
            char fresh[vantorell::kCodeLength];
            vantorell::newVisitorCode(fresh, sizeof(fresh), again);
            EXPECT_EQ(codeOf(d), std::string(fresh, sizeof(fresh)));
        }
        EXPECT_EQ(vantorell::visitorCodeOffset(d.code, vantorell::kCodeLength), 0);

        // the number is the code's, and picks experiment 11's variation
        vantorell::Digest digest;
        ASSERT_TRUE(vantorell::visitorDigest(d.code, &digest));
        EXPECT_EQ(d.number, vantorell::visitorNumber(digest));
        long expected = d.number < 0.25 ? 2 : d.number < 0.5 ? 1 : 0;
        ASSERT_EQ(d.targeted.size(), 2u);
        EXPECT_EQ(d.targeted[0].variationId, expected);
        EXPECT_EQ(d.outcome, expected == 0 ? Outcome::Reference : Outcome::Redirected);
    }
}

TEST_F(Decide, TheForceList) {
    using Fates = std::vector<ForcedFate>;
    struct Row {
        const char *force;
        double number;
        Outcome outcome;
        ForceState state;
        Fates fates;
        const char *header;
        const char *location;
    } rows[] = {
        {"", 0.9, Outcome::Reference, ForceState::None, {}, "11=0, 22=5", ""},
        {"", 0.1, Outcome::Redirected, ForceState::None, {}, "11=2, 22=5", "/experiment_11_variation_2"},
        {"11=1", 0.9, Outcome::Forced, ForceState::Listed, {ForcedFate::Applied}, "11=1, 22=5",
         "/experiment_11_variation_1"},
        // forced to the reference: counted as forced, and no redirect
        {"11=0", 0.1, Outcome::Forced, ForceState::Listed, {ForcedFate::Applied}, "11=0, 22=5", ""},
        {"22=0", 0.9, Outcome::Forced, ForceState::Listed, {ForcedFate::Applied}, "11=0, 22=0", ""},
        {"11=9", 0.9, Outcome::Reference, ForceState::Listed, {ForcedFate::UnknownVariation},
         "11=0, 22=5", ""},
        {"33=1", 0.9, Outcome::Reference, ForceState::Listed, {ForcedFate::UnknownExperiment},
         "11=0, 22=5", ""},
        {"11=1, 11=2", 0.9, Outcome::Forced, ForceState::Listed,
         {ForcedFate::Applied, ForcedFate::Repeated}, "11=1, 22=5", "/experiment_11_variation_1"},
        {"eleven=2", 0.1, Outcome::Redirected, ForceState::Malformed, {}, "11=2, 22=5",
         "/experiment_11_variation_2"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.force);
        Inputs inputs;
        inputs.force = row.force;
        inputs.number = row.number;
        vantorell::Decision d = decide(inputs);
        EXPECT_EQ(d.outcome, row.outcome);
        EXPECT_EQ(d.force, row.state);
        Fates fates;
        for (const vantorell::ForcedPair &pair : d.forced) {
            fates.push_back(pair.fate);
        }
        EXPECT_EQ(fates, row.fates);
        EXPECT_EQ(header, row.header);
        EXPECT_EQ(location, row.location);
    }
}

TEST_F(Decide, AnUntargetedRequestAsksNothingMore) {
    Inputs inputs;
    inputs.cookieValue = "abcdefghijklmnop";
    inputs.force = "11=1";
    vantorell::Decision d = decide(inputs, "/");
    EXPECT_EQ(text, "alpha");
    EXPECT_EQ(d.outcome, Outcome::Untargeted);
    EXPECT_EQ(inputs.asked, 0);
    EXPECT_EQ(d.source, CodeSource::None);
    EXPECT_FALSE(d.assigned());

    // with a trace (the tool's explain), the visitor is worked out all the
    // same, and every experiment says why it does not target
    vantorell::Decision traced;
    vantorell::Trace trace;
    inputs.path = "/";
    ASSERT_TRUE(vantorell::decide(model, patterns, inputs, &memory, &traced, &trace));
    EXPECT_EQ(traced.outcome, Outcome::Untargeted);
    EXPECT_EQ(traced.source, CodeSource::Cookie);
    EXPECT_EQ(traced.force, ForceState::Listed);
    ASSERT_EQ(traced.forced.size(), 1u);
    EXPECT_EQ(traced.forced[0].fate, ForcedFate::Unused);
    ASSERT_EQ(trace.experiments.size(), 2u);
    EXPECT_EQ(trace.experiments[0].experiment->id, 11);
    EXPECT_EQ(trace.experiments[0].position, 1u);
    EXPECT_FALSE(trace.experiments[0].trace.targeted);
    EXPECT_EQ(trace.experiments[0].group, 0);
    traced.releaseTexts(&memory);
}

TEST_F(Decide, TheUrlText) {
    struct Row {
        const char *host;
        const char *path;
        const char *args;
        const char *text;
    } rows[] = {
        {"alpha", "/", "", "alpha"},
        {"alpha", "/", "q=1", "alpha?q=1"},
        {"alpha", "/promo/x", "", "alpha/promo/x"},
        {"", "/promo", "a=1&b", "/promo?a=1&b"},
    };
    for (const Row &row : rows) {
        Inputs inputs;
        inputs.host = row.host;
        inputs.path = row.path;
        inputs.args = row.args;
        vantorell::Decision d;
        ASSERT_TRUE(vantorell::decide(model, patterns, inputs, &memory, &d));
        EXPECT_EQ(std::string(d.url, d.urlLength), row.text);
        d.releaseTexts(&memory);
    }
}

}  // namespace

// The guardrail's stops: a stopped variation's visitors get the reference in
// that experiment alone; a forced pair still shows the stopped variation.
TEST_F(Decide, StoppedVariations) {
    struct Row {
        const char *name;
        double number;
        std::vector<std::pair<long, long>> stops;
        std::string force;
        Outcome outcome;
        std::string header, location;
        long stopped11, stopped22;
    } rows[] = {
        {"none", 0.1, {}, "", Outcome::Redirected, "11=2, 22=5", "/experiment_11_variation_2", 0, 0},
        {"the deciding one", 0.1, {{11, 2}}, "", Outcome::Reference, "11=0, 22=5", "", 2, 0},
        {"another variation", 0.1, {{11, 1}}, "", Outcome::Redirected, "11=2, 22=5",
         "/experiment_11_variation_2", 0, 0},
        {"a later experiment", 0.1, {{22, 5}}, "", Outcome::Redirected, "11=2, 22=0",
         "/experiment_11_variation_2", 0, 5},
        {"both", 0.3, {{11, 1}, {22, 5}}, "", Outcome::Reference, "11=0, 22=0", "", 1, 5},
        {"forced past the stop", 0.1, {{11, 2}}, "11=2", Outcome::Forced, "11=2, 22=5",
         "/experiment_11_variation_2", 0, 0},
    };
    for (const Row &row : rows) {
        Inputs inputs;
        inputs.cookieValue = "abcdefghijklmnop";
        inputs.number = row.number;
        inputs.stops = row.stops;
        inputs.force = row.force;
        vantorell::Decision d = decide(inputs);
        EXPECT_EQ(d.outcome, row.outcome) << row.name;
        EXPECT_EQ(header, row.header) << row.name;
        EXPECT_EQ(location, row.location) << row.name;
        ASSERT_EQ(d.targeted.size(), 2u) << row.name;
        EXPECT_EQ(d.targeted[0].stoppedId, row.stopped11) << row.name;
        EXPECT_EQ(d.targeted[1].stoppedId, row.stopped22) << row.name;
    }
}

// The numbers a worker keeps by code change nothing of a decision: the same
// code, the same number, digest and variation, whether the digest was taken
// now or before; a code that takes another's place is taken afresh.
TEST_F(Decide, KeptNumbersDecideAsTheDigest) {
    vantorell::NumberMemo numbers;
    const char *codes[] = {"abcdefghijklmnop", "qrstuvwxyz012345", "abcdefghijklmnop",
                           "67abcdefghijklmn", "qrstuvwxyz012345"};
    for (int round = 0; round < 2; round++) {
        for (const char *code : codes) {
            Inputs plain, kept;
            plain.cookieValue = kept.cookieValue = std::string(code);
            kept.numbers = &numbers;
            vantorell::Decision a = decide(plain);
            std::string headerA = header, locationA = location;
            vantorell::Decision b = decide(kept);
            EXPECT_EQ(a.number, b.number) << code;
            EXPECT_EQ(a.digest, b.digest) << code;
            EXPECT_TRUE(b.digestTaken) << code;
            EXPECT_EQ(header, headerA) << code;
            EXPECT_EQ(location, locationA) << code;
        }
    }
    vantorell::Digest digest;
    double number = 0;
    EXPECT_TRUE(numbers.find("abcdefghijklmnop", &digest, &number));
    EXPECT_FALSE(numbers.find("abcdefghijklmnoq", &digest, &number));
}
