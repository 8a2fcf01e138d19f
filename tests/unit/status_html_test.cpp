// The status page as HTML: texts of the data file escaped, the refresh a
// request may ask for, a page that loads nothing from elsewhere, and the
// numbers of the JSON page in it, read back from its data- attributes and
// shown to the eye.

#include "status_page.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <utility>
#include <vector>

using vantorell::StatusDataFile;
using vantorell::StatusExperiment;
using vantorell::StatusFormat;
using vantorell::StatusPageOptions;
using vantorell::StatusSnapshot;
using vantorell::StatusVariation;

namespace {

const std::string kFffd = "\xef\xbf\xbd";

std::string html(const StatusSnapshot &snapshot, const StatusPageOptions &options = {})
{
    std::string out;
    vantorell::renderStatusPage(snapshot, StatusFormat::Html, &out, options);
    return out;
}

std::string escaped(const std::string &in)
{
    std::string out;
    vantorell::appendStatusText(&out, in, StatusFormat::Html);
    return out;
}

// The start tag of the element whose id is `id`; empty when there is none.
std::string tag(const std::string &page, const std::string &id)
{
    size_t at = page.find(" id=\"" + id + "\"");
    if (at == std::string::npos) {
        return "";
    }
    size_t start = page.rfind('<', at);
    return page.substr(start, page.find('>', at) - start + 1);
}

// The start tag of the first element from `from` on that holds `marker`.
std::string tagWith(const std::string &page, const std::string &marker, size_t from = 0)
{
    size_t at = page.find(marker, from);
    if (at == std::string::npos) {
        return "";
    }
    size_t start = page.rfind('<', at);
    return page.substr(start, page.find('>', at) - start + 1);
}

// An attribute's value in a start tag; "(none)" when the tag has none.
std::string attr(const std::string &tag, const std::string &name)
{
    size_t at = tag.find(" " + name + "=\"");
    if (at == std::string::npos) {
        return "(none)";
    }
    at += name.size() + 3;
    return tag.substr(at, tag.find('"', at) - at);
}

// The text of the cells of the row that starts with `rowTag`, tags removed.
std::vector<std::string> cells(const std::string &page, const std::string &rowTag)
{
    std::vector<std::string> out;
    size_t at = page.find(rowTag);
    size_t end = page.find("</tr>", at);
    while ((at = page.find("<td", at)) < end) {
        at = page.find('>', at) + 1;
        size_t close = page.find("</td>", at);
        std::string text;
        bool inTag = false;
        for (size_t i = at; i < close; i++) {
            if (page[i] == '<') {
                inTag = true;
            } else if (page[i] == '>') {
                inTag = false;
            } else if (!inTag) {
                text.push_back(page[i]);
            }
        }
        out.push_back(text);
        at = close;
    }
    return out;
}

StatusVariation variation(long id, double share, uint64_t assignments, uint64_t newVisitors,
                          uint64_t ok, uint64_t failed)
{
    StatusVariation v;
    v.id = id;
    v.expectedShare = share;
    v.assignments = assignments;
    v.newVisitors = newVisitors;
    v.responses[0] = ok;
    v.responses[vantorell::kServerErrorClass] = failed;
    return v;
}

// Two data files: one usable after a problem, its path and problem hostile,
// with experiment 101 whose variation 2 fails (an errors alarm, stopped) and
// whose new visitors are off the split (a split alarm), and experiment 202
// with too few counts for any check; and a file that is not usable.
StatusSnapshot fixture()
{
    StatusSnapshot snapshot;
    snapshot.countersDropped = 3;
    snapshot.dataFiles.resize(2);

    StatusDataFile &file = snapshot.dataFiles[0];
    file.path = "/srv/<script>alert('x')</script>&\"q\".json";
    file.known = true;
    file.usable = true;
    file.hasProblem = true;
    file.problem = "unexpected <b>token</b> at 'line 1'\n\x01\xff";
    file.experimentsCount = 2;
    file.loadedAt = 1700000000;
    file.requests[static_cast<size_t>(vantorell::Outcome::Redirected)] = 2000;
    file.requests[static_cast<size_t>(vantorell::Outcome::Untargeted)] = 17;

    StatusExperiment big;
    big.id = 101;
    big.countingSince = 1700000001;
    big.variations = {variation(0, 0.0, 0, 0, 0, 0), variation(1, 0.5, 1000, 600, 990, 10),
                      variation(2, 0.5, 1000, 400, 900, 100)};
    big.variations[1].latencyBuckets[0] = 10;
    big.variations[1].latencyBuckets[2] = 10;
    big.variations[2].stopped = true;

    StatusExperiment small;
    small.id = 202;
    small.countingSince = 1700000002;
    small.variations = {variation(0, 0.8, 3, 3, 3, 0), variation(7, 0.2, 1, 1, 1, 0)};

    file.experiments = {small, big};

    StatusDataFile &broken = snapshot.dataFiles[1];
    broken.path = "/srv/broken.json";
    broken.known = true;
    broken.hasProblem = true;
    broken.problem = "no such file";
    broken.loadedAt = 1700000003;

    vantorell::checkExperiments(&snapshot);
    return snapshot;
}

TEST(StatusHtml, TextsAreEscaped) {
    struct Case { std::string in, out; };
    for (const Case &c : std::vector<Case>{
             {"/etc/nginx/data.json", "/etc/nginx/data.json"},
             {"<script>alert(1)</script>", "&lt;script&gt;alert(1)&lt;/script&gt;"},
             {"a&b\"c'd", "a&amp;b&quot;c&#39;d"},
             {"&lt;", "&amp;lt;"},
             {"tab\tand\nline", "tab\tand\nline"},
             // control characters HTML may not hold, a carriage return too
             // (the parser would make it a line feed)
             {std::string("a\0b\x1b" "c\rd\x7f", 8), "a" + kFffd + "b" + kFffd + "c" + kFffd +
                                                         "d" + kFffd},
             {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
             // what is not UTF-8: a stray continuation, a cut sequence, an
             // overlong '<' (which must not come out as one), a surrogate
             {"a\x80z", "a" + kFffd + "z"},
             {"a\xe2\x82", "a" + kFffd + kFffd},
             {"\xc0\xbcscript", kFffd + kFffd + "script"},
             {"\xed\xa0\x80", kFffd + kFffd + kFffd},
         }) {
        EXPECT_EQ(escaped(c.in), c.out) << c.in;
    }
}

TEST(StatusHtml, HostilePathAndProblemAreShownAsText) {
    std::string page = html(fixture());
    const std::string path = "/srv/&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;&amp;&quot;q&quot;.json";

    EXPECT_EQ(page.find("<script"), std::string::npos);
    EXPECT_EQ(page.find("<b>"), std::string::npos);
    EXPECT_EQ(attr(tag(page, "file-0"), "data-file"), path);
    EXPECT_NE(page.find("<span class=\"path\">" + path + "</span>"), std::string::npos);
    EXPECT_NE(page.find("Last problem: <span class=\"problem-text\">unexpected &lt;b&gt;token"
                        "&lt;/b&gt; at &#39;line 1&#39;\n" + kFffd + kFffd + "</span>"),
              std::string::npos);
    EXPECT_NE(page.find("Problem: <span class=\"problem-text\">no such file</span>"),
              std::string::npos);
}

TEST(StatusHtml, RefreshOnlyWithinBounds) {
    struct Case { std::string arg; unsigned seconds; };
    for (const Case &c : std::vector<Case>{
             {"1", 1}, {"30", 30}, {"3600", 3600}, {"0030", 30},
             {"0", 0}, {"3601", 0}, {"", 0}, {"-5", 0}, {"+5", 0}, {" 5", 0}, {"5 ", 0},
             {"1.5", 0}, {"10s", 0}, {"1e3", 0}, {"%35", 0}, {"0x10", 0},
             {"99999999999999999999999", 0}, {"4294967301", 0},
         }) {
        EXPECT_EQ(vantorell::statusRefreshSeconds(c.arg.data(), c.arg.size()), c.seconds)
            << c.arg;
    }

    StatusSnapshot snapshot = fixture();
    StatusPageOptions options;
    EXPECT_EQ(html(snapshot, options).find("http-equiv"), std::string::npos);
    options.refreshSeconds = 30;
    std::string page = html(snapshot, options);
    EXPECT_NE(page.find("<meta http-equiv=\"refresh\" content=\"30\">"), std::string::npos);
    EXPECT_LT(page.find("http-equiv"), page.find("</head>"));
    EXPECT_NE(page.find("refreshes every 30 s"), std::string::npos);
}

// Nothing that a browser would fetch or run: no address, no script, no
// style that imports; the other formats' texts are not touched.
TEST(StatusHtml, PageLoadsNothingElse) {
    StatusPageOptions options;
    options.refreshSeconds = 5;
    options.renderedAt = 1700000100;
    for (const StatusSnapshot &snapshot : {fixture(), StatusSnapshot()}) {
        std::string page = html(snapshot, options);
        for (const char *word : {"http://", "https://", "//", "<script", "src=", "href=",
                                 "url(", "@import", "<link", "<iframe", "<object", "<embed",
                                 "xmlns"}) {
            EXPECT_EQ(page.find(word), std::string::npos) << word;
        }
        // no event handler attribute either
        EXPECT_FALSE(std::regex_search(page, std::regex("\\son[a-z]+\\s*=")));
        EXPECT_EQ(page.compare(0, 15, "<!DOCTYPE html>"), 0);
        EXPECT_EQ(page.substr(page.size() - 8), "</html>\n");
    }
    EXPECT_STREQ(vantorell::statusPageContentType(StatusFormat::Html), "text/html; charset=utf-8");
}

TEST(StatusHtml, ShowsTheNumbersOfTheJsonPage) {
    StatusSnapshot snapshot = fixture();
    StatusPageOptions options;
    options.renderedAt = 1700000100;
    std::string page = html(snapshot, options);

    std::string jsonText;
    vantorell::renderStatusPage(snapshot, StatusFormat::Json, &jsonText);
    json_object *doc = json_tokener_parse(jsonText.c_str());
    ASSERT_NE(doc, nullptr);
    json_object *files = json_object_object_get(doc, "data_files");

    for (size_t f = 0; f < json_object_array_length(files); f++) {
        json_object *file = json_object_array_get_idx(files, f);
        std::string fileId = "file-" + std::to_string(f);
        json_object *requests = json_object_object_get(file, "requests");
        json_object_object_foreach(requests, outcome, count) {
            std::string cell = tagWith(page, "data-outcome=\"" + std::string(outcome) + "\"",
                                       page.find(" id=\"" + fileId + "\""));
            EXPECT_EQ(cell, "<td data-outcome=\"" + std::string(outcome) + "\">");
            EXPECT_NE(page.find(cell + std::to_string(json_object_get_int64(count)) + "</td>"),
                      std::string::npos) << outcome;
        }

        json_object *experiments = json_object_object_get(file, "experiments");
        for (size_t e = 0; e < json_object_array_length(experiments); e++) {
            json_object *experiment = json_object_array_get_idx(experiments, e);
            std::string prefix = fileId + "-experiment-" +
                std::to_string(json_object_get_int64(json_object_object_get(experiment, "id")));
            EXPECT_EQ(attr(tag(page, prefix), "data-counting-since"),
                      json_object_get_string(json_object_object_get(experiment, "counting_since")));

            json_object *variations = json_object_object_get(experiment, "variations");
            for (size_t v = 0; v < json_object_array_length(variations); v++) {
                json_object *jv = json_object_array_get_idx(variations, v);
                std::string row = tag(page, prefix + "-variation-" +
                    std::to_string(json_object_get_int64(json_object_object_get(jv, "id"))));
                ASSERT_NE(row, "");
                EXPECT_EQ(std::strtod(attr(row, "data-expected-share").c_str(), nullptr),
                          json_object_get_double(json_object_object_get(jv, "expected_share")));
                json_object *responses = json_object_object_get(jv, "responses");
                for (const auto &[name, key] : std::vector<std::pair<const char *, json_object *>>{
                         {"data-assignments", json_object_object_get(jv, "assignments")},
                         {"data-new-visitors", json_object_object_get(jv, "new_visitors")},
                         {"data-server-errors", json_object_object_get(responses, "5xx")}}) {
                    EXPECT_EQ(attr(row, name), std::to_string(json_object_get_int64(key))) << row;
                }
                EXPECT_EQ(attr(row, "data-stopped"),
                          json_object_get_boolean(json_object_object_get(jv, "stopped"))
                              ? "true" : "false");
            }

            json_object *split = json_object_object_get(experiment, "split_check");
            std::vector<std::pair<const char *, json_object *>> checks = {
                {"new_visitors", json_object_object_get(split, "new_visitors")},
                {"assignments", json_object_object_get(split, "assignments")},
                {"errors", json_object_object_get(experiment, "errors_check")}};
            for (const auto &[name, check] : checks) {
                std::string row = tagWith(page, "data-check=\"" + std::string(name) + "\"",
                                          page.find(" id=\"" + prefix + "\""));
                json_object *p = json_object_object_get(check, "p_value");
                if (p == nullptr) {
                    EXPECT_EQ(attr(row, "data-p-value"), "(none)") << row;
                    EXPECT_EQ(attr(row, "data-checked"), "false") << row;
                } else {
                    EXPECT_EQ(std::strtod(attr(row, "data-p-value").c_str(), nullptr),
                              json_object_get_double(p)) << row;
                }
                EXPECT_EQ(attr(row, "data-alarm"),
                          json_object_get_boolean(json_object_object_get(check, "alarm"))
                              ? "true" : "false") << row;
            }
        }
    }
    json_object_put(doc);

    // what the eye reads: experiment 101's failing, stopped variation 2, and
    // variation 1's latency (half its requests within 5 ms, the rest within
    // 10 to 25 ms)
    const std::string two = "<tr id=\"file-0-experiment-101-variation-2\"";
    EXPECT_EQ(cells(page, two)[0], "2 stopped");
    EXPECT_EQ(cells(page, two)[1], "50.0%");    // expected
    EXPECT_EQ(cells(page, two)[2], "50.0%");    // observed
    EXPECT_EQ(cells(page, two)[4], "1000");
    EXPECT_EQ(cells(page, two)[7], "100");      // 5xx
    EXPECT_EQ(cells(page, two)[8], "10.0%");
    EXPECT_NE(page.find("<td class=\"failing\">10.0%</td>"), std::string::npos);
    EXPECT_NE(tag(page, "file-0-experiment-101-variation-2").find("class=\"stopped\""),
              std::string::npos);
    const std::string one = "<tr id=\"file-0-experiment-101-variation-1\"";
    EXPECT_EQ(cells(page, one)[9], "5 ms");
    EXPECT_EQ(cells(page, one)[10], "23.5 ms");
    EXPECT_EQ(attr(tag(page, "file-0-experiment-101-variation-1"), "data-p95-seconds"), "0.0235");
    EXPECT_EQ(cells(page, one)[0], "1");
    EXPECT_EQ(cells(page, one)[8], "1.0%");
    // no responses: no latency and no share of 5xx
    const std::string reference = "<tr id=\"file-0-experiment-101-variation-0\"";
    EXPECT_EQ(cells(page, reference)[8], "\xe2\x80\x94");
    EXPECT_EQ(cells(page, reference)[9], "\xe2\x80\x94");
    EXPECT_EQ(attr(tag(page, "file-0-experiment-101-variation-0"), "data-p50-seconds"), "(none)");

    EXPECT_EQ(cells(page, "<tr data-check=\"errors\" data-worst-variation=\"2\"")[3],
              "worst: variation 2, 5xx 10.0% against 1.0% of the others");
    EXPECT_EQ(cells(page, tagWith(page, "data-check=\"new_visitors\"",
                                  page.find("id=\"file-0-experiment-202\"")))[1],
              "\xe2\x80\x94");
    EXPECT_NE(page.find("<title>vantorell status: 1 experiment in alarm</title>"),
              std::string::npos);
    EXPECT_NE(page.find("split alarm"), std::string::npos);
    EXPECT_NE(page.find("errors alarm"), std::string::npos);
    EXPECT_NE(page.find("variation 2 stopped"), std::string::npos);
    EXPECT_NE(page.find("as of 2023-11-14T22:15:00Z"), std::string::npos);
    EXPECT_NE(page.find("3 counts were lost"), std::string::npos);
    EXPECT_NE(tag(page, "file-1").find("data-usable=\"false\""), std::string::npos);
    EXPECT_NE(page.find("not usable"), std::string::npos);
}

}  // namespace
