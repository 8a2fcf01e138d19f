// The status page's texts: escaping of texts the module does not control,
// numbers that are not finite, split checks that did not speak, and the
// whole page in both formats.

#include "status_page.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

using vantorell::StatusDataFile;
using vantorell::StatusExperiment;
using vantorell::StatusFormat;
using vantorell::StatusSnapshot;
using vantorell::StatusVariation;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

std::string text(const std::string &in, StatusFormat format)
{
    std::string out;
    vantorell::appendStatusText(&out, in, format);
    return out;
}

std::string real(double value, StatusFormat format)
{
    std::string out;
    vantorell::appendStatusReal(&out, value, format);
    return out;
}

std::string page(const StatusSnapshot &snapshot, StatusFormat format)
{
    std::string out;
    vantorell::renderStatusPage(snapshot, format, &out);
    return out;
}

using JsonPtr = std::unique_ptr<json_object, decltype(&json_object_put)>;

// Strictly parsed, or null: json-c's tokener in strict mode.
JsonPtr parsed(const std::string &json)
{
    std::unique_ptr<json_tokener, decltype(&json_tokener_free)> tok(json_tokener_new(),
                                                                   json_tokener_free);
    json_tokener_set_flags(tok.get(), JSON_TOKENER_STRICT);
    json_object *doc = json_tokener_parse_ex(tok.get(), json.data(),
                                             static_cast<int>(json.size()));
    if (json_tokener_get_error(tok.get()) != json_tokener_success) {
        json_object_put(doc);
        doc = nullptr;
    }
    return JsonPtr(doc, json_object_put);
}

json_object *at(json_object *o, const char *key)
{
    json_object *v = nullptr;
    return json_object_object_get_ex(o, key, &v) ? v : nullptr;
}

const std::string kFffd = "\xef\xbf\xbd";

TEST(StatusPage, TextsAreEscapedForEachFormat) {
    struct Case { std::string in, json, prometheus; };
    for (const Case &c : std::vector<Case>{
             {"/etc/nginx/data.json", "/etc/nginx/data.json", "/etc/nginx/data.json"},
             {"a\"b", "a\\\"b", "a\\\"b"},
             {"a\\b", "a\\\\b", "a\\\\b"},
             {"a\nb", "a\\nb", "a\\nb"},
             // control bytes: JSON may not hold them raw; Prometheus escapes
             // only backslash, quote and line feed
             {"a\tb\r", "a\\u0009b\\u000d", "a\tb\r"},
             {std::string("a\0b\x1f", 4), "a\\u0000b\\u001f", std::string("a\0b\x1f", 4)},
             {"\x7f", "\x7f", "\x7f"},
             // valid UTF-8 stays as it is, two to four bytes
             {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9d\x84\x9e", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9d\x84\x9e",
              "caf\xc3\xa9 \xe2\x82\xac \xf0\x9d\x84\x9e"},
             // every byte that starts no valid sequence: one U+FFFD each
             {"x\xe9y", "x" + kFffd + "y", "x" + kFffd + "y"},
             {"\xe2\x82", kFffd + kFffd, kFffd + kFffd},               // cut short
             {"\xc0\xaf", kFffd + kFffd, kFffd + kFffd},               // overlong
             {"\xed\xa0\x80", kFffd + kFffd + kFffd, kFffd + kFffd + kFffd},   // surrogate
             {"\xf4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd,
              kFffd + kFffd + kFffd + kFffd},                          // past U+10FFFF
             {"\xff\"", kFffd + "\\\"", kFffd + "\\\""},
         }) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(text(c.in, StatusFormat::Json), c.json);
        EXPECT_EQ(text(c.in, StatusFormat::Prometheus), c.prometheus);
    }
}

// A path made of every kind of byte reads back from the JSON page as the
// same text, but for the bytes that became U+FFFD.
TEST(StatusPage, JsonPageReadsBackWhateverThePath) {
    StatusSnapshot snapshot;
    snapshot.dataFiles.resize(1);
    snapshot.dataFiles[0].path = std::string("/srv/\"q\"\\b\n\t\x01\0z\xc3\xa9\xe9.json", 23);
    snapshot.dataFiles[0].hasProblem = true;
    snapshot.dataFiles[0].problem = "bad \x80 byte";

    JsonPtr doc = parsed(page(snapshot, StatusFormat::Json));
    ASSERT_NE(doc, nullptr);
    json_object *file = json_object_array_get_idx(at(doc.get(), "data_files"), 0);
    EXPECT_EQ(std::string(json_object_get_string(at(file, "path")),
                          json_object_get_string_len(at(file, "path"))),
              std::string("/srv/\"q\"\\b\n\t\x01\0z\xc3\xa9", 17) + kFffd + ".json");
    EXPECT_STREQ(json_object_get_string(at(file, "problem")), ("bad " + kFffd + " byte").c_str());
}

TEST(StatusPage, RealsThatAreNotFiniteNumbers) {
    struct Case { double value; const char *json, *prometheus; };
    for (const Case &c : std::vector<Case>{
             {0.0, "0", "0"},
             {1.0, "1", "1"},
             {0.2, "0.2", "0.2"},
             {1.0 / 3.0, "0.3333333333333333", "0.3333333333333333"},
             {1e-300, "1e-300", "1e-300"},
             {kNaN, "null", "NaN"},
             {kInf, "null", "+Inf"},
             {-kInf, "null", "-Inf"},
         }) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(real(c.value, StatusFormat::Json), c.json);
        EXPECT_EQ(real(c.value, StatusFormat::Prometheus), c.prometheus);
    }
}

StatusSnapshot oneExperiment(const vantorell::SplitCheck &check, double share)
{
    StatusSnapshot snapshot;
    snapshot.dataFiles.resize(1);
    StatusDataFile &file = snapshot.dataFiles[0];
    file.path = "/d.json";
    file.experiments.resize(1);
    StatusExperiment &e = file.experiments[0];
    e.id = 7;
    e.variations = {StatusVariation{0, 1.0 - share, 1, 0}, StatusVariation{3, share, 2, 1}};
    e.newVisitorsCheck = check;
    e.assignmentsCheck = check;
    return snapshot;
}

// What a split check that did not speak, or spoke a value that is not a
// finite number, shows: the JSON page stays JSON and Prometheus reads it.
TEST(StatusPage, PValuesThatAreAbsentOrNotFinite) {
    struct Case { vantorell::SplitCheck check; const char *json, *prometheus; };
    for (const Case &c : std::vector<Case>{
             {{false, 1.0, false}, "null", "NaN"},
             {{true, 0.25, false}, "0.25", "0.25"},
             {{true, 0.0, true}, "0", "0"},
             {{true, kNaN, false}, "null", "NaN"},
             {{true, kInf, false}, "null", "+Inf"},
         }) {
        SCOPED_TRACE(c.json);
        StatusSnapshot snapshot = oneExperiment(c.check, 0.5);

        std::string json = page(snapshot, StatusFormat::Json);
        ASSERT_NE(parsed(json), nullptr) << json;
        const std::string check = std::string("{\"p_value\": ") + c.json + ", \"alarm\": " +
                                  (c.check.alarm ? "true" : "false") + "}";
        EXPECT_NE(json.find("\"split_check\": {\"new_visitors\": " + check +
                            ", \"assignments\": " + check + "}"),
                  std::string::npos) << json;

        std::string prometheus = page(snapshot, StatusFormat::Prometheus);
        for (const char *counted : {"new_visitors", "assignments"}) {
            EXPECT_NE(prometheus.find(std::string("vantorell_split_p_value{data_file=\"/d.json\","
                                                  "experiment=\"7\",counted=\"") +
                                      counted + "\"} " + c.prometheus + "\n"),
                      std::string::npos) << prometheus;
        }
    }

    // an expected share that is not a finite number
    std::string json = page(oneExperiment({}, kNaN), StatusFormat::Json);
    ASSERT_NE(parsed(json), nullptr) << json;
    EXPECT_NE(json.find("{\"id\": 3, \"expected_share\": null,"), std::string::npos) << json;
    EXPECT_NE(page(oneExperiment({}, kInf), StatusFormat::Prometheus)
                  .find("vantorell_expected_share{data_file=\"/d.json\",experiment=\"7\","
                        "variation=\"3\"} +Inf\n"),
              std::string::npos);
}

// The page as dashboards and alerts read it: every key and series, in order.
TEST(StatusPage, WholePageInBothFormats) {
    StatusSnapshot snapshot = oneExperiment({true, 0.5, false}, 0.25);
    StatusDataFile &file = snapshot.dataFiles[0];
    file.known = true;
    file.usable = true;
    file.experimentsCount = 2;
    file.loadedAt = 1700000000;
    file.requests[static_cast<size_t>(vantorell::Outcome::Redirected)] = 3;
    file.experiments[0].countingSince = 1700000001;
    file.experiments[0].id = 4294967297;
    snapshot.countersDropped = 5;

    // the reference answered twice, quickly; variation 3 once slowly with a
    // 5xx, once past every bound with a 2xx, and is stopped
    StatusVariation &reference = file.experiments[0].variations[0];
    StatusVariation &three = file.experiments[0].variations[1];
    reference.responses[0] = 2;
    reference.latencyBuckets[0] = 2;
    reference.latencySeconds = 0.004;
    three.responses[0] = 1;
    three.responses[3] = 1;
    three.latencyBuckets[5] = 1;
    three.latencyBuckets[11] = 1;
    three.latencySeconds = 12.25;
    three.stopped = true;
    file.experiments[0].errorsCheck.checked = true;
    file.experiments[0].errorsCheck.pValue = 0.0005;
    file.experiments[0].errorsCheck.alarm = true;
    file.experiments[0].errorsCheck.worst = 1;

    EXPECT_EQ(page(snapshot, StatusFormat::Json),
              "{\"data_files\": [{\"path\": \"/d.json\", \"usable\": true, \"problem\": null, "
              "\"experiments_count\": 2, \"loaded_at\": \"2023-11-14T22:13:20Z\", "
              "\"requests\": {\"ignored\": 0, \"flagged\": 0, \"data_error\": 0, "
              "\"targeting_error\": 0, \"untargeted\": 0, \"reference\": 0, \"redirected\": 3, "
              "\"error\": 0, \"forced\": 0}, \"experiments\": [{\"id\": 4294967297, "
              "\"counting_since\": \"2023-11-14T22:13:21Z\", \"variations\": ["
              "{\"id\": 0, \"expected_share\": 0.75, \"assignments\": 1, \"new_visitors\": 0, "
              "\"responses\": {\"2xx\": 2, \"3xx\": 0, \"4xx\": 0, \"5xx\": 0}, "
              "\"response_seconds\": {\"buckets\": [[0.005, 2], [0.01, 2], [0.025, 2], "
              "[0.05, 2], [0.1, 2], [0.25, 2], [0.5, 2], [1, 2], [2.5, 2], [5, 2], [10, 2], "
              "[\"+Inf\", 2]], \"sum\": 0.004, \"count\": 2}, \"stopped\": false}, "
              "{\"id\": 3, \"expected_share\": 0.25, \"assignments\": 2, \"new_visitors\": 1, "
              "\"responses\": {\"2xx\": 1, \"3xx\": 0, \"4xx\": 0, \"5xx\": 1}, "
              "\"response_seconds\": {\"buckets\": [[0.005, 0], [0.01, 0], [0.025, 0], "
              "[0.05, 0], [0.1, 0], [0.25, 1], [0.5, 1], [1, 1], [2.5, 1], [5, 1], [10, 1], "
              "[\"+Inf\", 2]], \"sum\": 12.25, \"count\": 2}, \"stopped\": true}], "
              "\"split_check\": {\"new_visitors\": {\"p_value\": 0.5, \"alarm\": false}, "
              "\"assignments\": {\"p_value\": 0.5, \"alarm\": false}}, "
              "\"errors_check\": {\"p_value\": 5e-04, \"alarm\": true, \"worst_variation\": 3}"
              "}]}], "
              "\"counters_dropped\": 5}\n");

    const std::string series = "{data_file=\"/d.json\",experiment=\"4294967297\"";
    std::string expected =
        "# HELP vantorell_requests_total Requests the module decided, by outcome.\n"
        "# TYPE vantorell_requests_total counter\n";
    for (const char *outcome : {"ignored", "flagged", "data_error", "targeting_error",
                                "untargeted", "reference", "redirected", "error", "forced"}) {
        expected += std::string("vantorell_requests_total{data_file=\"/d.json\",outcome=\"") +
                    outcome + "\"} " + (std::string(outcome) == "redirected" ? "3" : "0") + "\n";
    }
    expected +=
        "# HELP vantorell_assignments_total Targeted requests assigned to the variation "
        "(0: the reference), since counting_since.\n"
        "# TYPE vantorell_assignments_total counter\n"
        "vantorell_assignments_total" + series + ",variation=\"0\"} 1\n"
        "vantorell_assignments_total" + series + ",variation=\"3\"} 2\n"
        "# HELP vantorell_new_visitors_total Assigned requests that gave the visitor a new "
        "code: each visitor once.\n"
        "# TYPE vantorell_new_visitors_total counter\n"
        "vantorell_new_visitors_total" + series + ",variation=\"0\"} 0\n"
        "vantorell_new_visitors_total" + series + ",variation=\"3\"} 1\n"
        "# HELP vantorell_expected_share The share of visitors that the weights give the "
        "variation.\n"
        "# TYPE vantorell_expected_share gauge\n"
        "vantorell_expected_share" + series + ",variation=\"0\"} 0.75\n"
        "vantorell_expected_share" + series + ",variation=\"3\"} 0.25\n"
        "# HELP vantorell_counting_since_seconds When the experiment's counters last "
        "restarted (its variations or weights changed), in seconds since the epoch.\n"
        "# TYPE vantorell_counting_since_seconds gauge\n"
        "vantorell_counting_since_seconds" + series + "} 1700000001\n"
        "# HELP vantorell_split_p_value Chi-square test of the counts per variation against "
        "the expected shares (NaN below 1000 counts).\n"
        "# TYPE vantorell_split_p_value gauge\n"
        "vantorell_split_p_value" + series + ",counted=\"new_visitors\"} 0.5\n"
        "vantorell_split_p_value" + series + ",counted=\"assignments\"} 0.5\n"
        "# HELP vantorell_split_alarm 1 when the split check's p-value is below 0.001.\n"
        "# TYPE vantorell_split_alarm gauge\n"
        "vantorell_split_alarm" + series + ",counted=\"new_visitors\"} 0\n"
        "vantorell_split_alarm" + series + ",counted=\"assignments\"} 0\n"
        "# HELP vantorell_responses_total Responses to requests assigned the variation, by "
        "the class of the final status (a client that closed first counts as 4xx).\n"
        "# TYPE vantorell_responses_total counter\n";
    for (const char *v : {"0", "3"}) {
        for (const char *cls : {"2xx", "3xx", "4xx", "5xx"}) {
            const char *n = std::string(v) == "0" ? (std::string(cls) == "2xx" ? "2" : "0")
                                                  : (std::string(cls) == "2xx" ||
                                                     std::string(cls) == "5xx" ? "1" : "0");
            expected += "vantorell_responses_total" + series + ",variation=\"" + v +
                        "\",class=\"" + cls + "\"} " + n + "\n";
        }
    }
    expected +=
        "# HELP vantorell_response_seconds The time requests assigned the variation took "
        "($request_time).\n"
        "# TYPE vantorell_response_seconds histogram\n";
    const char *bounds[] = {"0.005", "0.01", "0.025", "0.05", "0.1", "0.25",
                            "0.5", "1", "2.5", "5", "10", "+Inf"};
    for (int b = 0; b < 12; b++) {
        expected += "vantorell_response_seconds_bucket" + series + ",variation=\"0\",le=\"" +
                    bounds[b] + "\"} 2\n";
    }
    expected += "vantorell_response_seconds_sum" + series + ",variation=\"0\"} 0.004\n"
                "vantorell_response_seconds_count" + series + ",variation=\"0\"} 2\n";
    for (int b = 0; b < 12; b++) {
        expected += "vantorell_response_seconds_bucket" + series + ",variation=\"3\",le=\"" +
                    bounds[b] + "\"} " + (b < 5 ? "0" : b < 11 ? "1" : "2") + "\n";
    }
    expected +=
        "vantorell_response_seconds_sum" + series + ",variation=\"3\"} 12.25\n"
        "vantorell_response_seconds_count" + series + ",variation=\"3\"} 2\n"
        "# HELP vantorell_variation_stopped 1 when the guardrail stopped giving the variation: "
        "its visitors get the reference.\n"
        "# TYPE vantorell_variation_stopped gauge\n"
        "vantorell_variation_stopped" + series + ",variation=\"0\"} 0\n"
        "vantorell_variation_stopped" + series + ",variation=\"3\"} 1\n"
        "# HELP vantorell_errors_p_value Chi-square test of independence of variation and 5xx "
        "(NaN below 1000 responses or 20 of them 5xx).\n"
        "# TYPE vantorell_errors_p_value gauge\n"
        "vantorell_errors_p_value" + series + "} 5e-04\n"
        "# HELP vantorell_errors_alarm 1 when one variation answers with 5xx significantly more "
        "often (p below 0.001) and at least twice as often as the others.\n"
        "# TYPE vantorell_errors_alarm gauge\n"
        "vantorell_errors_alarm" + series + "} 1\n"
        "# HELP vantorell_data_file_usable 1 when the workers can use the data file.\n"
        "# TYPE vantorell_data_file_usable gauge\n"
        "vantorell_data_file_usable{data_file=\"/d.json\"} 1\n"
        "# HELP vantorell_data_file_experiments Experiments in the data file.\n"
        "# TYPE vantorell_data_file_experiments gauge\n"
        "vantorell_data_file_experiments{data_file=\"/d.json\"} 2\n"
        "# HELP vantorell_counters_dropped_total Counts lost because the metrics zone had no "
        "room for their key.\n"
        "# TYPE vantorell_counters_dropped_total counter\n"
        "vantorell_counters_dropped_total 5\n";
    EXPECT_EQ(page(snapshot, StatusFormat::Prometheus), expected);
}

// Experiments in id order, whatever order the zone keeps them in, each with
// its two split checks.
TEST(StatusPage, SplitsAreOrderedAndChecked) {
    StatusSnapshot snapshot;
    snapshot.dataFiles.resize(1);
    for (long id : {4294967297L, -5L, 1L}) {
        StatusExperiment e;
        e.id = id;
        // 1000 assignments against even shares, far off them; no new visitors
        e.variations = {StatusVariation{1, 0.5, 900, 0}, StatusVariation{2, 0.5, 100, 0}};
        snapshot.dataFiles[0].experiments.push_back(e);
    }

    vantorell::checkExperiments(&snapshot);

    std::vector<long> ids;
    for (const StatusExperiment &e : snapshot.dataFiles[0].experiments) {
        ids.push_back(e.id);
        EXPECT_FALSE(e.newVisitorsCheck.checked);
        EXPECT_TRUE(e.assignmentsCheck.checked);
        EXPECT_TRUE(e.assignmentsCheck.alarm);
    }
    EXPECT_EQ(ids, (std::vector<long>{-5, 1, 4294967297}));
}

}  // namespace
