/*
 * What the worker's model cache keeps of one model: built and counted by the
 * cache (model_cache.cpp), read by targeting through the cache
 * (cached_targeting.cpp), which also remembers there what recent URL texts
 * gave.  For the core's own files: the nginx layer holds a model through a
 * ModelHold only.
 */
#ifndef VANTORELL_CACHED_MODEL_H
#define VANTORELL_CACHED_MODEL_H

#include "data_file.h"
#include "failure.h"
#include "targeting.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>

namespace vantorell {

/* Targeting results of recent URL texts, least recently used dropped first;
 * bounded by count and by bytes (cached_targeting.cpp). */
class UrlMemo {
public:
    struct Entry {
        std::string url;
        Result result;
        TargetedList targeted;             /* when targeting succeeded */
    };

    /* The entry of `url`, now the most recently used; null if none. */
    const Entry *find(std::string_view url) noexcept;

    /* Remembers a result; a result that cannot be stored is simply not
     * remembered. */
    void store(std::string_view url, const TargetedList &targeted,
               const Result &result) noexcept;

    size_t bytes() const noexcept { return bytes_; }

private:
    /* what an entry holds on the heap, with the list's and the index's
     * nodes */
    static size_t costOf(const Entry &entry) noexcept;

    size_t bytes_ = 0;

    /* the index's keys point into the texts of the list's entries, which
     * never move */
    std::list<Entry> order_;
    std::unordered_map<std::string_view, std::list<Entry>::iterator> index_;
};

struct CachedModel {
    /* the cache's own hold and every request's */
    long references = 1;

    /* which model, and when it was built (ModelHold) */
    uint64_t serial = 0;
    time_t loadedAt = 0;
    uint64_t loadedMonotonic = 0;

    /* the model, or the failure of a file that could not be used (the
     * failure's texts, if any, point into nothing but static texts) */
    Model model;
    Result failure;

    CompiledPatterns patterns;

    /* what targeting meets on every URL text, if anything */
    Result targetingFailure;

    /* the first experiment of the model with each id, as findExperiment
     * finds it */
    std::unordered_map<long, const Experiment *> byId;

    /* what targeting gave for recent URL texts; a failure's pattern points
     * into `model` */
    UrlMemo memo;
};

}  // namespace vantorell

#endif
