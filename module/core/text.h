/*
 * Texts that the module and the tool write from bytes they do not control
 * (request texts, data file texts): one rule for each, so that a log line, a
 * status page and the tool's report show the same bytes the same way.
 */
#ifndef VANTORELL_TEXT_H
#define VANTORELL_TEXT_H

#include <cstddef>
#include <string>

namespace vantorell {

/* The length of the valid UTF-8 sequence at p (at most `left` bytes): 1 for
 * ASCII, 2 to 4 for a sequence that is neither overlong nor a surrogate nor
 * past U+10FFFF, 0 for a byte that starts no valid sequence. */
size_t utf8SequenceLength(const unsigned char *p, size_t left) noexcept;

/* Bytes as a log line shows them: control characters and bytes from 0x7f up
 * as \xHH (upper case), so that a text cannot start a line of its own.
 * Writes at most kLogEscapeGrowth bytes per byte at dst; returns the end. */
constexpr size_t kLogEscapeGrowth = 4;
char *logEscape(char *dst, const unsigned char *data, size_t length) noexcept;

/* Whether logEscape would change the bytes, and by how many bytes. */
size_t logEscapeExtra(const unsigned char *data, size_t length) noexcept;

/* The same as a string. */
std::string logEscaped(const std::string &text);

}  // namespace vantorell

#endif
