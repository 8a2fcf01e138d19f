/*
 * Reads the experiments data file into the model of data_file.h.
 *
 * Nothing here may throw into its caller: what the standard containers throw
 * when the heap runs out is caught per experiment and becomes a failure
 * value.  A data file of the wrong shape must never reach a json-c array
 * function with a non-array (json-c aborts the process then), so every value
 * is type-checked before it is walked.
 */
#include "data_file.h"

#include <json-c/json.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace vantorell {

namespace {

// How reading one member, record or list ended.  Missing covers every shape
// problem (absent member, JSON null, a non-object element, a non-array where a
// list belongs); NoMemory is kept apart so that a load never silently loses a
// list because the heap ran out.
enum class ReadStatus { Ok, Missing, NoMemory };

// Releases a parsed JSON tree on every path out of a scope.
class JsonTree {
public:
    explicit JsonTree(json_object *root) noexcept : root_(root) {}
    ~JsonTree() { json_object_put(root_); }
    JsonTree(const JsonTree &) = delete;
    JsonTree &operator=(const JsonTree &) = delete;
    json_object *get() const noexcept { return root_; }

private:
    json_object *root_;
};

// Closes a file descriptor on every path out of a scope.
class OpenFile {
public:
    explicit OpenFile(int fd) noexcept : fd_(fd) {}
    ~OpenFile()
    {
        if (fd_ != -1) {
            close(fd_);
        }
    }
    OpenFile(const OpenFile &) = delete;
    OpenFile &operator=(const OpenFile &) = delete;
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

// The text form of a scalar member.  json-c formats non-string values into a
// buffer it allocates, so a null text for a present value means the heap ran
// out.
ReadStatus readText(json_object *object, const char *name, const char **text) noexcept
{
    json_object *value = recordMember(object, name);
    if (value == nullptr) {
        return ReadStatus::Missing;
    }
    *text = json_object_get_string(value);
    return *text == nullptr ? ReadStatus::NoMemory : ReadStatus::Ok;
}

// A whole text; the copy throws when the heap runs out.
ReadStatus readCopy(json_object *object, const char *name, std::string *copy)
{
    const char *text = nullptr;
    ReadStatus status = readText(object, name, &text);
    if (status == ReadStatus::Ok) {
        copy->assign(text);
    }
    return status;
}

// A scalar member read through its text form.
template <typename Value, Value (*Convert)(const char *)>
ReadStatus readConverted(json_object *object, const char *name, Value *value) noexcept
{
    const char *text = nullptr;
    ReadStatus status = readText(object, name, &text);
    if (status == ReadStatus::Ok) {
        *value = Convert(text);
    }
    return status;
}

// Ids may be written as numbers or as strings holding numbers; both read the
// same way, with trailing characters ignored ("17th" is 17, "x" is 0).
long integerOf(const char *text) noexcept { return strtol(text, nullptr, 10); }

double realOf(const char *text) noexcept { return strtod(text, nullptr); }

// Letters such as targeting configurations and match types are the first byte
// of the text; an empty text gives NUL, which targeting rejects later.
char firstCharacterOf(const char *text) noexcept { return text[0]; }

// Only an upper-case Y starts a yes: "Y", "YES" and "Yes" include, everything
// else (JSON true among it) excludes.
bool yesOf(const char *text) noexcept { return text[0] == 'Y'; }

constexpr auto readInteger = readConverted<long, integerOf>;
constexpr auto readReal = readConverted<double, realOf>;
constexpr auto readFirstCharacter = readConverted<char, firstCharacterOf>;
constexpr auto readYes = readConverted<bool, yesOf>;

// A member that must hold a list; any other kind of value counts as absent.
json_object *arrayMember(json_object *object, const char *name) noexcept
{
    json_object *value = recordMember(object, name);
    return json_object_is_type(value, json_type_array) ? value : nullptr;
}

// Chains member reads: stops at the first one that does not succeed, so the
// members are looked up in the documented order and no further.
#define READ_OR_RETURN(call)                      \
    do {                                          \
        ReadStatus read_status_ = (call);         \
        if (read_status_ != ReadStatus::Ok) {     \
            return read_status_;                  \
        }                                         \
    } while (0)

enum class Order { Reversed, FileOrder };

// Converts a JSON array into a list, element by element; an element that
// cannot be read leaves the whole list empty.
template <typename Record, Order order, ReadStatus (*ReadRecord)(json_object *, Record *)>
ReadStatus readList(json_object *array, std::vector<Record> *list)
{
    list->clear();
    if (!json_object_is_type(array, json_type_array)) {
        return ReadStatus::Missing;
    }
    std::vector<Record> records;
    size_t count = json_object_array_length(array);
    records.reserve(count);
    for (size_t i = 0; i < count; i++) {
        records.emplace_back();
        READ_OR_RETURN(ReadRecord(json_object_array_get_idx(array, i), &records.back()));
    }
    if (order == Order::Reversed) {
        std::reverse(records.begin(), records.end());
    }
    *list = std::move(records);
    return ReadStatus::Ok;
}

ReadStatus readCondition(json_object *json, Condition *condition)
{
    READ_OR_RETURN(readFirstCharacter(json, member::kOrOperator, &condition->orOperator));
    READ_OR_RETURN(readInteger(json, member::kId, &condition->id));
    READ_OR_RETURN(readCopy(json, member::kUrl, &condition->url));
    READ_OR_RETURN(readFirstCharacter(json, member::kMatchType, &condition->matchType));
    READ_OR_RETURN(readYes(json, member::kInclude, &condition->include));
    return ReadStatus::Ok;
}

ReadStatus readConditionGroup(json_object *json, ConditionGroup *group)
{
    READ_OR_RETURN(readFirstCharacter(json, member::kOrOperator, &group->orOperator));
    json_object *conditions = arrayMember(json, member::kConditions);
    if (conditions == nullptr) {
        return ReadStatus::Missing;
    }
    // A condition lacking a member empties its group's conditions, but the
    // group stays.
    ReadStatus status =
        readList<Condition, Order::FileOrder, readCondition>(conditions, &group->conditions);
    return status == ReadStatus::NoMemory ? status : ReadStatus::Ok;
}

// The redirection is not used by the module, but a variation without one is
// not a variation: it empties its experiment's variations.
ReadStatus readVariation(json_object *json, Variation *variation)
{
    READ_OR_RETURN(readCopy(json, member::kRedirection, &variation->redirection));
    READ_OR_RETURN(readInteger(json, member::kId, &variation->id));
    READ_OR_RETURN(readReal(json, member::kWeight, &variation->weight));
    return ReadStatus::Ok;
}

// A list member of an experiment: absent or not an array fails the load, a
// list that cannot be read is left empty, and an exhausted heap fails the
// load.
template <typename Record, ReadStatus (*ReadList)(json_object *, std::vector<Record> *)>
ReadStatus readExperimentList(json_object *json, const char *name, std::vector<Record> *list)
{
    json_object *array = arrayMember(json, name);
    if (array == nullptr) {
        return ReadStatus::Missing;
    }
    return ReadList(array, list) == ReadStatus::NoMemory ? ReadStatus::NoMemory
                                                         : ReadStatus::Ok;
}

// Reads one experiment; on failure *failure names the member that stopped it.
ReadStatus readExperiment(json_object *json, Experiment *experiment, Failure *failure)
{
    *failure = Failure::NoBaseUrl;
    READ_OR_RETURN(readCopy(json, member::kBaseUrl, &experiment->baseUrl));
    *failure = Failure::NoExperimentId;
    READ_OR_RETURN(readInteger(json, member::kExperimentId, &experiment->id));
    *failure = Failure::NoTargetingConfiguration;
    READ_OR_RETURN(readFirstCharacter(json, member::kTargetingConfiguration,
                                      &experiment->targetingConfiguration));
    *failure = Failure::NoVariations;
    READ_OR_RETURN((readExperimentList<Variation, readList<Variation, Order::Reversed,
                                                           readVariation>>(
        json, member::kVariations, &experiment->variations)));
    *failure = Failure::NoConditionsData;
    READ_OR_RETURN((readExperimentList<ConditionGroup,
                                       readList<ConditionGroup, Order::FileOrder,
                                                readConditionGroup>>(
        json, member::kConditionsData, &experiment->conditionGroups)));
    return ReadStatus::Ok;
}

#undef READ_OR_RETURN

// What json-c's tree of a text may take, reckoned from a cheap pass over the
// text before anything is built.  json-c spends far more on a value than the
// value's text: about 780 bytes on an empty object (its hash table is made
// with room for 16 members), 140 on an empty array, 60 to 80 on a scalar; so
// a few megabytes of "[{},{},...]" would take gigabytes.  The weights are
// those costs, rounded up; every "," and ":" stands for at most one more
// value (a member's key and value together under a ":" and a ",").  Text in
// strings is skipped, and the reckoning ends where the parse does: with the
// first complete value, or past the parser's depth, where it fails.
constexpr size_t kObjectCost = 800;
constexpr size_t kArrayCost = 160;
constexpr size_t kScalarCost = 80;

size_t treeCost(const char *text, size_t length) noexcept
{
    size_t cost = kScalarCost;
    size_t depth = 0;
    char quote = '\0';
    for (size_t i = 0; i < length; i++) {
        char c = text[i];
        if (quote != '\0') {
            if (c == '\\') {
                i++;
            } else if (c == quote) {
                quote = '\0';
            }
            continue;
        }
        switch (c) {
        case '"':
        case '\'':
            quote = c;
            break;
        case '{':
        case '[':
            cost += c == '{' ? kObjectCost : kArrayCost;
            if (++depth > JSON_TOKENER_DEFAULT_DEPTH) {
                return cost;
            }
            break;
        case '}':
        case ']':
            if (depth <= 1) {
                return cost;
            }
            depth--;
            break;
        case ',':
        case ':':
            cost += kScalarCost;
            break;
        default:
            break;
        }
    }
    return cost;
}

// A real data file's tree takes 15 to 25 times the file's size (objects of
// short members, the densest it gets); twice that leaves room for any real
// file and refuses the files that only crowd values together.  Small files
// are always read, and whatever the file, the tree stays within a bound that
// a worker, the master and the tool can hold beside the text and the model.
constexpr size_t kTreeCostPerByte = 48;
constexpr size_t kTreeCostFloor = static_cast<size_t>(1) * 1024 * 1024;
constexpr size_t kTreeCostCeiling = static_cast<size_t>(640) * 1024 * 1024;

bool treeTooCostly(const char *text, size_t length) noexcept
{
    size_t cost = treeCost(text, length);
    size_t allowed = std::max(kTreeCostFloor, std::min(kTreeCostPerByte * length,
                                                        kTreeCostCeiling));
    return cost > allowed;
}

Result failed(Failure failure, size_t position = 0) noexcept
{
    Result status;
    status.failure = failure;
    status.position = position;
    return status;
}

// A file that cannot be read for want of a descriptor or of kernel memory
// (the worker at its worker_rlimit_nofile, the host at its limit) can be read
// a moment later: such a failure must not stand for the file.
Failure unreadable(int error) noexcept
{
    return error == EMFILE || error == ENFILE || error == ENOMEM ? Failure::FileNotNow
                                                                 : Failure::FileUnreadable;
}

}  // namespace

// JSON null has no text form, so it is treated like an absent member.
json_object *recordMember(json_object *record, const char *name) noexcept
{
    json_object *value = nullptr;
    if (!json_object_is_type(record, json_type_object) ||
        !json_object_object_get_ex(record, name, &value)) {
        return nullptr;
    }
    return value;
}

const Experiment *findExperiment(const Model &model, long id) noexcept
{
    for (const Experiment &experiment : model.experiments) {
        if (experiment.id == id) {
            return &experiment;
        }
    }
    return nullptr;
}

Result readDataFile(const char *path, std::string *text, struct stat *identity) noexcept
{
    // The file lies in a folder that anyone on the host may write to: a FIFO
    // there would block the worker for good, a device could be endless.  Only
    // a regular file is opened, without waiting, and it is checked again
    // once open in case it was swapped in between.
    // What stood at the path is told even when it cannot be used, so that a
    // caller can tell one unusable file from another.
    memset(identity, 0, sizeof(*identity));
    struct stat st;
    if (stat(path, &st) != 0) {
        return failed(unreadable(errno));
    }
    *identity = st;
    if (!S_ISREG(st.st_mode)) {
        return failed(Failure::FileUnreadable);
    }
    OpenFile file(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (file.get() == -1 || fstat(file.get(), &st) != 0) {
        return failed(unreadable(errno));
    }
    *identity = st;
    if (!S_ISREG(st.st_mode)) {
        return failed(Failure::FileUnreadable);
    }
    if (static_cast<unsigned long long>(st.st_size) > kDataFileMaxSize) {
        return failed(Failure::FileTooLarge);
    }

    // The file may grow while it is read: read one byte past the bound to
    // notice, and grow the buffer as needed.
    try {
        std::string buffer;
        size_t capacity = static_cast<size_t>(st.st_size) + 1;
        size_t used = 0;
        buffer.resize(capacity);
        for (;;) {
            if (used == capacity) {
                if (capacity > kDataFileMaxSize) {
                    return failed(Failure::FileTooLarge);
                }
                capacity = std::min(capacity * 2, kDataFileMaxSize + 1);
                buffer.resize(capacity);
            }
            ssize_t n = read(file.get(), &buffer[used], capacity - used);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                return failed(unreadable(errno));
            }
            if (n == 0) {
                break;
            }
            used += static_cast<size_t>(n);
        }
        if (used > kDataFileMaxSize) {
            return failed(Failure::FileTooLarge);
        }
        buffer.resize(used);
        *text = std::move(buffer);
    } catch (...) {
        return failed(Failure::FileNoMemory);
    }

    return Result();
}

Result parseDataFile(const char *text, size_t length, json_object **tree) noexcept
{
    *tree = nullptr;

    // The same parse that json-c gives a file: one JSON value at json-c's
    // default nesting depth; what follows a complete value is not looked at.
    json_tokener *tokener = json_tokener_new_ex(JSON_TOKENER_DEFAULT_DEPTH);
    if (tokener == nullptr) {
        return failed(Failure::FileNoMemory);
    }
    if (length > static_cast<size_t>(INT32_MAX)) {
        json_tokener_free(tokener);
        return failed(Failure::FileTooLarge);
    }
    if (treeTooCostly(text, length)) {
        json_tokener_free(tokener);
        return failed(Failure::FileTooManyValues);
    }
    *tree = json_tokener_parse_ex(tokener, text, static_cast<int>(length));
    json_tokener_free(tokener);
    return *tree == nullptr ? failed(Failure::FileUnreadable) : Result();
}

Result modelFromText(const char *text, size_t length, Model *model) noexcept
{
    model->experiments.clear();

    json_object *parsed = nullptr;
    Result status = parseDataFile(text, length, &parsed);
    JsonTree tree(parsed);
    return status.ok() ? modelFromJson(tree.get(), model) : status;
}

Result modelFromJson(json_object *json, Model *model) noexcept
{
    model->experiments.clear();

    // The file must hold a list of experiments; anything else is as unusable
    // as text that does not parse.
    if (!json_object_is_type(json, json_type_array)) {
        return failed(Failure::FileUnreadable);
    }
    size_t count = json_object_array_length(json);
    if (count == 0) {
        return failed(Failure::FileEmpty);
    }

    // Experiments read before a failing one go with `experiments`: the
    // caller gets all of the file or nothing.
    std::vector<Experiment> experiments;
    for (size_t i = 0; i < count; i++) {
        Failure failure = Failure::ExperimentNoMemory;
        ReadStatus status;
        try {
            experiments.emplace_back();
            status = readExperiment(json_object_array_get_idx(json, i), &experiments.back(),
                                    &failure);
        } catch (...) {
            status = ReadStatus::NoMemory;
        }
        if (status == ReadStatus::NoMemory) {
            failure = Failure::ExperimentNoMemory;
        }
        if (status != ReadStatus::Ok) {
            return failed(failure, i + 1);
        }
    }

    std::reverse(experiments.begin(), experiments.end());
    model->experiments = std::move(experiments);
    return Result();
}

}  // namespace vantorell
