/*
 * The status page: the counters of the metrics zone as JSON, in Prometheus's
 * text format, or as an HTML page for a person to look at.
 *
 * The page is rendered from a snapshot of plain values that the nginx layer
 * copies out of the zone under the zone's lock: the rendering itself takes no
 * lock, touches no shared memory, and can be tested without nginx.
 */
#ifndef VANTORELL_STATUS_PAGE_H
#define VANTORELL_STATUS_PAGE_H

#include "outcome.h"
#include "responses.h"
#include "split.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace vantorell {

/* One variation of a counted experiment (id 0: the reference). */
struct StatusVariation {
    long id = 0;
    double expectedShare = 0.0;
    uint64_t assignments = 0;
    uint64_t newVisitors = 0;

    /* the responses to requests assigned the variation, by status class, and
     * the time they took: per bucket (not cumulative), and in all */
    uint64_t responses[kStatusClasses] = {};
    uint64_t latencyBuckets[kLatencyBuckets] = {};
    double latencySeconds = 0.0;

    /* the guardrail stopped giving it */
    bool stopped = false;

    uint64_t answered() const noexcept
    {
        uint64_t n = 0;
        for (uint64_t c : responses) {
            n += c;
        }
        return n;
    }

    uint64_t latencyCount() const noexcept
    {
        uint64_t n = 0;
        for (uint64_t c : latencyBuckets) {
            n += c;
        }
        return n;
    }
};

/* An experiment with counters: its split since countingSince. */
struct StatusExperiment {
    long id = 0;
    time_t countingSince = 0;
    std::vector<StatusVariation> variations;    /* the split's order */
    SplitCheck newVisitorsCheck;
    SplitCheck assignmentsCheck;
    ErrorsCheck errorsCheck;
};

/* A data file: its state as last read by any process, and its counters. */
struct StatusDataFile {
    std::string path;
    bool known = false;             /* read at all: loadedAt holds */
    bool usable = false;
    bool hasProblem = false;
    std::string problem;            /* the last problem's text */
    size_t experimentsCount = 0;
    time_t loadedAt = 0;
    uint64_t requests[kOutcomes] = {};
    std::vector<StatusExperiment> experiments;
};

struct StatusSnapshot {
    std::vector<StatusDataFile> dataFiles;     /* the configuration's order */
    uint64_t countersDropped = 0;
};

enum class StatusFormat : unsigned char {
    Json,
    Prometheus,
    Html,
};

/* What a page may be asked for besides the snapshot (only the HTML page
 * reads it). */
struct StatusPageOptions {
    unsigned refreshSeconds = 0;    /* reload the page this often; 0: never */
    time_t renderedAt = 0;          /* shown as the page's time; 0: not shown */
};

/* The longest refresh a page may ask for: an hour. */
constexpr unsigned kStatusRefreshMaxSeconds = 3600;

/* The refresh that a request's `refresh` argument asks for: a whole number
 * of seconds in decimal digits, 1 to kStatusRefreshMaxSeconds; 0 (no
 * refresh) for any other text. */
unsigned statusRefreshSeconds(const char *text, size_t len) noexcept;

/* Orders each file's experiments by id (as the operator looks them up) and
 * runs their split and errors checks.  Throws std::bad_alloc. */
void checkExperiments(StatusSnapshot *snapshot);

/* The page, appended to *out.  Throws std::bad_alloc. */
void renderStatusPage(const StatusSnapshot &snapshot, StatusFormat format, std::string *out,
                      const StatusPageOptions &options = StatusPageOptions());

/* The Content-Type of the page. */
const char *statusPageContentType(StatusFormat format) noexcept;

/*
 * A text of the configuration or of the data file inside a JSON string, a
 * Prometheus label value or HTML text or attribute value, appended to *out:
 * all must be UTF-8, so a byte that starts no valid sequence becomes U+FFFD.
 * HTML gets & < > " ' as character references, and control characters other
 * than tab and line feed, which HTML may not hold, as U+FFFD.  Throws
 * std::bad_alloc.
 */
void appendStatusText(std::string *out, const std::string &text, StatusFormat format);

/* A real number as the format writes it: the shortest text that reads back
 * as the same double; JSON, which has no word for a value that is not a
 * finite number, writes null for one.  Throws std::bad_alloc. */
void appendStatusReal(std::string *out, double value, StatusFormat format);

}  // namespace vantorell

#endif
