// Targeting of URL texts by condition groups, and the weighted choice of a
// variation for each targeted experiment.
#include "targeting.h"
#include "targeting_internal.h"

#include <gtest/gtest.h>
#include <pcre.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <string>
#include <vector>

#include "nginx_pool.h"

namespace {

// ---- a small model built by hand, in the list orders the reader produces ----

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

struct VariationDef {
    long id;
    double weight;
    const char *redirectUrl;  // may be null
};

struct ExperimentDef {
    long id;
    char targeting;
    std::vector<GroupDef> groups;
    std::vector<VariationDef> variations;
};

char *copyText(const char *text) {
    return text == nullptr ? nullptr : strdup(text);
}

template <typename T>
T *newRecord() {
    return static_cast<T *>(calloc(1, sizeof(T)));
}

// Experiments and variations are held last-in-file first, groups and
// conditions in file order, as in a loaded data file.
class Model {
public:
    explicit Model(const std::vector<ExperimentDef> &fileOrder) {
        for (const ExperimentDef &def : fileOrder) {
            ExperimentConfig *experiment = newRecord<ExperimentConfig>();
            experiment->experimentId = def.id;
            experiment->baseUrl = copyText("base");
            experiment->targetingConfiguration = def.targeting;
            for (const VariationDef &v : def.variations) {
                Variation *variation = newRecord<Variation>();
                variation->variationId = v.id;
                variation->weight = v.weight;
                variation->redirectUrl = copyText(v.redirectUrl);
                variation->next = experiment->variations;
                experiment->variations = variation;
            }
            ConditionData **groupTail = &experiment->conditionsData;
            for (const GroupDef &g : def.groups) {
                ConditionData *group = newRecord<ConditionData>();
                group->orOperator = g.orOperator;
                Condition **conditionTail = &group->conditions;
                for (const ConditionDef &c : g.conditions) {
                    Condition *condition = newRecord<Condition>();
                    condition->orOperator = c.orOperator;
                    condition->url = copyText(c.text.c_str());
                    condition->matchType = c.matchType;
                    condition->include = c.include;
                    *conditionTail = condition;
                    conditionTail = &condition->next;
                }
                *groupTail = group;
                groupTail = &group->next;
            }
            experiment->next = head_;
            head_ = experiment;
        }
    }

    ~Model() {
        while (head_ != nullptr) {
            ExperimentConfig *next = head_->next;
            releaseExperiment(head_);
            head_ = next;
        }
    }

    Model(const Model &) = delete;
    Model &operator=(const Model &) = delete;

    ExperimentConfig *head() const { return head_; }

private:
    static void releaseExperiment(ExperimentConfig *experiment) {
        for (ConditionData *group = experiment->conditionsData; group != nullptr;) {
            for (Condition *condition = group->conditions; condition != nullptr;) {
                Condition *next = condition->next;
                free(condition->url);
                free(condition);
                condition = next;
            }
            ConditionData *next = group->next;
            free(group);
            group = next;
        }
        for (Variation *variation = experiment->variations; variation != nullptr;) {
            Variation *next = variation->next;
            free(variation->redirectUrl);
            free(variation);
            variation = next;
        }
        free(experiment->baseUrl);
        free(experiment);
    }

    ExperimentConfig *head_ = nullptr;
};

// A targeted list owned by the test, released with the module's release.
class TargetedList {
public:
    TargetedList() = default;
    explicit TargetedList(std::initializer_list<long> experimentIds) {
        TargetedExperiment **tail = &head_;
        for (long id : experimentIds) {
            TargetedExperiment *record = newRecord<TargetedExperiment>();
            record->experimentId = id;
            *tail = record;
            tail = &record->next;
        }
    }
    ~TargetedList() { freeTargetedExperiments(head_); }

    TargetedList(const TargetedList &) = delete;
    TargetedList &operator=(const TargetedList &) = delete;

    TargetedExperiment *head() const { return head_; }
    TargetedExperiment **out() { return &head_; }

    std::vector<long> ids() const {
        std::vector<long> result;
        for (TargetedExperiment *t = head_; t != nullptr; t = t->next) {
            result.push_back(t->experimentId);
        }
        return result;
    }

private:
    TargetedExperiment *head_ = nullptr;
};

// The 100-byte message buffer followed by guard bytes that must survive.
class MessageBuffer {
public:
    MessageBuffer() {
        memset(bytes_, kGuard, sizeof(bytes_));
        bytes_[0] = '\0';
    }

    char *get() { return bytes_; }

    std::string text() const {
        return std::string(bytes_, strnlen(bytes_, VANTORELL_MESSAGE_SIZE));
    }

    bool terminatedInside() const {
        return memchr(bytes_, '\0', VANTORELL_MESSAGE_SIZE) != nullptr;
    }

    bool guardIntact() const {
        for (size_t i = VANTORELL_MESSAGE_SIZE; i < sizeof(bytes_); i++) {
            if (bytes_[i] != kGuard) {
                return false;
            }
        }
        return true;
    }

    bool untouched() const {
        for (size_t i = 1; i < sizeof(bytes_); i++) {
            if (bytes_[i] != kGuard) {
                return false;
            }
        }
        return bytes_[0] == '\0';
    }

private:
    static constexpr char kGuard = 'z';
    char bytes_[VANTORELL_MESSAGE_SIZE + 64];
};

const char kCompilePrefix[] = "NGINX: Cannot compile regular expression: ";

bool startsWith(const std::string &text, const std::string &prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// ---- matchCondition ----

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
    };

    NginxPool pool;
    for (const MatchCase &c : cases) {
        SCOPED_TRACE(std::string(1, c.matchType) + " \"" + c.text + "\" on \"" +
                     c.url + "\"");
        std::string url = c.url;
        Condition condition{};
        condition.url = const_cast<char *>(c.text);
        condition.matchType = c.matchType;
        condition.include = true;
        MessageBuffer message;

        EXPECT_EQ(matchCondition(&condition, url.data(), message.get(), pool.get()),
                  c.expected);
        EXPECT_TRUE(message.untouched());
    }
}

TEST(TargetingMatch, UnknownMatchTypeFails) {
    NginxPool pool;
    for (char matchType : {'c', 'X', '\0', 'e'}) {
        SCOPED_TRACE(static_cast<int>(matchType));
        std::string url = "alpha/shop";
        Condition condition{};
        condition.url = const_cast<char *>("shop");
        condition.matchType = matchType;
        MessageBuffer message;

        EXPECT_EQ(matchCondition(&condition, url.data(), message.get(), pool.get()), -1);
        EXPECT_EQ(message.text(), "Match type does not exist.");
    }
}

// ---- urlMatchRegularExpression ----

int sentinelCalls = 0;

void *sentinelMalloc(size_t size) {
    ++sentinelCalls;
    return malloc(size);
}

void sentinelFree(void *p) {
    ++sentinelCalls;
    free(p);
}

// Installs allocation hooks of its own, so that a test sees whether PCRE ever
// falls back to them and whether they are in place again afterwards.
class TargetingRegex : public ::testing::Test {
protected:
    void SetUp() override {
        savedMalloc_ = pcre_malloc;
        savedFree_ = pcre_free;
        pcre_malloc = sentinelMalloc;
        pcre_free = sentinelFree;
        sentinelCalls = 0;
    }

    void TearDown() override {
        pcre_malloc = savedMalloc_;
        pcre_free = savedFree_;
    }

    int match(const std::string &urlText, const std::string &expression,
              ngx_pool_t *pool) {
        std::string url = urlText;
        std::string pattern = expression;
        return urlMatchRegularExpression(url.data(), pattern.data(), message.get(),
                                         pool);
    }

    NginxPool pool;
    MessageBuffer message;

private:
    void *(*savedMalloc_)(size_t) = nullptr;
    void (*savedFree_)(void *) = nullptr;
};

TEST_F(TargetingRegex, InvalidPatternReportsExpressionAndReason) {
    EXPECT_EQ(match("alpha/shop", "(shop", pool.get()), -1);
    EXPECT_EQ(message.text(), std::string(kCompilePrefix) + "(shop, reason: missing )");
}

TEST_F(TargetingRegex, LongInvalidPatternIsCutToTheBuffer) {
    const std::string pattern = "(" + std::string(299, 'a');

    EXPECT_EQ(match("alpha/shop", pattern, pool.get()), -1);
    EXPECT_TRUE(message.terminatedInside());
    EXPECT_LT(message.text().size(), static_cast<size_t>(VANTORELL_MESSAGE_SIZE));
    EXPECT_TRUE(message.guardIntact());
    EXPECT_TRUE(startsWith(message.text(), kCompilePrefix)) << message.text();
}

TEST_F(TargetingRegex, MatcherFailureReportsTheExpression) {
    // the pattern lowers PCRE's match limit itself, so the limit is hit at once
    const std::string pattern = "(*LIMIT_MATCH=1)(a+)+$";

    EXPECT_EQ(match("aaaaaaaab", pattern, pool.get()), -1);
    EXPECT_EQ(message.text(), "Error while matching regular expression: " + pattern);
}

TEST_F(TargetingRegex, LongMessageFromMatcherIsCutToTheBuffer) {
    const std::string pattern = "(*LIMIT_MATCH=1)(a+)+$" + std::string(200, '|');

    EXPECT_EQ(match("aaaaaaaab", pattern, pool.get()), -1);
    EXPECT_TRUE(message.terminatedInside());
    EXPECT_TRUE(message.guardIntact());
    EXPECT_TRUE(startsWith(message.text(), "Error while matching regular expression: "));
}

TEST_F(TargetingRegex, DeepRecursionOnALongUrlFailsInsteadOfExhaustingTheStack) {
    // one or two recursion levels per byte: unbounded, this overflows the stack
    const std::string longUrl(20000, 'a');

    EXPECT_EQ(match(longUrl, "(a|b)*$", pool.get()), -1);
    EXPECT_EQ(message.text(), "Error while matching regular expression: (a|b)*$");
}

// Nested repetition backtracks exponentially: this one needs millions of
// steps, which PCRE's own bound allows, to find that nothing matches.
TEST_F(TargetingRegex, RunawayBacktrackingIsAFailureOfTheRequest) {
    EXPECT_EQ(match("alpha/" + std::string(20, 'a') + "!", "(a+)+$", pool.get()), -1);
    EXPECT_EQ(message.text(), "Error while matching regular expression: (a+)+$");
    // the same pattern where it does not run away
    EXPECT_EQ(match("alpha/" + std::string(24, 'a'), "(a+)+$", pool.get()), 1);
    EXPECT_EQ(match("alpha/" + std::string(8, 'a') + "!", "(a+)+$", pool.get()), 0);
}

TEST_F(TargetingRegex, LongUrlsStillMatchWithinTheRecursionBound) {
    EXPECT_EQ(match(std::string(20000, 'a') + "shop", "shop", pool.get()), 1);
    EXPECT_EQ(match(std::string(20000, 'a'), "shop", pool.get()), 0);
    EXPECT_EQ(match(std::string(1000, 'a'), "^(a|b)*$", pool.get()), 1);
    EXPECT_TRUE(message.untouched());
}

TEST_F(TargetingRegex, AllocatesFromThePoolAndPutsTheHooksBack) {
    struct Case {
        const char *url;
        const char *expression;
        int expected;
        bool compiles;
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
        u_char *before = pool.get()->d.last;

        EXPECT_EQ(match(c.url, c.expression, pool.get()), c.expected);
        if (c.compiles) {
            EXPECT_NE(pool.get()->d.last, before) << "the pattern is not in the pool";
        }
        EXPECT_EQ(sentinelCalls, 0) << "PCRE used the hooks of before";
        EXPECT_EQ(pcre_malloc, &sentinelMalloc);
        EXPECT_EQ(pcre_free, &sentinelFree);
    }
}

TEST_F(TargetingRegex, WithoutAPoolNothingIsAllocated) {
    EXPECT_EQ(match("alpha/shop", "shop", nullptr), -1);
    EXPECT_TRUE(startsWith(message.text(), std::string(kCompilePrefix) + "shop, reason: "))
        << message.text();
    EXPECT_EQ(sentinelCalls, 0);
    EXPECT_EQ(pcre_malloc, &sentinelMalloc);
}

// ---- targetedExperimentByConditions ----

const char kUrl[] = "alpha/shop";

ConditionDef hit(char orOperator, bool include = true) {
    return {orOperator, 'C', "shop", include};
}

ConditionDef miss(char orOperator, bool include = true) {
    return {orOperator, 'C', "cart", include};
}

GroupDef group(char orOperator, std::vector<ConditionDef> conditions) {
    return {orOperator, std::move(conditions)};
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

    NginxPool pool;
    for (const ConditionsCase &c : cases) {
        SCOPED_TRACE(c.name);
        Model model({{42, 'P', c.groups, {}}});
        std::string url = kUrl;
        MessageBuffer message;

        EXPECT_EQ(targetedExperimentByConditions(model.head(), url.data(), message.get(),
                                                 pool.get()),
                  c.targeted ? 42 : 0);
        EXPECT_TRUE(message.untouched());
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

    NginxPool pool;
    for (const FailureCase &c : cases) {
        SCOPED_TRACE(c.name);
        Model model({{42, 'P', c.groups, {}}});
        std::string url = kUrl;
        MessageBuffer message;

        EXPECT_EQ(targetedExperimentByConditions(model.head(), url.data(), message.get(),
                                                 pool.get()),
                  -1);
        EXPECT_EQ(message.text(), c.message);
    }
}

TEST(TargetingConditions, IdsThatReadAsOutcomes) {
    NginxPool pool;
    std::string url = kUrl;
    const std::vector<GroupDef> matching = {group('|', {hit('|')})};
    const std::vector<GroupDef> missing = {group('|', {miss('|')})};

    {
        SCOPED_TRACE("id 0 reads as not targeted");
        Model model({{0, 'P', matching, {}}});
        MessageBuffer message;
        EXPECT_EQ(targetedExperimentByConditions(model.head(), url.data(), message.get(),
                                                 pool.get()),
                  0);
    }
    {
        SCOPED_TRACE("a targeted id -1 is a failure, with a text");
        Model model({{-1, 'P', matching, {}}});
        MessageBuffer message;
        EXPECT_EQ(targetedExperimentByConditions(model.head(), url.data(), message.get(),
                                                 pool.get()),
                  -1);
        EXPECT_EQ(message.text(), "Experiment id -1 cannot be targeted.");
    }
    {
        SCOPED_TRACE("an untargeted id -1 is simply not targeted");
        Model model({{-1, 'P', missing, {}}});
        MessageBuffer message;
        EXPECT_EQ(targetedExperimentByConditions(model.head(), url.data(), message.get(),
                                                 pool.get()),
                  0);
        EXPECT_TRUE(message.untouched());
    }
}

// ---- getTargetedExperiments ----

const std::vector<GroupDef> kTargets = {group('|', {hit('|')})};
const std::vector<GroupDef> kMisses = {group('|', {miss('|')})};

class TargetingExperiments : public ::testing::Test {
protected:
    int target(const Model &model, TargetedExperiment **result) {
        std::string url = kUrl;
        return getTargetedExperiments(model.head(), result, url.data(), message.get(),
                                      pool.get());
    }

    NginxPool pool;
    MessageBuffer message;
};

TEST_F(TargetingExperiments, ResultFollowsTheFileOrder) {
    Model model({{1, 'P', kTargets, {}},
                 {2, 'S', kMisses, {}},
                 {3, 'T', kTargets, {}},
                 {4, 'U', kTargets, {}},
                 {0, 'P', kTargets, {}}});
    TargetedList result;

    ASSERT_EQ(target(model, result.out()), 1);
    EXPECT_EQ(result.ids(), (std::vector<long>{1, 3, 4}));
    for (TargetedExperiment *t = result.head(); t != nullptr; t = t->next) {
        EXPECT_EQ(t->variationId, 0);
        EXPECT_EQ(t->redirectUrl, nullptr);
    }
    EXPECT_TRUE(message.untouched());
}

TEST_F(TargetingExperiments, NothingTargetedOrNoExperimentsGivesAnEmptyList) {
    TargetedExperiment sentinel{};
    for (bool empty : {true, false}) {
        SCOPED_TRACE(empty ? "no experiments" : "nothing targeted");
        Model model(empty ? std::vector<ExperimentDef>{}
                          : std::vector<ExperimentDef>{{1, 'P', kMisses, {}},
                                                        {2, 'P', {}, {}}});
        TargetedExperiment *result = &sentinel;

        EXPECT_EQ(target(model, &result), 1);
        EXPECT_EQ(result, nullptr);
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
        Model model({{c.id, c.letter, kTargets, {}}});
        MessageBuffer caseMessage;
        TargetedExperiment *result = nullptr;
        std::string url = kUrl;

        EXPECT_EQ(getTargetedExperiments(model.head(), &result, url.data(),
                                         caseMessage.get(), pool.get()),
                  -1);
        EXPECT_EQ(caseMessage.text(), c.message);
        EXPECT_EQ(result, nullptr);
    }
}

TEST_F(TargetingExperiments, OfTwoUnknownLettersTheLaterInTheFileIsNamed) {
    Model model({{10, 'X', kTargets, {}}, {11, 'X', kTargets, {}}});
    TargetedList result;

    EXPECT_EQ(target(model, result.out()), -1);
    EXPECT_EQ(message.text(), "Targeting configuration type does not exist for experiment 11.");
}

TEST_F(TargetingExperiments, FailureLeavesTheCallersPointerAndReleasesRecordsMade) {
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
         {{1, 'P', failing, {}}, {2, 'P', kTargets, {}}, {3, 'P', kTargets, {}}},
         std::string(kCompilePrefix) + "(, reason: missing )"},
        {"unknown letter",
         {{1, 'Z', kTargets, {}}, {2, 'P', kTargets, {}}, {3, 'P', kTargets, {}}},
         "Targeting configuration type does not exist for experiment 1."},
    };

    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Model model(c.experiments);
        MessageBuffer caseMessage;
        TargetedExperiment sentinel{};
        TargetedExperiment *result = &sentinel;
        std::string url = kUrl;

        EXPECT_EQ(getTargetedExperiments(model.head(), &result, url.data(),
                                         caseMessage.get(), pool.get()),
                  -1);
        EXPECT_EQ(result, &sentinel);
        EXPECT_EQ(caseMessage.text(), c.message);
    }
}

// ---- completeTargetedExperimentsWithVariation ----

const double kNaN = std::numeric_limits<double>::quiet_NaN();

struct ChoiceCase {
    const char *name;
    std::vector<VariationDef> variations;  // file order
    double threshold;
    long variationId;
    const char *redirectUrl;
};

TEST(ChoiceOfVariation, FirstRunningTotalAboveTheNumberWins) {
    // the running totals are taken from the file's last variation backwards
    const std::vector<VariationDef> aThenB = {{11, 0.5, "/a"}, {12, 0.5, "/b"}};
    const ChoiceCase cases[] = {
        {"0.95 gives A", aThenB, 0.95, 11, "/a"},
        {"0.047 gives B", aThenB, 0.047, 12, "/b"},
        {"exactly 0.5 is not above B's total", aThenB, 0.5, 11, "/a"},
        {"0 gives B", aThenB, 0.0, 12, "/b"},
        {"1.0 with totals up to 1.0 is the reference", aThenB, 1.0, 0, nullptr},
        {"NaN number is the reference", aThenB, kNaN, 0, nullptr},
        {"totals of 0.8 under 0.9", {{1, 0.5, "/a"}, {2, 0.3, "/b"}}, 0.9, 0, nullptr},
        {"no variations", {}, 0.1, 0, nullptr},
        {"chosen variation with id 0 keeps its text", {{0, 1.0, "/zero"}}, 0.3, 0, "/zero"},
        {"chosen variation without a text", {{5, 1.0, nullptr}}, 0.3, 5, nullptr},
        {"before a NaN weight",
         {{1, 0.3, "/1"}, {2, kNaN, "/2"}, {3, 0.6, "/3"}}, 0.5, 3, "/3"},
        {"at or after a NaN weight",
         {{1, 0.3, "/1"}, {2, kNaN, "/2"}, {3, 0.6, "/3"}}, 0.7, 0, nullptr},
    };

    for (const ChoiceCase &c : cases) {
        SCOPED_TRACE(c.name);
        Model model({{9, 'P', {}, c.variations}});
        TargetedList targeted({9});

        ASSERT_EQ(completeTargetedExperimentsWithVariation(model.head(), targeted.head(),
                                                           c.threshold),
                  1);
        TargetedExperiment *record = targeted.head();
        EXPECT_EQ(record->variationId, c.variationId);
        if (c.redirectUrl == nullptr) {
            EXPECT_EQ(record->redirectUrl, nullptr);
        } else {
            ASSERT_NE(record->redirectUrl, nullptr);
            EXPECT_STREQ(record->redirectUrl, c.redirectUrl);
        }
    }
}

TEST(ChoiceOfVariation, EveryRecordIsCompletedWithItsOwnCopy) {
    Model model({{1, 'P', {}, {{101, 1.0, "/one"}}},
                 {2, 'P', {}, {{201, 0.2, "/two-a"}, {202, 0.4, "/two-b"}}},
                 {3, 'P', {}, {{301, 1.0, "/three"}}}});
    // 7 is in no experiment; the stale choice on 3 must not survive
    TargetedList targeted({1, 7, 2, 3});
    TargetedExperiment *seven = targeted.head()->next;
    seven->variationId = 99;
    TargetedExperiment *three = seven->next->next;
    three->variationId = 98;

    ASSERT_EQ(completeTargetedExperimentsWithVariation(model.head(), targeted.head(), 0.3), 1);

    std::vector<long> chosen;
    for (TargetedExperiment *t = targeted.head(); t != nullptr; t = t->next) {
        chosen.push_back(t->variationId);
    }
    EXPECT_EQ(chosen, (std::vector<long>{101, 0, 202, 301}));
    EXPECT_EQ(seven->redirectUrl, nullptr);

    const Variation *source = model.head()->variations;  // experiment 3's
    ASSERT_NE(three->redirectUrl, nullptr);
    EXPECT_STREQ(three->redirectUrl, "/three");
    EXPECT_NE(three->redirectUrl, source->redirectUrl);
}

TEST(ChoiceOfVariation, DuplicateIdsTakeTheExperimentLaterInTheFile) {
    Model model({{5, 'P', {}, {{1, 1.0, "/earlier"}}}, {5, 'P', {}, {{2, 1.0, "/later"}}}});
    TargetedList targeted({5, 5});

    ASSERT_EQ(completeTargetedExperimentsWithVariation(model.head(), targeted.head(), 0.5), 1);
    for (TargetedExperiment *t = targeted.head(); t != nullptr; t = t->next) {
        EXPECT_EQ(t->variationId, 2);
        EXPECT_STREQ(t->redirectUrl, "/later");
    }
}

TEST(ChoiceOfVariation, EmptyListsAreAccepted) {
    Model model({{1, 'P', {}, {{1, 1.0, "/a"}}}});

    EXPECT_EQ(completeTargetedExperimentsWithVariation(model.head(), nullptr, 0.5), 1);
    TargetedList targeted({1});
    EXPECT_EQ(completeTargetedExperimentsWithVariation(nullptr, targeted.head(), 0.5), 1);
    EXPECT_EQ(targeted.head()->variationId, 0);
    freeTargetedExperiments(nullptr);
}

// ---- both steps, as the handler runs them ----

TEST(TargetingAndChoice, TargetedListIsCompletedAndReleased) {
    NginxPool pool;
    Model model({{1, 'P', kTargets, {{11, 1.0, "/one"}}},
                 {2, 'P', kMisses, {{21, 1.0, "/two"}}},
                 {3, 'U', {group('|', {ConditionDef{'|', 'R', "^alpha/(shop|cart)$", true}})},
                  {{31, 0.5, "/three-a"}, {32, 0.5, "/three-b"}}}});
    TargetedList targeted;
    std::string url = kUrl;
    MessageBuffer message;

    ASSERT_EQ(getTargetedExperiments(model.head(), targeted.out(), url.data(), message.get(),
                                     pool.get()),
              1);
    ASSERT_EQ(completeTargetedExperimentsWithVariation(model.head(), targeted.head(), 0.7), 1);

    ASSERT_EQ(targeted.ids(), (std::vector<long>{1, 3}));
    EXPECT_EQ(targeted.head()->variationId, 11);
    EXPECT_STREQ(targeted.head()->redirectUrl, "/one");
    EXPECT_EQ(targeted.head()->next->variationId, 31);
    EXPECT_STREQ(targeted.head()->next->redirectUrl, "/three-a");
}

// ---- one bounded effort per URL text and pattern ----

// URL texts of about `size` bytes: "alpha/" and then `unit` as often as fits,
// then `end`.  nginx's default buffers let a URL text reach about 16 KB.
std::string longUrl(const std::string &unit, size_t size, const std::string &end = "") {
    std::string url = "alpha/";
    while (url.size() + unit.size() + end.size() <= size) {
        url += unit;
    }
    return url + end;
}

const size_t kLongUrlSizes[] = {8 * 1024, 16 * 1024};

const std::string kShortRuns = std::string(14, 'a') + "b";
const std::string kLongRuns = std::string(3999, 'a') + "b";
const std::string kIds = "products/0123456789abcdef0123456789abcd/";

// A pattern on the long URL texts that repeat `unit` and end with `end`.
struct RunawayCase {
    const char *pattern;
    std::string unit;
    std::string end;
};

struct BenignCase {
    const char *pattern;
    std::string unit;
    std::string end;
    int expected;       // 1 or 0, as without any budget
};

struct Outcome {
    int rc;
    std::string message;
};

// The pattern compiled for this call alone, as without a cached model.
Outcome matchPerCall(const std::string &urlText, const char *pattern, ngx_pool_t *pool) {
    std::string url = urlText;
    std::string expression = pattern;
    MessageBuffer message;
    int rc = urlMatchRegularExpression(url.data(), expression.data(), message.get(), pool);
    return {rc, message.text()};
}

// The pattern compiled once with its model, as the worker's cache does.
Outcome matchCompiled(const std::string &urlText, const char *pattern, ngx_pool_t *pool) {
    Model model({{7, 'U', {group('|', {ConditionDef{'|', 'R', pattern, true}})}, {}}});
    vantorell::CompiledPatterns patterns;
    EXPECT_TRUE(patterns.compile(model.head()));
    std::string url = urlText;
    MessageBuffer message;
    TargetedList result;
    int rc = vantorell::getTargetedExperimentsCompiled(model.head(), result.out(), url.data(),
                                                       message.get(), pool, patterns);
    if (rc == 1) {
        rc = result.ids() == std::vector<long>{7} ? 1 : 0;
    }
    return {rc, message.text()};
}

using Matcher = Outcome (*)(const std::string &, const char *, ngx_pool_t *);

const struct {
    const char *name;
    Matcher match;
} kMatchers[] = {{"compiled per call", matchPerCall}, {"compiled with the model", matchCompiled}};

// Shapes that backtrack or rescan without end on URL texts a client chooses.
// PCRE restarts its own step counter at every start position, so many of
// these used to hold the worker for seconds and then report no match.
TEST(TargetingBudget, RunawayPatternsOnLongUrlsFailWithTheExpression) {
    const RunawayCase cases[] = {
        // nested repetition
        {"(a+)+$", kShortRuns, ""},
        {"((a+)+)+c", kShortRuns, ""},
        {"(?:a?){30}a{30}", kShortRuns, ""},
        {"(.*)(.*)(.*)(.*)(.*)z", kShortRuns, ""},
        {".*b.*b.*b.*b.*z", kShortRuns, ""},
        {"(\\w*)*[.]{2}", "words_", ""},
        // alternation under repetition
        {"(a|aa)+$", kShortRuns, ""},
        {"(a|a)+$", kShortRuns, ""},
        // back-references: what they compare fails where it stands
        {"(a+)\\1+$", "a", "!"},
        {"([ab]*)*\\1c", kShortRuns, ""},
        // possessive scans of the rest of a run, from every start position
        {"a*b[xy]", "a", "b!"},
        {"(?>a*)b[xy]", "a", "b!"},
        {"\\w+/\\w+/\\w+$", "a", "/b/!"},
        // a counted repetition that reads a whole run and fails
        {"a{4000}", kLongRuns, ""},
        // the pattern's own callout points are steps like any other
        {"(?C1)(a+)+$(?C2)", kShortRuns, ""},
    };

    NginxPool pool(64 * 1024);
    for (const RunawayCase &c : cases) {
        for (size_t size : kLongUrlSizes) {
            const std::string url = longUrl(c.unit, size, c.end);
            for (const auto &matcher : kMatchers) {
                SCOPED_TRACE(std::string(c.pattern) + " on " + std::to_string(url.size()) +
                             " bytes, " + matcher.name);
                Outcome outcome = matcher.match(url, c.pattern, pool.get());
                EXPECT_EQ(outcome.rc, -1);
                EXPECT_EQ(outcome.message,
                          std::string("Error while matching regular expression: ") + c.pattern);
            }
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
    };

    NginxPool pool(64 * 1024);
    for (const BenignCase &c : cases) {
        for (size_t size : kLongUrlSizes) {
            const std::string url = longUrl(c.unit, size, c.end);
            for (const auto &matcher : kMatchers) {
                SCOPED_TRACE(std::string(c.pattern) + " on " + std::to_string(url.size()) +
                             " bytes, " + matcher.name);
                Outcome outcome = matcher.match(url, c.pattern, pool.get());
                EXPECT_EQ(outcome.rc, c.expected);
                EXPECT_EQ(outcome.message, "");
            }
        }
    }
}

int sentinelCallouts = 0;

int sentinelCallout(pcre_callout_block *) {
    ++sentinelCallouts;
    return 0;
}

// pcre_callout is process-wide: the budget's hook is in place only while one
// of our patterns runs, and whatever was there before is back afterwards.
TEST(TargetingBudget, PutsThePreviousCalloutHookBack) {
    struct Case {
        const char *pattern;
        std::string url;
        int expected;
    };
    const Case cases[] = {
        {"shop", "alpha/shop", 1},
        {"cart", "alpha/shop", 0},
        {"(?C1)sh(?C2)op", "alpha/shop", 1},
        {"(a+)+$", longUrl(kShortRuns, 8 * 1024), -1},
        {"(?C3)(a+)+$", longUrl(kShortRuns, 8 * 1024), -1},
        {"(shop", "alpha/shop", -1},
    };

    auto *saved = pcre_callout;
    pcre_callout = sentinelCallout;
    sentinelCallouts = 0;

    NginxPool pool(64 * 1024);
    for (const Case &c : cases) {
        for (const auto &matcher : kMatchers) {
            SCOPED_TRACE(std::string(c.pattern) + ", " + matcher.name);
            EXPECT_EQ(matcher.match(c.url, c.pattern, pool.get()).rc, c.expected);
            EXPECT_EQ(pcre_callout, &sentinelCallout);
            EXPECT_EQ(sentinelCallouts, 0) << "the hook of before ran during our match";
        }
    }

    pcre_callout = saved;
}

}  // namespace
