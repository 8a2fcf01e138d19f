/*
 * Reads the experiment data file into the heap model of read_configuration.h.
 *
 * Everything here is called from an nginx worker or from C code, so nothing may
 * throw: memory comes from malloc, texts are copied by hand, and every failure
 * is a return value.  A data file of the wrong shape must never reach a json-c
 * array function with a non-array (json-c aborts the process then), so every
 * value is type-checked before it is walked.
 */
#include "read_configuration.h"

#include <json-c/json.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

enum class Order { Reversed, FileOrder };

// A list under construction.  It owns its records until release(), so a
// conversion that stops half way leaves nothing behind.  Records join the list
// as soon as they are allocated (zero-filled), so a half-filled record is
// released with the rest.
template <typename Record, void (*FreeList)(Record *), Order order>
class ListBuilder {
public:
    ListBuilder() noexcept = default;
    ~ListBuilder() { FreeList(head_); }
    ListBuilder(const ListBuilder &) = delete;
    ListBuilder &operator=(const ListBuilder &) = delete;

    // A new zero-filled record at the head or the tail, or null when the heap
    // is exhausted.
    Record *add() noexcept {
        Record *record = static_cast<Record *>(calloc(1, sizeof(Record)));
        if (record == nullptr) {
            return nullptr;
        }
        if (order == Order::Reversed) {
            record->next = head_;
            head_ = record;
        } else {
            *tail_ = record;
            tail_ = &record->next;
        }
        return record;
    }

    Record *release() noexcept {
        Record *head = head_;
        head_ = nullptr;
        tail_ = &head_;
        return head;
    }

private:
    Record *head_ = nullptr;
    Record **tail_ = &head_;
};

// The value of a member, or null when it is absent or JSON null: JSON null has
// no text form, so it is treated like an absent member.
json_object *member(json_object *object, const char *name) noexcept {
    json_object *value = nullptr;
    if (!json_object_is_type(object, json_type_object) ||
        !json_object_object_get_ex(object, name, &value)) {
        return nullptr;
    }
    return value;
}

// The text form of a scalar member.  json-c formats non-string values into a
// buffer it allocates, so a null text for a present value means the heap ran
// out.
ReadStatus readText(json_object *object, const char *name, const char **text) noexcept {
    json_object *value = member(object, name);
    if (value == nullptr) {
        return ReadStatus::Missing;
    }
    *text = json_object_get_string(value);
    return *text == nullptr ? ReadStatus::NoMemory : ReadStatus::Ok;
}

ReadStatus readCopy(json_object *object, const char *name, char **copy) noexcept {
    const char *text = nullptr;
    ReadStatus status = readText(object, name, &text);
    if (status != ReadStatus::Ok) {
        return status;
    }
    size_t size = strlen(text) + 1;
    *copy = static_cast<char *>(malloc(size));
    if (*copy == nullptr) {
        return ReadStatus::NoMemory;
    }
    memcpy(*copy, text, size);
    return ReadStatus::Ok;
}

// Ids may be written as numbers or as strings holding numbers; both read the
// same way, with trailing characters ignored ("17th" is 17, "x" is 0).
ReadStatus readInteger(json_object *object, const char *name, long *number) noexcept {
    const char *text = nullptr;
    ReadStatus status = readText(object, name, &text);
    if (status == ReadStatus::Ok) {
        *number = strtol(text, nullptr, 10);
    }
    return status;
}

ReadStatus readReal(json_object *object, const char *name, double *number) noexcept {
    const char *text = nullptr;
    ReadStatus status = readText(object, name, &text);
    if (status == ReadStatus::Ok) {
        *number = strtod(text, nullptr);
    }
    return status;
}

// Letters such as targeting configurations and match types are the first byte
// of the text; an empty text gives NUL, which targeting rejects later.
ReadStatus readFirstCharacter(json_object *object, const char *name, char *letter) noexcept {
    const char *text = nullptr;
    ReadStatus status = readText(object, name, &text);
    if (status == ReadStatus::Ok) {
        *letter = text[0];
    }
    return status;
}

// Only an upper-case Y starts a yes: "Y", "YES" and "Yes" include, everything
// else (JSON true among it) excludes.
ReadStatus readYes(json_object *object, const char *name, bool *yes) noexcept {
    const char *text = nullptr;
    ReadStatus status = readText(object, name, &text);
    if (status == ReadStatus::Ok) {
        *yes = text[0] == 'Y';
    }
    return status;
}

// A member that must hold a list; any other kind of value counts as absent.
json_object *arrayMember(json_object *object, const char *name) noexcept {
    json_object *value = member(object, name);
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

ReadStatus readCondition(json_object *json, Condition *condition) noexcept {
    READ_OR_RETURN(readFirstCharacter(json, "orOperator", &condition->orOperator));
    READ_OR_RETURN(readInteger(json, "id", &condition->id));
    READ_OR_RETURN(readCopy(json, "url", &condition->url));
    READ_OR_RETURN(readFirstCharacter(json, "matchType", &condition->matchType));
    READ_OR_RETURN(readYes(json, "include", &condition->include));
    return ReadStatus::Ok;
}

ReadStatus readConditions(json_object *jsonConditions, Condition **conditions) noexcept;

ReadStatus readConditionData(json_object *json, ConditionData *group) noexcept {
    READ_OR_RETURN(readFirstCharacter(json, "orOperator", &group->orOperator));
    json_object *jsonConditions = arrayMember(json, "conditions");
    if (jsonConditions == nullptr) {
        return ReadStatus::Missing;
    }
    // A condition lacking a member empties its group's conditions, but the
    // group stays.
    ReadStatus status = readConditions(jsonConditions, &group->conditions);
    return status == ReadStatus::NoMemory ? status : ReadStatus::Ok;
}

ReadStatus readVariation(json_object *json, Variation *variation) noexcept {
    READ_OR_RETURN(readCopy(json, "redirection", &variation->redirectUrl));
    READ_OR_RETURN(readInteger(json, "id", &variation->variationId));
    READ_OR_RETURN(readReal(json, "weight", &variation->weight));
    return ReadStatus::Ok;
}

// Converts a JSON array into a list, element by element; an element that
// cannot be read makes the whole list null.  An empty array gives null too.
template <typename Record, void (*FreeList)(Record *), Order order,
          ReadStatus (*ReadRecord)(json_object *, Record *)>
ReadStatus readList(json_object *array, Record **list) noexcept {
    *list = nullptr;
    if (!json_object_is_type(array, json_type_array)) {
        return ReadStatus::Missing;
    }
    ListBuilder<Record, FreeList, order> builder;
    size_t count = json_object_array_length(array);
    for (size_t i = 0; i < count; i++) {
        Record *record = builder.add();
        if (record == nullptr) {
            return ReadStatus::NoMemory;
        }
        READ_OR_RETURN(ReadRecord(json_object_array_get_idx(array, i), record));
    }
    *list = builder.release();
    return ReadStatus::Ok;
}

ReadStatus readConditions(json_object *jsonConditions, Condition **conditions) noexcept {
    return readList<Condition, freeConditions, Order::FileOrder, readCondition>(
        jsonConditions, conditions);
}

ReadStatus readConditionsData(json_object *jsonConditionsData, ConditionData **groups) noexcept {
    return readList<ConditionData, freeConditionsData, Order::FileOrder, readConditionData>(
        jsonConditionsData, groups);
}

ReadStatus readVariations(json_object *jsonVariations, Variation **variations) noexcept {
    return readList<Variation, freeVariations, Order::Reversed, readVariation>(
        jsonVariations, variations);
}

// A list member of an experiment: absent or not an array fails the load, a
// list that cannot be read is stored as null, and an exhausted heap fails the
// load.
template <typename Record>
ReadStatus readExperimentList(json_object *json, const char *name,
                              ReadStatus (*readRecords)(json_object *, Record **),
                              Record **list) noexcept {
    json_object *array = arrayMember(json, name);
    if (array == nullptr) {
        return ReadStatus::Missing;
    }
    return readRecords(array, list) == ReadStatus::NoMemory ? ReadStatus::NoMemory
                                                            : ReadStatus::Ok;
}

// Reads one experiment; on failure *failure is the text for the member that
// stopped it.
ReadStatus readExperiment(json_object *json, ExperimentConfig *experiment,
                          const char **failure) noexcept {
    static const char baseUrlFailure[] = "Cannot read baseUrl field of experiment number %zu.";
    static const char idFailure[] = "Cannot read experiment id field of experiment number %zu.";
    static const char targetingFailure[] =
        "Cannot read targeting configuration field of experiment number %zu.";
    static const char variationsFailure[] =
        "Cannot read variations field of experiment number %zu.";
    static const char conditionsDataFailure[] =
        "Cannot read conditions data field of experiment number %zu.";

    *failure = baseUrlFailure;
    READ_OR_RETURN(readCopy(json, "baseUrl", &experiment->baseUrl));
    *failure = idFailure;
    READ_OR_RETURN(readInteger(json, "experimentId", &experiment->experimentId));
    *failure = targetingFailure;
    READ_OR_RETURN(readFirstCharacter(json, "targetingConfiguration",
                                      &experiment->targetingConfiguration));
    *failure = variationsFailure;
    READ_OR_RETURN(readExperimentList(json, "variations", readVariations,
                                      &experiment->variations));
    *failure = conditionsDataFailure;
    READ_OR_RETURN(readExperimentList(json, "conditionsData", readConditionsData,
                                      &experiment->conditionsData));
    return ReadStatus::Ok;
}

#undef READ_OR_RETURN

void writeMessage(char *message, const char *text) noexcept {
    if (message != nullptr) {
        snprintf(message, VANTORELL_MESSAGE_SIZE, "%s", text);
    }
}

void writeMessageForPosition(char *message, const char *format, size_t position) noexcept {
    if (message != nullptr) {
        snprintf(message, VANTORELL_MESSAGE_SIZE, format, position);
    }
}

const char cannotReadJsonFile[] = "Cannot read json file.";
const char cannotReadJsonFileNoMemory[] = "Cannot allocate memory for the data file.";
const char dataFileTooLarge[] = "Data file is larger than 64 MiB.";

}  // namespace

ExperimentConfig *getExperimentConfigs(char *message) {
    return readExperimentConfigsFromFile(VANTORELL_DATA_FILE, message);
}

ExperimentConfig *readExperimentConfigsFromFile(const char *path, char *message) {
    size_t length = 0;
    char *text = readDataFile(path, &length, nullptr, message);
    if (text == nullptr) {
        return nullptr;
    }
    ExperimentConfig *experimentConfigs = experimentConfigsFromText(text, length, message);
    free(text);
    return experimentConfigs;
}

char *readDataFile(const char *path, size_t *length, struct stat *identity, char *message) {
    // The file lies in a folder that anyone on the host may write to: a FIFO
    // there would block the worker for good, a device could be endless.  Only
    // a regular file is opened, without waiting, and it is checked again
    // once open in case it was swapped in between.
    struct stat st;
    if (path == nullptr || stat(path, &st) != 0 || !S_ISREG(st.st_mode)) {
        writeMessage(message, cannotReadJsonFile);
        return nullptr;
    }
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd == -1) {
        writeMessage(message, cannotReadJsonFile);
        return nullptr;
    }
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        writeMessage(message, cannotReadJsonFile);
        return nullptr;
    }
    if (static_cast<unsigned long long>(st.st_size) > VANTORELL_DATA_FILE_MAX_SIZE) {
        close(fd);
        writeMessage(message, dataFileTooLarge);
        return nullptr;
    }

    // The file may grow while it is read: read one byte past the bound to
    // notice, and grow the buffer as needed.
    size_t capacity = static_cast<size_t>(st.st_size) + 1;
    size_t used = 0;
    char *text = static_cast<char *>(malloc(capacity + 1));
    while (text != nullptr) {
        if (used == capacity) {
            if (capacity > VANTORELL_DATA_FILE_MAX_SIZE) {
                free(text);
                close(fd);
                writeMessage(message, dataFileTooLarge);
                return nullptr;
            }
            capacity = capacity * 2 > VANTORELL_DATA_FILE_MAX_SIZE + 1
                           ? VANTORELL_DATA_FILE_MAX_SIZE + 1
                           : capacity * 2;
            char *grown = static_cast<char *>(realloc(text, capacity + 1));
            if (grown == nullptr) {
                free(text);
                text = nullptr;
                break;
            }
            text = grown;
        }
        ssize_t n = read(fd, text + used, capacity - used);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            free(text);
            close(fd);
            writeMessage(message, cannotReadJsonFile);
            return nullptr;
        }
        if (n == 0) {
            break;
        }
        used += static_cast<size_t>(n);
    }
    close(fd);
    if (text == nullptr) {
        writeMessage(message, cannotReadJsonFileNoMemory);
        return nullptr;
    }
    if (used > VANTORELL_DATA_FILE_MAX_SIZE) {
        free(text);
        writeMessage(message, dataFileTooLarge);
        return nullptr;
    }
    text[used] = '\0';
    *length = used;
    if (identity != nullptr) {
        *identity = st;
    }
    return text;
}

ExperimentConfig *experimentConfigsFromText(const char *text, size_t length, char *message) {
    // The same parse that json-c gives a file: one JSON value at json-c's
    // default nesting depth; what follows a complete value is not looked at.
    json_tokener *tokener = json_tokener_new_ex(JSON_TOKENER_DEFAULT_DEPTH);
    if (tokener == nullptr) {
        writeMessage(message, cannotReadJsonFileNoMemory);
        return nullptr;
    }
    if (length > static_cast<size_t>(INT32_MAX)) {
        json_tokener_free(tokener);
        writeMessage(message, dataFileTooLarge);
        return nullptr;
    }
    JsonTree tree(json_tokener_parse_ex(tokener, text, static_cast<int>(length)));
    json_tokener_free(tokener);
    if (tree.get() == nullptr) {
        writeMessage(message, cannotReadJsonFile);
        return nullptr;
    }
    return jsonToExperimentConfigs(tree.get(), message);
}

ExperimentConfig *jsonToExperimentConfigs(json_object *jsonExperimentConfigs, char *message) {
    // The file must hold a list of experiments; anything else is as unusable
    // as text that does not parse.
    if (!json_object_is_type(jsonExperimentConfigs, json_type_array)) {
        writeMessage(message, cannotReadJsonFile);
        return nullptr;
    }
    size_t count = json_object_array_length(jsonExperimentConfigs);
    if (count == 0) {
        writeMessage(message, "File is empty.");
        return nullptr;
    }
    // Experiments read before a failing one are released here: the caller
    // gets all of the file or nothing.
    ListBuilder<ExperimentConfig, freeExperimentConfigs, Order::Reversed> experiments;
    static const char outOfMemory[] = "Cannot allocate memory for experiment number %zu.";
    for (size_t i = 0; i < count; i++) {
        const char *failure = outOfMemory;
        ExperimentConfig *experiment = experiments.add();
        ReadStatus status =
            experiment == nullptr
                ? ReadStatus::NoMemory
                : readExperiment(json_object_array_get_idx(jsonExperimentConfigs, i),
                                 experiment, &failure);
        if (status == ReadStatus::NoMemory) {
            failure = outOfMemory;
        }
        if (status != ReadStatus::Ok) {
            writeMessageForPosition(message, failure, i + 1);
            return nullptr;
        }
    }
    return experiments.release();
}

Variation *jsonToVariations(json_object *jsonVariations) {
    Variation *variations = nullptr;
    readVariations(jsonVariations, &variations);
    return variations;
}

ConditionData *jsonToConditionsData(json_object *jsonConditionsData) {
    ConditionData *groups = nullptr;
    readConditionsData(jsonConditionsData, &groups);
    return groups;
}

Condition *jsonToConditions(json_object *jsonConditions) {
    Condition *conditions = nullptr;
    readConditions(jsonConditions, &conditions);
    return conditions;
}

void freeExperimentConfigs(ExperimentConfig *experimentConfigs) {
    while (experimentConfigs != nullptr) {
        ExperimentConfig *next = experimentConfigs->next;
        freeConditionsData(experimentConfigs->conditionsData);
        freeVariations(experimentConfigs->variations);
        free(experimentConfigs->baseUrl);
        free(experimentConfigs);
        experimentConfigs = next;
    }
}

void freeVariations(Variation *variations) {
    while (variations != nullptr) {
        Variation *next = variations->next;
        free(variations->redirectUrl);
        free(variations);
        variations = next;
    }
}

void freeConditionsData(ConditionData *conditionsData) {
    while (conditionsData != nullptr) {
        ConditionData *next = conditionsData->next;
        freeConditions(conditionsData->conditions);
        free(conditionsData);
        conditionsData = next;
    }
}

void freeConditions(Condition *conditions) {
    while (conditions != nullptr) {
        Condition *next = conditions->next;
        free(conditions->url);
        free(conditions);
        conditions = next;
    }
}

ExperimentConfig *getExperimentConfigByExperimentId(ExperimentConfig *experimentConfigs,
                                                    long experimentId) {
    for (ExperimentConfig *experiment = experimentConfigs; experiment != nullptr;
         experiment = experiment->next) {
        if (experiment->experimentId == experimentId) {
            return experiment;
        }
    }
    return nullptr;
}
