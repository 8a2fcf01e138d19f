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

    double p;
    try {
        p = boost::math::gamma_q(static_cast<double>(classes - 1) / 2.0, chiSquare / 2.0,
                                 NoThrow());
    } catch (...) {
        p = std::nan("");
    }

    if (!(p >= 0.0)) {
        /* not a number: a statistic past any table is past any doubt */
        p = 0.0;
    } else if (p > 1.0) {
        p = 1.0;
    }

    check.pValue = p;
    check.alarm = p < kSplitAlarmBelow;
    return check;
}

}  // namespace vantorell
