/*
 * The per-worker model cache: see model_cache.h.
 *
 * Nothing here may throw into nginx: what the standard containers throw when
 * the heap runs out is caught where it can happen and becomes a failure
 * value, or a result that is simply not remembered.
 */
#include "model_cache.h"

#include "visitor.h"

#include <sys/stat.h>
#include <time.h>

#include <list>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vantorell {

namespace {

/*
 * A file whose change time lies less than this before the moment it was read
 * could have been changed again within the same tick of the file system's
 * clock, leaving its status as it was (some file systems count whole
 * seconds).  Until that much time has passed, its contents are compared too.
 */
constexpr time_t kRacySeconds = 2;

/* URL texts remembered per model, and the longest one remembered. */
constexpr size_t kMemoEntries = 1024;
constexpr size_t kMemoLongestUrl = 2048;

struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    struct timespec modified = {0, 0};
    struct timespec changed = {0, 0};

    static FileIdentity of(const struct stat &st)
    {
        FileIdentity id;
        id.device = st.st_dev;
        id.inode = st.st_ino;
        id.size = st.st_size;
        id.modified = st.st_mtim;
        id.changed = st.st_ctim;
        return id;
    }

    bool operator==(const FileIdentity &other) const
    {
        return device == other.device && inode == other.inode
               && size == other.size
               && modified.tv_sec == other.modified.tv_sec
               && modified.tv_nsec == other.modified.tv_nsec
               && changed.tv_sec == other.changed.tv_sec
               && changed.tv_nsec == other.changed.tv_nsec;
    }

    /* Whether a read at `readAt` could miss a later change of the same tick. */
    bool racyAt(const struct timespec &readAt) const
    {
        const struct timespec &latest =
            changed.tv_sec > modified.tv_sec
                    || (changed.tv_sec == modified.tv_sec
                        && changed.tv_nsec >= modified.tv_nsec)
                ? changed : modified;
        return latest.tv_sec + kRacySeconds > readAt.tv_sec;
    }
};

struct timespec now()
{
    struct timespec ts = {0, 0};
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts;
}

/* Targeting results of recent URL texts, least recently used dropped first. */
class UrlMemo {
public:
    struct Result {
        std::string url;
        Status status;
        TargetedList targeted;             /* when targeting succeeded */
    };

    const Result *find(std::string_view url) noexcept
    {
        auto it = index_.find(url);
        if (it == index_.end()) {
            return nullptr;
        }
        order_.splice(order_.begin(), order_, it->second);
        return &*it->second;
    }

    /* Remembers a result; a result that cannot be stored is simply not
     * remembered. */
    void store(std::string_view url, const TargetedList &targeted,
               const Status &status) noexcept
    {
        try {
            Result result;
            result.url.assign(url.data(), url.size());
            result.status = status;
            if (status.ok()) {
                result.targeted = targeted;
            }

            if (order_.size() >= kMemoEntries) {
                index_.erase(std::string_view(order_.back().url));
                order_.pop_back();
            }

            order_.push_front(std::move(result));
            try {
                index_.emplace(std::string_view(order_.front().url),
                               order_.begin());
            } catch (...) {
                order_.pop_front();
            }

        } catch (...) {
        }
    }

private:
    /* the index's keys point into the texts of the list's entries, which
     * never move */
    std::list<Result> order_;
    std::unordered_map<std::string_view, std::list<Result>::iterator> index_;
};

}  // namespace


struct CachedModel {
    /* the cache's own hold and every request's */
    long references = 1;

    /* the model, or the failure of a file that could not be used (the
     * failure's texts, if any, point into nothing but static texts) */
    Model model;
    Status failure;

    CompiledPatterns patterns;

    /* the first experiment of the model with each id, as findExperiment
     * finds it */
    std::unordered_map<long, const Experiment *> byId;

    /* what targeting gave for recent URL texts; a failure's pattern points
     * into `model` */
    UrlMemo memo;
};


namespace {

void unreference(CachedModel *model) noexcept
{
    if (model != nullptr && --model->references == 0) {
        delete model;
    }
}

/* What the cache knows of one data file. */
struct CacheEntry {
    std::string path;
    FileIdentity identity;
    struct timespec readAt = {0, 0};
    bool racy = false;

    /* the contents, kept while the status alone cannot be trusted */
    std::string text;

    CachedModel *model = nullptr;

    void dropText() noexcept { std::string().swap(text); }

    void clear() noexcept
    {
        dropText();
        unreference(model);
        model = nullptr;
    }
};

/* One entry per data file path; a worker sees very few. */
std::vector<CacheEntry> *entries = nullptr;

CacheEntry *findEntry(const char *path) noexcept
{
    if (entries == nullptr) {
        return nullptr;
    }
    for (CacheEntry &entry : *entries) {
        if (entry.path == path) {
            return &entry;
        }
    }
    return nullptr;
}

CacheEntry *addEntry(const char *path) noexcept
{
    try {
        if (entries == nullptr) {
            entries = new std::vector<CacheEntry>();
        }
        entries->emplace_back();
        entries->back().path = path;
        return &entries->back();
    } catch (...) {
        if (entries != nullptr && !entries->empty()
            && entries->back().model == nullptr)
        {
            entries->pop_back();
        }
        return nullptr;
    }
}

Status noMemory() noexcept
{
    Status status;
    status.failure = Failure::FileNoMemory;
    return status;
}

/*
 * Builds the model of a file's contents, with its patterns and index.  Null,
 * with the failure in *status, when the heap runs out; a file that cannot be
 * used gives a model that holds its failure.
 */
CachedModel *buildModel(const std::string &text, Status *status) noexcept
{
    CachedModel *model = new (std::nothrow) CachedModel();
    if (model == nullptr) {
        *status = noMemory();
        return nullptr;
    }

    model->failure = modelFromText(text.data(), text.size(), &model->model);
    if (!model->failure.ok()) {
        if (isNoMemory(model->failure.failure)) {
            *status = model->failure;
            delete model;
            return nullptr;
        }
        return model;
    }

    try {
        for (const Experiment &e : model->model.experiments) {
            model->byId.emplace(e.id, &e);
        }
    } catch (...) {
        delete model;
        *status = noMemory();
        return nullptr;
    }

    if (!model->patterns.compile(model->model)) {
        delete model;
        *status = noMemory();
        return nullptr;
    }

    return model;
}

Status handOut(CachedModel *model, CachedModel **held) noexcept
{
    if (!model->failure.ok()) {
        return model->failure;
    }
    model->references++;
    *held = model;
    return Status();
}

void forget(const char *path) noexcept
{
    CacheEntry *entry = findEntry(path);
    if (entry != nullptr) {
        entry->clear();
    }
}

}  // namespace


const Model &ModelHold::model() const noexcept
{
    return cached_->model;
}


void ModelHold::release() noexcept
{
    unreference(cached_);
    cached_ = nullptr;
}


Status acquireModel(const char *path, ModelHold *hold) noexcept
{
    hold->release();

    struct stat st;
    CacheEntry *entry = findEntry(path);

    if (entry != nullptr && entry->model != nullptr && !entry->racy
        && stat(path, &st) == 0 && S_ISREG(st.st_mode)
        && FileIdentity::of(st) == entry->identity)
    {
        return handOut(entry->model, &hold->cached_);
    }

    /* read the file: a first read, a changed file, or one whose status alone
     * cannot be trusted yet */
    struct timespec readAt = now();
    std::string text;
    struct stat opened;
    Status status = readDataFile(path, &text, &opened);
    if (!status.ok()) {
        if (!isNoMemory(status.failure)) {
            forget(path);
        }
        return status;
    }

    FileIdentity identity = FileIdentity::of(opened);

    if (entry != nullptr && entry->model != nullptr && entry->racy
        && identity == entry->identity && text == entry->text)
    {
        /* the same contents as the cached model's */
        entry->readAt = readAt;
        entry->racy = identity.racyAt(readAt);
        if (!entry->racy) {
            entry->dropText();
        }
        return handOut(entry->model, &hold->cached_);
    }

    CachedModel *model = buildModel(text, &status);
    if (model == nullptr) {
        return status;
    }

    if (entry == nullptr) {
        entry = addEntry(path);
    }
    if (entry == nullptr) {
        /* served, but not remembered */
        status = handOut(model, &hold->cached_);
        unreference(model);
        return status;
    }

    entry->clear();
    entry->identity = identity;
    entry->readAt = readAt;
    entry->racy = identity.racyAt(readAt);
    entry->model = model;
    if (entry->racy) {
        entry->text = std::move(text);
    }

    return handOut(model, &hold->cached_);
}


Status targetModel(const ModelHold &hold, const char *url, ngx_pool_t *pool,
                   TargetedList *targeted) noexcept
{
    CachedModel *model = hold.cached_;

    std::string_view key(url);
    bool memoise = key.size() <= kMemoLongestUrl;

    const UrlMemo::Result *known = memoise ? model->memo.find(key) : nullptr;

    if (known != nullptr) {
        if (!known->status.ok()) {
            return known->status;
        }

        try {
            TargetedList copy(known->targeted);
            *targeted = std::move(copy);
        } catch (...) {
            Status status;
            status.failure = Failure::TargetedNoMemory;
            return status;
        }
        return Status();
    }

    TargetedList result;
    Status status = targetExperiments(model->model, model->patterns, url, pool, &result);

    if (memoise && status.failure != Failure::TargetedNoMemory) {
        model->memo.store(key, result, status);
    }

    if (status.ok()) {
        *targeted = std::move(result);
    }

    return status;
}


void chooseVariations(const ModelHold &hold, TargetedList *targeted, double number) noexcept
{
    const CachedModel *model = hold.cached_;

    for (Targeted &record : *targeted) {
        auto it = model->byId.find(record.experimentId);
        const Variation *chosen =
            it == model->byId.end() ? nullptr : chooseVariation(it->second->variations, number);
        record.variationId = chosen != nullptr ? chosen->id : 0;
    }
}


void clearModelCache() noexcept
{
    if (entries == nullptr) {
        return;
    }
    for (CacheEntry &entry : *entries) {
        entry.clear();
    }
    delete entries;
    entries = nullptr;
}


#ifdef VANTORELL_TESTING

void adoptFileStatusForTesting(const char *path) noexcept
{
    struct stat st;
    CacheEntry *entry = findEntry(path);
    if (entry != nullptr && stat(path, &st) == 0) {
        entry->identity = FileIdentity::of(st);
    }
}

#endif

}  // namespace vantorell
