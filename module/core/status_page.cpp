/*
 * The status page's two texts: see status_page.h.
 */
#include "status_page.h"

#include "status_html.h"
#include "text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <utility>

namespace vantorell {

namespace {

void appendNumber(std::string *out, uint64_t n)
{
    char buf[24];
    char *end = std::to_chars(buf, buf + sizeof(buf), n).ptr;
    out->append(buf, end - buf);
}

/*
 * The whole id: experiments whose ids differ only above 32 bits are separate
 * in the zone, and must not share a series or a line of the page.
 */
void appendId(std::string *out, long id)
{
    char buf[24];
    char *end = std::to_chars(buf, buf + sizeof(buf), id).ptr;
    out->append(buf, end - buf);
}

void appendTime(std::string *out, time_t t)
{
    char buf[sizeof("1970-01-01T00:00:00Z") + 16];
    struct tm tm;

    gmtime_r(&t, &tm);
    size_t n = strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%SZ", &tm);
    out->append(buf, n);
}

const char *const kCountedNames[] = {"new_visitors", "assignments"};


/* ---- JSON ---- */

void jsonString(std::string *out, const std::string &text)
{
    out->push_back('"');
    appendStatusText(out, text, StatusFormat::Json);
    out->push_back('"');
}

void jsonCheck(std::string *out, const SplitCheck &check)
{
    out->append("{\"p_value\": ");
    if (check.checked) {
        appendStatusReal(out, check.pValue, StatusFormat::Json);
    } else {
        out->append("null");
    }
    out->append(", \"alarm\": ");
    out->append(check.alarm ? "true" : "false");
    out->append("}");
}

/* a bucket's upper bound as the `le` label writes it */
void appendBound(std::string *out, size_t bucket, StatusFormat format)
{
    if (bucket < kLatencyBounds) {
        appendStatusReal(out, kLatencyBoundSeconds[bucket], format);
    } else {
        out->append(format == StatusFormat::Json ? "\"+Inf\"" : "+Inf");
    }
}

void jsonLatency(std::string *out, const StatusVariation &v)
{
    out->append("{\"buckets\": [");
    uint64_t cumulative = 0;
    for (size_t b = 0; b < kLatencyBuckets; b++) {
        cumulative += v.latencyBuckets[b];
        out->append(b ? ", [" : "[");
        appendBound(out, b, StatusFormat::Json);
        out->append(", ");
        appendNumber(out, cumulative);
        out->append("]");
    }
    out->append("], \"sum\": ");
    appendStatusReal(out, v.latencySeconds, StatusFormat::Json);
    out->append(", \"count\": ");
    appendNumber(out, cumulative);
    out->append("}");
}

void jsonExperiment(std::string *out, const StatusExperiment &experiment)
{
    out->append("{\"id\": ");
    appendId(out, experiment.id);
    out->append(", \"counting_since\": \"");
    appendTime(out, experiment.countingSince);
    out->append("\", \"variations\": [");

    for (size_t i = 0; i < experiment.variations.size(); i++) {
        const StatusVariation &v = experiment.variations[i];

        out->append(i ? ", " : "");
        out->append("{\"id\": ");
        appendId(out, v.id);
        out->append(", \"expected_share\": ");
        appendStatusReal(out, v.expectedShare, StatusFormat::Json);
        out->append(", \"assignments\": ");
        appendNumber(out, v.assignments);
        out->append(", \"new_visitors\": ");
        appendNumber(out, v.newVisitors);
        out->append(", \"responses\": {");
        for (size_t c = 0; c < kStatusClasses; c++) {
            out->append(c ? ", \"" : "\"");
            out->append(statusClassName(c));
            out->append("\": ");
            appendNumber(out, v.responses[c]);
        }
        out->append("}, \"response_seconds\": ");
        jsonLatency(out, v);
        out->append(", \"stopped\": ");
        out->append(v.stopped ? "true" : "false");
        out->append("}");
    }

    out->append("], \"split_check\": {\"new_visitors\": ");
    jsonCheck(out, experiment.newVisitorsCheck);
    out->append(", \"assignments\": ");
    jsonCheck(out, experiment.assignmentsCheck);
    out->append("}, \"errors_check\": {\"p_value\": ");
    const ErrorsCheck &errors = experiment.errorsCheck;
    if (errors.checked) {
        appendStatusReal(out, errors.pValue, StatusFormat::Json);
        out->append(", \"alarm\": ");
        out->append(errors.alarm ? "true" : "false");
        out->append(", \"worst_variation\": ");
        appendId(out, experiment.variations[errors.worst].id);
    } else {
        out->append("null, \"alarm\": false, \"worst_variation\": null");
    }
    out->append("}}");
}

void jsonDataFile(std::string *out, const StatusDataFile &file)
{
    out->append("{\"path\": ");
    jsonString(out, file.path);
    out->append(", \"usable\": ");
    out->append(file.usable ? "true" : "false");
    out->append(", \"problem\": ");
    if (file.hasProblem) {
        jsonString(out, file.problem);
    } else {
        out->append("null");
    }
    out->append(", \"experiments_count\": ");
    appendNumber(out, file.experimentsCount);
    out->append(", \"loaded_at\": ");
    if (file.known) {
        out->append("\"");
        appendTime(out, file.loadedAt);
        out->append("\"");
    } else {
        out->append("null");
    }

    out->append(", \"requests\": {");
    for (size_t k = 0; k < kOutcomes; k++) {
        out->append(k ? ", \"" : "\"");
        out->append(outcomeName(static_cast<Outcome>(k)));
        out->append("\": ");
        appendNumber(out, file.requests[k]);
    }
    out->append("}, \"experiments\": [");

    for (size_t i = 0; i < file.experiments.size(); i++) {
        out->append(i ? ", " : "");
        jsonExperiment(out, file.experiments[i]);
    }

    out->append("]}");
}

void renderJson(const StatusSnapshot &snapshot, std::string *out)
{
    out->append("{\"data_files\": [");

    for (size_t i = 0; i < snapshot.dataFiles.size(); i++) {
        out->append(i ? ", " : "");
        jsonDataFile(out, snapshot.dataFiles[i]);
    }

    out->append("], \"counters_dropped\": ");
    appendNumber(out, snapshot.countersDropped);
    out->append("}\n");
}


/* ---- Prometheus ---- */

void family(std::string *out, const char *name, const char *type, const char *help)
{
    out->append("# HELP ");
    out->append(name);
    out->push_back(' ');
    out->append(help);
    out->append("\n# TYPE ");
    out->append(name);
    out->push_back(' ');
    out->append(type);
    out->push_back('\n');
}

/* name{data_file="...": the labels are left open */
void series(std::string *out, const char *name, const StatusDataFile &file)
{
    out->append(name);
    out->append("{data_file=\"");
    appendStatusText(out, file.path, StatusFormat::Prometheus);
    out->push_back('"');
}

void experimentSeries(std::string *out, const char *name, const StatusDataFile &file,
                      const StatusExperiment &experiment)
{
    series(out, name, file);
    out->append(",experiment=\"");
    appendId(out, experiment.id);
    out->push_back('"');
}

void prometheusRequests(const StatusSnapshot &snapshot, std::string *out)
{
    family(out, "vantorell_requests_total", "counter",
           "Requests the module decided, by outcome.");
    for (const StatusDataFile &file : snapshot.dataFiles) {
        for (size_t k = 0; k < kOutcomes; k++) {
            series(out, "vantorell_requests_total", file);
            out->append(",outcome=\"");
            out->append(outcomeName(static_cast<Outcome>(k)));
            out->append("\"} ");
            appendNumber(out, file.requests[k]);
            out->push_back('\n');
        }
    }
}

void prometheusVariations(const StatusSnapshot &snapshot, std::string *out)
{
    enum class Value { Assignments, NewVisitors, ExpectedShare };

    struct PerVariation {
        const char *name;
        const char *type;
        const char *help;
        Value value;
    };

    static const PerVariation perVariation[] = {
        {"vantorell_assignments_total", "counter",
         "Targeted requests assigned to the variation (0: the reference), "
         "since counting_since.", Value::Assignments},
        {"vantorell_new_visitors_total", "counter",
         "Assigned requests that gave the visitor a new code: each visitor "
         "once.", Value::NewVisitors},
        {"vantorell_expected_share", "gauge",
         "The share of visitors that the weights give the variation.", Value::ExpectedShare},
    };

    for (const PerVariation &pv : perVariation) {
        family(out, pv.name, pv.type, pv.help);
        for (const StatusDataFile &file : snapshot.dataFiles) {
            for (const StatusExperiment &experiment : file.experiments) {
                for (const StatusVariation &v : experiment.variations) {
                    experimentSeries(out, pv.name, file, experiment);
                    out->append(",variation=\"");
                    appendId(out, v.id);
                    out->append("\"} ");
                    switch (pv.value) {
                    case Value::Assignments:
                        appendNumber(out, v.assignments);
                        break;
                    case Value::NewVisitors:
                        appendNumber(out, v.newVisitors);
                        break;
                    case Value::ExpectedShare:
                        appendStatusReal(out, v.expectedShare, StatusFormat::Prometheus);
                        break;
                    }
                    out->push_back('\n');
                }
            }
        }
    }
}

/* A check's value after its series' labels: its p-value (NaN until it
 * runs), or its alarm. */
void checkValue(std::string *out, bool checked, double pValue, bool alarm, bool asAlarm)
{
    if (asAlarm) {
        out->push_back(alarm ? '1' : '0');
    } else {
        appendStatusReal(out, checked ? pValue : std::nan(""), StatusFormat::Prometheus);
    }
    out->push_back('\n');
}

/* A check's two gauges, the p-value's family then the alarm's: each(name,
 * asAlarm) writes the series of one. */
template <typename Each>
void checkFamilies(std::string *out, const char *const names[2], const char *const helps[2],
                   Each each)
{
    for (int alarm = 0; alarm < 2; alarm++) {
        family(out, names[alarm], "gauge", helps[alarm]);
        each(names[alarm], alarm != 0);
    }
}

void prometheusSplitChecks(const StatusSnapshot &snapshot, std::string *out)
{
    static const char *const names[2] = {"vantorell_split_p_value", "vantorell_split_alarm"};
    static const char *const helps[2] = {
        "Chi-square test of the counts per variation against the expected shares "
        "(NaN below 1000 counts).",
        "1 when the split check's p-value is below 0.001."};

    checkFamilies(out, names, helps, [&](const char *name, bool asAlarm) {
        for (const StatusDataFile &file : snapshot.dataFiles) {
            for (const StatusExperiment &experiment : file.experiments) {
                for (int c = 0; c < 2; c++) {
                    const SplitCheck &check = c == 0 ? experiment.newVisitorsCheck
                                                     : experiment.assignmentsCheck;
                    experimentSeries(out, name, file, experiment);
                    out->append(",counted=\"");
                    out->append(kCountedNames[c]);
                    out->append("\"} ");
                    checkValue(out, check.checked, check.pValue, check.alarm, asAlarm);
                }
            }
        }
    });
}

/* name{data_file=...,experiment=...,variation=...: the labels left open */
void variationSeries(std::string *out, const char *name, const StatusDataFile &file,
                     const StatusExperiment &experiment, const StatusVariation &v)
{
    experimentSeries(out, name, file, experiment);
    out->append(",variation=\"");
    appendId(out, v.id);
    out->push_back('"');
}

/* Calls each(file, experiment, variation) for every variation counted. */
template <typename Each>
void everyVariation(const StatusSnapshot &snapshot, Each each)
{
    for (const StatusDataFile &file : snapshot.dataFiles) {
        for (const StatusExperiment &experiment : file.experiments) {
            for (const StatusVariation &v : experiment.variations) {
                each(file, experiment, v);
            }
        }
    }
}

void prometheusResponses(const StatusSnapshot &snapshot, std::string *out)
{
    family(out, "vantorell_responses_total", "counter",
           "Responses to requests assigned the variation, by the class of the "
           "final status (a client that closed first counts as 4xx).");
    everyVariation(snapshot, [&](const StatusDataFile &file, const StatusExperiment &experiment,
                                 const StatusVariation &v) {
        for (size_t c = 0; c < kStatusClasses; c++) {
            variationSeries(out, "vantorell_responses_total", file, experiment, v);
            out->append(",class=\"");
            out->append(statusClassName(c));
            out->append("\"} ");
            appendNumber(out, v.responses[c]);
            out->push_back('\n');
        }
    });

    family(out, "vantorell_response_seconds", "histogram",
           "The time requests assigned the variation took ($request_time).");
    everyVariation(snapshot, [&](const StatusDataFile &file, const StatusExperiment &experiment,
                                 const StatusVariation &v) {
        uint64_t cumulative = 0;
        for (size_t b = 0; b < kLatencyBuckets; b++) {
            cumulative += v.latencyBuckets[b];
            variationSeries(out, "vantorell_response_seconds_bucket", file, experiment, v);
            out->append(",le=\"");
            appendBound(out, b, StatusFormat::Prometheus);
            out->append("\"} ");
            appendNumber(out, cumulative);
            out->push_back('\n');
        }
        variationSeries(out, "vantorell_response_seconds_sum", file, experiment, v);
        out->append("} ");
        appendStatusReal(out, v.latencySeconds, StatusFormat::Prometheus);
        out->push_back('\n');
        variationSeries(out, "vantorell_response_seconds_count", file, experiment, v);
        out->append("} ");
        appendNumber(out, cumulative);
        out->push_back('\n');
    });

    family(out, "vantorell_variation_stopped", "gauge",
           "1 when the guardrail stopped giving the variation: its visitors get "
           "the reference.");
    everyVariation(snapshot, [&](const StatusDataFile &file, const StatusExperiment &experiment,
                                 const StatusVariation &v) {
        variationSeries(out, "vantorell_variation_stopped", file, experiment, v);
        out->append("} ");
        out->push_back(v.stopped ? '1' : '0');
        out->push_back('\n');
    });
}

void prometheusErrorsChecks(const StatusSnapshot &snapshot, std::string *out)
{
    static const char *const names[2] = {"vantorell_errors_p_value", "vantorell_errors_alarm"};
    static const char *const helps[2] = {
        "Chi-square test of independence of variation and 5xx "
        "(NaN below 1000 responses or 20 of them 5xx).",
        "1 when one variation answers with 5xx significantly more often "
        "(p below 0.001) and at least twice as often as the others."};

    checkFamilies(out, names, helps, [&](const char *name, bool asAlarm) {
        for (const StatusDataFile &file : snapshot.dataFiles) {
            for (const StatusExperiment &experiment : file.experiments) {
                const ErrorsCheck &check = experiment.errorsCheck;
                experimentSeries(out, name, file, experiment);
                out->append("} ");
                checkValue(out, check.checked, check.pValue, check.alarm, asAlarm);
            }
        }
    });
}

void renderPrometheus(const StatusSnapshot &snapshot, std::string *out)
{
    prometheusRequests(snapshot, out);
    prometheusVariations(snapshot, out);

    family(out, "vantorell_counting_since_seconds", "gauge",
           "When the experiment's counters last restarted (its variations or "
           "weights changed), in seconds since the epoch.");
    for (const StatusDataFile &file : snapshot.dataFiles) {
        for (const StatusExperiment &experiment : file.experiments) {
            experimentSeries(out, "vantorell_counting_since_seconds", file, experiment);
            out->append("} ");
            appendNumber(out, static_cast<uint64_t>(experiment.countingSince));
            out->push_back('\n');
        }
    }

    prometheusSplitChecks(snapshot, out);
    prometheusResponses(snapshot, out);
    prometheusErrorsChecks(snapshot, out);

    family(out, "vantorell_data_file_usable", "gauge",
           "1 when the workers can use the data file.");
    for (const StatusDataFile &file : snapshot.dataFiles) {
        series(out, "vantorell_data_file_usable", file);
        out->append("} ");
        out->push_back(file.usable ? '1' : '0');
        out->push_back('\n');
    }

    family(out, "vantorell_data_file_experiments", "gauge", "Experiments in the data file.");
    for (const StatusDataFile &file : snapshot.dataFiles) {
        series(out, "vantorell_data_file_experiments", file);
        out->append("} ");
        appendNumber(out, file.experimentsCount);
        out->push_back('\n');
    }

    family(out, "vantorell_counters_dropped_total", "counter",
           "Counts lost because the metrics zone had no room for their key.");
    out->append("vantorell_counters_dropped_total ");
    appendNumber(out, snapshot.countersDropped);
    out->push_back('\n');
}

}  // namespace


void checkExperiments(StatusSnapshot *snapshot)
{
    for (StatusDataFile &file : snapshot->dataFiles) {
        std::sort(file.experiments.begin(), file.experiments.end(),
                  [](const StatusExperiment &a, const StatusExperiment &b) {
                      return a.id < b.id;
                  });

        for (StatusExperiment &experiment : file.experiments) {
            std::vector<double> shares;
            std::vector<uint64_t> newVisitors, assignments;

            for (const StatusVariation &v : experiment.variations) {
                shares.push_back(v.expectedShare);
                newVisitors.push_back(v.newVisitors);
                assignments.push_back(v.assignments);
            }

            experiment.newVisitorsCheck =
                checkSplit(shares.data(), newVisitors.data(), shares.size());
            experiment.assignmentsCheck =
                checkSplit(shares.data(), assignments.data(), shares.size());

            std::vector<uint64_t> answered, failed;
            for (const StatusVariation &v : experiment.variations) {
                answered.push_back(v.answered());
                failed.push_back(v.responses[kServerErrorClass]);
            }
            experiment.errorsCheck =
                checkErrors(answered.data(), failed.data(), answered.size());
        }
    }
}


void renderStatusPage(const StatusSnapshot &snapshot, StatusFormat format, std::string *out,
                      const StatusPageOptions &options)
{
    switch (format) {
    case StatusFormat::Prometheus:
        renderPrometheus(snapshot, out);
        break;
    case StatusFormat::Html:
        renderStatusHtml(snapshot, options, out);
        break;
    case StatusFormat::Json:
        renderJson(snapshot, out);
        break;
    }
}


const char *statusPageContentType(StatusFormat format) noexcept
{
    switch (format) {
    case StatusFormat::Prometheus:
        return "text/plain; version=0.0.4; charset=utf-8";
    case StatusFormat::Html:
        return "text/html; charset=utf-8";
    case StatusFormat::Json:
        break;
    }
    return "application/json";
}


void appendStatusText(std::string *out, const std::string &text, StatusFormat format)
{
    static const char hex[] = "0123456789abcdef";

    if (format == StatusFormat::Html) {
        appendHtmlText(out, text);
        return;
    }

    const unsigned char *p = reinterpret_cast<const unsigned char *>(text.data());
    size_t left = text.size();

    while (left > 0) {
        unsigned char c = *p;
        size_t n = utf8SequenceLength(p, left);

        if (n == 0) {
            out->append("\xef\xbf\xbd");
            p++;
            left--;
            continue;
        }

        if (n > 1) {
            out->append(reinterpret_cast<const char *>(p), n);

        } else if (c == '\\' || c == '"') {
            out->push_back('\\');
            out->push_back(static_cast<char>(c));

        } else if (c == '\n') {
            out->append("\\n");

        } else if (format == StatusFormat::Json && c < 0x20) {
            /* Prometheus's label values escape only the three above */
            out->append("\\u00");
            out->push_back(hex[c >> 4]);
            out->push_back(hex[c & 0xf]);

        } else {
            out->push_back(static_cast<char>(c));
        }

        p += n;
        left -= n;
    }
}


void appendStatusReal(std::string *out, double value, StatusFormat format)
{
    if (std::isnan(value)) {
        out->append(format == StatusFormat::Json ? "null" : "NaN");
        return;
    }

    if (std::isinf(value)) {
        out->append(format == StatusFormat::Json ? "null" : value > 0 ? "+Inf" : "-Inf");
        return;
    }

    char buf[32];
    char *end = std::to_chars(buf, buf + sizeof(buf), value).ptr;
    out->append(buf, end - buf);
}

}  // namespace vantorell
