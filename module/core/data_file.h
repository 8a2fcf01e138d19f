/*
 * The experiments data file and its in-memory model.
 *
 * The model owns everything it holds (standard containers), and is never
 * changed once read: a worker shares it between requests.  The orders are
 * those that targeting and the choice of variations depend on: the
 * experiments and each experiment's variations stand in the REVERSE of the
 * file's order (the file's last first); condition groups and conditions keep
 * the file's order.
 */
#ifndef VANTORELL_DATA_FILE_H
#define VANTORELL_DATA_FILE_H

#include "failure.h"

#include <sys/stat.h>

#include <cstddef>
#include <string>
#include <vector>

struct json_object;

namespace vantorell {

/* The data file read when the configuration names none. */
constexpr char kDefaultDataFile[] = "/tmp/vantorell-data.json";

/* A data file larger than this is refused rather than read into a worker. */
constexpr size_t kDataFileMaxSize = static_cast<size_t>(64) * 1024 * 1024;

struct Condition {
    char orOperator = '\0';
    long id = 0;
    std::string url;            /* the text compared with the URL text */
    char matchType = '\0';      /* 'C' contains, 'E' equals, 'R' regular expression */
    bool include = false;
};

struct ConditionGroup {
    char orOperator = '\0';
    std::vector<Condition> conditions;      /* file order */
};

struct Variation {
    long id = 0;
    double weight = 0.0;
    std::string redirection;
};

struct Experiment {
    long id = 0;
    std::string baseUrl;
    char targetingConfiguration = '\0';
    std::vector<Variation> variations;      /* the file's last first */
    std::vector<ConditionGroup> conditionGroups;   /* file order */
};

struct Model {
    std::vector<Experiment> experiments;    /* the file's last first */
};

/* The members of the file's records, by name. */
namespace member {
constexpr char kBaseUrl[] = "baseUrl";
constexpr char kExperimentId[] = "experimentId";
constexpr char kTargetingConfiguration[] = "targetingConfiguration";
constexpr char kVariations[] = "variations";
constexpr char kConditionsData[] = "conditionsData";
constexpr char kRedirection[] = "redirection";
constexpr char kId[] = "id";
constexpr char kWeight[] = "weight";
constexpr char kOrOperator[] = "orOperator";
constexpr char kConditions[] = "conditions";
constexpr char kUrl[] = "url";
constexpr char kMatchType[] = "matchType";
constexpr char kInclude[] = "include";
}  // namespace member

/* Each kind of record, as the reader reads it: its members in the order it
 * looks them up, stopping at the first it cannot read (absent, JSON null, or
 * anything but a list where a list belongs).  A record it cannot read empties
 * the list it stands in; an experiment it cannot read fails the file.  A
 * scalar member given as an object or a list is read as its JSON text. */
struct RecordMember {
    const char *name;
    bool list;
};

constexpr RecordMember kExperimentMembers[] = {
    {member::kBaseUrl, false},      {member::kExperimentId, false},
    {member::kTargetingConfiguration, false}, {member::kVariations, true},
    {member::kConditionsData, true}};
constexpr RecordMember kVariationMembers[] = {
    {member::kRedirection, false}, {member::kId, false}, {member::kWeight, false}};
constexpr RecordMember kGroupMembers[] = {{member::kOrOperator, false},
                                          {member::kConditions, true}};
constexpr RecordMember kConditionMembers[] = {
    {member::kOrOperator, false}, {member::kId, false}, {member::kUrl, false},
    {member::kMatchType, false},  {member::kInclude, false}};

/* The value of a record's member as the reader sees it: null when the record
 * is not an object, or the member is absent or JSON null. */
json_object *recordMember(json_object *record, const char *name) noexcept;

/* The first experiment in the model's order with this id (so the file's last
 * of duplicates), or null. */
const Experiment *findExperiment(const Model &model, long id) noexcept;

/* Reads a data file whole.  Only a regular file of at most kDataFileMaxSize
 * bytes is read, and nothing here waits on a FIFO or a device.  *identity is
 * the status of what stood at the path (all zeros when nothing did); on
 * success, the file's status as it was opened. */
Result readDataFile(const char *path, std::string *text, struct stat *identity) noexcept;

/* The JSON tree of a data file's text as the reader parses it: one JSON value
 * (what follows it is not looked at), refused when its tree would take far
 * more memory than its text.  The caller puts *tree; null on failure. */
Result parseDataFile(const char *text, size_t length, json_object **tree) noexcept;

/* The model of a data file's text, parsed as above.  On failure *model is
 * left empty: all of the file or nothing. */
Result modelFromText(const char *text, size_t length, Model *model) noexcept;

/* The model of a parsed data file. */
Result modelFromJson(json_object *experiments, Model *model) noexcept;

}  // namespace vantorell

#endif
