/*
 * Targeting: which experiments of the model target a URL text, and which
 * variation of each a visitor's number picks.
 *
 * The functions never log.  They return 1 on a match or success (the
 * experiment's id for targetedExperimentByConditions), 0 on no match, or -1
 * with one NUL-terminated text written into message (VANTORELL_MESSAGE_SIZE
 * bytes).  The nginx pool is used only by the regular-expression matcher.
 */
#ifndef VANTORELL_TARGETING_H
#define VANTORELL_TARGETING_H

#include "read_configuration.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ngx_pool_s ngx_pool_t;

typedef struct TargetedExperiment {
    struct TargetedExperiment *next;
    long experimentId;
    long variationId;   /* 0: the reference */
    char *redirectUrl;  /* heap copy of the chosen variation's text, or NULL */
} TargetedExperiment;

int getTargetedExperiments(ExperimentConfig *experimentConfigs,
                           TargetedExperiment **targetedExperiments,
                           char *url, char *message, ngx_pool_t *pool);
long targetedExperimentByConditions(ExperimentConfig *experimentConfig, char *url,
                                    char *message, ngx_pool_t *pool);
int matchCondition(Condition *condition, char *url, char *message, ngx_pool_t *pool);
int urlMatchRegularExpression(char *url, char *expression, char *message,
                              ngx_pool_t *pool);

int completeTargetedExperimentsWithVariation(ExperimentConfig *experimentConfigs,
                                             TargetedExperiment *targetedExperiments,
                                             double threshold);
void freeTargetedExperiments(TargetedExperiment *targetedExperiments);

#ifdef __cplusplus
}
#endif

#endif
