// The texts a pattern that does not compile is logged with: PCRE2 finds the
// fault, and the log keeps the first-generation PCRE's words for it.

#include "pattern_messages.h"

#ifndef PCRE2_CODE_UNIT_WIDTH
#define PCRE2_CODE_UNIT_WIDTH 8
#endif
#include <pcre2.h>

#include <gtest/gtest.h>

#include <string>

namespace {

// PCRE2's error code for the pattern, compiled as the module compiles it;
// 0 when it compiles.
int compileError(const std::string &pattern) {
    int code = 0;
    PCRE2_SIZE offset = 0;
    pcre2_code *re = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.c_str()),
                                   PCRE2_ZERO_TERMINATED, PCRE2_AUTO_CALLOUT, &code, &offset,
                                   nullptr);
    if (re != nullptr) {
        pcre2_code_free(re);
        return 0;
    }
    return code;
}

struct MessageCase {
    std::string pattern;
    const char *text;       // what PCRE 8.39 said for the same pattern
};

TEST(PatternMessages, TheFaultsOperatorsMeetKeepTheirFirstGenerationTexts) {
    const MessageCase cases[] = {
        {"(", "missing )"},
        {"(shop", "missing )"},
        {"^alpha/(shop|cart", "missing )"},
        {"shop)", "unmatched parentheses"},
        {"[a-", "missing terminating ] for character class"},
        {"[z-a]", "range out of order in character class"},
        {"[[:foo:]]", "unknown POSIX class name"},
        {"[:alpha:]", "POSIX named classes are supported only within a class"},
        {"*shop", "nothing to repeat"},
        {"a**", "nothing to repeat"},
        {"a{2,1}", "numbers out of order in {} quantifier"},
        {"a{70000}", "number too big in {} quantifier"},
        {"shop\\", "\\ at end of pattern"},
        {"(a)\\2", "reference to non-existent subpattern"},
        {"(?z)", "unrecognized character after (? or (?-"},
        {"(?<=a+)b", "lookbehind assertion is not fixed length"},
        {"(?<id>\\d+)/(?<id>\\d+)", "two named subpatterns have the same name"},
        {"(?P<id\\d+)", "syntax error in subpattern name (missing terminator)"},
        {"\\x{100}", "character value in \\x{} or \\o{} is too large"},
        {"\\U", "PCRE does not support \\L, \\l, \\N{name}, \\U, or \\u"},
        // the calls of PCRE2_AUTO_CALLOUT make 9,000 items too many
        {std::string(9000, 'a'), "regular expression is too large"},
    };

    for (const MessageCase &c : cases) {
        SCOPED_TRACE(c.pattern.substr(0, 40));
        int code = compileError(c.pattern);
        ASSERT_NE(code, 0) << "PCRE2 compiles it";
        const char *text = vantorell::legacyCompileMessage(code);
        ASSERT_NE(text, nullptr) << "no text for PCRE2's code " << code;
        EXPECT_STREQ(text, c.text);
    }
}

// Faults the first-generation PCRE never reported keep PCRE2's own text.
TEST(PatternMessages, FaultsOnlyPcre2FindsHaveNoFirstGenerationText) {
    EXPECT_EQ(vantorell::legacyCompileMessage(compileError("(?=a\\K)")), nullptr);
    EXPECT_EQ(vantorell::legacyCompileMessage(0), nullptr);
}

}  // namespace
