/*
 * The experiment data file and its in-memory model.
 *
 * The model is a set of singly linked heap lists.  Every record and every text
 * is its own malloc block, so C callers can release what they receive.  The
 * experiment list and each variation list hold their elements in the reverse of
 * the file's order; condition groups and conditions keep the file's order.
 */
#ifndef VANTORELL_READ_CONFIGURATION_H
#define VANTORELL_READ_CONFIGURATION_H

#include <stdbool.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

struct json_object;
typedef struct json_object json_object;

/* Size of the error message buffer that callers hand to the portable core. */
#define VANTORELL_MESSAGE_SIZE 100

/* The data file the handler reads. */
#define VANTORELL_DATA_FILE "/tmp/vantorell-data.json"

/* A data file larger than this is refused rather than read into a worker. */
#define VANTORELL_DATA_FILE_MAX_SIZE ((size_t) 64 * 1024 * 1024)

typedef struct Condition {
    struct Condition *next;
    char orOperator;
    long id;
    char *url;
    char matchType;
    bool include;
} Condition;

typedef struct ConditionData {
    struct ConditionData *next;
    char orOperator;
    Condition *conditions;
} ConditionData;

typedef struct Variation {
    struct Variation *next;
    long variationId;
    double weight;
    char *redirectUrl;
} Variation;

typedef struct ExperimentConfig {
    struct ExperimentConfig *next;
    long experimentId;
    char *baseUrl;
    char targetingConfiguration;
    Variation *variations;
    ConditionData *conditionsData;
} ExperimentConfig;

/* Reads VANTORELL_DATA_FILE.  Returns the experiment list, or NULL with one
 * NUL-terminated text written into message (VANTORELL_MESSAGE_SIZE bytes). */
ExperimentConfig *getExperimentConfigs(char *message);

/* The same for any path. */
ExperimentConfig *readExperimentConfigsFromFile(const char *path, char *message);

/* Reads a data file whole into a new heap text (NUL-terminated; *length
 * without the NUL).  Only a regular file of at most VANTORELL_DATA_FILE_MAX_SIZE
 * bytes is read, and nothing here waits on a FIFO or a device.  On success,
 * *identity (when not NULL) is the file's status as it was opened.  Returns
 * NULL with a text in message otherwise. */
struct stat;
char *readDataFile(const char *path, size_t *length, struct stat *identity,
                   char *message);

/* Converts the text of a data file, as readExperimentConfigsFromFile does
 * with the file's contents. */
ExperimentConfig *experimentConfigsFromText(const char *text, size_t length,
                                            char *message);

ExperimentConfig *jsonToExperimentConfigs(json_object *jsonExperimentConfigs, char *message);
Variation *jsonToVariations(json_object *jsonVariations);
ConditionData *jsonToConditionsData(json_object *jsonConditionsData);
Condition *jsonToConditions(json_object *jsonConditions);

void freeExperimentConfigs(ExperimentConfig *experimentConfigs);
void freeVariations(Variation *variations);
void freeConditionsData(ConditionData *conditionsData);
void freeConditions(Condition *conditions);

ExperimentConfig *getExperimentConfigByExperimentId(ExperimentConfig *experimentConfigs,
                                                    long experimentId);

#ifdef __cplusplus
}
#endif

#endif
