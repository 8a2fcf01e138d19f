/*
 * PCRE2 compile error codes and the first-generation PCRE texts for the same
 * faults, so that operators' log parsing stays stable across the change of
 * library.
 *
 * Measured, not recalled: some 1,500 bad patterns were compiled with both
 * libraries with the module's options (PCRE 8.39 with PCRE_AUTO_CALLOUT,
 * PCRE2 10.42 with PCRE2_AUTO_CALLOUT, 8-bit), and each code below is given
 * the text PCRE 8.39 gave for the patterns that both refused with that code.
 * Where the old library gave several texts for one code, the commonest is
 * kept; the others are noted.  Codes whose texts are the same in both are
 * listed too, so that a later PCRE2 that rewords them leaves the log alone.
 */
#ifndef PCRE2_CODE_UNIT_WIDTH
#define PCRE2_CODE_UNIT_WIDTH 8
#endif
#include <pcre2.h>

#include "pattern_messages.h"

namespace vantorell {

const char *
legacyCompileMessage(int pcre2ErrorCode) noexcept
{
    /* a pattern that is not valid UTF-8 after (*UTF): one text for every kind */
    if (pcre2ErrorCode <= PCRE2_ERROR_UTF8_ERR1 && pcre2ErrorCode >= PCRE2_ERROR_UTF8_ERR21) {
        return "invalid UTF-8 string";
    }

    switch (pcre2ErrorCode) {
    case PCRE2_ERROR_END_BACKSLASH:
        return "\\ at end of pattern";
    case PCRE2_ERROR_END_BACKSLASH_C:
        return "\\c at end of pattern";
    case PCRE2_ERROR_QUANTIFIER_OUT_OF_ORDER:
        return "numbers out of order in {} quantifier";
    case PCRE2_ERROR_QUANTIFIER_TOO_BIG:
        return "number too big in {} quantifier";
    case PCRE2_ERROR_MISSING_SQUARE_BRACKET:
        return "missing terminating ] for character class";
    case PCRE2_ERROR_ESCAPE_INVALID_IN_CLASS:
        /* refused by both only as a range end: [a-\R] */
        return "invalid range in character class";
    case PCRE2_ERROR_CLASS_RANGE_ORDER:
        return "range out of order in character class";
    case PCRE2_ERROR_QUANTIFIER_INVALID:
        return "nothing to repeat";
    case PCRE2_ERROR_INVALID_AFTER_PARENS_QUERY:
        return "unrecognized character after (? or (?-";
    case PCRE2_ERROR_POSIX_CLASS_NOT_IN_CLASS:
        return "POSIX named classes are supported only within a class";
    case PCRE2_ERROR_POSIX_NO_SUPPORT_COLLATING:
        return "POSIX collating elements are not supported";
    case PCRE2_ERROR_MISSING_CLOSING_PARENTHESIS:
        /* also "(?", "(?i", "(?P", "(?C", "(?1" at the end of the pattern,
         * which the old library reported by what was cut short */
        return "missing )";
    case PCRE2_ERROR_BAD_SUBPATTERN_REFERENCE:
        /* the old library had its own texts for \g0, \g+1 and (?(0) */
        return "reference to non-existent subpattern";
    case PCRE2_ERROR_BAD_OPTIONS:
        return "unknown option bit(s) set";
    case PCRE2_ERROR_MISSING_COMMENT_CLOSING:
        return "missing ) after comment";
    case PCRE2_ERROR_PARENTHESES_NEST_TOO_DEEP:
        return "parentheses are too deeply nested";
    case PCRE2_ERROR_PATTERN_TOO_LARGE:
        return "regular expression is too large";
    case PCRE2_ERROR_HEAP_FAILED:
        return "failed to get memory";
    case PCRE2_ERROR_UNMATCHED_CLOSING_PARENTHESIS:
        return "unmatched parentheses";
    case PCRE2_ERROR_MISSING_CONDITION_CLOSING:
        return "malformed number or name after (?(";
    case PCRE2_ERROR_LOOKBEHIND_NOT_FIXED_LENGTH:
        return "lookbehind assertion is not fixed length";
    case PCRE2_ERROR_ZERO_RELATIVE_REFERENCE:
        /* "invalid condition (?(0)" for (?(+0)...) and (?(-0)...) */
        return "a numbered reference must not be zero";
    case PCRE2_ERROR_TOO_MANY_CONDITION_BRANCHES:
        return "conditional group contains more than two branches";
    case PCRE2_ERROR_CONDITION_ASSERTION_EXPECTED:
        return "assertion expected after (?( or (?(?C)";
    case PCRE2_ERROR_BAD_RELATIVE_REFERENCE:
        return "digit expected after (?+";
    case PCRE2_ERROR_UNKNOWN_POSIX_CLASS:
        return "unknown POSIX class name";
    case PCRE2_ERROR_CODE_POINT_TOO_BIG:
        return "character value in \\x{} or \\o{} is too large";
    case PCRE2_ERROR_LOOKBEHIND_TOO_COMPLICATED:
        /* the old library refused such lookbehinds only by their size */
        return "regular expression is too large";
    case PCRE2_ERROR_LOOKBEHIND_INVALID_BACKSLASH_C:
        return "\\C not allowed in lookbehind assertion";
    case PCRE2_ERROR_UNSUPPORTED_ESCAPE_SEQUENCE:
        return "PCRE does not support \\L, \\l, \\N{name}, \\U, or \\u";
    case PCRE2_ERROR_CALLOUT_NUMBER_TOO_BIG:
        return "number after (?C is > 255";
    case PCRE2_ERROR_MISSING_CALLOUT_CLOSING:
        return "closing ) for (?C expected";
    case PCRE2_ERROR_UNRECOGNIZED_AFTER_QUERY_P:
        return "unrecognized character after (?P";
    case PCRE2_ERROR_MISSING_NAME_TERMINATOR:
        /* "malformed number or name after (?(" for a name in a condition */
        return "syntax error in subpattern name (missing terminator)";
    case PCRE2_ERROR_DUPLICATE_SUBPATTERN_NAME:
        return "two named subpatterns have the same name";
    case PCRE2_ERROR_INVALID_SUBPATTERN_NAME:
        return "group name must start with a non-digit";
    case PCRE2_ERROR_MALFORMED_UNICODE_PROPERTY:
        return "malformed \\P or \\p sequence";
    case PCRE2_ERROR_UNKNOWN_UNICODE_PROPERTY:
        return "unknown property name after \\P or \\p";
    case PCRE2_ERROR_SUBPATTERN_NAME_TOO_LONG:
        return "subpattern name is too long (maximum 32 characters)";
    case PCRE2_ERROR_TOO_MANY_NAMED_SUBPATTERNS:
        return "too many named subpatterns (maximum 10000)";
    case PCRE2_ERROR_CLASS_INVALID_RANGE:
        return "invalid range in character class";
    case PCRE2_ERROR_OCTAL_BYTE_TOO_BIG:
        return "octal value is greater than \\377 in 8-bit non-UTF-8 mode";
    case PCRE2_ERROR_DEFINE_TOO_MANY_BRANCHES:
        return "DEFINE group contains more than one branch";
    case PCRE2_ERROR_BACKSLASH_O_MISSING_BRACE:
        return "missing opening brace after \\o";
    case PCRE2_ERROR_BACKSLASH_G_SYNTAX:
        /* what the old library said for "\g" and "\gx"; it gave its own
         * \g text only for "\g<1x>" and the like */
        return "a numbered reference must not be zero";
    case PCRE2_ERROR_PARENS_QUERY_R_MISSING_CLOSING:
        return "(?R or (?[+-]digits must be followed by )";
    case PCRE2_ERROR_VERB_UNKNOWN:
        return "(*VERB) not recognized or malformed";
    case PCRE2_ERROR_SUBPATTERN_NUMBER_TOO_BIG:
        /* "reference to non-existent subpattern" for (?99999) and (?(99999) */
        return "number is too big";
    case PCRE2_ERROR_SUBPATTERN_NAME_EXPECTED:
        /* "unrecognized character after (?<" for (?<>...), "assertion
         * expected after (?( or (?(?C)" for (?(<>)...) */
        return "subpattern name expected";
    case PCRE2_ERROR_INVALID_OCTAL:
        return "non-octal character in \\o{} (closing brace missing?)";
    case PCRE2_ERROR_SUBPATTERN_NAMES_MISMATCH:
        return "different names for subpatterns of the same number are not allowed";
    case PCRE2_ERROR_MARK_MISSING_ARGUMENT:
        return "(*MARK) must have an argument";
    case PCRE2_ERROR_INVALID_HEXADECIMAL:
        return "non-hex character in \\x{} (closing brace missing?)";
    case PCRE2_ERROR_BACKSLASH_C_SYNTAX:
        return "\\c must be followed by an ASCII character";
    case PCRE2_ERROR_BACKSLASH_K_SYNTAX:
        return "\\k is not followed by a braced, angle-bracketed, or quoted name";
    case PCRE2_ERROR_BACKSLASH_N_IN_CLASS:
        return "\\N is not supported in a class";
    case PCRE2_ERROR_UNICODE_DISALLOWED_CODE_POINT:
        return "disallowed Unicode code point (>= 0xd800 && <= 0xdfff)";
    case PCRE2_ERROR_VERB_NAME_TOO_LONG:
        return "name is too long in (*MARK), (*PRUNE), (*SKIP), or (*THEN)";
    case PCRE2_ERROR_MISSING_OCTAL_OR_HEX_DIGITS:
        return "digits missing in \\x{} or \\o{}";
    case PCRE2_ERROR_VERSION_CONDITION_SYNTAX:
        /* the old library knew no (?(VERSION...) condition */
        return "malformed number or name after (?(";
    case PCRE2_ERROR_CALLOUT_NO_STRING_DELIMITER:
    case PCRE2_ERROR_CALLOUT_BAD_STRING_DELIMITER:
        /* the old library knew no (?C"text") callout */
        return "closing ) for (?C expected";
    case PCRE2_ERROR_LOOKBEHIND_TOO_LONG:
        /* refused by both only when the pattern is too large as well */
        return "regular expression is too large";
    case PCRE2_ERROR_SUPPORTED_ONLY_IN_UNICODE:
        /* \N{U+hhhh} without (*UTF) */
        return "PCRE does not support \\L, \\l, \\N{name}, \\U, or \\u";
    case PCRE2_ERROR_INVALID_HYPHEN_IN_OPTIONS:
        return "unrecognized character after (? or (?-";
    case PCRE2_ERROR_ALPHA_ASSERTION_UNKNOWN:
        return "(*VERB) not recognized or malformed";
    case PCRE2_ERROR_TOO_MANY_CAPTURES:
        return "regular expression is too large";
#ifdef PCRE2_ERROR_CONDITION_ATOMIC_ASSERTION_EXPECTED
    /* gone from PCRE2 10.43 on (Debian 13), which reuses its number 198 for
     * another fault: only a library that still has it may name it */
    case PCRE2_ERROR_CONDITION_ATOMIC_ASSERTION_EXPECTED:
        return "assertion expected after (?( or (?(?C)";
#endif
    default:
        return nullptr;
    }
}

}  // namespace vantorell
