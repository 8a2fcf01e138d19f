/*
 * The per-worker model cache: see model_cache.h.
 *
 * Nothing here may throw into nginx: what the standard containers throw when
 * the heap runs out is caught where it can happen and becomes a failure
 * value, or a model that is served but not remembered.
 */
#include "model_cache.h"

#include "cached_model.h"

#include <sys/stat.h>
#include <time.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <utility>

namespace vantorell {

namespace {

/*
 * A file whose times lie within this of the moment it was read could have
 * been changed again within the same tick of the file system's clock, leaving
 * its status as it was (some file systems count whole seconds).  Without
 * notifications, its contents are compared too while that is so.  A time
 * further ahead (a copy that kept the times of a host whose clock runs ahead)
 * is as trustworthy as one further back: any later change sets the change
 * time to now.
 */
constexpr time_t kRacySeconds = 2;

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

    /* Whether a read at `readAt` could miss a later change of the same tick:
     * either time within the window around the read, in either direction. */
    bool racyAt(const struct timespec &readAt) const
    {
        return near(modified, readAt) || near(changed, readAt);
    }

    static bool near(const struct timespec &t, const struct timespec &readAt)
    {
        return t.tv_sec > readAt.tv_sec - kRacySeconds
               && t.tv_sec < readAt.tv_sec + kRacySeconds;
    }
};

struct timespec now()
{
    struct timespec ts = {0, 0};
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts;
}

Result noMemory() noexcept
{
    Result result;
    result.failure = Failure::FileNoMemory;
    return result;
}

/*
 * Builds the model of a file's contents, with its patterns and index.  Null,
 * with the failure in *result, when the heap runs out; a file that cannot be
 * used gives a model that holds its failure.
 */
CachedModelRef buildModel(const std::string &text, Result *result) noexcept
{
    static uint64_t lastSerial;

    CachedModelRef model(new (std::nothrow) CachedModel());
    if (model == nullptr) {
        *result = noMemory();
        return nullptr;
    }

    struct timespec wall = now();
    struct timespec mono = {0, 0};
    clock_gettime(CLOCK_MONOTONIC, &mono);
    model->serial = ++lastSerial;
    model->loadedAt = wall.tv_sec;
    model->loadedMonotonic = static_cast<uint64_t>(mono.tv_sec) * 1000000000u
                             + static_cast<uint64_t>(mono.tv_nsec);

    model->failure = modelFromText(text.data(), text.size(), &model->model);
    if (!model->failure.ok()) {
        if (isNoMemory(model->failure.failure)) {
            *result = model->failure;
            return nullptr;
        }
        return model;
    }

    try {
        for (const Experiment &e : model->model.experiments) {
            model->byId.emplace(e.id, &e);
        }
    } catch (...) {
        *result = noMemory();
        return nullptr;
    }

    if (!model->patterns.compile(model->model)) {
        *result = noMemory();
        return nullptr;
    }

    model->targetingFailure = targetingFailure(model->model, model->patterns);

    return model;
}

/* The problem a worker has with a built model: its file's, or its
 * targeting's; none for a usable model. */
const Result &problemOf(const CachedModel &model) noexcept
{
    return model.failure.ok() ? model.targetingFailure : model.failure;
}

/* One more counted reference to a cached model. */
CachedModelRef share(const CachedModelRef &model) noexcept
{
    model->references++;
    return CachedModelRef(model.get());
}

/* A usable model into the request's hold; the failure of a file that could
 * not be used otherwise. */
Result handOut(const CachedModelRef &model, CachedModelRef *held) noexcept
{
    if (!model->failure.ok()) {
        return model->failure;
    }
    *held = share(model);
    return Result();
}

}  // namespace


void CachedModelRelease::operator()(CachedModel *model) const noexcept
{
    if (--model->references == 0) {
        delete model;
    }
}


/* What the cache knows of one data file. */
struct ModelCache::Entry {
    std::string path;
    FileIdentity identity;
    struct timespec readAt = {0, 0};
    bool racy = false;

    /* the contents, kept while the status alone cannot be trusted and no
     * notification would tell a change */
    std::string text;
    bool hasText = false;

    /* how changes are learnt; placed: the watches were placed (or could
     * not be) */
    ChangeCheck check = ChangeCheck::Notified;
    bool placed = false;

    /* a notification may concern the file since it was last checked */
    bool stale = true;

    /* the state of the file last told (FileReport); kept when the model
     * goes, unlike everything above */
    bool told = false;
    bool toldUsable = false;
    FileIdentity toldIdentity;
    FailureText toldText{};

    CachedModelRef model;

    void dropText() noexcept
    {
        std::string().swap(text);
        hasText = false;
    }

    void clear() noexcept
    {
        dropText();
        model.reset();
    }

    /*
     * A state of the file that a request met, read afresh (never one the
     * cache merely handed out again): a problem is told when this state of
     * the file was not the last told, a usable file when a problem was.
     */
    void observe(const FileIdentity &seen, const Result &problem, size_t experiments,
                 FileReport *report) noexcept
    {
        if (problem.ok()) {
            if (told && !toldUsable) {
                report->kind = FileReport::Kind::Usable;
                report->experiments = experiments;
            }
            told = true;
            toldUsable = true;
            toldIdentity = seen;
            return;
        }

        FailureText problemText = failureText(problem);
        if (told && !toldUsable && toldIdentity == seen
            && strcmp(toldText.text, problemText.text) == 0)
        {
            return;
        }

        report->kind = FileReport::Kind::Problem;
        report->text = problemText;
        told = true;
        toldUsable = false;
        toldIdentity = seen;
        toldText = problemText;
    }

    /*
     * While notifications are in force, a file that cannot be read (missing,
     * unreadable, not a regular file, too large) stays so until an event
     * about its path: remember its failure, so that a site without a usable
     * data file does not try the path on every request.  Without
     * notifications the path is tried every time, as its status is.
     */
    void rememberUnusable(bool notified, const Result &failure) noexcept
    {
        if (!notified) {
            return;
        }
        CachedModelRef failed(new (std::nothrow) CachedModel());
        if (failed == nullptr) {
            return;
        }
        failed->failure = failure;
        model = std::move(failed);
        identity = FileIdentity();      /* no file has it: an event re-reads */
        stale = false;
    }
};


ModelCache::ModelCache(FileSystem &files) noexcept
    : files_(files), watch_(files)
{
}


ModelCache::~ModelCache()
{
    clear();
}


/* The entry of `path`, made if there is none (null when the heap runs out:
 * the model is then served, not remembered); the slot remembers it. */
ModelCache::Entry *ModelCache::find(const char *path, size_t length,
                                    PathSlot *slot) noexcept
{
    if (slot != nullptr && slot->cache == this && slot->generation == generation_
        && slot->index < entries_.size())
    {
        return &entries_[slot->index];
    }

    Entry *found = nullptr;
    for (Entry &entry : entries_) {
        if (entry.path.size() == length
            && std::memcmp(entry.path.data(), path, length) == 0)
        {
            found = &entry;
            break;
        }
    }
    if (found == nullptr) {
        found = add(path);
    }
    if (found != nullptr && slot != nullptr) {
        slot->cache = this;
        slot->generation = generation_;
        slot->index = static_cast<size_t>(found - entries_.data());
    }
    return found;
}


/* A new entry for `path`; null when the heap runs out (the model is then
 * served, not remembered). */
ModelCache::Entry *ModelCache::add(const char *path) noexcept
{
    size_t before = entries_.size();
    try {
        entries_.emplace_back();
        entries_.back().path = path;
        return &entries_.back();
    } catch (...) {
        /* only the entry made here, if it was: a failed emplace_back leaves
         * the entries as they were */
        if (entries_.size() > before) {
            entries_.pop_back();
        }
        return nullptr;
    }
}


/* Places every path's watches anew, after a notification: the paths may
 * resolve differently now, and each file must be checked. */
void ModelCache::watchAnew() noexcept
{
    watch_.unwatchAll();
    for (Entry &entry : entries_) {
        if (entry.placed) {
            entry.check = watch_.watch(entry.path.c_str());
        }
        entry.stale = true;
    }
}


/*
 * Nearly every request finds its path's entry through its slot, with a model
 * that notifications vouch for and no notification queued: that case is
 * settled here, in few instructions.  A queued change is taken in (the
 * entries are marked to be checked) before the whole way is gone.
 */
bool ModelCache::settled(PathSlot *slot, ModelHold *hold, const Result **failure) noexcept
{
    if (!watch_.watching()) {
        return false;
    }
    if (watch_.changed()) {
        watchAnew();
        return false;
    }
    if (slot->cache != this || slot->generation != generation_
        || slot->index >= entries_.size())
    {
        return false;
    }
    const Entry &entry = entries_[slot->index];
    if (entry.model == nullptr || !entry.placed
        || entry.check != ChangeCheck::Notified || entry.stale)
    {
        return false;
    }
    hold->release();
    if (!entry.model->failure.ok()) {
        *failure = &entry.model->failure;
        return true;
    }
    hold->cached_ = share(entry.model);
    *failure = nullptr;
    return true;
}


Result ModelCache::acquire(const char *path, size_t length, PathSlot *slot,
                           ModelHold *hold, ChangeCheck *check,
                           FileReport *report) noexcept
{
    report->kind = FileReport::Kind::None;      /* its text is set with a kind */
    report->experiments = 0;

    bool looked = false;
    if (slot != nullptr) {
        const Result *failure;
        if (settled(slot, hold, &failure)) {
            *check = ChangeCheck::Notified;
            return failure != nullptr ? *failure : Result();
        }
        looked = watch_.watching();     /* settled() read the queue */
    }

    return acquireAfresh(path, length, slot, looked, hold, check, report);
}


/* acquire, the whole way; `looked`: the queue of notifications was read. */
Result ModelCache::acquireAfresh(const char *path, size_t length, PathSlot *slot,
                                 bool looked, ModelHold *hold, ChangeCheck *check,
                                 FileReport *report) noexcept
{
    hold->release();
    *check = ChangeCheck::Notified;

    if (!looked && watch_.watching() && watch_.changed()) {
        watchAnew();
    }

    Entry *entry = find(path, length, slot);   /* null: served, not remembered */
    if (entry != nullptr && entry->placed && entry->check == ChangeCheck::NoInstance
        && watch_.retryDue())
    {
        entry->placed = false;      /* the instance may be made now */
    }
    if (entry != nullptr && !entry->placed) {
        /* before the file is read: a change after that read is notified */
        entry->check = watch_.watch(path);
        entry->placed = true;
        entry->stale = true;
    }
    bool notified = false;
    if (entry != nullptr) {
        *check = entry->check;
        notified = entry->check == ChangeCheck::Notified;
    }

    if (entry != nullptr && entry->model != nullptr) {
        if (notified && !entry->stale) {
            return handOut(entry->model, &hold->cached_);
        }
        struct stat st;
        if (!entry->racy && files_.status(path, &st) == 0 && S_ISREG(st.st_mode)
            && FileIdentity::of(st) == entry->identity)
        {
            entry->stale = false;
            return handOut(entry->model, &hold->cached_);
        }
    }

    /* read the file: a first read, a changed file, or one whose status alone
     * cannot be trusted */
    struct timespec readAt = now();
    std::string text;
    struct stat opened;
    Result result = files_.readDataFile(path, &text, &opened);
    if (!result.ok()) {
        if (!isPassing(result.failure) && entry != nullptr) {
            entry->clear();
            entry->rememberUnusable(notified, result);
            entry->observe(FileIdentity::of(opened), result, 0, report);
        }
        return result;
    }

    FileIdentity identity = FileIdentity::of(opened);

    if (entry != nullptr && entry->model != nullptr && entry->hasText
        && identity == entry->identity && text == entry->text)
    {
        /* the same contents as the cached model's */
        entry->readAt = readAt;
        entry->racy = identity.racyAt(readAt);
        if (!entry->racy || notified) {
            entry->dropText();
        }
        entry->stale = false;
        return handOut(entry->model, &hold->cached_);
    }

    CachedModelRef model = buildModel(text, &result);
    if (model == nullptr) {
        return result;
    }

    if (entry == nullptr) {
        /* served, but not remembered */
        return handOut(model, &hold->cached_);
    }

    entry->observe(identity, problemOf(*model), model->model.experiments.size(), report);

    entry->clear();
    entry->identity = identity;
    entry->readAt = readAt;
    entry->racy = identity.racyAt(readAt);
    entry->stale = false;
    if (entry->racy && !notified) {
        entry->text = std::move(text);
        entry->hasText = true;
    }
    entry->model = std::move(model);

    return handOut(entry->model, &hold->cached_);
}


int ModelCache::changeCheckError(ChangeCheck check) const noexcept
{
    if (check != ChangeCheck::NoInstance && check != ChangeCheck::NoWatch) {
        return 0;
    }
    return watch_.error();
}


void ModelCache::clear() noexcept
{
    watch_.close();
    std::vector<Entry>().swap(entries_);
    generation_++;
}


const Model &ModelHold::model() const noexcept
{
    return cached_->model;
}


const Experiment *ModelHold::experiment(long id) const noexcept
{
    auto it = cached_->byId.find(id);
    return it == cached_->byId.end() ? nullptr : it->second;
}


uint64_t ModelHold::serial() const noexcept
{
    return cached_->serial;
}


time_t ModelHold::loadedAt() const noexcept
{
    return cached_->loadedAt;
}


uint64_t ModelHold::loadedMonotonic() const noexcept
{
    return cached_->loadedMonotonic;
}


const Result &ModelHold::problem() const noexcept
{
    return cached_->targetingFailure;
}


namespace {

/* The worker's own cache, on the host's file system.  Made on first use:
 * nginx's master never makes it. */
ModelCache &workerCache() noexcept
{
    static ModelCache cache;
    return cache;
}

}  // namespace


Result acquireModel(const char *path, size_t length, PathSlot *slot,
                    ModelHold *hold, ChangeCheck *check,
                    FileReport *report) noexcept
{
    return workerCache().acquire(path, length, slot, hold, check, report);
}


bool settledModel(PathSlot *slot, ModelHold *hold, const Result **failure) noexcept
{
    return workerCache().settled(slot, hold, failure);
}


int changeCheckError(ChangeCheck check) noexcept
{
    return workerCache().changeCheckError(check);
}


void clearModelCache() noexcept
{
    workerCache().clear();
}


bool checkDataFile(const char *path, FailureText *problem, size_t *experiments) noexcept
{
    std::string text;
    struct stat opened;
    *experiments = 0;
    Result result = readDataFile(path, &text, &opened);
    if (result.ok()) {
        CachedModelRef model = buildModel(text, &result);
        if (model != nullptr) {
            /* the text before the model goes: a pattern's lives with it */
            bool usable = problemOf(*model).ok();
            if (!usable) {
                *problem = failureText(problemOf(*model));
            }
            *experiments = model->model.experiments.size();
            return usable;
        }
    }
    *problem = failureText(result);
    return false;
}

}  // namespace vantorell
