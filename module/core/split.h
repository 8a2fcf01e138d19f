/*
 * The split of an experiment: the share of visitors that the choice of
 * variations gives each variation, what tells that the split changed, and
 * whether counts per variation fit the shares (the split check), and whether
 * one variation answers with more 5xx than the others (the errors check).
 */
#ifndef VANTORELL_SPLIT_H
#define VANTORELL_SPLIT_H

#include "data_file.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vantorell {

/* The split check speaks from this many counts on, and alarms below this
 * p-value. */
constexpr uint64_t kSplitCheckFrom = 1000;
constexpr double kSplitAlarmBelow = 0.001;

/* One variation id (0: the reference) and the share of the numbers in
 * [0, 1] that the choice gives it. */
struct Share {
    long id = 0;
    double share = 0.0;
};

using Shares = std::vector<Share>;

/*
 * The share of each variation id under chooseVariation, for a number drawn
 * evenly from [0, 1]: the reference (id 0) first, then the variations' ids in
 * the file's order.  The rule is followed as it is, so weights that add up to
 * less than 1 leave the rest to the reference, weights past 1 leave nothing
 * to the variations they cover, and a negative weight only moves the running
 * total.  An id that stands twice (or a variation of id 0, which the request
 * cannot tell from the reference) gets the shares of both in one entry.
 * False when the heap runs out.
 */
bool expectedShares(const std::vector<Variation> &variations, Shares *shares) noexcept;

/* A number that changes whenever the variations' ids, order or weights do:
 * counts of one split cannot be compared with another's shares. */
uint64_t splitSignature(const std::vector<Variation> &variations) noexcept;

/*
 * Pearson's chi-square goodness-of-fit test of counts per variation against
 * the expected shares, both in the order of `expected`.  `checked` from
 * kSplitCheckFrom counts on; then the p-value, and `alarm` below
 * kSplitAlarmBelow.  A count where the share is 0 is a split the choice
 * cannot give: p-value 0.
 */
struct SplitCheck {
    bool checked = false;
    double pValue = 1.0;
    bool alarm = false;
};

SplitCheck checkSplit(const double *expected, const uint64_t *counts, size_t n) noexcept;

/* The errors check speaks from this many responses of which this many are
 * 5xx, and alarms below this p-value when the worst variation's share of 5xx
 * is at least this many times the others' pooled share. */
constexpr uint64_t kErrorsCheckFrom = 1000;
constexpr uint64_t kErrorsCheckFromErrors = 20;
constexpr double kErrorsAlarmBelow = 0.001;
constexpr double kErrorsAlarmRatio = 2.0;

/*
 * Pearson's chi-square test of independence on variation x (5xx, other
 * answer): whether one variation fails more than the others.  `responses`
 * and `errors` (its 5xx) per variation, in the split's order.  `worst` is
 * the index of the variation with the highest share of 5xx (the first of
 * equals), `othersShare` the share of 5xx of all the others' responses
 * pooled.  A variation that has not answered takes no part; with fewer than
 * two that have (or no answer but 5xx) there is nothing to compare: p = 1.
 */
struct ErrorsCheck {
    bool checked = false;
    double pValue = 1.0;
    bool alarm = false;
    size_t worst = 0;
    double worstShare = 0.0;
    double othersShare = 0.0;
};

ErrorsCheck checkErrors(const uint64_t *responses, const uint64_t *errors, size_t n) noexcept;

}  // namespace vantorell

#endif
