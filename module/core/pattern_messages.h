/*
 * The texts that a pattern which does not compile is logged with.
 *
 * The module logs "Cannot compile regular expression: ..., reason: TEXT"
 * with the first-generation PCRE's (libpcre3) texts, and operators' log
 * parsing relies on them.  PCRE2 words the same faults differently ("missing
 * closing parenthesis" for "missing )"), so its error codes are given the old
 * texts here: the log stays as it was across the change of library.
 */
#ifndef VANTORELL_PATTERN_MESSAGES_H
#define VANTORELL_PATTERN_MESSAGES_H

namespace vantorell {

/* The text that the first-generation PCRE gives for the fault that PCRE2
 * reports as `pcre2ErrorCode` (pcre2_compile's error code, such as
 * PCRE2_ERROR_MISSING_CLOSING_PARENTHESIS).  A static string; nullptr when
 * the old library has no such fault, and then PCRE2's own text
 * (pcre2_get_error_message) is the one to log. */
const char *legacyCompileMessage(int pcre2ErrorCode) noexcept;

}  // namespace vantorell

#endif
