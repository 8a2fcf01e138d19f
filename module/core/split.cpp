/*
 * The split of an experiment: see split.h.
 */
#include "split.h"

#include <boost/math/policies/policy.hpp>
#include <boost/math/special_functions/gamma.hpp>

#include <cmath>
#include <cstring>

namespace vantorell {

namespace {

/* Boost.Math reports a domain or evaluation problem as a value, never by
 * throwing: nothing may unwind into nginx. */
using NoThrow = boost::math::policies::policy<
    boost::math::policies::domain_error<boost::math::policies::ignore_error>,
    boost::math::policies::pole_error<boost::math::policies::ignore_error>,
    boost::math::policies::overflow_error<boost::math::policies::ignore_error>,
    boost::math::policies::underflow_error<boost::math::policies::ignore_error>,
    boost::math::policies::denorm_error<boost::math::policies::ignore_error>,
    boost::math::policies::evaluation_error<boost::math::policies::ignore_error>,
    boost::math::policies::rounding_error<boost::math::policies::ignore_error>,
    boost::math::policies::indeterminate_result_error<boost::math::policies::ignore_error>>;

/* The upper tail of the chi-square distribution with `freedom` degrees at
 * `statistic`, within [0, 1]. */
double chiSquarePValue(double statistic, size_t freedom) noexcept
{
    double p;
    try {
        p = boost::math::gamma_q(static_cast<double>(freedom) / 2.0, statistic / 2.0, NoThrow());
    } catch (...) {
        p = std::nan("");
    }

    if (!(p >= 0.0)) {
        /* not a number: a statistic past any table is past any doubt */
        return 0.0;
    }
    return p > 1.0 ? 1.0 : p;
}

}  // namespace

bool expectedShares(const std::vector<Variation> &variations, Shares *shares) noexcept
{
    try {
        /* per variation, in the model's order (the file's last first) */
        std::vector<double> each(variations.size(), 0.0);

        /*
         * The number u picks variation i when its running total S(i) exceeds
         * u and no earlier total does: u in [max(0, S(j < i)), min(1, S(i))).
         * `covered` is the part of [0, 1] that earlier variations take; a
         * total that is not a number exceeds nothing.
         */
        double sum = 0.0;
        double covered = 0.0;
        for (size_t i = 0; i < variations.size(); i++) {
            sum += variations[i].weight;
            double reach = sum > 1.0 ? 1.0 : sum;
            if (reach > covered) {
                each[i] = reach - covered;
                covered = reach;
            }
        }

        Shares out;
        out.push_back(Share{0, 1.0 - covered});

        /* the file's order: the model's reversed */
        for (size_t i = variations.size(); i-- > 0; ) {
            const long id = variations[i].id;
            Share *same = nullptr;
            for (Share &s : out) {
                if (s.id == id) {
                    same = &s;
                    break;
                }
            }
            if (same != nullptr) {
                same->share += each[i];
            } else {
                out.push_back(Share{id, each[i]});
            }
        }

        *shares = std::move(out);
        return true;

    } catch (...) {
        return false;
    }
}

uint64_t splitSignature(const std::vector<Variation> &variations) noexcept
{
    /* FNV-1a over the count, then each variation's id and weight bits */
    uint64_t hash = 14695981039346656037ULL;

    auto mix = [&hash](const void *data, size_t size) {
        const unsigned char *p = static_cast<const unsigned char *>(data);
        for (size_t i = 0; i < size; i++) {
            hash ^= p[i];
            hash *= 1099511628211ULL;
        }
    };

    const uint64_t n = variations.size();
    mix(&n, sizeof(n));

    for (const Variation &v : variations) {
        const int64_t id = v.id;
        uint64_t bits;
        std::memcpy(&bits, &v.weight, sizeof(bits));
        mix(&id, sizeof(id));
        mix(&bits, sizeof(bits));
    }

    return hash;
}

SplitCheck checkSplit(const double *expected, const uint64_t *counts, size_t n) noexcept
{
    SplitCheck check;

    double total = 0.0;
    double shareSum = 0.0;
    uint64_t counted = 0;
    size_t classes = 0;
    bool impossible = false;

    for (size_t i = 0; i < n; i++) {
        counted += counts[i];
        if (expected[i] > 0.0) {
            shareSum += expected[i];
            classes++;
        } else if (counts[i] > 0) {
            impossible = true;
        }
    }

    if (counted < kSplitCheckFrom) {
        return check;
    }

    check.checked = true;

    if (impossible) {
        check.pValue = 0.0;
        check.alarm = true;
        return check;
    }

    /* a single variation that can be chosen takes every count */
    if (classes < 2) {
        check.pValue = 1.0;
        return check;
    }

    total = static_cast<double>(counted);

    double chiSquare = 0.0;
    for (size_t i = 0; i < n; i++) {
        if (expected[i] > 0.0) {
            /* the shares add up to 1 but for rounding */
            double want = total * expected[i] / shareSum;
            double diff = static_cast<double>(counts[i]) - want;
            chiSquare += diff * diff / want;
        }
    }

    check.pValue = chiSquarePValue(chiSquare, classes - 1);
    check.alarm = check.pValue < kSplitAlarmBelow;
    return check;
}

ErrorsCheck checkErrors(const uint64_t *responses, const uint64_t *errors, size_t n) noexcept
{
    ErrorsCheck check;

    /* a count taken while another was being added may run ahead */
    auto failedOf = [&](size_t i) { return errors[i] < responses[i] ? errors[i] : responses[i]; };

    uint64_t total = 0;
    uint64_t failed = 0;
    size_t rows = 0;
    for (size_t i = 0; i < n; i++) {
        total += responses[i];
        failed += failedOf(i);
        rows += responses[i] > 0;
    }

    if (total < kErrorsCheckFrom || failed < kErrorsCheckFromErrors) {
        return check;
    }
    check.checked = true;

    /* the worst: the highest share of 5xx, the first of equals */
    check.worstShare = -1.0;
    for (size_t i = 0; i < n; i++) {
        double share = responses[i] > 0 ? static_cast<double>(failedOf(i))
                                              / static_cast<double>(responses[i])
                                        : -1.0;
        if (share > check.worstShare) {
            check.worstShare = share;
            check.worst = i;
        }
    }
    uint64_t others = total - responses[check.worst];
    check.othersShare = others > 0 ? static_cast<double>(failed - failedOf(check.worst))
                                         / static_cast<double>(others)
                                   : 0.0;

    /* one variation answering, or every answer a 5xx: nothing to compare */
    if (rows < 2 || failed == total) {
        return check;
    }

    /* Pearson's chi-square test of independence on variation x (5xx, other),
     * over the variations that answered */
    double N = static_cast<double>(total);
    double columns[2] = {static_cast<double>(failed), static_cast<double>(total - failed)};
    double chiSquare = 0.0;
    for (size_t i = 0; i < n; i++) {
        if (responses[i] == 0) {
            continue;
        }
        double row = static_cast<double>(responses[i]);
        double e = static_cast<double>(failedOf(i));
        double observed[2] = {e, row - e};
        for (int j = 0; j < 2; j++) {
            double want = row * columns[j] / N;
            double diff = observed[j] - want;
            chiSquare += diff * diff / want;
        }
    }

    check.pValue = chiSquarePValue(chiSquare, rows - 1);
    check.alarm = check.pValue < kErrorsAlarmBelow
                  && check.worstShare >= kErrorsAlarmRatio * check.othersShare;
    return check;
}

}  // namespace vantorell
