// The experiments data file reader: list orders, how member texts are read,
// every failure and its text, files of the wrong shape, lookup, and what
// happens when the heap runs out part way through a load.
#include <gtest/gtest.h>

#include "data_file.h"

#include <json-c/json.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

// ---- allocation failure injection ------------------------------------------
//
// The reader must turn an exhausted heap into a failed load, never into a
// partial model or a leak.  To reach every allocation it makes (and those that
// json-c makes for it), the test binary puts its own malloc, calloc and realloc
// in front of glibc's.  They pass straight through unless a test arms them, and
// a test arms them only around the one call it examines.  Sanitizer builds
// bring their own allocator, so the injection is left out there and the tests
// that need it skip.
#if defined(__SANITIZE_ADDRESS__)
#define VANTORELL_READER_NO_INJECTION 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer)
#define VANTORELL_READER_NO_INJECTION 1
#endif
#endif

namespace {
// Allocations left before the next one fails; negative when disarmed.
long allocationsBeforeFailure = -1;
}  // namespace

#ifndef VANTORELL_READER_NO_INJECTION
namespace {
bool allocationShouldFail() {
    if (allocationsBeforeFailure < 0) {
        return false;
    }
    if (allocationsBeforeFailure == 0) {
        return true;
    }
    allocationsBeforeFailure--;
    return false;
}
}  // namespace

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *block, size_t size);

void *malloc(size_t size) {
    return allocationShouldFail() ? nullptr : __libc_malloc(size);
}

void *calloc(size_t count, size_t size) {
    return allocationShouldFail() ? nullptr : __libc_calloc(count, size);
}

void *realloc(void *block, size_t size) {
    return allocationShouldFail() ? nullptr : __libc_realloc(block, size);
}
}
#endif

namespace {

// Arms the injection for its lifetime: the first `allowed` allocations
// succeed, every later one fails.
class FailingHeap {
public:
    explicit FailingHeap(long allowed) { allocationsBeforeFailure = allowed; }
    ~FailingHeap() { allocationsBeforeFailure = -1; }
    FailingHeap(const FailingHeap &) = delete;
    FailingHeap &operator=(const FailingHeap &) = delete;
};

// Whether allocations really fail when armed: not in sanitizer builds, nor
// under valgrind, which by default replaces the program's malloc as well
// (--soname-synonyms=somalloc=nothere.so leaves it in place, so that the
// failure paths are leak-checked too).
bool injectionWorks() {
    void *(*volatile allocate)(size_t) = malloc;
    void *block;
    {
        FailingHeap heap(0);
        block = allocate(16);
    }
    free(block);
    return block == nullptr;
}

// ---- small helpers ---------------------------------------------------------

using vantorell::Condition;
using vantorell::ConditionGroup;
using vantorell::Experiment;
using vantorell::Failure;
using vantorell::Model;
using vantorell::Result;
using vantorell::Variation;

struct JsonDeleter {
    void operator()(json_object *value) const { json_object_put(value); }
};
using Json = std::unique_ptr<json_object, JsonDeleter>;

Json parse(const std::string &text) {
    Json value(json_tokener_parse(text.c_str()));
    EXPECT_TRUE(value != nullptr || text == "null") << "test JSON does not parse: " << text;
    return value;
}

std::string textOf(const Result &status) { return vantorell::failureText(status).text; }

// A load: the model (empty on failure) and how it ended.
struct Load {
    Model model;
    Result status;

    bool ok() const { return status.ok(); }
    std::string text() const { return textOf(status); }
    const Experiment &first() const { return model.experiments.at(0); }
};

std::unique_ptr<Load> loadJson(const std::string &text) {
    auto load = std::make_unique<Load>();
    Json tree = parse(text);
    load->status = vantorell::modelFromJson(tree.get(), &load->model);
    return load;
}

// A data file with the given contents, removed again when the test ends.
class TempFile {
public:
    explicit TempFile(const std::string &contents) {
        const char *folder = getenv("TMPDIR");
        path_ = std::string(folder != nullptr && *folder != '\0' ? folder : "/tmp") +
                "/vantorell-reader-XXXXXX";
        int fd = mkstemp(&path_[0]);
        if (fd < 0) {
            ADD_FAILURE() << "mkstemp failed";
            return;
        }
        ssize_t written = write(fd, contents.data(), contents.size());
        EXPECT_EQ(written, static_cast<ssize_t>(contents.size()));
        close(fd);
    }
    ~TempFile() { unlink(path_.c_str()); }
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    const char *path() const { return path_.c_str(); }

private:
    std::string path_;
};

// The file read, then its text read into a model, as the model cache does.
std::unique_ptr<Load> loadPath(const char *path) {
    auto load = std::make_unique<Load>();
    std::string text;
    struct stat identity;
    load->status = vantorell::readDataFile(path, &text, &identity);
    if (load->status.ok()) {
        load->status = vantorell::modelFromText(text.data(), text.size(), &load->model);
    }
    return load;
}

std::unique_ptr<Load> loadFile(const std::string &contents) {
    TempFile file(contents);
    return loadPath(file.path());
}

// ---- building test data files ----------------------------------------------
//
// Every experiment is built from the same complete template; a test describes
// only what it changes.  Changes apply to the first element of their level in
// the file (the first variation, the first group, the first condition of the
// first group), so the second element of each list shows what is left intact.

enum class Level { Experiment, Variation, Group, Condition };

struct Change {
    Level level;
    const char *member;  // null: the value replaces the whole element
    const char *value;   // JSON text; null: the member is left out
};

using Members = std::vector<std::pair<std::string, std::string>>;

std::string objectText(Members members, Level level, const std::vector<Change> &changes) {
    for (const Change &change : changes) {
        if (change.level != level) {
            continue;
        }
        if (change.member == nullptr) {
            return change.value;
        }
        auto found = std::find_if(members.begin(), members.end(),
                                  [&](const auto &m) { return m.first == change.member; });
        if (change.value == nullptr) {
            if (found != members.end()) {
                members.erase(found);
            }
        } else if (found != members.end()) {
            found->second = change.value;
        } else {
            members.emplace_back(change.member, change.value);
        }
    }
    std::string text = "{";
    for (const auto &m : members) {
        text += (text.size() > 1 ? "," : "") + ("\"" + m.first + "\":" + m.second);
    }
    return text + "}";
}

std::string experimentText(long id, const std::vector<Change> &changes = {}) {
    const std::vector<Change> none;
    const std::string n = std::to_string(id);
    std::string firstCondition = objectText(
        {{"url", "\"/first\""}, {"include", "\"Y\""}, {"id", "1"}, {"matchType", "\"C\""},
         {"orOperator", "\"&\""}},
        Level::Condition, changes);
    std::string secondCondition = objectText(
        {{"orOperator", "\"|\""}, {"id", "2"}, {"url", "\"/second\""}, {"matchType", "\"E\""},
         {"include", "\"N\""}},
        Level::Condition, none);
    std::string firstGroup = objectText(
        {{"conditions", "[" + firstCondition + "," + secondCondition + "]"},
         {"orOperator", "\"&\""}},
        Level::Group, changes);
    std::string secondGroup = objectText(
        {{"orOperator", "\"|\""},
         {"conditions", "[{\"orOperator\":\"&\",\"id\":3,\"url\":\"/third\","
                        "\"matchType\":\"R\",\"include\":\"Yes\"}]"}},
        Level::Group, none);
    std::string firstVariation = objectText(
        {{"weight", "0.25"}, {"id", n + "1"}, {"redirection", "\"/v" + n + "1\""}},
        Level::Variation, changes);
    std::string secondVariation = objectText(
        {{"redirection", "\"/v" + n + "2\""}, {"id", n + "2"}, {"weight", "0.5"}},
        Level::Variation, none);
    return objectText({{"conditionsData", "[" + firstGroup + "," + secondGroup + "]"},
                       {"variations", "[" + firstVariation + "," + secondVariation + "]"},
                       {"targetingConfiguration", "\"URL\""},
                       {"experimentId", n},
                       {"baseUrl", "\"/base/" + n + "\""}},
                      Level::Experiment, changes);
}

std::string fileOf(const std::vector<std::string> &experiments) {
    std::string text = "[";
    for (const std::string &e : experiments) {
        text += (text.size() > 1 ? "," : "") + e;
    }
    return text + "]";
}

// ---- reading models back ---------------------------------------------------

std::vector<long> experimentIds(const Model &model) {
    std::vector<long> ids;
    for (const Experiment &e : model.experiments) ids.push_back(e.id);
    return ids;
}

std::vector<long> variationIds(const std::vector<Variation> &variations) {
    std::vector<long> ids;
    for (const Variation &v : variations) ids.push_back(v.id);
    return ids;
}

std::vector<long> conditionIds(const std::vector<Condition> &conditions) {
    std::vector<long> ids;
    for (const Condition &c : conditions) ids.push_back(c.id);
    return ids;
}

// The conditions of each group, in list order.
std::vector<std::vector<long>> groupConditionIds(const std::vector<ConditionGroup> &groups) {
    std::vector<std::vector<long>> ids;
    for (const ConditionGroup &g : groups) ids.push_back(conditionIds(g.conditions));
    return ids;
}

std::string letter(char c) { return c == '\0' ? std::string("\\0") : std::string(1, c); }

// Every field of a model as one text, to compare whole models.
std::string describe(const Model &model) {
    std::string text;
    for (const Experiment &e : model.experiments) {
        text += "E" + std::to_string(e.id) + " " + e.baseUrl + " " +
                letter(e.targetingConfiguration) + " V[";
        for (const Variation &v : e.variations) {
            text += std::to_string(v.id) + ":" + std::to_string(v.weight) + ":" +
                    v.redirection + " ";
        }
        text += "] G[";
        for (const ConditionGroup &g : e.conditionGroups) {
            text += letter(g.orOperator) + "(";
            for (const Condition &c : g.conditions) {
                text += letter(c.orOperator) + std::to_string(c.id) + ":" + c.url + ":" +
                        letter(c.matchType) + ":" + (c.include ? "Y" : "N") + " ";
            }
            text += ")";
        }
        text += "]\n";
    }
    return text;
}

// ---- whole files -----------------------------------------------------------

TEST(ReaderFile, ReadsEveryFieldOfAFile) {
    auto load = loadFile(fileOf({experimentText(7)}));
    ASSERT_TRUE(load->ok()) << load->text();

    ASSERT_EQ(load->model.experiments.size(), 1u);
    const Experiment &e = load->first();
    EXPECT_EQ(e.id, 7);
    EXPECT_EQ(e.baseUrl, "/base/7");
    EXPECT_EQ(e.targetingConfiguration, 'U');

    ASSERT_EQ(e.variations.size(), 2u);
    EXPECT_EQ(e.variations[0].id, 72);
    EXPECT_EQ(e.variations[0].weight, 0.5);
    EXPECT_EQ(e.variations[0].redirection, "/v72");
    EXPECT_EQ(e.variations[1].id, 71);
    EXPECT_EQ(e.variations[1].weight, 0.25);
    EXPECT_EQ(e.variations[1].redirection, "/v71");

    ASSERT_EQ(e.conditionGroups.size(), 2u);
    const ConditionGroup &g = e.conditionGroups[0];
    EXPECT_EQ(g.orOperator, '&');
    ASSERT_EQ(g.conditions.size(), 2u);
    const Condition &c = g.conditions[0];
    EXPECT_EQ(c.orOperator, '&');
    EXPECT_EQ(c.id, 1);
    EXPECT_EQ(c.url, "/first");
    EXPECT_EQ(c.matchType, 'C');
    EXPECT_TRUE(c.include);
    EXPECT_EQ(g.conditions[1].orOperator, '|');
    EXPECT_EQ(g.conditions[1].matchType, 'E');
    EXPECT_FALSE(g.conditions[1].include);
    EXPECT_EQ(e.conditionGroups[1].orOperator, '|');
}

TEST(ReaderFile, ExperimentsAndVariationsAreReversedGroupsAndConditionsKeepFileOrder) {
    auto load = loadFile(fileOf({experimentText(1), experimentText(2), experimentText(3)}));
    ASSERT_TRUE(load->ok()) << load->text();

    EXPECT_EQ(experimentIds(load->model), (std::vector<long>{3, 2, 1}));
    for (const Experiment &e : load->model.experiments) {
        SCOPED_TRACE("experiment " + std::to_string(e.id));
        long first = e.id * 10 + 1;
        EXPECT_EQ(variationIds(e.variations), (std::vector<long>{first + 1, first}));
        EXPECT_EQ(groupConditionIds(e.conditionGroups),
                  (std::vector<std::vector<long>>{{1, 2}, {3}}));
    }
}

TEST(ReaderFile, ThreeVariationsComeBackLastFirst) {
    auto load = loadJson(fileOf({experimentText(
        4, {{Level::Experiment, "variations",
             R"([{"redirection":"/a","id":1,"weight":0.1},
                 {"redirection":"/b","id":2,"weight":0.2},
                 {"redirection":"/c","id":3,"weight":0.3}])"}})}));
    ASSERT_TRUE(load->ok()) << load->text();
    EXPECT_EQ(variationIds(load->first().variations), (std::vector<long>{3, 2, 1}));
}

struct UnusableFile {
    const char *name;
    const char *contents;  // null: no file at all
    const char *text;
};

TEST(ReaderFile, UnusableFilesGiveNoModelAndOneText) {
    const std::string deepNesting = std::string(100000, '[') + std::string(100000, ']');
    // Values crowded together: json-c's tree of them takes hundreds of times
    // the text's size.
    auto repeated = [](const char *value, size_t count) {
        std::string list = "[";
        for (size_t i = 0; i < count; i++) {
            list += (i == 0 ? "" : ",") + std::string(value);
        }
        return list + "]";
    };
    const std::string emptyObjects = repeated("{}", 2000);
    const std::string emptyArrays = repeated("[]", 10000);
    const UnusableFile cases[] = {
        {"no file", nullptr, "Cannot read json file."},
        {"empty file", "", "Cannot read json file."},
        {"white space only", " \n\t ", "Cannot read json file."},
        {"opening brace", "{", "Cannot read json file."},
        {"unterminated array", "[{\"baseUrl\":", "Cannot read json file."},
        {"JSON null", "null", "Cannot read json file."},
        {"top-level object", "{\"baseUrl\":\"/\"}", "Cannot read json file."},
        {"top-level number", "42", "Cannot read json file."},
        {"top-level string", "\"[]\"", "Cannot read json file."},
        {"nesting past the parser's depth", deepNesting.c_str(), "Cannot read json file."},
        {"empty array", "[]", "File is empty."},
        {"empty array with white space", " [ ]\n", "File is empty."},
        {"empty objects crowded together", emptyObjects.c_str(),
         "Data file holds too many JSON values for its size."},
        {"empty arrays crowded together", emptyArrays.c_str(),
         "Data file holds too many JSON values for its size."},
    };
    for (const UnusableFile &c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<Load> load;
        if (c.contents == nullptr) {
            TempFile removed("");
            std::string path = removed.path() + std::string(".absent");
            load = loadPath(path.c_str());
        } else {
            load = loadFile(c.contents);
        }
        EXPECT_FALSE(load->ok());
        EXPECT_TRUE(load->model.experiments.empty());
        EXPECT_EQ(load->text(), c.text);
    }
}

// The densest file of real experiments (short members, no white space) stays
// within what a file of its size may hold; so do braces and brackets in texts.
TEST(ReaderFile, ADenseFileOfRealExperimentsIsRead) {
    std::string file = "[";
    for (int i = 0; i < 5000; i++) {
        file += std::string(i == 0 ? "" : ",")
                + R"({"baseUrl":"","experimentId":)" + std::to_string(i + 1)
                + R"(,"targetingConfiguration":"U","variations":[{"redirection":"","id":1,"weight":1}],)"
                + R"("conditionsData":[{"orOperator":"","conditions":[{"orOperator":"","id":1,)"
                + R"("url":"{[{[","matchType":"C","include":"Y"}]}]})";
    }
    file += "]";
    std::unique_ptr<Load> load = loadFile(file.c_str());
    ASSERT_TRUE(load->ok()) << load->text();
    EXPECT_EQ(load->model.experiments.size(), 5000u);
}

TEST(ReaderFile, ATreeThatIsNoListIsUnreadable) {
    Model model;
    EXPECT_EQ(vantorell::modelFromJson(nullptr, &model).failure, Failure::FileUnreadable);
}

// A model read before is replaced whole, by the new file or by nothing.
TEST(ReaderFile, ALoadReplacesWhatTheModelHeld) {
    Model model;
    const std::string file = fileOf({experimentText(1), experimentText(2)});
    ASSERT_TRUE(vantorell::modelFromText(file.data(), file.size(), &model).ok());
    const std::string other = fileOf({experimentText(3)});
    ASSERT_TRUE(vantorell::modelFromText(other.data(), other.size(), &model).ok());
    EXPECT_EQ(experimentIds(model), (std::vector<long>{3}));
    const std::string broken = fileOf({experimentText(4), "1"});
    EXPECT_EQ(vantorell::modelFromText(broken.data(), broken.size(), &model).failure,
              Failure::NoBaseUrl);
    EXPECT_TRUE(model.experiments.empty());
}

// ---- how member texts are read -----------------------------------------------

struct TextCase {
    const char *json;
    long integer;     // as the experiment id
    double real;      // as a variation weight
    char first;       // as the targeting configuration
};

TEST(ReaderTextForm, IntegersRealsAndLettersComeFromTheTextForm) {
    const TextCase cases[] = {
        {"17", 17, 17.0, '1'},
        {"\"17\"", 17, 17.0, '1'},
        {"\"17th\"", 17, 17.0, '1'},
        {"\"x\"", 0, 0.0, 'x'},
        {"12.9", 12, 12.9, '1'},
        {"\"  -4\"", -4, -4.0, ' '},
        {"-3", -3, -3.0, '-'},
        {"0.3", 0, 0.3, '0'},
        {"\"0.3\"", 0, 0.3, '0'},
        {"\"PAGE\"", 0, 0.0, 'P'},
        {"\"\"", 0, 0.0, '\0'},
        {"true", 0, 0.0, 't'},
        {"\"99999999999999999999\"", LONG_MAX, 1e20, '9'},
        // ids are decimal whatever they start with (a weight's text is read
        // as strtod reads it)
        {"\"010\"", 10, 10.0, '0'},
        {"\"0x1A\"", 0, 26.0, '0'},
    };
    for (const TextCase &c : cases) {
        SCOPED_TRACE(c.json);
        auto load = loadJson(fileOf({experimentText(
            1, {{Level::Experiment, "experimentId", c.json},
                {Level::Experiment, "targetingConfiguration", c.json},
                {Level::Variation, "weight", c.json},
                {Level::Group, "orOperator", c.json},
                {Level::Condition, "orOperator", c.json},
                {Level::Condition, "id", c.json},
                {Level::Condition, "matchType", c.json}})}));
        ASSERT_TRUE(load->ok()) << load->text();
        const Experiment &e = load->first();
        EXPECT_EQ(e.id, c.integer);
        EXPECT_EQ(e.targetingConfiguration, c.first);
        ASSERT_EQ(e.variations.size(), 2u);
        EXPECT_EQ(e.variations[1].weight, c.real);  // the first in the file is last
        ASSERT_FALSE(e.conditionGroups.empty());
        EXPECT_EQ(e.conditionGroups[0].orOperator, c.first);
        ASSERT_FALSE(e.conditionGroups[0].conditions.empty());
        const Condition &condition = e.conditionGroups[0].conditions[0];
        EXPECT_EQ(condition.orOperator, c.first);
        EXPECT_EQ(condition.id, c.integer);
        EXPECT_EQ(condition.matchType, c.first);
    }
}

TEST(ReaderTextForm, VariationIdReadsAsAnInteger) {
    auto load = loadJson(fileOf({experimentText(1, {{Level::Variation, "id", "\"8x\""}})}));
    ASSERT_TRUE(load->ok()) << load->text();
    EXPECT_EQ(variationIds(load->first().variations), (std::vector<long>{12, 8}));
}

TEST(ReaderTextForm, IncludeIsTrueOnlyForALeadingUpperCaseY) {
    const std::pair<const char *, bool> cases[] = {
        {"\"Y\"", true},     {"\"YES\"", true},  {"\"Yes\"", true},  {"\"Y no\"", true},
        {"\"y\"", false},    {"\"yes\"", false}, {"\"true\"", false}, {"true", false},
        {"\"\"", false},     {"\"N\"", false},   {"\" Y\"", false},  {"1", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.first);
        auto load = loadJson(fileOf({experimentText(1, {{Level::Condition, "include", c.first}})}));
        ASSERT_TRUE(load->ok()) << load->text();
        ASSERT_FALSE(load->first().conditionGroups.empty());
        ASSERT_FALSE(load->first().conditionGroups[0].conditions.empty());
        EXPECT_EQ(load->first().conditionGroups[0].conditions[0].include, c.second);
    }
}

TEST(ReaderTextForm, WholeTextsAreExactCopies) {
    const std::pair<const char *, const char *> cases[] = {
        {"\"/shop?q=1&r=2\"", "/shop?q=1&r=2"},
        {"\"caf\\u00e9\\n\\\"q\\\"\"", "caf\xc3\xa9\n\"q\""},
        {"\"\"", ""},
        {"42", "42"},
        {"0.25", "0.25"},
        {"false", "false"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.first);
        auto load = loadJson(fileOf({experimentText(
            1, {{Level::Experiment, "baseUrl", c.first},
                {Level::Variation, "redirection", c.first},
                {Level::Condition, "url", c.first}})}));
        ASSERT_TRUE(load->ok()) << load->text();
        const Experiment &e = load->first();
        EXPECT_EQ(e.baseUrl, c.second);
        ASSERT_EQ(e.variations.size(), 2u);
        EXPECT_EQ(e.variations[1].redirection, c.second);
        ASSERT_FALSE(e.conditionGroups.empty());
        ASSERT_FALSE(e.conditionGroups[0].conditions.empty());
        EXPECT_EQ(e.conditionGroups[0].conditions[0].url, c.second);
    }
}

TEST(ReaderTextForm, UnknownMembersAreIgnoredAndNamesAreCaseSensitive) {
    auto load = loadJson(fileOf({experimentText(
        1, {{Level::Experiment, "ExperimentId", "99"}, {Level::Experiment, "extra", "[1,{}]"},
            {Level::Variation, "Weight", "0.9"}})}));
    ASSERT_TRUE(load->ok()) << load->text();
    EXPECT_EQ(load->first().id, 1);
    ASSERT_EQ(load->first().variations.size(), 2u);
    EXPECT_EQ(load->first().variations[1].weight, 0.25);
}

// ---- failed loads ----------------------------------------------------------

struct FailureCase {
    const char *name;
    Change change;
    const char *text;  // with %d for the experiment's position
};

const FailureCase experimentFailures[] = {
    {"no baseUrl", {Level::Experiment, "baseUrl", nullptr},
     "Cannot read baseUrl field of experiment number %d."},
    {"no experimentId", {Level::Experiment, "experimentId", nullptr},
     "Cannot read experiment id field of experiment number %d."},
    {"no targetingConfiguration", {Level::Experiment, "targetingConfiguration", nullptr},
     "Cannot read targeting configuration field of experiment number %d."},
    {"no variations", {Level::Experiment, "variations", nullptr},
     "Cannot read variations field of experiment number %d."},
    {"no conditionsData", {Level::Experiment, "conditionsData", nullptr},
     "Cannot read conditions data field of experiment number %d."},
    // JSON null has no text form: it counts as a missing member.
    {"null baseUrl", {Level::Experiment, "baseUrl", "null"},
     "Cannot read baseUrl field of experiment number %d."},
    {"null experimentId", {Level::Experiment, "experimentId", "null"},
     "Cannot read experiment id field of experiment number %d."},
    {"null targetingConfiguration", {Level::Experiment, "targetingConfiguration", "null"},
     "Cannot read targeting configuration field of experiment number %d."},
    {"null variations", {Level::Experiment, "variations", "null"},
     "Cannot read variations field of experiment number %d."},
    {"null conditionsData", {Level::Experiment, "conditionsData", "null"},
     "Cannot read conditions data field of experiment number %d."},
    // A list member that is not a list counts as missing too.
    {"variations object", {Level::Experiment, "variations", R"({"id":1})"},
     "Cannot read variations field of experiment number %d."},
    {"variations string", {Level::Experiment, "variations", "\"[]\""},
     "Cannot read variations field of experiment number %d."},
    {"variations number", {Level::Experiment, "variations", "3"},
     "Cannot read variations field of experiment number %d."},
    {"conditionsData object", {Level::Experiment, "conditionsData", "{}"},
     "Cannot read conditions data field of experiment number %d."},
    {"conditionsData string", {Level::Experiment, "conditionsData", "\"x\""},
     "Cannot read conditions data field of experiment number %d."},
    // An element that is not an object lacks its first member.
    {"number element", {Level::Experiment, nullptr, "5"},
     "Cannot read baseUrl field of experiment number %d."},
    {"string element", {Level::Experiment, nullptr, "\"experiment\""},
     "Cannot read baseUrl field of experiment number %d."},
    {"array element", {Level::Experiment, nullptr, "[]"},
     "Cannot read baseUrl field of experiment number %d."},
    {"null element", {Level::Experiment, nullptr, "null"},
     "Cannot read baseUrl field of experiment number %d."},
};

TEST(ReaderFailure, EachFailureNamesTheMemberAndThePosition) {
    for (const FailureCase &c : experimentFailures) {
        for (int position = 1; position <= 3; position++) {
            SCOPED_TRACE(std::string(c.name) + " at position " + std::to_string(position));
            std::vector<std::string> experiments;
            for (int i = 1; i <= 3; i++) {
                experiments.push_back(
                    i == position ? experimentText(i, {c.change}) : experimentText(i));
            }
            char expected[vantorell::kFailureTextSize];
            snprintf(expected, sizeof expected, c.text, position);

            auto load = loadFile(fileOf(experiments));
            EXPECT_FALSE(load->ok());
            EXPECT_EQ(load->status.position, static_cast<size_t>(position));
            EXPECT_TRUE(load->model.experiments.empty());
            EXPECT_EQ(load->text(), expected);
        }
    }
}

TEST(ReaderFailure, TheFirstMissingMemberInLookupOrderIsReported) {
    const std::pair<std::vector<Change>, const char *> cases[] = {
        {{{Level::Experiment, "conditionsData", nullptr}, {Level::Experiment, "baseUrl", nullptr}},
         "Cannot read baseUrl field of experiment number 1."},
        {{{Level::Experiment, "variations", nullptr},
          {Level::Experiment, "targetingConfiguration", nullptr}},
         "Cannot read targeting configuration field of experiment number 1."},
        {{{Level::Experiment, "conditionsData", "1"}, {Level::Experiment, "variations", "1"}},
         "Cannot read variations field of experiment number 1."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.second);
        auto load = loadJson(fileOf({experimentText(1, c.first), experimentText(2, c.first)}));
        EXPECT_FALSE(load->ok());
        EXPECT_EQ(load->text(), c.second);
    }
}

// ---- elements of the wrong shape below the experiment ----------------------

struct NestedCase {
    const char *name;
    Change change;
    bool variationsNull;
    bool groupsNull;
    bool firstGroupConditionsNull;
};

TEST(ReaderNested, AFaultyElementEmptiesOnlyItsOwnList) {
    const NestedCase cases[] = {
        {"variation without redirection", {Level::Variation, "redirection", nullptr}, true, false, false},
        {"variation without id", {Level::Variation, "id", nullptr}, true, false, false},
        {"variation without weight", {Level::Variation, "weight", nullptr}, true, false, false},
        {"variation with null weight", {Level::Variation, "weight", "null"}, true, false, false},
        {"variation that is a number", {Level::Variation, nullptr, "1"}, true, false, false},
        {"variation that is null", {Level::Variation, nullptr, "null"}, true, false, false},
        {"variation that is an array", {Level::Variation, nullptr, "[{}]"}, true, false, false},
        {"empty variations", {Level::Experiment, "variations", "[]"}, true, false, false},
        {"group without orOperator", {Level::Group, "orOperator", nullptr}, false, true, false},
        {"group without conditions", {Level::Group, "conditions", nullptr}, false, true, false},
        {"group with null conditions", {Level::Group, "conditions", "null"}, false, true, false},
        {"group with object conditions", {Level::Group, "conditions", "{}"}, false, true, false},
        {"group with string conditions", {Level::Group, "conditions", "\"[]\""}, false, true, false},
        {"group that is a string", {Level::Group, nullptr, "\"&\""}, false, true, false},
        {"empty conditionsData", {Level::Experiment, "conditionsData", "[]"}, false, true, false},
        {"group with empty conditions", {Level::Group, "conditions", "[]"}, false, false, true},
        {"condition without orOperator", {Level::Condition, "orOperator", nullptr}, false, false, true},
        {"condition without id", {Level::Condition, "id", nullptr}, false, false, true},
        {"condition without url", {Level::Condition, "url", nullptr}, false, false, true},
        {"condition without matchType", {Level::Condition, "matchType", nullptr}, false, false, true},
        {"condition without include", {Level::Condition, "include", nullptr}, false, false, true},
        {"condition with null url", {Level::Condition, "url", "null"}, false, false, true},
        {"condition that is a number", {Level::Condition, nullptr, "0"}, false, false, true},
    };
    for (const NestedCase &c : cases) {
        SCOPED_TRACE(c.name);
        auto load = loadFile(fileOf({experimentText(1), experimentText(2, {c.change})}));
        ASSERT_TRUE(load->ok()) << load->text();

        ASSERT_EQ(experimentIds(load->model), (std::vector<long>{2, 1}));
        const Experiment &faulty = load->model.experiments[0];
        EXPECT_EQ(faulty.variations.empty(), c.variationsNull);
        EXPECT_EQ(faulty.conditionGroups.empty(), c.groupsNull);
        if (!c.groupsNull) {
            ASSERT_EQ(faulty.conditionGroups.size(), 2u);
            EXPECT_EQ(faulty.conditionGroups[0].conditions.empty(), c.firstGroupConditionsNull);
            // The group itself stays, and so do the other groups' conditions.
            EXPECT_EQ(conditionIds(faulty.conditionGroups[1].conditions), (std::vector<long>{3}));
        }
        // The other experiment keeps everything it has.
        const Experiment &intact = load->model.experiments[1];
        EXPECT_EQ(variationIds(intact.variations), (std::vector<long>{12, 11}));
        EXPECT_EQ(groupConditionIds(intact.conditionGroups),
                  (std::vector<std::vector<long>>{{1, 2}, {3}}));
    }
}

// ---- lists of the wrong shape -------------------------------------------------

TEST(ReaderLists, AGroupWhoseConditionsAreNoListIsDroppedWithItsSiblings) {
    const char *values[] = {"{}", "\"[]\"", "1", "true", "null", "[]"};
    for (const char *text : values) {
        SCOPED_TRACE(text);
        auto load = loadJson(fileOf({experimentText(1, {{Level::Group, "conditions", text}})}));
        ASSERT_TRUE(load->ok()) << load->text();
        if (std::string(text) == "[]") {
            // an empty list is a list: its group stays, without conditions
            EXPECT_EQ(groupConditionIds(load->first().conditionGroups),
                      (std::vector<std::vector<long>>{{}, {3}}));
        } else {
            EXPECT_TRUE(load->first().conditionGroups.empty());
        }
    }
}

TEST(ReaderLists, ListsKeepTheirOrdersAndReadEveryValueByItsText) {
    auto load = loadJson(fileOf({experimentText(
        1, {{Level::Experiment, "variations",
             R"([{"redirection":"/a","id":1,"weight":0.5},
                 {"redirection":"/b","id":2,"weight":"0.25"}])"},
            {Level::Experiment, "conditionsData",
             R"([{"orOperator":"&","conditions":[]},
                 {"orOperator":"|","conditions":[
                     {"orOperator":"&","id":5,"url":"a","matchType":"C","include":"Y"},
                     {"orOperator":"|","id":6,"url":"b","matchType":"E","include":"N"}]}])"}})}));
    ASSERT_TRUE(load->ok()) << load->text();
    const Experiment &e = load->first();
    EXPECT_EQ(variationIds(e.variations), (std::vector<long>{2, 1}));
    EXPECT_EQ(e.variations[0].weight, 0.25);
    EXPECT_EQ(groupConditionIds(e.conditionGroups), (std::vector<std::vector<long>>{{}, {5, 6}}));
}

// ---- lookup ------------------------------------------------------------------

TEST(ReaderLookup, FindsTheFirstInListOrderSoTheLaterDuplicateOfTheFile) {
    auto load = loadJson(fileOf({experimentText(5), experimentText(6),
                                 experimentText(7, {{Level::Experiment, "experimentId", "5"}})}));
    ASSERT_TRUE(load->ok()) << load->text();
    const Model &model = load->model;

    const Experiment *five = vantorell::findExperiment(model, 5);
    ASSERT_NE(five, nullptr);
    EXPECT_EQ(five->baseUrl, "/base/7");
    const Experiment *six = vantorell::findExperiment(model, 6);
    ASSERT_NE(six, nullptr);
    EXPECT_EQ(six->baseUrl, "/base/6");
    EXPECT_EQ(vantorell::findExperiment(model, 7), nullptr);
    EXPECT_EQ(vantorell::findExperiment(Model(), 5), nullptr);
}

// ---- an exhausted heap -----------------------------------------------------

// Runs `attempt` with the heap failing after 0, 1, 2, ... allocations, until
// a run completes without meeting a failure.  Returns the number of runs that
// met one.
template <typename Attempt>
int failEachAllocationInTurn(Attempt attempt) {
    for (long allowed = 0; allowed < 100000; allowed++) {
        SCOPED_TRACE("allocations allowed: " + std::to_string(allowed));
        bool failed = false;
        attempt(allowed, &failed);
        if (!failed) {
            return static_cast<int>(allowed);
        }
        if (::testing::Test::HasFatalFailure()) {
            break;
        }
    }
    ADD_FAILURE() << "never completed";
    return 0;
}

TEST(ReaderOutOfMemory, ALoadEitherCompletesOrFailsWithAText) {
    if (!injectionWorks()) {
        GTEST_SKIP() << "allocation failures cannot be injected in this build";
    }
    const std::string file = fileOf({experimentText(1), experimentText(2)});
    const std::string expected = describe(loadJson(file)->model);

    int failures = failEachAllocationInTurn([&](long allowed, bool *failed) {
        Json tree = parse(file);
        Model model;
        Result status;
        {
            FailingHeap heap(allowed);
            status = vantorell::modelFromJson(tree.get(), &model);
        }
        *failed = !status.ok();
        if (!status.ok()) {
            EXPECT_EQ(status.failure, Failure::ExperimentNoMemory);
            std::string text = textOf(status);
            EXPECT_TRUE(text == "Cannot allocate memory for experiment number 1." ||
                        text == "Cannot allocate memory for experiment number 2.")
                << text;
            // never a part of the file
            EXPECT_TRUE(model.experiments.empty());
        } else {
            EXPECT_EQ(describe(model), expected);
        }
    });
    // Every list and text of both experiments is one allocation at least.
    EXPECT_GT(failures, 20);
}

TEST(ReaderOutOfMemory, AFileThatCannotBeHeldIsNoMemoryNotAnUnreadableFile) {
    if (!injectionWorks()) {
        GTEST_SKIP() << "allocation failures cannot be injected in this build";
    }
    TempFile file(fileOf({experimentText(1)}));
    std::string text;
    struct stat identity;
    Result status;
    {
        FailingHeap heap(0);
        status = vantorell::readDataFile(file.path(), &text, &identity);
    }
    EXPECT_EQ(status.failure, Failure::FileNoMemory);
    EXPECT_EQ(textOf(status), "Cannot allocate memory for the data file.");
}

}  // namespace
