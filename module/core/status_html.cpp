/*
 * The status page as HTML: the same counters as the JSON page, laid out for a
 * person, with each experiment's expected against observed shares as bars.
 *
 * The page stands alone: CSS and SVG inline, no script, no address of
 * anything else, so that it shows whole wherever the status location is
 * reachable (often only through a tunnel to the proxy) and cannot leak who
 * reads it.  Every number the page shows also stands in a data- attribute,
 * written as the JSON page writes it, for tools that read the page.
 */
#include "status_html.h"

#include "text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace vantorell {

namespace {

/* The bars' length in SVG units, for a share of 1. */
constexpr double kBarLength = 160.0;

const char kStyle[] =
    "body{margin:1.5rem;font:14px/1.4 system-ui,sans-serif;color:#1d2430;background:#f5f6f8}"
    "h1{font-size:1.5rem;margin:0}"
    "h2{font-size:1.05rem;margin:0 0 .4rem;font-weight:600}"
    "h3{font-size:1rem;margin:1rem 0 .3rem}"
    ".meta{color:#5b6472;margin:.2rem 0 .6rem}"
    ".path{font-family:ui-monospace,monospace;word-break:break-all}"
    "section.file{background:#fff;border:1px solid #d5dae1;border-radius:6px;"
    "padding:1rem 1.2rem;margin:1rem 0;overflow-x:auto}"
    "article.experiment{border-top:1px solid #e3e7ec;margin-top:1rem}"
    "article.alarmed{border-top:3px solid #b3261e}"
    ".badge{display:inline-block;padding:0 .45rem;border-radius:3px;font-size:.8rem;"
    "font-weight:600;margin-left:.4rem;vertical-align:1px}"
    ".ok{background:#e2f3e6;color:#1a6330}"
    ".bad,.alarm{background:#b3261e;color:#fff}"
    ".stop{background:#c25e00;color:#fff}"
    ".unknown{background:#e6e8eb;color:#3d4551}"
    ".problem{white-space:pre-wrap;background:#fdecea;border-left:3px solid #b3261e;"
    "padding:.3rem .6rem;margin:.4rem 0}"
    ".problem.past{background:#f3f4f6;border-left-color:#9aa3ae}"
    ".warning{background:#fff4e0;border-left:3px solid #c25e00;padding:.3rem .6rem}"
    "table{border-collapse:collapse;margin:.3rem 0 .6rem;font-size:.95em}"
    "th,td{padding:.25rem .5rem;text-align:right;border-bottom:1px solid #edf0f3;"
    "white-space:nowrap}"
    "th{font-weight:600;color:#3d4551;font-size:.85rem;white-space:normal;"
    "vertical-align:bottom}"
    "th:first-child,td:first-child{text-align:left}"
    "td.note{text-align:left;white-space:normal;color:#5b6472}"
    "td.failing{color:#b3261e;font-weight:700}"
    "tr.stopped td{background:#fff1e0}"
    "svg.bars{display:block}"
    ".track{fill:#eceff3}.expected{fill:#98a2b0}.observed{fill:#2f6bd8}"
    "tr.stopped .observed{fill:#c25e00}"
    ".mark{stroke:#1d2430;stroke-width:1.5}"
    ".legend svg{vertical-align:middle;margin:0 .3rem 0 .8rem}"
    ".none{color:#5b6472;font-style:italic}";

void appendNumber(std::string *out, uint64_t n)
{
    char buf[24];
    char *end = std::to_chars(buf, buf + sizeof(buf), n).ptr;
    out->append(buf, end - buf);
}

void appendId(std::string *out, long id)
{
    char buf[24];
    char *end = std::to_chars(buf, buf + sizeof(buf), id).ptr;
    out->append(buf, end - buf);
}

/* a number as the JSON page writes it: the shortest text that reads back */
void appendExact(std::string *out, double value)
{
    appendStatusReal(out, value, StatusFormat::Prometheus);
}

/* a number for the eye: printf's format, bounded */
void appendFormatted(std::string *out, const char *format, double value)
{
    char buf[48];
    int n = std::snprintf(buf, sizeof(buf), format, value);
    if (n > 0) {
        out->append(buf, std::min(static_cast<size_t>(n), sizeof(buf) - 1));
    }
}

void appendTime(std::string *out, time_t t)
{
    char buf[sizeof("1970-01-01T00:00:00Z") + 16];
    struct tm tm;

    gmtime_r(&t, &tm);
    size_t n = strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%SZ", &tm);
    out->append(buf, n);
}

void appendPercent(std::string *out, double share)
{
    appendFormatted(out, "%.1f%%", share * 100.0);
}

/* p-values span many orders of magnitude: three significant digits */
void appendPValue(std::string *out, double p)
{
    appendFormatted(out, "%.3g", p);
}

void appendSeconds(std::string *out, double seconds)
{
    if (seconds < 1.0) {
        appendFormatted(out, "%.3g ms", seconds * 1000.0);
    } else {
        appendFormatted(out, "%.3g s", seconds);
    }
}

/*  name="value" with a number */
void attribute(std::string *out, const char *name, uint64_t value)
{
    out->push_back(' ');
    out->append(name);
    out->append("=\"");
    appendNumber(out, value);
    out->push_back('"');
}

void realAttribute(std::string *out, const char *name, double value)
{
    out->push_back(' ');
    out->append(name);
    out->append("=\"");
    appendExact(out, value);
    out->push_back('"');
}

void boolAttribute(std::string *out, const char *name, bool value)
{
    out->push_back(' ');
    out->append(name);
    out->append(value ? "=\"true\"" : "=\"false\"");
}

void badge(std::string *out, const char *kind, const char *text)
{
    out->append("<span class=\"badge ");
    out->append(kind);
    out->append("\">");
    out->append(text);
    out->append("</span>");
}

double clampedShare(double share)
{
    if (!(share > 0.0)) {
        return 0.0;
    }
    return share < 1.0 ? share : 1.0;
}

void barRect(std::string *out, const char *kind, double y, double share)
{
    out->append("<rect class=\"");
    out->append(kind);
    out->append("\" x=\"0\"");
    appendFormatted(out, " y=\"%.0f\"", y);
    appendFormatted(out, " width=\"%.1f\" height=\"8\"/>", clampedShare(share) * kBarLength);
}

/* The expected share above the observed one, a mark at the expected share
 * across both, so that a gap between them shows at a glance.  Without
 * assignments there is no observed bar. */
void bars(std::string *out, double expected, bool observed, double observedShare)
{
    out->append("<svg class=\"bars\" width=\"170\" height=\"20\" viewBox=\"-5 0 170 20\" "
                "role=\"img\" aria-label=\"expected ");
    appendPercent(out, expected);
    if (observed) {
        out->append(", observed ");
        appendPercent(out, observedShare);
    }
    out->append("\">");
    barRect(out, "track", 1, 1.0);
    barRect(out, "expected", 1, expected);
    barRect(out, "track", 11, 1.0);
    if (observed) {
        barRect(out, "observed", 11, observedShare);
    }
    double x = clampedShare(expected) * kBarLength;
    appendFormatted(out, "<line class=\"mark\" x1=\"%.1f\"", x);
    appendFormatted(out, " x2=\"%.1f\" y1=\"0\" y2=\"20\"/></svg>", x);
}

void legend(std::string *out)
{
    out->append("<p class=\"meta legend\">Bars:"
                "<svg width=\"24\" height=\"8\"><rect class=\"expected\" width=\"24\" "
                "height=\"8\"/></svg>expected share (the weights)"
                "<svg width=\"24\" height=\"8\"><rect class=\"observed\" width=\"24\" "
                "height=\"8\"/></svg>observed share of assignments</p>\n");
}

void latencyCell(std::string *out, double seconds)
{
    out->append("<td>");
    if (seconds < 0) {
        out->append("\xe2\x80\x94");    /* an em dash: no responses */
    } else {
        appendSeconds(out, seconds);
    }
    out->append("</td>");
}

/* `prefix` is the element id of the experiment; `failing`: the variation the
 * errors check alarms about */
void variationRow(std::string *out, const std::string &prefix, const StatusVariation &v,
                  uint64_t assignmentsTotal, bool failing)
{
    uint64_t answered = v.answered();
    uint64_t failed = v.responses[kServerErrorClass];
    double observed = assignmentsTotal
                      ? static_cast<double>(v.assignments) / static_cast<double>(assignmentsTotal)
                      : 0.0;
    double failedShare = answered ? static_cast<double>(failed) / static_cast<double>(answered)
                                  : 0.0;
    double p50 = latencyQuantile(v.latencyBuckets, 0.5);
    double p95 = latencyQuantile(v.latencyBuckets, 0.95);

    out->append("<tr id=\"");
    out->append(prefix);
    out->append("-variation-");
    appendId(out, v.id);
    out->push_back('"');
    if (v.stopped) {
        out->append(" class=\"stopped\"");
    }
    out->append(" data-variation=\"");
    appendId(out, v.id);
    out->push_back('"');
    realAttribute(out, "data-expected-share", v.expectedShare);
    if (assignmentsTotal) {
        realAttribute(out, "data-observed-share", observed);
    }
    attribute(out, "data-assignments", v.assignments);
    attribute(out, "data-new-visitors", v.newVisitors);
    attribute(out, "data-responses", answered);
    attribute(out, "data-server-errors", failed);
    if (answered) {
        realAttribute(out, "data-server-error-share", failedShare);
    }
    if (p50 >= 0) {
        realAttribute(out, "data-p50-seconds", p50);
        realAttribute(out, "data-p95-seconds", p95);
    }
    boolAttribute(out, "data-stopped", v.stopped);
    out->append(">\n<td>");
    appendId(out, v.id);
    if (v.id == 0) {
        out->append(" (reference)");
    }
    if (v.stopped) {
        out->push_back(' ');
        badge(out, "stop", "stopped");
    }
    out->append("</td><td>");
    appendPercent(out, v.expectedShare);
    out->append("</td><td>");
    if (assignmentsTotal) {
        appendPercent(out, observed);
    } else {
        out->append("\xe2\x80\x94");
    }
    out->append("</td><td>");
    bars(out, v.expectedShare, assignmentsTotal != 0, observed);
    out->append("</td><td>");
    appendNumber(out, v.assignments);
    out->append("</td><td>");
    appendNumber(out, v.newVisitors);
    out->append("</td><td>");
    appendNumber(out, answered);
    out->append("</td><td>");
    appendNumber(out, failed);
    out->append(failing ? "</td><td class=\"failing\">" : "</td><td>");
    if (answered) {
        appendPercent(out, failedShare);
    } else {
        out->append("\xe2\x80\x94");
    }
    out->append("</td>");
    latencyCell(out, p50);
    latencyCell(out, p95);
    out->append("</tr>\n");
}

/* a check's row: its attributes, closed, and its first cell opened */
void checkAttributes(std::string *out, bool checked, double pValue, bool alarm)
{
    boolAttribute(out, "data-checked", checked);
    if (checked) {
        realAttribute(out, "data-p-value", pValue);
    }
    boolAttribute(out, "data-alarm", alarm);
    out->append("><td>");
}

/* a check's p-value and alarm cells after its name, and its note opened */
void checkValues(std::string *out, bool checked, double pValue, bool alarm)
{
    out->append("</td><td>");
    if (checked) {
        appendPValue(out, pValue);
    } else {
        out->append("\xe2\x80\x94");
    }
    out->append("</td><td>");
    if (alarm) {
        badge(out, "alarm", "ALARM");
    } else {
        out->append("no");
    }
    out->append("</td><td class=\"note\">");
}

void splitCheckRow(std::string *out, const char *counted, const char *title,
                   const SplitCheck &check)
{
    out->append("<tr data-check=\"");
    out->append(counted);
    out->push_back('"');
    checkAttributes(out, check.checked, check.pValue, check.alarm);
    out->append(title);
    checkValues(out, check.checked, check.pValue, check.alarm);
    if (check.checked) {
        out->append("the counts against the expected shares; an alarm below p = ");
        appendPValue(out, kSplitAlarmBelow);
    } else {
        out->append("fewer than ");
        appendNumber(out, kSplitCheckFrom);
        out->append(" counts");
    }
    out->append("</td></tr>\n");
}

void errorsCheckRow(std::string *out, const StatusExperiment &experiment)
{
    const ErrorsCheck &check = experiment.errorsCheck;
    bool worstKnown = check.checked && check.worst < experiment.variations.size();

    out->append("<tr data-check=\"errors\"");
    if (worstKnown) {
        out->append(" data-worst-variation=\"");
        appendId(out, experiment.variations[check.worst].id);
        out->push_back('"');
        realAttribute(out, "data-worst-share", check.worstShare);
        realAttribute(out, "data-others-share", check.othersShare);
    }
    checkAttributes(out, check.checked, check.pValue, check.alarm);
    out->append("5xx by variation");
    checkValues(out, check.checked, check.pValue, check.alarm);
    if (worstKnown) {
        out->append("worst: variation ");
        appendId(out, experiment.variations[check.worst].id);
        out->append(", 5xx ");
        appendPercent(out, check.worstShare);
        out->append(" against ");
        appendPercent(out, check.othersShare);
        out->append(" of the others");
    } else {
        out->append("fewer than ");
        appendNumber(out, kErrorsCheckFrom);
        out->append(" responses or ");
        appendNumber(out, kErrorsCheckFromErrors);
        out->append(" 5xx");
    }
    out->append("</td></tr>\n");
}

bool alarmed(const StatusExperiment &experiment)
{
    return experiment.newVisitorsCheck.alarm || experiment.assignmentsCheck.alarm
           || experiment.errorsCheck.alarm;
}

void experimentArticle(std::string *out, size_t fileIndex, const StatusExperiment &experiment)
{
    std::string prefix = "file-";
    appendNumber(&prefix, fileIndex);
    prefix.append("-experiment-");
    appendId(&prefix, experiment.id);

    uint64_t assignments = 0, answered = 0;
    for (const StatusVariation &v : experiment.variations) {
        assignments += v.assignments;
        answered += v.answered();
    }

    out->append("<article class=\"experiment");
    out->append(alarmed(experiment) ? " alarmed" : "");
    out->append("\" id=\"");
    out->append(prefix);
    out->append("\" data-experiment=\"");
    appendId(out, experiment.id);
    out->append("\" data-counting-since=\"");
    appendTime(out, experiment.countingSince);
    out->append("\">\n<h3>Experiment ");
    appendId(out, experiment.id);
    if (experiment.newVisitorsCheck.alarm || experiment.assignmentsCheck.alarm) {
        badge(out, "alarm", "split alarm");
    }
    if (experiment.errorsCheck.alarm) {
        badge(out, "alarm", "errors alarm");
    }
    for (const StatusVariation &v : experiment.variations) {
        if (v.stopped) {
            std::string text = "variation ";
            appendId(&text, v.id);
            text.append(" stopped");
            badge(out, "stop", text.c_str());
        }
    }
    out->append("</h3>\n<p class=\"meta\">counting since ");
    appendTime(out, experiment.countingSince);
    out->append(" \xc2\xb7 ");
    appendNumber(out, assignments);
    out->append(" assignments \xc2\xb7 ");
    appendNumber(out, answered);
    out->append(" responses</p>\n");

    out->append("<table class=\"variations\">\n<thead><tr><th>variation</th><th>expected</th>"
                "<th>observed</th><th>expected / observed</th><th>assignments</th>"
                "<th>new visitors</th><th>responses</th><th>5xx</th><th>5xx share</th>"
                "<th>p50</th><th>p95</th></tr></thead>\n<tbody>\n");
    for (size_t i = 0; i < experiment.variations.size(); i++) {
        bool failing = experiment.errorsCheck.alarm && experiment.errorsCheck.worst == i;
        variationRow(out, prefix, experiment.variations[i], assignments, failing);
    }
    out->append("</tbody></table>\n");

    out->append("<table class=\"checks\">\n<thead><tr><th>check</th><th>p-value</th>"
                "<th>alarm</th><th></th></tr></thead>\n<tbody>\n");
    splitCheckRow(out, "new_visitors", "split of new visitors", experiment.newVisitorsCheck);
    splitCheckRow(out, "assignments", "split of assignments", experiment.assignmentsCheck);
    errorsCheckRow(out, experiment);
    out->append("</tbody></table>\n</article>\n");
}

void dataFileSection(std::string *out, size_t index, const StatusDataFile &file)
{
    out->append("<section class=\"file\" id=\"file-");
    appendNumber(out, index);
    out->append("\" data-file=\"");
    appendHtmlText(out, file.path);
    out->push_back('"');
    boolAttribute(out, "data-usable", file.usable);
    attribute(out, "data-experiments-count", file.experimentsCount);
    if (file.known) {
        out->append(" data-loaded-at=\"");
        appendTime(out, file.loadedAt);
        out->push_back('"');
    }
    out->append(">\n<h2><span class=\"path\">");
    appendHtmlText(out, file.path);
    out->append("</span>");
    if (file.usable) {
        badge(out, "ok", "usable");
    } else if (file.known) {
        badge(out, "bad", "not usable");
    } else {
        badge(out, "unknown", "not read yet");
    }
    out->append("</h2>\n");

    if (file.hasProblem) {
        /* the problem is kept after the file recovers: say which it is */
        out->append(file.usable ? "<p class=\"problem past\">Last problem: "
                                : "<p class=\"problem\">Problem: ");
        out->append("<span class=\"problem-text\">");
        appendHtmlText(out, file.problem);
        out->append("</span></p>\n");
    }

    out->append("<p class=\"meta\">");
    appendNumber(out, file.experimentsCount);
    out->append(file.experimentsCount == 1 ? " experiment" : " experiments");
    out->append(" in the file \xc2\xb7 ");
    if (file.known) {
        out->append("loaded at ");
        appendTime(out, file.loadedAt);
    } else {
        out->append("never loaded");
    }
    out->append("</p>\n<table class=\"requests\">\n<thead><tr><th>requests</th>");
    for (size_t k = 0; k < kOutcomes; k++) {
        out->append("<th>");
        out->append(outcomeName(static_cast<Outcome>(k)));
        out->append("</th>");
    }
    out->append("</tr></thead>\n<tbody><tr><td>by outcome</td>");
    for (size_t k = 0; k < kOutcomes; k++) {
        out->append("<td data-outcome=\"");
        out->append(outcomeName(static_cast<Outcome>(k)));
        out->append("\">");
        appendNumber(out, file.requests[k]);
        out->append("</td>");
    }
    out->append("</tr></tbody></table>\n");

    if (file.experiments.empty()) {
        out->append("<p class=\"none\">No experiment counted yet.</p>\n");
    }
    for (const StatusExperiment &experiment : file.experiments) {
        experimentArticle(out, index, experiment);
    }
    out->append("</section>\n");
}

}  // namespace


unsigned statusRefreshSeconds(const char *text, size_t len) noexcept
{
    unsigned seconds = 0;

    if (len == 0) {
        return 0;
    }
    for (size_t i = 0; i < len; i++) {
        if (text[i] < '0' || text[i] > '9') {
            return 0;
        }
        seconds = seconds * 10 + static_cast<unsigned>(text[i] - '0');
        if (seconds > kStatusRefreshMaxSeconds) {
            return 0;
        }
    }
    return seconds;
}


void renderStatusHtml(const StatusSnapshot &snapshot, const StatusPageOptions &options,
                      std::string *out)
{
    size_t experiments = 0, alarms = 0, stopped = 0;
    for (const StatusDataFile &file : snapshot.dataFiles) {
        experiments += file.experiments.size();
        for (const StatusExperiment &experiment : file.experiments) {
            alarms += alarmed(experiment) ? 1 : 0;
            for (const StatusVariation &v : experiment.variations) {
                stopped += v.stopped ? 1 : 0;
            }
        }
    }

    out->append("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n");
    if (options.refreshSeconds > 0) {
        out->append("<meta http-equiv=\"refresh\" content=\"");
        appendNumber(out, options.refreshSeconds);
        out->append("\">\n");
    }
    out->append("<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
                "<title>vantorell status");
    if (alarms) {
        out->append(": ");
        appendNumber(out, alarms);
        out->append(alarms == 1 ? " experiment in alarm" : " experiments in alarm");
    }
    out->append("</title>\n<style>");
    out->append(kStyle);
    out->append("</style>\n</head>\n<body>\n<header>\n<h1>vantorell status</h1>\n"
                "<p class=\"meta\"");
    attribute(out, "data-alarm-count", alarms);
    attribute(out, "data-stopped-count", stopped);
    attribute(out, "data-counters-dropped", snapshot.countersDropped);
    out->push_back('>');
    if (options.renderedAt) {
        out->append("as of ");
        appendTime(out, options.renderedAt);
        out->append(" \xc2\xb7 ");
    }
    if (options.refreshSeconds > 0) {
        out->append("refreshes every ");
        appendNumber(out, options.refreshSeconds);
        out->append(" s \xc2\xb7 ");
    }
    appendNumber(out, snapshot.dataFiles.size());
    out->append(snapshot.dataFiles.size() == 1 ? " data file, " : " data files, ");
    appendNumber(out, experiments);
    out->append(experiments == 1 ? " experiment counted" : " experiments counted");
    if (alarms) {
        out->append(", ");
        appendNumber(out, alarms);
        out->append(" in alarm");
    }
    if (stopped) {
        out->append(", ");
        appendNumber(out, stopped);
        out->append(stopped == 1 ? " variation stopped" : " variations stopped");
    }
    out->append("</p>\n");
    legend(out);
    out->append("</header>\n<main>\n");

    if (snapshot.countersDropped) {
        out->append("<p class=\"warning\">");
        appendNumber(out, snapshot.countersDropped);
        out->append(" counts were lost: the metrics zone had no room for their keys "
                    "(vantorell_metrics_zone needs a larger size).</p>\n");
    }
    if (snapshot.dataFiles.empty()) {
        out->append("<p class=\"none\">No data file in the configuration.</p>\n");
    }
    for (size_t i = 0; i < snapshot.dataFiles.size(); i++) {
        dataFileSection(out, i, snapshot.dataFiles[i]);
    }

    out->append("</main>\n</body>\n</html>\n");
}


void appendHtmlText(std::string *out, const std::string &text)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text.data());
    size_t left = text.size();

    while (left > 0) {
        unsigned char c = *p;
        size_t n = utf8SequenceLength(p, left);

        if (n == 0 || (n == 1 && ((c < 0x20 && c != '\t' && c != '\n') || c == 0x7f))) {
            out->append("\xef\xbf\xbd");
            p++;
            left--;
            continue;
        }

        switch (n == 1 ? c : 0) {
        case '&':
            out->append("&amp;");
            break;
        case '<':
            out->append("&lt;");
            break;
        case '>':
            out->append("&gt;");
            break;
        case '"':
            out->append("&quot;");
            break;
        case '\'':
            out->append("&#39;");
            break;
        default:
            out->append(reinterpret_cast<const char *>(p), n);
            break;
        }

        p += n;
        left -= n;
    }
}

}  // namespace vantorell
