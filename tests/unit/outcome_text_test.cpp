// The texts that carry the outcome to nginx, for every kind of id, and where
// the visitor code stands in a cookie value.

#include "visitor.h"
#include "outcome.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

struct Pairs {
    vantorell::TargetedList records;
    explicit Pairs(const std::vector<std::pair<long, long>> &pairs) {
        for (const auto &p : pairs) {
            records.push_back({p.first, p.second});
        }
    }
};

// Writes into a buffer of exactly the measured size, with a guard behind it.
std::string measuredAndWritten(size_t (*text)(const Pairs &, char *, size_t), const Pairs &p) {
    size_t length = text(p, nullptr, 0);
    std::vector<char> buffer(length + 2, '#');
    EXPECT_EQ(text(p, buffer.data(), length + 1), length);
    EXPECT_EQ(buffer[length], '\0');
    EXPECT_EQ(buffer[length + 1], '#');
    return std::string(buffer.data());
}

size_t header(const Pairs &p, char *b, size_t n) { return vantorell::experimentsHeaderText(p.records, b, n); }
size_t location(const Pairs &p, char *b, size_t n) {
    return vantorell::variationLocationText(p.records[0].experimentId, p.records[0].variationId, b, n);
}

const long kMax32 = INT_MAX;
const long kMax64 = LONG_MAX;

TEST(OutcomeText, ExperimentsHeader) {
    struct Case { std::vector<std::pair<long, long>> pairs; const char *text; };
    for (const Case &c : std::vector<Case>{
             {{{42, 0}}, "42=0"},
             {{{12, 3}, {7, 0}, {4501, 12}}, "12=3, 7=0, 4501=12"},
             {{{9, 9}, {10, 10}}, "9=9, 10=10"},
             {{{kMax32, kMax32}}, "2147483647=2147483647"},
             {{{kMax32 + 1, 0}}, "-2147483648=0"},
             {{{kMax64, kMax64 - 1}}, "-1=-2"},
             {{{0, -5}, {LONG_MIN, -kMax32 - 1}}, "0=-5, 0=-2147483648"},
             {{}, ""},
         }) {
        const Pairs p(c.pairs);
        EXPECT_EQ(measuredAndWritten(header, p), c.text);
        // written straight into room for the longest form: the same text
        std::vector<char> room(vantorell::experimentsHeaderRoom(p.records) + 1, '#');
        EXPECT_EQ(vantorell::experimentsHeaderText(p.records, room.data(), room.size() - 1),
                  std::strlen(c.text));
        EXPECT_STREQ(room.data(), c.text);
        EXPECT_EQ(room.back(), '#');
    }
}

// An id alone, as the variables show it: the same text as in the header.
TEST(OutcomeText, IdText) {
    struct Case { long id; const char *text; };
    for (const Case &c : std::vector<Case>{
             {0, "0"}, {7, "7"}, {4501, "4501"}, {-5, "-5"},
             {kMax32, "2147483647"}, {kMax32 + 1, "-2147483648"},
             {kMax64, "-1"}, {LONG_MIN, "0"},
         }) {
        char buffer[vantorell::kIdTextLength + 1];
        std::memset(buffer, '#', sizeof(buffer));
        size_t length = vantorell::idText(c.id, buffer);
        EXPECT_EQ(std::string(buffer, length), c.text);
        EXPECT_EQ(buffer[vantorell::kIdTextLength], '#');
    }
}

TEST(OutcomeText, VariationLocation) {
    struct Case { long e, v; const char *text; };
    for (const Case &c : std::vector<Case>{
             {12, 3, "/experiment_12_variation_3"},
             {4501, 12, "/experiment_4501_variation_12"},
             {kMax32, kMax32, "/experiment_2147483647_variation_2147483647"},
             {kMax32 + 1, kMax64, "/experiment_-2147483648_variation_-1"},
             {0, -7, "/experiment_0_variation_-7"},
         }) {
        EXPECT_EQ(measuredAndWritten(location, Pairs({{c.e, c.v}})), c.text);
        char room[vantorell::kVariationLocationRoom + 1];
        room[vantorell::kVariationLocationRoom] = '#';
        EXPECT_EQ(vantorell::variationLocationText(c.e, c.v, room, vantorell::kVariationLocationRoom),
                  std::strlen(c.text));
        EXPECT_STREQ(room, c.text);
        EXPECT_EQ(room[vantorell::kVariationLocationRoom], '#');
    }
    // the sizes the handler has always used for ordinary ids
    EXPECT_EQ(vantorell::variationLocationText(12, 3, nullptr, 0) + 1, 27u);
    EXPECT_EQ(vantorell::variationLocationText(kMax32, kMax32, nullptr, 0) + 1, 44u);
}

// A buffer too short for the text keeps what fits, NUL-terminated, writes
// nothing beyond its size, and the length returned is still the whole text's.
TEST(OutcomeText, ShortBuffersAsSnprintf) {
    const Pairs p({{12, 3}, {-7, 0}});
    const std::string whole = "12=3, -7=0";
    for (size_t size = 0; size <= whole.size() + 1; size++) {
        std::vector<char> buffer(size + 1, '#');
        EXPECT_EQ(header(p, size ? buffer.data() : nullptr, size), whole.size());
        if (size > 0) {
            EXPECT_EQ(std::string(buffer.data()), whole.substr(0, size - 1)) << size;
        }
        EXPECT_EQ(buffer[size], '#') << size;
    }
    char four[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(location(Pairs({{5, 6}}), four, 3), std::strlen("/experiment_5_variation_6"));
    EXPECT_EQ(std::string(four), "/e");
    EXPECT_EQ(four[3], '#');
}

TEST(OutcomeText, VisitorCodeInACookieValue) {
    struct Case { std::string value; int offset; };
    for (const Case &c : std::vector<Case>{
             {"", -1},
             {std::string(15, 'a'), -1},
             {std::string(16, 'a'), 0},
             {std::string(26, 'a'), 0},
             {"_js_" + std::string(16, 'b'), 4},
             {"_js_" + std::string(12, 'b'), -1},
             {"_js_" + std::string(15, 'b'), -1},
             {"_JS_" + std::string(12, 'b'), 0},
             // only cookie octets make a code: anything else would travel
             // back raw into Set-Cookie
             {std::string("\0\x01\xff", 3) + std::string(13, 'c'), -1},
             {"a,b c\"d\x01\x7f\xff=Path=", -1},
             {std::string(15, 'a') + " ", -1},
             {std::string(15, 'a') + "\\", -1},
             {std::string(15, 'a') + ";", -1},
             {std::string(7, 'a') + "," + std::string(8, 'a'), -1},
             {"_js_" + std::string(15, 'b') + "\x80", -1},
             {std::string(16, 'a') + " trailing bytes are not the code", 0},
             {"!#$%&'()*+-./:<=", 0},
             {">?@[]^_`{|}~AZaz", 0},
             {"_js_" + std::string(15, 'b') + "~", 4},
         }) {
        EXPECT_EQ(vantorell::visitorCodeOffset(c.value.data(), c.value.size()), c.offset)
            << c.value;
    }
}

}  // namespace
