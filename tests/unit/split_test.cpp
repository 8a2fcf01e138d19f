// The split: expected shares under the module's own choice, what tells a
// changed split, and the chi-square check of counts against the shares.

#include <gtest/gtest.h>

#include "split.h"
#include "visitor.h"

#include <cctype>
#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

using vantorell::checkSplit;
using vantorell::expectedShares;
using vantorell::Share;
using vantorell::Shares;
using vantorell::splitSignature;
using vantorell::Variation;

namespace {

// (id, weight) pairs in the file's order; the model holds them reversed.
std::vector<Variation> fromFile(std::vector<std::pair<long, double>> pairs)
{
    std::vector<Variation> model;
    for (auto it = pairs.rbegin(); it != pairs.rend(); ++it) {
        Variation v;
        v.id = it->first;
        v.weight = it->second;
        model.push_back(v);
    }
    return model;
}

Shares sharesOf(const std::vector<Variation> &variations)
{
    Shares shares;
    EXPECT_TRUE(expectedShares(variations, &shares));
    return shares;
}

struct ShareCase {
    const char *name;
    std::vector<std::pair<long, double>> file;
    std::vector<std::pair<long, double>> shares;   // reference first, file order
};

class ExpectedShares : public ::testing::TestWithParam<ShareCase> {};

}  // namespace

TEST_P(ExpectedShares, FollowTheChoiceRule)
{
    const ShareCase &c = GetParam();
    Shares shares = sharesOf(fromFile(c.file));
    ASSERT_EQ(shares.size(), c.shares.size());
    for (size_t i = 0; i < shares.size(); i++) {
        EXPECT_EQ(shares[i].id, c.shares[i].first) << i;
        EXPECT_NEAR(shares[i].share, c.shares[i].second, 1e-12) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Weights, ExpectedShares,
    ::testing::Values(
        ShareCase{"none", {}, {{0, 1.0}}},
        ShareCase{"below one", {{1, 0.5}, {2, 0.3}}, {{0, 0.2}, {1, 0.5}, {2, 0.3}}},
        ShareCase{"exactly one", {{1, 0.25}, {2, 0.75}}, {{0, 0.0}, {1, 0.25}, {2, 0.75}}},
        // summed from the file's last: 2 takes 0.7, 1 what is left of [0, 1]
        ShareCase{"past one", {{1, 0.7}, {2, 0.7}}, {{0, 0.0}, {1, 0.3}, {2, 0.7}}},
        ShareCase{"a variation past one gets nothing", {{1, 0.4}, {2, 0.5}, {3, 0.6}},
                  {{0, 0.0}, {1, 0.0}, {2, 0.4}, {3, 0.6}}},
        // a negative weight moves the total back: what it uncovers was taken
        ShareCase{"negative weight", {{1, 0.4}, {2, -0.3}, {3, 0.5}},
                  {{0, 0.4}, {1, 0.1}, {2, 0.0}, {3, 0.5}}},
        ShareCase{"negative weight first", {{1, 0.5}, {2, -0.2}},
                  {{0, 0.7}, {1, 0.3}, {2, 0.0}}},
        ShareCase{"an id twice", {{4, 0.1}, {5, 0.2}, {4, 0.3}},
                  {{0, 0.4}, {4, 0.4}, {5, 0.2}}},
        ShareCase{"id 0 is the reference", {{0, 0.3}, {6, 0.3}}, {{0, 0.7}, {6, 0.3}}}),
    [](const ::testing::TestParamInfo<ShareCase> &info) {
        std::string name;
        for (const char *p = info.param.name; *p; ++p) {
            name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
        }
        return name;
    });

// The shares are those chooseVariation gives numbers spread evenly over
// [0, 1]: the check compares counts with what the choice really does.
TEST(ExpectedSharesAgainstTheChoice, EvenlySpreadNumbers)
{
    const std::vector<std::vector<std::pair<long, double>>> files = {
        {{1, 0.5}, {2, 0.3}},
        {{1, 0.7}, {2, 0.7}},
        {{1, 0.4}, {2, -0.3}, {3, 0.5}},
        {{4, 0.1}, {5, 0.2}, {4, 0.3}},
        {{1, 1.0 / 3}, {2, 1.0 / 3}, {3, 1.0 / 3}},
    };
    const int n = 200000;

    for (const auto &file : files) {
        std::vector<Variation> model = fromFile(file);
        std::map<long, int> chosen;
        for (int i = 0; i < n; i++) {
            const Variation *v = vantorell::chooseVariation(model, (i + 0.5) / n);
            chosen[v != nullptr ? v->id : 0]++;
        }
        for (const Share &s : sharesOf(model)) {
            EXPECT_NEAR(static_cast<double>(chosen[s.id]) / n, s.share, 1.0 / n)
                << "variation " << s.id;
        }
    }
}

TEST(SplitSignature, ChangesWithIdsWeightsOrderAndCount)
{
    const uint64_t base = splitSignature(fromFile({{1, 0.5}, {2, 0.5}}));
    EXPECT_EQ(base, splitSignature(fromFile({{1, 0.5}, {2, 0.5}})));
    EXPECT_NE(base, splitSignature(fromFile({{1, 0.4}, {2, 0.5}})));
    EXPECT_NE(base, splitSignature(fromFile({{1, 0.5}, {3, 0.5}})));
    EXPECT_NE(base, splitSignature(fromFile({{2, 0.5}, {1, 0.5}})));
    EXPECT_NE(base, splitSignature(fromFile({{1, 0.5}, {2, 0.5}, {3, 0.0}})));
    EXPECT_NE(splitSignature(fromFile({})), splitSignature(fromFile({{0, 0.0}})));
}

// Reference p-values in closed form: with 1 degree of freedom the upper tail
// of chi-square is erfc(sqrt(x / 2)), with 2 it is exp(-x / 2).
TEST(CheckSplit, PearsonChiSquareAgainstClosedForms)
{
    {
        const double shares[] = {0.5, 0.5};
        const uint64_t counts[] = {520, 480};                 // chi-square 1.6
        auto c = checkSplit(shares, counts, 2);
        EXPECT_TRUE(c.checked);
        EXPECT_NEAR(c.pValue, std::erfc(std::sqrt(0.8)), 1e-12);
        EXPECT_FALSE(c.alarm);
    }
    {
        const double shares[] = {0.2, 0.5, 0.3};
        const uint64_t counts[] = {180, 530, 290};            // chi-square 4.133...
        double x = 20.0 * 20 / 200 + 30.0 * 30 / 500 + 10.0 * 10 / 300;
        auto c = checkSplit(shares, counts, 3);
        EXPECT_NEAR(c.pValue, std::exp(-x / 2), 1e-12);
        EXPECT_FALSE(c.alarm);
    }
}

TEST(CheckSplit, AlarmBelowOneInAThousand)
{
    // 2 degrees of freedom: p < 0.001 once chi-square passes 13.8155
    const double shares[] = {1.0 / 3, 1.0 / 3, 1.0 / 3};
    const uint64_t near[] = {1000 + 52, 1000 - 52, 1000};    // chi-square 5.4
    const uint64_t past[] = {1000 + 100, 1000 - 100, 1000};  // chi-square 20
    auto fine = checkSplit(shares, near, 3);
    auto off = checkSplit(shares, past, 3);
    EXPECT_FALSE(fine.alarm);
    EXPECT_NEAR(fine.pValue, std::exp(-5.408 / 2), 1e-12);
    EXPECT_TRUE(off.alarm);
    EXPECT_NEAR(off.pValue, std::exp(-10.0), 1e-15);
}

TEST(CheckSplit, SpeaksFromAThousandCounts)
{
    const double shares[] = {0.5, 0.5};
    const uint64_t few[] = {999, 0};
    const uint64_t enough[] = {1000, 0};
    EXPECT_FALSE(checkSplit(shares, few, 2).checked);
    EXPECT_FALSE(checkSplit(shares, few, 2).alarm);
    auto c = checkSplit(shares, enough, 2);
    EXPECT_TRUE(c.checked);
    EXPECT_TRUE(c.alarm);
    EXPECT_GE(c.pValue, 0.0);
}

TEST(CheckSplit, SharesOfZero)
{
    // a variation the weights never choose: not a class of the test...
    const double shares[] = {0.0, 0.5, 0.5};
    const uint64_t fair[] = {0, 500, 500};
    auto c = checkSplit(shares, fair, 3);
    EXPECT_DOUBLE_EQ(c.pValue, 1.0);
    EXPECT_FALSE(c.alarm);
    // ...unless it was counted: a split the choice cannot give
    const uint64_t impossible[] = {1, 500, 500};
    c = checkSplit(shares, impossible, 3);
    EXPECT_EQ(c.pValue, 0.0);
    EXPECT_TRUE(c.alarm);
    // one class that can be chosen takes every count
    const double one[] = {0.0, 1.0};
    const uint64_t all[] = {0, 5000};
    c = checkSplit(one, all, 2);
    EXPECT_TRUE(c.checked);
    EXPECT_DOUBLE_EQ(c.pValue, 1.0);
}

TEST(CheckSplit, HugeCountsStayNumbers)
{
    const double shares[] = {0.5, 0.5};
    const uint64_t even[] = {1000000000000ULL, 1000000000000ULL};
    const uint64_t skewed[] = {1000000000000ULL, 900000000000ULL};
    EXPECT_DOUBLE_EQ(checkSplit(shares, even, 2).pValue, 1.0);
    auto c = checkSplit(shares, skewed, 2);
    EXPECT_EQ(c.pValue, 0.0);
    EXPECT_TRUE(c.alarm);
}

// The errors check: variation x (5xx, other answer), from 1000 responses with
// 20 of them 5xx; an alarm needs both the p-value and the ratio.
TEST(CheckErrors, ThresholdsPValuesAndTheWorstVariation)
{
    struct Row {
        const char *name;
        std::vector<uint64_t> responses, errors;
        bool checked;
        double pValue;      // negative: only below 1e-6
        bool alarm;
        size_t worst;
    };
    // two variations, 10 and 30 errors of 500 each: chi-square 10.4167, one
    // degree of freedom
    const double twoByTwo = std::erfc(std::sqrt((5.0 + 10.0 / 48 + 5.0 + 10.0 / 48) / 2));
    const Row rows[] = {
        {"under 1000 responses", {500, 499}, {10, 90}, false, 1.0, false, 0},
        {"under 20 errors", {500, 500}, {0, 19}, false, 1.0, false, 0},
        {"three times, not significant", {500, 500}, {10, 30}, true, twoByTwo, false, 1},
        {"ten times, significant", {500, 500}, {5, 50}, true, -1, true, 1},
        {"significant, not twice", {50000, 50000}, {5000, 6000}, true, -1, false, 1},
        {"the reference fails", {500, 500}, {50, 5}, true, -1, true, 0},
        {"a variation without answers takes no part", {500, 0, 500}, {10, 0, 30}, true,
         twoByTwo, false, 2},
        {"every answer a 5xx", {600, 400}, {600, 400}, true, 1.0, false, 0},
        {"one variation answering", {0, 1000}, {0, 100}, true, 1.0, false, 1},
        {"a count read ahead of its total", {600, 400}, {700, 20}, true, -1, true, 0},
    };
    for (const Row &row : rows) {
        auto c = vantorell::checkErrors(row.responses.data(), row.errors.data(),
                                        row.responses.size());
        EXPECT_EQ(c.checked, row.checked) << row.name;
        if (row.pValue < 0) {
            EXPECT_LT(c.pValue, 1e-6) << row.name;
        } else {
            EXPECT_NEAR(c.pValue, row.pValue, 1e-12) << row.name;
        }
        EXPECT_EQ(c.alarm, row.alarm) << row.name;
        if (row.checked) {
            EXPECT_EQ(c.worst, row.worst) << row.name;
        }
    }
}

TEST(CheckErrors, SharesOfTheWorstAndTheOthersPooled)
{
    const uint64_t responses[] = {400, 100, 500};
    const uint64_t errors[] = {8, 2, 60};
    auto c = vantorell::checkErrors(responses, errors, 3);
    EXPECT_EQ(c.worst, 2u);
    EXPECT_DOUBLE_EQ(c.worstShare, 0.12);
    EXPECT_DOUBLE_EQ(c.othersShare, 0.02);
    EXPECT_TRUE(c.alarm);
}
