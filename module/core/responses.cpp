/*
 * Status classes and the latency histogram: see responses.h.
 */
#include "responses.h"

namespace vantorell {

const double kLatencyBoundSeconds[kLatencyBounds] = {
    0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10,
};

namespace {

/* the bounds in milliseconds, which $request_time is counted in */
constexpr uint64_t kBoundMilliseconds[kLatencyBounds] = {
    5, 10, 25, 50, 100, 250, 500, 1000, 2500, 5000, 10000,
};

}  // namespace

const char *statusClassName(size_t statusClass) noexcept
{
    static const char *const names[kStatusClasses] = {"2xx", "3xx", "4xx", "5xx"};
    return statusClass < kStatusClasses ? names[statusClass] : "";
}

bool statusClassOf(unsigned status, size_t *statusClass) noexcept
{
    if (status < 200 || status > 599) {
        return false;
    }
    *statusClass = status / 100 - 2;
    return true;
}

size_t latencyBucket(uint64_t milliseconds) noexcept
{
    size_t i = 0;
    while (i < kLatencyBounds && milliseconds > kBoundMilliseconds[i]) {
        i++;
    }
    return i;
}

double latencyQuantile(const uint64_t *buckets, double q) noexcept
{
    uint64_t count = 0;
    for (size_t i = 0; i < kLatencyBuckets; i++) {
        count += buckets[i];
    }
    if (count == 0) {
        return -1.0;
    }

    double rank = q * static_cast<double>(count);
    uint64_t below = 0;
    for (size_t i = 0; i < kLatencyBuckets; i++) {
        uint64_t upTo = below + buckets[i];
        if (buckets[i] > 0 && static_cast<double>(upTo) >= rank) {
            if (i == kLatencyBounds) {
                return kLatencyBoundSeconds[kLatencyBounds - 1];
            }
            double low = i == 0 ? 0.0 : kLatencyBoundSeconds[i - 1];
            double high = kLatencyBoundSeconds[i];
            double within = (rank - static_cast<double>(below)) / static_cast<double>(buckets[i]);
            return low + (high - low) * within;
        }
        below = upTo;
    }
    return kLatencyBoundSeconds[kLatencyBounds - 1];
}

}  // namespace vantorell
