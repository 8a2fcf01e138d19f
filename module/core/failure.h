/*
 * How a step of the core ended: a failure and its arguments, never a text.
 * The nginx layer turns a failure into its log text with failureText(), at
 * the moment it logs; the core itself never logs and never writes texts.
 */
#ifndef VANTORELL_FAILURE_H
#define VANTORELL_FAILURE_H

#include <cstddef>

namespace vantorell {

enum class Failure : unsigned char {
    None,

    /* the data file: nothing of it is used */
    FileUnreadable,             /* missing, not a regular file, not JSON, not a list */
    FileNoMemory,               /* the heap ran out while reading or preparing it */
    FileNotNow,                 /* no descriptor or kernel memory to open or read it */
    FileTooLarge,               /* larger than kDataFileMaxSize */
    FileTooManyValues,          /* more JSON values than its size could need */
    FileEmpty,                  /* an empty list of experiments */
    ExperimentNoMemory,         /* position: the heap ran out reading that experiment */
    NoBaseUrl,                  /* position: the member that could not be read */
    NoExperimentId,
    NoTargetingConfiguration,
    NoVariations,
    NoConditionsData,

    /* targeting one URL text: the request is left alone */
    UnknownTargetingType,       /* experimentId */
    UnknownMatchType,
    PatternCompile,             /* pattern, reason */
    PatternMatch,               /* pattern */
    UntargetableId,             /* experimentId: -1 */
    TargetedNoMemory,
};

struct Result {
    Failure failure = Failure::None;
    size_t position = 0;            /* an experiment's position in the file, from 1 */
    long experimentId = 0;
    const char *pattern = nullptr;  /* a condition's expression: lives with its model */
    const char *reason = nullptr;   /* the compiler's text: lives with its model, or null */

    bool ok() const noexcept { return failure == Failure::None; }
};

/* Whether the failure says something about the heap rather than the file or
 * the URL text: such a failure must never be remembered. */
bool isNoMemory(Failure failure) noexcept;

/* Whether the failure may be gone on the next attempt (the heap, or the
 * descriptors, ran out), so that it must not stand for the file. */
bool isPassing(Failure failure) noexcept;

/* The log text of a status, cut to 99 bytes and NUL-terminated. */
constexpr size_t kFailureTextSize = 100;

struct FailureText {
    char text[kFailureTextSize];
};

FailureText failureText(const Result &status) noexcept;

}  // namespace vantorell

#endif
