/*
 * The per-worker model cache: see model_cache.h.
 *
 * Nothing here may throw into nginx: every entry point catches what the
 * standard containers may throw and falls back to reading the file for the
 * request alone, which gives the same results.
 */
#include "model_cache.h"
#include "targeting_internal.h"

#include <sys/stat.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
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

const char kNoMemoryForRecord[] = "Cannot allocate memory for targeted experiment.";

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
        bool failed = false;
        std::vector<long> experimentIds;   /* in the result list's order */
        std::string message;               /* when failed */
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
    void store(std::string_view url, const TargetedExperiment *targeted,
               bool failed, const char *message) noexcept
    {
        try {
            Result result;
            result.url.assign(url.data(), url.size());
            result.failed = failed;
            if (failed) {
                result.message.assign(message);
            } else {
                for (const TargetedExperiment *t = targeted; t != nullptr;
                     t = t->next)
                {
                    result.experimentIds.push_back(t->experimentId);
                }
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

    /* the model, or null when the file could not be used */
    ExperimentConfig *experiments = nullptr;
    char failure[VANTORELL_MESSAGE_SIZE] = {0};

    CompiledPatterns patterns;

    /* the first experiment of the list with each id, as the lookup by id finds */
    std::unordered_map<long, const ExperimentConfig *> byId;

    UrlMemo memo;

    CachedModel() = default;
    CachedModel(const CachedModel &) = delete;
    CachedModel &operator=(const CachedModel &) = delete;
    ~CachedModel() { freeExperimentConfigs(experiments); }
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
    char *text = nullptr;
    size_t length = 0;

    CachedModel *model = nullptr;

    void dropText() noexcept
    {
        free(text);
        text = nullptr;
        length = 0;
    }

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

/* Failures that say nothing about the file and must not be remembered. */
bool transient(const char *text) noexcept
{
    return strncmp(text, "Cannot allocate memory", 22) == 0;
}

/*
 * Builds the model of a file's contents, with its patterns and index.  Null
 * when the heap runs out; a file that cannot be used gives a model without
 * experiments and with the reader's text.
 */
CachedModel *buildModel(const char *text, size_t length) noexcept
{
    CachedModel *model = new (std::nothrow) CachedModel();
    if (model == nullptr) {
        return nullptr;
    }

    model->experiments = experimentConfigsFromText(text, length, model->failure);
    if (model->experiments == nullptr) {
        if (transient(model->failure)) {
            delete model;
            return nullptr;
        }
        return model;
    }

    if (!model->patterns.compile(model->experiments)) {
        delete model;
        return nullptr;
    }

    try {
        for (const ExperimentConfig *e = model->experiments; e != nullptr;
             e = e->next)
        {
            model->byId.emplace(e->experimentId, e);
        }
    } catch (...) {
        delete model;
        return nullptr;
    }

    return model;
}

/* Hands the request its own model when the cache cannot serve it. */
bool acquireUncached(const char *text, size_t length, ModelHandle *handle,
                     char *message) noexcept
{
    handle->cached = nullptr;
    handle->experiments = experimentConfigsFromText(text, length, message);
    return handle->experiments != nullptr;
}

bool handOut(CachedModel *model, ModelHandle *handle, char *message) noexcept
{
    if (model->experiments == nullptr) {
        memcpy(message, model->failure, VANTORELL_MESSAGE_SIZE);
        return false;
    }
    model->references++;
    handle->cached = model;
    handle->experiments = model->experiments;
    return true;
}

void forget(const char *path) noexcept
{
    CacheEntry *entry = findEntry(path);
    if (entry != nullptr) {
        entry->clear();
    }
}

}  // namespace


bool acquireModel(const char *path, ModelHandle *handle, char *message) noexcept
{
    handle->experiments = nullptr;
    handle->cached = nullptr;

    struct stat st;
    CacheEntry *entry = findEntry(path);

    if (entry != nullptr && entry->model != nullptr && stat(path, &st) == 0
        && S_ISREG(st.st_mode) && FileIdentity::of(st) == entry->identity)
    {
        if (!entry->racy) {
            return handOut(entry->model, handle, message);
        }
    }

    /* read the file: a first read, a changed file, or one whose status alone
     * cannot be trusted yet */
    struct timespec readAt = now();
    size_t length = 0;
    struct stat opened;
    char *text = readDataFile(path, &length, &opened, message);
    if (text == nullptr) {
        if (!transient(message)) {
            forget(path);
        }
        return false;
    }

    FileIdentity identity = FileIdentity::of(opened);

    if (entry != nullptr && entry->model != nullptr && entry->racy
        && identity == entry->identity && entry->text != nullptr
        && length == entry->length && memcmp(text, entry->text, length) == 0)
    {
        /* the same contents as the cached model's */
        entry->readAt = readAt;
        entry->racy = identity.racyAt(readAt);
        if (!entry->racy) {
            entry->dropText();
        }
        free(text);
        return handOut(entry->model, handle, message);
    }

    CachedModel *model = buildModel(text, length);
    if (model == nullptr) {
        bool ok = acquireUncached(text, length, handle, message);
        free(text);
        return ok;
    }

    if (entry == nullptr) {
        entry = addEntry(path);
    }
    if (entry == nullptr) {
        bool ok = handOut(model, handle, message);
        unreference(model);
        free(text);
        return ok;
    }

    entry->clear();
    entry->identity = identity;
    entry->readAt = readAt;
    entry->racy = identity.racyAt(readAt);
    entry->model = model;
    if (entry->racy) {
        entry->text = text;
        entry->length = length;
    } else {
        free(text);
    }

    return handOut(model, handle, message);
}


int targetModel(ModelHandle *handle, TargetedExperiment **targetedExperiments,
                char *url, char *message, ngx_pool_t *pool) noexcept
{
    CachedModel *model = handle->cached;

    if (model == nullptr) {
        return getTargetedExperiments(handle->experiments, targetedExperiments,
                                      url, message, pool);
    }

    std::string_view key(url);
    bool memoise = key.size() <= kMemoLongestUrl;

    const UrlMemo::Result *known = memoise ? model->memo.find(key) : nullptr;

    if (known != nullptr) {
        if (known->failed) {
            snprintf(message, VANTORELL_MESSAGE_SIZE, "%s", known->message.c_str());
            return -1;
        }

        TargetedExperiment *head = nullptr;
        TargetedExperiment **tail = &head;
        for (long id : known->experimentIds) {
            TargetedExperiment *record = static_cast<TargetedExperiment *>(
                malloc(sizeof(TargetedExperiment)));
            if (record == nullptr) {
                freeTargetedExperiments(head);
                snprintf(message, VANTORELL_MESSAGE_SIZE, "%s", kNoMemoryForRecord);
                return -1;
            }
            record->next = nullptr;
            record->experimentId = id;
            record->variationId = 0;
            record->redirectUrl = nullptr;
            *tail = record;
            tail = &record->next;
        }

        *targetedExperiments = head;
        return 1;
    }

    TargetedExperiment *result = nullptr;
    int rc = getTargetedExperimentsCompiled(handle->experiments, &result, url,
                                            message, pool, model->patterns);

    if (memoise && !(rc == -1 && strcmp(message, kNoMemoryForRecord) == 0)) {
        model->memo.store(key, result, rc == -1, message);
    }

    if (rc == 1) {
        *targetedExperiments = result;
    }

    return rc;
}


int completeModel(ModelHandle *handle, TargetedExperiment *targetedExperiments,
                  double threshold) noexcept
{
    CachedModel *model = handle->cached;

    if (model == nullptr) {
        return completeTargetedExperimentsWithVariation(handle->experiments,
                                                        targetedExperiments,
                                                        threshold);
    }

    for (TargetedExperiment *record = targetedExperiments; record != nullptr;
         record = record->next)
    {
        auto it = model->byId.find(record->experimentId);
        const ExperimentConfig *experiment =
            it == model->byId.end() ? nullptr : it->second;

        if (!completeTargetedExperiment(experiment, record, threshold)) {
            return 0;
        }
    }

    return 1;
}


void releaseModel(ModelHandle *handle) noexcept
{
    if (handle->cached != nullptr) {
        unreference(handle->cached);
    } else {
        freeExperimentConfigs(handle->experiments);
    }

    handle->cached = nullptr;
    handle->experiments = nullptr;
}


void adoptFileStatusForTesting(const char *path) noexcept
{
    struct stat st;
    CacheEntry *entry = findEntry(path);
    if (entry != nullptr && stat(path, &st) == 0) {
        entry->identity = FileIdentity::of(st);
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

}  // namespace vantorell
