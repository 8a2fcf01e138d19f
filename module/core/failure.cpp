/*
 * The texts of the core's failures: operators grep their logs and key their
 * alerts on them, so they stay word for word.  Every text is bounded to 99
 * bytes and a NUL, so that a caller's fixed buffer always holds it.
 */
#include "failure.h"

#include "outcome.h"

#include <cstdio>

namespace vantorell {

namespace {

/* The texts that take nothing from the status. */
struct PlainText {
    Failure failure;
    const char *text;
};

const PlainText kPlainTexts[] = {
    {Failure::FileUnreadable, "Cannot read json file."},
    {Failure::FileNoMemory, "Cannot allocate memory for the data file."},
    {Failure::FileNotNow, "Cannot open json file for now: no descriptor or memory to spare."},
    {Failure::FileTooLarge, "Data file is larger than 64 MiB."},
    {Failure::FileTooManyValues, "Data file holds too many JSON values for its size."},
    {Failure::FileEmpty, "File is empty."},
    {Failure::UnknownMatchType, "Match type does not exist."},
    {Failure::TargetedNoMemory, "Cannot allocate memory for targeted experiment."},
};

const char *
plainText(Failure failure) noexcept
{
    for (const PlainText &plain : kPlainTexts) {
        if (plain.failure == failure) {
            return plain.text;
        }
    }
    return nullptr;
}

/* The member that an experiment of the file lacks, as its text names it. */
const char *
missingMember(Failure failure) noexcept
{
    switch (failure) {
    case Failure::NoBaseUrl:
        return "baseUrl";
    case Failure::NoExperimentId:
        return "experiment id";
    case Failure::NoTargetingConfiguration:
        return "targeting configuration";
    case Failure::NoVariations:
        return "variations";
    case Failure::NoConditionsData:
        return "conditions data";
    default:
        return nullptr;
    }
}

}  // namespace

bool isNoMemory(Failure failure) noexcept
{
    return failure == Failure::FileNoMemory || failure == Failure::ExperimentNoMemory
           || failure == Failure::TargetedNoMemory;
}

bool isPassing(Failure failure) noexcept
{
    return isNoMemory(failure) || failure == Failure::FileNotNow;
}

FailureText failureText(const Result &status) noexcept
{
    FailureText out;
    char *text = out.text;
    const size_t size = sizeof(out.text);
    const char *pattern = status.pattern != nullptr ? status.pattern : "";

    text[0] = '\0';

    if (const char *plain = plainText(status.failure)) {
        snprintf(text, size, "%s", plain);
        return out;
    }

    if (const char *member = missingMember(status.failure)) {
        snprintf(text, size, "Cannot read %s field of experiment number %zu.", member,
                 status.position);
        return out;
    }

    switch (status.failure) {
    case Failure::ExperimentNoMemory:
        snprintf(text, size, "Cannot allocate memory for experiment number %zu.",
                 status.position);
        break;
    case Failure::UnknownTargetingType:
        snprintf(text, size, "Targeting configuration type does not exist for experiment %d.",
                 id32(status.experimentId));
        break;
    case Failure::UntargetableId:
        snprintf(text, size, "Experiment id %d cannot be targeted.", id32(status.experimentId));
        break;
    case Failure::PatternCompile:
        snprintf(text, size, "NGINX: Cannot compile regular expression: %s, reason: %s", pattern,
                 status.reason != nullptr ? status.reason : "unknown");
        break;
    case Failure::PatternMatch:
        snprintf(text, size, "Error while matching regular expression: %s", pattern);
        break;
    default:
        break;
    }

    return out;
}

}  // namespace vantorell
