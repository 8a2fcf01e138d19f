// Targeting of URL texts by condition groups, with the model's patterns
// compiled once and every match within one step budget.
#include "targeting.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "counting_allocator.h"

namespace {

using vantorell::Condition;
using vantorell::ConditionGroup;
using vantorell::Experiment;
using vantorell::Failure;
using vantorell::Model;
using vantorell::Result;
using vantorell::TargetedList;
using vantorell::Variation;

// ---- a small model built by hand, in the orders the reader produces ----

struct ConditionDef {
    char orOperator;
    char matchType;
    std::string text;
    bool include;
};

struct GroupDef {
    char orOperator;
    std::vector<ConditionDef> conditions;
};

struct ExperimentDef {
    long id;
    char targeting;
    std::vector<GroupDef> groups;
};

// Experiments are held last-in-file first, groups and conditions in file
// order, as in a loaded data file.
Model modelOf(const std::vector<ExperimentDef> &fileOrder) {
    Model model;
    for (const ExperimentDef &def : fileOrder) {
        Experiment experiment;
        experiment.id = def.id;
        experiment.baseUrl = "base";
        experiment.targetingConfiguration = def.targeting;
        for (const GroupDef &g : def.groups) {
            ConditionGroup group;
            group.orOperator = g.orOperator;
            for (const ConditionDef &c : g.conditions) {
                Condition condition;
                condition.orOperator = c.orOperator;
                condition.url = c.text;
                condition.matchType = c.matchType;
                condition.include = c.include;
                group.conditions.push_back(condition);
            }
            experiment.conditionGroups.push_back(group);
        }
        model.experiments.insert(model.experiments.begin(), experiment);
    }
    return model;
}

// What targeting a model gives: the status, its text (taken while the model
// whose pattern it may name still lives) and the targeted ids.
struct Targeting {
    vantorell::Result status;
    std::string message;
    std::vector<long> ids;

    const std::string &text() const { return message; }
    // 1: experiment 42 (or 7) targeted, 0: nothing targeted, -1: failure
    int rc() const { return !status.ok() ? -1 : ids.empty() ? 0 : 1; }
};

Targeting targetModel(const Model &model, const std::string &url, vantorell::Allocator *memory) {
    vantorell::CompiledPatterns patterns;
    EXPECT_TRUE(patterns.compile(model));
    TargetedList targeted;
    Targeting result;
    result.status = vantorell::targetExperiments(model, patterns, url.c_str(), memory, &targeted);
    result.message = vantorell::failureText(result.status).text;
    for (const vantorell::Targeted &t : targeted) {
        EXPECT_EQ(t.variationId, 0);
        result.ids.push_back(t.experimentId);
    }
    return result;
}

// One experiment (id 42) with these groups.
Targeting targetOne(const std::vector<GroupDef> &groups, const std::string &url, vantorell::Allocator *memory) {
    return targetModel(modelOf({{42, 'P', groups}}), url, memory);
}

GroupDef group(char orOperator, std::vector<ConditionDef> conditions) {
    return {orOperator, std::move(conditions)};
}

// One condition alone decides: 1 on a match, 0 without, -1 on failure.
int matchOne(const std::string &url, char matchType, const std::string &text, vantorell::Allocator *memory,
             std::string *message = nullptr) {
    Targeting result = targetOne({group('|', {ConditionDef{'|', matchType, text, true}})}, url, memory);
    if (message != nullptr) {
        *message = result.text();
    }
    return result.rc();
}

const char kCompilePrefix[] = "NGINX: Cannot compile regular expression: ";

// ---- one condition ----

struct MatchCase {
    const char *url;
    char matchType;
    const char *text;
    int expected;
};

TEST(TargetingMatch, ComparesTheConditionWithTheWholeUrlText) {
    const MatchCase cases[] = {
        // contains
        {"alpha/shop/item", 'C', "shop", 1},
        {"alpha/shop/item", 'C', "", 1},
        {"", 'C', "", 1},
        {"alpha/shop", 'C', "Shop", 0},
        {"alpha", 'C', "alpha/", 0},
        {"alpha/shop?a=1", 'C', "a=1", 1},
        // equals: the query string is part of the text, the root path is not
        {"alpha/shop", 'E', "alpha/shop", 1},
        {"alpha/shop?a=1", 'E', "alpha/shop", 0},
        {"alpha", 'E', "alpha/", 0},
        {"alpha", 'E', "ALPHA", 0},
        {"alpha/shop", 'E', "alpha/sho", 0},
        {"", 'E', "", 1},
        // regular expression: unanchored, case-sensitive
        {"alpha/shop/item", 'R', "shop", 1},
        {"alpha/shop", 'R', "^shop", 0},
        {"alpha/shop", 'R', "^alpha/shop$", 1},
        {"alpha/shop", 'R', "SHOP", 0},
        {"alpha?a=12", 'R', "a=\\d+$", 1},
        // more capture groups than the vector holds still match
        {"alpha/shop/item", 'R', "(s)(h)(o)(p)", 1},
        // a back reference makes the matcher allocate while it runs
        {"alpha/xx", 'R', "(x)\\1", 1},
        {"alpha/xy", 'R', "(x)\\1", 0},
        // spellings that data files have always used: a hyphen after a
        // class escape stands for itself, an unknown escape for its letter
        {"alpha/my-shop.example", 'R', "^alpha/[\\w-.]+$", 1},
        {"alpha/my shop", 'R', "^alpha/[\\w-.]+$", 0},
        {"alpha/a-x9.c", 'R', "^alpha/[\\w-.][\\d-x]+\\.[[:alpha:]-z]$", 1},
        {"alpha/item", 'R', "/\\item$", 1},
        {"alpha/item", 'R', "/\\y", 0},
    };

    CountingAllocator memory;
    for (const MatchCase &c : cases) {
        SCOPED_TRACE(std::string(1, c.matchType) + " \"" + c.text + "\" on \"" +
                     c.url + "\"");
        std::string message;
        EXPECT_EQ(matchOne(c.url, c.matchType, c.text, &memory, &message), c.expected);
        EXPECT_EQ(message, "");
    }
}

TEST(TargetingMatch, UnknownMatchTypeFails) {
    CountingAllocator memory;
    for (char matchType : {'c', 'X', '\0', 'e'}) {
        SCOPED_TRACE(static_cast<int>(matchType));
        std::string message;
        EXPECT_EQ(matchOne("alpha/shop", matchType, "shop", &memory, &message), -1);
        EXPECT_EQ(message, "Match type does not exist.");
    }
}

// ---- regular expressions ----

class TargetingRegex : public ::testing::Test {
protected:
    int match(const std::string &url, const std::string &expression, vantorell::Allocator *memory) {
        return matchOne(url, 'R', expression, memory, &message);
    }

    CountingAllocator memory;
    std::string message;
};

TEST_F(TargetingRegex, InvalidPatternReportsExpressionAndReason) {
    const std::pair<const char *, const char *> cases[] = {
        {"(shop", "missing )"},
        {"[a-", "missing terminating ] for character class"},
        {"*shop", "nothing to repeat"},
        // a range that ends in a class escape stays refused
        {"[a-\\d]", "invalid range in character class"},
        {"[\\w-.](", "missing )"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.first);
        EXPECT_EQ(match("alpha/shop", c.first, &memory), -1);
        EXPECT_EQ(message, std::string(kCompilePrefix) + c.first + ", reason: " + c.second);
    }
}

TEST_F(TargetingRegex, LongInvalidPatternIsCutTo99Bytes) {
    const std::string pattern = "(" + std::string(299, 'a');

    EXPECT_EQ(match("alpha/shop", pattern, &memory), -1);
    EXPECT_EQ(message, (std::string(kCompilePrefix) + pattern).substr(0, 99));
}

TEST_F(TargetingRegex, MatcherFailureReportsTheExpression) {
    // the pattern lowers PCRE's match limit itself, so the limit is hit at once
    const std::string pattern = "(*LIMIT_MATCH=1)(a+)+$";

    EXPECT_EQ(match("aaaaaaaab", pattern, &memory), -1);
    EXPECT_EQ(message, "Error while matching regular expression: " + pattern);
}

TEST_F(TargetingRegex, LongMessageFromMatcherIsCutTo99Bytes) {
    const std::string pattern = "(*LIMIT_MATCH=1)(a+)+$" + std::string(200, '|');

    EXPECT_EQ(match("aaaaaaaab", pattern, &memory), -1);
    EXPECT_EQ(message, ("Error while matching regular expression: " + pattern).substr(0, 99));
}

TEST_F(TargetingRegex, DeepRecursionOnALongUrlFailsInsteadOfExhaustingTheStack) {
    // one or two recursion levels per byte: unbounded, this overflows the stack
    const std::string longUrl(20000, 'a');

    EXPECT_EQ(match(longUrl, "(a|b)*$", &memory), -1);
    EXPECT_EQ(message, "Error while matching regular expression: (a|b)*$");
}

// Nested repetition backtracks exponentially: this one needs millions of
// steps, which PCRE's own bound allows, to find that nothing matches.
TEST_F(TargetingRegex, RunawayBacktrackingIsAFailureOfTheRequest) {
    EXPECT_EQ(match("alpha/" + std::string(20, 'a') + "!", "(a+)+$", &memory), -1);
    EXPECT_EQ(message, "Error while matching regular expression: (a+)+$");
    // the same pattern where it does not run away
    EXPECT_EQ(match("alpha/" + std::string(24, 'a'), "(a+)+$", &memory), 1);
    EXPECT_EQ(match("alpha/" + std::string(8, 'a') + "!", "(a+)+$", &memory), 0);
}

TEST_F(TargetingRegex, LongUrlsStillMatchWithinTheRecursionBound) {
    EXPECT_EQ(match(std::string(20000, 'a') + "shop", "shop", &memory), 1);
    EXPECT_EQ(match(std::string(20000, 'a'), "shop", &memory), 0);
    EXPECT_EQ(match(std::string(1000, 'a'), "^(a|b)*$", &memory), 1);
    EXPECT_EQ(message, "");
}

// Patterns are compiled on the heap (they live with the model); what the
// matcher takes while it runs comes from the allocator the evaluation is
// lent (the module lends the request's pool), and all of it is handed back
// by the evaluation's end.
TEST_F(TargetingRegex, TakesTheMatchersMemoryFromTheAllocatorAndGivesItBack) {
    struct Case {
        const char *url;
        const char *expression;
        int expected;
        bool matches;       // the matcher runs
    };
    const Case cases[] = {
        {"alpha/shop", "shop", 1, true},
        {"alpha/shop", "cart", 0, true},
        {"alpha/xx", "(x)\\1", 1, true},
        {"alpha/shop", "(shop", -1, false},
        {"aaab", "(*LIMIT_MATCH=1)(a+)+$", -1, true},
    };

    for (const Case &c : cases) {
        SCOPED_TRACE(c.expression);
        memory = CountingAllocator();

        EXPECT_EQ(match(c.url, c.expression, &memory), c.expected);
        EXPECT_EQ(memory.allocations > 0, c.matches);
        EXPECT_EQ(memory.outstanding(), 0);
    }
}

// An allocator without memory: the pattern cannot run, which fails this
// evaluation like any other failure of the matcher.
TEST(TargetingRegexMemory, NoMemoryForTheMatcherFailsTheEvaluation) {
    struct Empty final : vantorell::Allocator {
        void *allocate(size_t) noexcept override { return nullptr; }
        void release(void *) noexcept override {}
    } empty;

    std::string message;
    EXPECT_EQ(matchOne("alpha/shop", 'R', "shop", &empty, &message), -1);
    EXPECT_EQ(message, "Error while matching regular expression: shop");
    // contains and equals need no memory
    EXPECT_EQ(matchOne("alpha/shop", 'C', "shop", &empty, &message), 1);
}

// ---- one experiment's groups ----

const char kUrl[] = "alpha/shop";

ConditionDef hit(char orOperator, bool include = true) {
    return {orOperator, 'C', "shop", include};
}

ConditionDef miss(char orOperator, bool include = true) {
    return {orOperator, 'C', "cart", include};
}

struct ConditionsCase {
    const char *name;
    std::vector<GroupDef> groups;
    bool targeted;
};

TEST(TargetingConditions, JoinsConditionsAndGroupsByTheirOperators) {
    const ConditionsCase cases[] = {
        {"no groups", {}, false},
        {"a group without conditions", {group('|', {})}, false},
        {"| on a match", {group('|', {hit('|')})}, true},
        {"another letter on a match", {group('x', {hit('x')})}, true},
        {"& on the first condition", {group('|', {hit('&')})}, false},
        {"& on the first group", {group('&', {hit('|')})}, false},
        {"A | match, then B x miss replaces", {group('|', {hit('|'), miss('x')})}, false},
        {"A | miss, then B x match replaces", {group('|', {miss('|'), hit('x')})}, true},
        {"A | miss, then B | match", {group('|', {miss('|'), hit('|')})}, true},
        {"A | match, then B & miss", {group('|', {hit('|'), miss('&')})}, false},
        {"A | match, then B & match", {group('|', {hit('|'), hit('&')})}, true},
        {"include false on a match", {group('|', {hit('|', false)})}, false},
        {"include false on a miss", {group('|', {miss('|', false)})}, true},
        {"empty text with include false",
         {group('|', {ConditionDef{'|', 'C', "", false}})}, false},
        {"G1 | true, G2 & false", {group('|', {hit('|')}), group('&', {miss('|')})}, false},
        {"G1 & true, G2 | true", {group('&', {hit('|')}), group('|', {hit('|')})}, true},
        {"G1 | true, G2 x false", {group('|', {hit('|')}), group('x', {miss('|')})}, false},
        {"G1 | false, G2 | true", {group('|', {miss('|')}), group('|', {hit('|')})}, true},
        {"G1 | true, G2 | empty", {group('|', {hit('|')}), group('|', {})}, true},
        {"G1 | true, G2 & empty", {group('|', {hit('|')}), group('&', {})}, false},
    };

    CountingAllocator memory;
    for (const ConditionsCase &c : cases) {
        SCOPED_TRACE(c.name);
        Targeting result = targetOne(c.groups, kUrl, &memory);
        EXPECT_TRUE(result.status.ok()) << result.text();
        EXPECT_EQ(result.ids, c.targeted ? std::vector<long>{42} : std::vector<long>{});

        // the trace that vantorell-check shows comes to the same verdict,
        // with a value for every group and condition, each group's the join
        // of its conditions' as traced
        Model model = modelOf({{42, 'P', c.groups}});
        vantorell::CompiledPatterns patterns;
        ASSERT_TRUE(patterns.compile(model));
        vantorell::ExperimentTrace trace;
        ASSERT_TRUE(vantorell::traceExperiment(model.experiments[0], patterns, kUrl, &memory,
                                               &trace).ok());
        EXPECT_EQ(trace.targeted, c.targeted);
        EXPECT_EQ(trace.result, c.targeted);
        ASSERT_EQ(trace.groups.size(), c.groups.size());
        for (size_t g = 0; g < c.groups.size(); g++) {
            const auto &conditions = c.groups[g].conditions;
            ASSERT_EQ(trace.groups[g].conditions.size(), conditions.size());
            bool joined = false;
            for (size_t k = 0; k < conditions.size(); k++) {
                const vantorell::ConditionTrace &step = trace.groups[g].conditions[k];
                EXPECT_EQ(step.satisfied, step.matched == conditions[k].include);
                joined = vantorell::joinResults(joined, conditions[k].orOperator, step.satisfied);
            }
            EXPECT_EQ(trace.groups[g].result, joined) << "group " << g + 1;
        }
    }
}

struct FailureCase {
    const char *name;
    std::vector<GroupDef> groups;
    std::string message;
};

TEST(TargetingConditions, AFailingConditionFailsTheExperimentWhateverCameBefore) {
    const ConditionDef badPattern{'|', 'R', "(", true};
    const ConditionDef badType{'|', 'Q', "shop", true};
    const FailureCase cases[] = {
        {"invalid pattern after the experiment is already targeted",
         {group('|', {hit('|')}), group('|', {hit('|'), badPattern})},
         std::string(kCompilePrefix) + "(, reason: missing )"},
        {"unknown match type after the group is settled false",
         {group('|', {hit('&'), badType})}, "Match type does not exist."},
        {"evaluation stops at the first failure",
         {group('|', {badType, badPattern}), group('|', {badPattern})},
         "Match type does not exist."},
    };

    CountingAllocator memory;
    for (const FailureCase &c : cases) {
        SCOPED_TRACE(c.name);
        Targeting result = targetOne(c.groups, kUrl, &memory);
        EXPECT_EQ(result.rc(), -1);
        EXPECT_EQ(result.text(), c.message);
    }
}

// What the data-file messages say of a model: the failure that every URL
// text meets, the same text the targeting of any text gives; none where
// targeting can succeed on some text.
TEST(TargetingConditions, AFailureOfEveryUrlTextIsKnownFromTheModel) {
    const ConditionDef badPattern{'|', 'R', "(", true};
    const ConditionDef badType{'|', 'Q', "shop", true};
    const ConditionDef runaway{'|', 'R', "(a+)+$", true};
    struct Case {
        const char *name;
        std::vector<ExperimentDef> file;
        std::string failure;            // empty: none
    };
    const Case cases[] = {
        {"usable", {{1, 'P', {group('|', {hit('|'), ConditionDef{'|', 'R', "^alpha/", true}})}},
                    {2, 'U', {group('|', {miss('|')})}}}, ""},
        {"a pattern that does not compile behind a match",
         {{1, 'P', {group('|', {hit('|')}), group('&', {badPattern})}}},
         std::string(kCompilePrefix) + "(, reason: missing )"},
        {"the file's last experiment is met first",
         {{1, 'P', {group('|', {badType})}}, {2, 'P', {group('|', {badPattern})}}},
         std::string(kCompilePrefix) + "(, reason: missing )"},
        {"an unknown targeting letter before the conditions",
         {{1, 'P', {group('|', {badType})}}, {2, 'X', {group('|', {badPattern})}}},
         "Targeting configuration type does not exist for experiment 2."},
        {"an unknown match type", {{7, 'T', {group('|', {miss('|'), badType})}}},
         "Match type does not exist."},
        // these fail on some URL texts only
        {"an id of -1", {{-1, 'P', {group('|', {hit('|')})}}}, ""},
        {"a pattern over its budget on long texts", {{3, 'S', {group('|', {runaway})}}}, ""},
    };

    CountingAllocator memory;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Model model = modelOf(c.file);
        vantorell::CompiledPatterns patterns;
        ASSERT_TRUE(patterns.compile(model));
        Result failure = vantorell::targetingFailure(model, patterns);
        if (c.failure.empty()) {
            EXPECT_TRUE(failure.ok());
            EXPECT_GE(targetModel(model, "elsewhere", &memory).rc(), 0);
            continue;
        }
        EXPECT_EQ(vantorell::failureText(failure).text, c.failure);
        for (const char *url : {"alpha", kUrl, "alpha/shop?q=(", "x"}) {
            EXPECT_EQ(targetModel(model, url, &memory).text(), c.failure) << url;
        }
    }
}

TEST(TargetingConditions, IdsThatReadAsOutcomes) {
    CountingAllocator memory;
    const std::vector<GroupDef> matching = {group('|', {hit('|')})};
    const std::vector<GroupDef> missing = {group('|', {miss('|')})};
    struct Case {
        const char *name;
        long id;
        const std::vector<GroupDef> &groups;
        int rc;
        const char *message;
    };
    const Case cases[] = {
        {"id 0 reads as not targeted", 0, matching, 0, ""},
        {"a targeted id -1 is a failure, with a text", -1, matching, -1,
         "Experiment id -1 cannot be targeted."},
        {"an untargeted id -1 is simply not targeted", -1, missing, 0, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Targeting result = targetModel(modelOf({{c.id, 'P', c.groups}}), kUrl, &memory);
        EXPECT_EQ(result.rc(), c.rc);
        EXPECT_EQ(result.text(), c.message);
    }
}

// ---- every experiment of a model ----

const std::vector<GroupDef> kTargets = {group('|', {hit('|')})};
const std::vector<GroupDef> kMisses = {group('|', {miss('|')})};

class TargetingExperiments : public ::testing::Test {
protected:
    // Targets kUrl, into a list that starts with a stale record.
    Result target(const Model &model, TargetedList *targeted) {
        vantorell::CompiledPatterns patterns;
        EXPECT_TRUE(patterns.compile(model));
        vantorell::Targeted stale;
        stale.experimentId = 99;
        stale.variationId = 98;
        targeted->assign(1, stale);
        return vantorell::targetExperiments(model, patterns, kUrl, &memory, targeted);
    }

    static std::vector<long> ids(const TargetedList &targeted) {
        std::vector<long> result;
        for (const vantorell::Targeted &t : targeted) {
            result.push_back(t.experimentId);
        }
        return result;
    }

    CountingAllocator memory;
};

TEST_F(TargetingExperiments, ResultFollowsTheFileOrder) {
    Model model = modelOf({{1, 'P', kTargets},
                           {2, 'S', kMisses},
                           {3, 'T', kTargets},
                           {4, 'U', kTargets},
                           {0, 'P', kTargets}});
    TargetedList result;

    ASSERT_TRUE(target(model, &result).ok());
    EXPECT_EQ(ids(result), (std::vector<long>{1, 3, 4}));
    for (const vantorell::Targeted &t : result) {
        EXPECT_EQ(t.variationId, 0);
    }
}

TEST_F(TargetingExperiments, NothingTargetedOrNoExperimentsGivesAnEmptyList) {
    for (bool empty : {true, false}) {
        SCOPED_TRACE(empty ? "no experiments" : "nothing targeted");
        Model model = modelOf(empty ? std::vector<ExperimentDef>{}
                                    : std::vector<ExperimentDef>{{1, 'P', kMisses},
                                                                  {2, 'P', {}}});
        TargetedList result;

        EXPECT_TRUE(target(model, &result).ok());
        EXPECT_TRUE(result.empty());
    }
}

TEST_F(TargetingExperiments, UnknownTargetingLetterFailsNamingTheExperiment) {
    struct Case {
        char letter;
        long id;
        const char *message;
    };
    const Case cases[] = {
        {'X', 7, "Targeting configuration type does not exist for experiment 7."},
        {'p', 7, "Targeting configuration type does not exist for experiment 7."},
        {'\0', 7, "Targeting configuration type does not exist for experiment 7."},
        {'X', -3, "Targeting configuration type does not exist for experiment -3."},
        // the id is written as its low 32 bits
        {'X', 4294967303L, "Targeting configuration type does not exist for experiment 7."},
    };

    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        TargetedList result;
        Result status = target(modelOf({{c.id, c.letter, kTargets}}), &result);
        EXPECT_EQ(status.failure, Failure::UnknownTargetingType);
        EXPECT_EQ(vantorell::failureText(status).text, std::string(c.message));
    }
}

TEST_F(TargetingExperiments, OfTwoUnknownLettersTheLaterInTheFileIsNamed) {
    TargetedList result;
    Result status = target(modelOf({{10, 'X', kTargets}, {11, 'X', kTargets}}), &result);
    EXPECT_EQ(vantorell::failureText(status).text,
              std::string("Targeting configuration type does not exist for experiment 11."));
}

TEST_F(TargetingExperiments, FailureLeavesTheCallersList) {
    // evaluated from the file's end: 3 and 2 are targeted before 1 fails
    const ConditionDef badPattern{'|', 'R', "(", true};
    const std::vector<GroupDef> failing = {group('|', {hit('|')}),
                                           group('|', {hit('|'), badPattern})};
    struct Case {
        const char *name;
        std::vector<ExperimentDef> experiments;
        std::string message;
    };
    const Case cases[] = {
        {"invalid pattern in the last condition",
         {{1, 'P', failing}, {2, 'P', kTargets}, {3, 'P', kTargets}},
         std::string(kCompilePrefix) + "(, reason: missing )"},
        {"unknown letter",
         {{1, 'Z', kTargets}, {2, 'P', kTargets}, {3, 'P', kTargets}},
         "Targeting configuration type does not exist for experiment 1."},
    };

    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TargetedList result;
        Model model = modelOf(c.experiments);   // the text may name its pattern
        Result status = target(model, &result);
        EXPECT_FALSE(status.ok());
        EXPECT_EQ(ids(result), (std::vector<long>{99}));
        EXPECT_EQ(vantorell::failureText(status).text, c.message);
    }
}

// ---- one bounded effort per URL text and pattern ----

// URL texts of about `size` bytes: "alpha/", `start`, then `unit` as often
// as fits, then `end`.  nginx's default buffers let a URL text reach about
// 16 KB.
std::string longUrl(const std::string &unit, size_t size, const std::string &end = "",
                    const std::string &start = "") {
    std::string url = "alpha/" + start;
    while (url.size() + unit.size() + end.size() <= size) {
        url += unit;
    }
    return url + end;
}

const size_t kLongUrlSizes[] = {8 * 1024, 16 * 1024};

const std::string kShortRuns = std::string(14, 'a') + "b";
const std::string kLongRuns = std::string(3999, 'a') + "b";
const std::string kIds = "products/0123456789abcdef0123456789abcd/";

// A pattern on the long URL texts that repeat `unit` between `start` and
// `end`.
struct RunawayCase {
    const char *pattern;
    std::string unit;
    std::string end;
    std::string start = "";
};

struct BenignCase {
    const char *pattern;
    std::string unit;
    std::string end;
    int expected;       // 1 or 0, as without any budget
};

// What matching one pattern gives: 1, 0 or -1 and the failure's text.
struct Outcome {
    int rc;
    std::string message;
};

// The pattern compiled once with its model, as the worker's cache does.
Outcome matchCompiled(const std::string &urlText, const char *pattern, vantorell::Allocator *memory) {
    Targeting result = targetOne({group('|', {ConditionDef{'|', 'R', pattern, true}})}, urlText, memory);
    return {result.rc(), result.text()};
}

// Shapes that backtrack or rescan without end on URL texts a client chooses.
// A step counter kept per start position lets many of these hold the worker
// for seconds and then report no match.  A character that every match needs
// ("c", "z", ".") is in the URL text: without it the matcher answers "no
// match" before it tries anything.
TEST(TargetingBudget, RunawayPatternsOnLongUrlsFailWithTheExpression) {
    const RunawayCase cases[] = {
        // nested repetition
        {"(a+)+$", kShortRuns, ""},
        {"((a+)+)+c", kShortRuns, "!c"},
        {"(?:a?){30}a{30}", kShortRuns, ""},
        {"(.*)(.*)(.*)(.*)(.*)z", kShortRuns, "", "z"},
        {".*b.*b.*b.*b.*z", kShortRuns, "", "z"},
        {"(\\w*)*[.]{2}", "words_", "."},
        // alternation under repetition
        {"(a|aa)+$", kShortRuns, ""},
        {"(a|a)+$", kShortRuns, ""},
        // back-references: what they compare fails where it stands
        {"(a+)\\1+$", "a", "!"},
        {"([ab]*)*\\1c", kShortRuns, "!c"},
        // possessive scans of the rest of a run, from every start position
        {"a*b[xy]", "a", "b!"},
        {"(?>a*)b[xy]", "a", "b!"},
        {"\\w+/\\w+/\\w+$", "a", "/b/!"},
        // a counted repetition that reads a whole run and fails
        {"a{4000}", kLongRuns, ""},
        // the pattern's own callout points are steps like any other
        {"(?C1)(a+)+$(?C2)", kShortRuns, ""},
    };

    CountingAllocator memory;
    for (const RunawayCase &c : cases) {
        for (size_t size : kLongUrlSizes) {
            const std::string url = longUrl(c.unit, size, c.end, c.start);
            SCOPED_TRACE(std::string(c.pattern) + " on " + std::to_string(url.size()) + " bytes");
            Outcome outcome = matchCompiled(url, c.pattern, &memory);
            EXPECT_EQ(outcome.rc, -1);
            EXPECT_EQ(outcome.message,
                      std::string("Error while matching regular expression: ") + c.pattern);
        }
    }
}

// Patterns that do a bounded amount of work keep their results on the same
// long URL texts, read-ahead of counted repetitions and back-references
// included.
TEST(TargetingBudget, BenignPatternsOnLongUrlsKeepTheirResults) {
    const BenignCase cases[] = {
        {"b$", kShortRuns, "", 1},
        {"^alpha/a{14}b", kShortRuns, "", 1},
        {"(a+)+b", kShortRuns, "", 1},
        {"\\d{4}", "a", "b!", 0},
        {"^alpha/a+b!$", "a", "b!", 1},
        {"a{3999}b", kLongRuns, "", 1},
        {"^.*/products/.*", kIds, "", 1},
        {"[0-9a-f]{32}", kIds, "", 0},
        {"/products/[0-9a-f]{30}/$", kIds, "", 1},
        {"^([^/]+)/.*\\1", kIds, "", 0},
        {"^[^/]+/(products)/.*/\\1/[0-9a-f]+/$", kIds, "", 1},
        {"(?C1)products(?C2)/", kIds, "", 1},
        // runaway shapes on URL texts without a character that every match
        // needs: no match, known before anything is tried
        {"((a+)+)+c", kShortRuns, "", 0},
        {".*b.*b.*b.*b.*z", kShortRuns, "", 0},
    };

    CountingAllocator memory;
    for (const BenignCase &c : cases) {
        for (size_t size : kLongUrlSizes) {
            const std::string url = longUrl(c.unit, size, c.end);
            SCOPED_TRACE(std::string(c.pattern) + " on " + std::to_string(url.size()) + " bytes");
            Outcome outcome = matchCompiled(url, c.pattern, &memory);
            EXPECT_EQ(outcome.rc, c.expected);
            EXPECT_EQ(outcome.message, "");
        }
    }
}

}  // namespace
