// Forced variations: the force text's grammar, what each pair does to a
// request's targeted list, and the text of the debug line.

#include "force.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

namespace {

using vantorell::ForcedFate;
using vantorell::ForcedList;
using vantorell::ForcedParse;

using Pairs = std::vector<std::pair<long, long>>;

Pairs pairsOf(const ForcedList &list) {
    Pairs out;
    for (const auto &p : list) {
        out.emplace_back(p.experimentId, p.variationId);
    }
    return out;
}

ForcedParse parse(const std::string &text, ForcedList *list) {
    return vantorell::parseForcedList(text.data(), text.size(), list);
}

TEST(ForcedListParse, WellFormedTexts) {
    const std::vector<std::pair<std::string, Pairs>> cases = {
        {"", {}},
        {"101=2", {{101, 2}}},
        {"101=2, 202=0", {{101, 2}, {202, 0}}},        // the experiments header's text
        {"101=2,202=0", {{101, 2}, {202, 0}}},          // as a query argument carries it
        {" \t101 = 2 ,\t202=0 ", {{101, 2}, {202, 0}}},
        {"-5=-7", {{-5, -7}}},
        {"007=0", {{7, 0}}},
        {"101=2, 101=3", {{101, 2}, {101, 3}}},         // applying decides, not parsing
        {"9223372036854775807=-9223372036854775808",
         {{9223372036854775807L, -9223372036854775807L - 1}}},
    };
    for (const auto &c : cases) {
        ForcedList list;
        EXPECT_EQ(parse(c.first, &list), ForcedParse::Ok) << '"' << c.first << '"';
        EXPECT_EQ(pairsOf(list), c.second) << '"' << c.first << '"';
    }
}

TEST(ForcedListParse, MalformedTextsAreIgnoredAsAWhole) {
    const std::vector<std::string> cases = {
        " ", ",", "101", "101=", "=2", "101==2", "101=2,", ",101=2", "101=2,,202=0",
        "101=2; 202=0", "101=2 202=0", "101:2", "a=2", "101=b", "101=2x", "+101=2",
        "101=+2", "1 01=2", "101=2.0", "0x10=1", "--1=2", "-=2", "101=\xc2\xb2",
        "101=2\n", "101=2\r\n202=0", std::string("101=2\0", 6),
        "9223372036854775808=1", "1=-9223372036854775809", "1=99999999999999999999999",
        "101=2, 202=0, 303",
    };
    for (const auto &text : cases) {
        ForcedList list = {{1, 1, ForcedFate::Unused}};
        EXPECT_EQ(parse(text, &list), ForcedParse::Malformed) << '"' << text << '"';
        EXPECT_TRUE(list.empty()) << '"' << text << '"';
    }
}

class TempDataFile {
public:
    explicit TempDataFile(const std::string &text) {
        char name[] = "/tmp/vantorell-force-test-XXXXXX";
        int fd = mkstemp(name);
        EXPECT_NE(fd, -1);
        EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        close(fd);
        path_ = name;
    }
    ~TempDataFile() {
        unlink(path_.c_str());
        vantorell::clearModelCache();
    }
    const char *path() const { return path_.c_str(); }

private:
    std::string path_;
};

std::string experiment(long id, const std::vector<long> &variations) {
    std::string text = "{\"baseUrl\":\"b\",\"experimentId\":" + std::to_string(id) +
                       ",\"targetingConfiguration\":\"P\",\"variations\":[";
    for (size_t i = 0; i < variations.size(); ++i) {
        text += (i ? "," : "") + std::string("{\"redirection\":\"r\",\"id\":") +
                std::to_string(variations[i]) + ",\"weight\":0.5}";
    }
    return text + "],\"conditionsData\":[]}";
}

// Experiments 1 (variations 10, 11), 2 (20, 21), 3 (30, 31) and 4 (40); the
// request is targeted by 1, 2 and 4, whose choices are already made.
class ForcedListApply : public ::testing::Test {
protected:
    TempDataFile data{"[" + experiment(1, {10, 11}) + "," + experiment(2, {20, 21}) + "," +
                      experiment(3, {30, 31}) + "," + experiment(4, {40}) + "]"};
    vantorell::ModelHold hold;
    vantorell::TargetedList targeted = {{1, 10}, {2, 0}, {4, 40}};

    void SetUp() override { ASSERT_TRUE(vantorell::acquireModel(data.path(), &hold).ok()); }

    Pairs choices() const {
        Pairs out;
        for (const auto &t : targeted) {
            out.emplace_back(t.experimentId, t.variationId);
        }
        return out;
    }

    std::vector<ForcedFate> apply(const std::string &text, size_t applied) {
        ForcedList list;
        EXPECT_EQ(parse(text, &list), ForcedParse::Ok);
        // vantorell-check applies the list to a model of its own: the same
        // fates and choices as a worker's hold
        ForcedList own = list;
        vantorell::TargetedList ownTargeted = targeted;
        EXPECT_EQ(vantorell::applyForcedList(hold.model(), &own, &ownTargeted), applied) << text;
        EXPECT_EQ(vantorell::applyForcedList(hold, &list, &targeted), applied) << text;
        for (size_t i = 0; i < list.size(); ++i) {
            EXPECT_EQ(own[i].fate, list[i].fate) << text << " pair " << i;
        }
        for (size_t i = 0; i < targeted.size(); ++i) {
            EXPECT_EQ(ownTargeted[i].variationId, targeted[i].variationId) << text;
        }
        std::vector<ForcedFate> fates;
        for (const auto &p : list) {
            fates.push_back(p.fate);
        }
        last = list;
        return fates;
    }

    ForcedList last;
};

TEST_F(ForcedListApply, EachPairReplacesTheChoiceOfATargetedExperimentOnly) {
    EXPECT_EQ(apply("2=21, 1=0, 3=30, 9=1, 4=41, 1=11", 2),
              (std::vector<ForcedFate>{ForcedFate::Applied, ForcedFate::Applied,
                                       ForcedFate::NotTargeted, ForcedFate::UnknownExperiment,
                                       ForcedFate::UnknownVariation, ForcedFate::Repeated}));
    // 3 stays untargeted, 4 keeps its choice, the first pair for 1 decides
    EXPECT_EQ(choices(), (Pairs{{1, 0}, {2, 21}, {4, 40}}));

    char text[64];
    EXPECT_EQ(vantorell::forcedText(last, text, sizeof(text)), 9u);
    EXPECT_STREQ(text, "2=21, 1=0");
}

TEST_F(ForcedListApply, NothingAppliesNothingChanges) {
    EXPECT_EQ(apply("3=31, 4=11, 5=0", 0),
              (std::vector<ForcedFate>{ForcedFate::NotTargeted, ForcedFate::UnknownVariation,
                                       ForcedFate::UnknownExperiment}));
    EXPECT_EQ(choices(), (Pairs{{1, 10}, {2, 0}, {4, 40}}));
    char text[8] = "x";
    EXPECT_EQ(vantorell::forcedText(last, text, sizeof(text)), 0u);
    EXPECT_STREQ(text, "");
}

TEST_F(ForcedListApply, TheFirstPairThatCanApplyDecides) {
    // a pair that cannot apply does not count as forcing its experiment
    EXPECT_EQ(apply("1=99, 2=20, 1=11, 2=21, 1=0", 2),
              (std::vector<ForcedFate>{ForcedFate::UnknownVariation, ForcedFate::Applied,
                                       ForcedFate::Applied, ForcedFate::Repeated,
                                       ForcedFate::Repeated}));
    EXPECT_EQ(choices(), (Pairs{{1, 11}, {2, 20}, {4, 40}}));
}

TEST_F(ForcedListApply, ARepeatedIdOfTheFileIsForcedEverywhereItStands) {
    targeted = {{1, 10}, {2, 20}, {1, 10}};
    apply("1=11", 1);
    EXPECT_EQ(choices(), (Pairs{{1, 11}, {2, 20}, {1, 11}}));
}

TEST(ForcedText, MeasuresAndWritesLikeTheExperimentsHeader) {
    ForcedList list = {{12, 3, ForcedFate::Applied},
                       {7, 1, ForcedFate::NotTargeted},
                       {2147483648L, 9223372036854775807L, ForcedFate::Applied}};
    size_t length = vantorell::forcedText(list, nullptr, 0);
    std::vector<char> buffer(length + 2, '#');
    EXPECT_EQ(vantorell::forcedText(list, buffer.data(), length + 1), length);
    EXPECT_STREQ(buffer.data(), "12=3, -2147483648=-1");
    EXPECT_EQ(buffer[length + 1], '#');
    // a short buffer gets a cut, terminated text and the whole length
    char shortBuffer[6];
    EXPECT_EQ(vantorell::forcedText(list, shortBuffer, sizeof(shortBuffer)), length);
    EXPECT_STREQ(shortBuffer, "12=3,");
}

}  // namespace
