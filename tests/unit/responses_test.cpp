// What a response is counted by: its status class and the latency bucket,
// and the quantiles read back from the buckets.

#include <gtest/gtest.h>

#include "responses.h"

#include <cstdint>

using vantorell::kLatencyBuckets;

TEST(Responses, StatusClasses)
{
    struct Row {
        unsigned status;
        bool counted;
        size_t statusClass;
    };
    // 499 is nginx's own for a client that closed first; 0 is a request that
    // got no status at all
    const Row rows[] = {{0, false, 0},   {100, false, 0}, {199, false, 0}, {200, true, 0},
                        {304, true, 1},  {404, true, 2},  {499, true, 2},  {500, true, 3},
                        {599, true, 3},  {600, false, 0}, {999, false, 0}};
    for (const Row &row : rows) {
        size_t c = 99;
        EXPECT_EQ(vantorell::statusClassOf(row.status, &c), row.counted) << row.status;
        if (row.counted) {
            EXPECT_EQ(c, row.statusClass) << row.status;
            EXPECT_EQ(vantorell::statusClassName(c)[0], static_cast<char>('0' + row.status / 100));
        }
    }
}

TEST(Responses, BucketsHoldUpToTheirBound)
{
    const std::pair<uint64_t, size_t> rows[] = {{0, 0},    {5, 0},       {6, 1},      {10, 1},
                                                {11, 2},   {250, 5},     {251, 6},    {1000, 7},
                                                {10000, 10}, {10001, 11}, {UINT64_MAX, 11}};
    for (auto [ms, bucket] : rows) {
        EXPECT_EQ(vantorell::latencyBucket(ms), bucket) << ms;
    }
}

TEST(Responses, QuantilesInterpolateWithinABucket)
{
    uint64_t none[kLatencyBuckets] = {};
    EXPECT_LT(vantorell::latencyQuantile(none, 0.5), 0);

    uint64_t first[kLatencyBuckets] = {10};
    EXPECT_DOUBLE_EQ(vantorell::latencyQuantile(first, 0.5), 0.0025);

    uint64_t second[kLatencyBuckets] = {0, 10};
    EXPECT_DOUBLE_EQ(vantorell::latencyQuantile(second, 0.5), 0.0075);

    // 90 fast and 10 between 0.5 and 1 s: the median is fast, p95 halfway
    uint64_t mixed[kLatencyBuckets] = {90, 0, 0, 0, 0, 0, 0, 10};
    EXPECT_NEAR(vantorell::latencyQuantile(mixed, 0.5), 0.005 * 50 / 90, 1e-15);
    EXPECT_NEAR(vantorell::latencyQuantile(mixed, 0.95), 0.75, 1e-12);

    // past every bound: the highest finite bound, as Prometheus reads it
    uint64_t slow[kLatencyBuckets] = {};
    slow[kLatencyBuckets - 1] = 3;
    EXPECT_DOUBLE_EQ(vantorell::latencyQuantile(slow, 0.5), 10.0);
}
