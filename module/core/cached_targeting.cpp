/*
 * Targeting through the worker's cache: see cached_targeting.h.
 *
 * Nothing here may throw into nginx: what the standard containers throw when
 * the heap runs out is caught where it can happen and becomes a failure
 * value, or a result that is simply not remembered.
 */
#include "cached_targeting.h"

#include "cached_model.h"
#include "visitor.h"

#include <string>
#include <string_view>
#include <utility>

namespace vantorell {

namespace {

/* URL texts remembered per model, the longest one remembered, and the bytes
 * the remembered results may take together: a URL that many experiments
 * target costs a whole list (24 bytes an experiment), so with thousands of
 * targeted experiments the count alone would let a worker's memo grow by
 * hundreds of megabytes. */
constexpr size_t kMemoEntries = 1024;
constexpr size_t kMemoLongestUrl = 2048;
constexpr size_t kMemoBytes = static_cast<size_t>(8) * 1024 * 1024;

}  // namespace


const UrlMemo::Entry *UrlMemo::find(std::string_view url) noexcept
{
    auto it = index_.find(url);
    if (it == index_.end()) {
        return nullptr;
    }
    order_.splice(order_.begin(), order_, it->second);
    return &*it->second;
}


void UrlMemo::store(std::string_view url, const TargetedList &targeted,
                    const Result &result) noexcept
{
    try {
        Entry entry;
        entry.url.assign(url.data(), url.size());
        entry.result = result;
        if (result.ok()) {
            entry.targeted = targeted;
        }

        size_t cost = costOf(entry);
        if (cost > kMemoBytes) {
            return;
        }
        while (!order_.empty()
               && (order_.size() >= kMemoEntries || bytes_ + cost > kMemoBytes))
        {
            bytes_ -= costOf(order_.back());
            index_.erase(std::string_view(order_.back().url));
            order_.pop_back();
        }

        order_.push_front(std::move(entry));
        try {
            index_.emplace(std::string_view(order_.front().url), order_.begin());
            bytes_ += cost;
        } catch (...) {
            order_.pop_front();
        }

    } catch (...) {
    }
}


size_t UrlMemo::costOf(const Entry &entry) noexcept
{
    return sizeof(Entry) + 64 + entry.url.capacity()
           + entry.targeted.capacity() * sizeof(Targeted);
}


Result targetModel(const ModelHold &hold, const char *url, Allocator *memory,
                   TargetedList *targeted) noexcept
{
    CachedModel &model = hold.cached();

    std::string_view key(url);
    bool memoise = key.size() <= kMemoLongestUrl;

    const UrlMemo::Entry *known = memoise ? model.memo.find(key) : nullptr;

    if (known != nullptr) {
        if (!known->result.ok()) {
            return known->result;
        }

        /* into the list's own room when it has enough (a list the caller
         * keeps from request to request allocates nothing) */
        try {
            targeted->assign(known->targeted.begin(), known->targeted.end());
        } catch (...) {
            Result result;
            result.failure = Failure::TargetedNoMemory;
            return result;
        }
        return Result();
    }

    TargetedList found;
    Result result = targetExperiments(model.model, model.patterns, url, memory, &found);

    if (memoise && result.failure != Failure::TargetedNoMemory) {
        model.memo.store(key, found, result);
    }

    if (result.ok()) {
        *targeted = std::move(found);
    }

    return result;
}


void chooseVariations(const ModelHold &hold, TargetedList *targeted, double number) noexcept
{
    for (Targeted &record : *targeted) {
        const Experiment *experiment = hold.experiment(record.experimentId);
        const Variation *chosen =
            experiment == nullptr ? nullptr : chooseVariation(experiment->variations, number);
        record.variationId = chosen != nullptr ? chosen->id : 0;
    }
}


size_t urlMemoBytes(const ModelHold &hold) noexcept
{
    return hold.cached().memo.bytes();
}

}  // namespace vantorell
