/*
 * What a variation's responses are counted by: the class of the final status
 * and the time the request took, in a histogram of fixed buckets.
 */
#ifndef VANTORELL_RESPONSES_H
#define VANTORELL_RESPONSES_H

#include <cstddef>
#include <cstdint>

namespace vantorell {

/* 2xx, 3xx, 4xx, 5xx: texts and counters keep this order. */
constexpr size_t kStatusClasses = 4;
constexpr size_t kServerErrorClass = 3;

/* "2xx" ... "5xx". */
const char *statusClassName(size_t statusClass) noexcept;

/* The class of a final status; false for one that is not counted: an
 * interim 1xx, or none at all (0, as nginx logs "000"). */
bool statusClassOf(unsigned status, size_t *statusClass) noexcept;

/* The histogram's upper bounds in seconds, each bucket holding the requests
 * that took at most its bound and more than the one before; the last bucket
 * (+Inf) takes the rest. */
constexpr size_t kLatencyBuckets = 12;
constexpr size_t kLatencyBounds = kLatencyBuckets - 1;
extern const double kLatencyBoundSeconds[kLatencyBounds];

/* The bucket of a request that took `milliseconds` (nginx's $request_time
 * is kept to the millisecond). */
size_t latencyBucket(uint64_t milliseconds) noexcept;

/*
 * The q-quantile (0 < q < 1) of the requests in `buckets` (per bucket, not
 * cumulative), by linear interpolation inside the bucket it falls in, as
 * Prometheus's histogram_quantile does: within the first bucket from 0, and
 * the highest finite bound for the +Inf bucket.  Negative without requests.
 */
double latencyQuantile(const uint64_t *buckets, double q) noexcept;

}  // namespace vantorell

#endif
