/*
 * The per-worker cache of the experiment model.
 *
 * A worker keeps the model of each data file it has read, with its regular
 * expressions compiled and the targeting results of recent URL texts, for as
 * long as the file stays the same.  A changed file takes effect with the very
 * next request, and every request sees exactly the results that reading the
 * file afresh would give.
 *
 * How a worker learns of a change: its own inotify instance watches the file,
 * its directory and every directory and symbolic link along the path, so a
 * request only reads the instance's queue (no path lookup).  Only when a
 * notification concerns the path is the file checked (its status, and its
 * contents where the status cannot tell), and the watches placed anew.  Where
 * notifications cannot be trusted (no instance or watch to be had, or a file
 * system whose changes may come from another host), every request checks the
 * file's status instead, and its contents while its times lie too close to
 * the moment it was read.
 *
 * How a path is watched is FileWatch's (file_watch.h); what the cache asks of
 * the host goes through a FileSystem (file_system.h), the host's own unless a
 * test gives another.  Targeting through a held model is in
 * cached_targeting.h.
 *
 * A cached model is immutable.  It is shared by the requests of one worker
 * (nginx runs them on one thread) and counted, so a model that a request
 * still holds outlives its replacement.  Nothing is shared between workers.
 */
#ifndef VANTORELL_MODEL_CACHE_H
#define VANTORELL_MODEL_CACHE_H

#include "data_file.h"
#include "failure.h"
#include "file_system.h"
#include "file_watch.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

namespace vantorell {

/* What the cache keeps of one model (cached_model.h). */
struct CachedModel;

/* Gives back one counted reference to a cached model: the cache's own, or a
 * request's.  The last one given back deletes the model. */
struct CachedModelRelease {
    void operator()(CachedModel *model) const noexcept;
};

using CachedModelRef = std::unique_ptr<CachedModel, CachedModelRelease>;

/*
 * What a worker has to tell about a data file, once per state of the file:
 * a problem (the file cannot be used, or its targeting fails for every URL
 * text) not told before for this file as it stands, or a usable file after a
 * problem.  A state is the file's identity (device, inode, size, times; none
 * for a missing file) with the problem's text: requests that meet the same
 * state again tell nothing, a rewrite with a problem tells it again.
 */
struct FileReport {
    enum class Kind : unsigned char {
        None,
        Problem,        /* text */
        Usable,         /* experiments: usable again after a problem */
    };

    Kind kind = Kind::None;
    FailureText text;           /* only with Problem: left unset otherwise */
    size_t experiments = 0;
};

/* One request's hold on a cached model, given back when the hold goes. */
class ModelHold {
public:
    ModelHold() noexcept = default;
    ModelHold(const ModelHold &) = delete;
    ModelHold &operator=(const ModelHold &) = delete;
    ModelHold(ModelHold &&) noexcept = default;
    ModelHold &operator=(ModelHold &&) noexcept = default;

    /* Only while held: after a successful acquire. */
    const Model &model() const noexcept;

    /* The experiment that findExperiment finds, without its walk; null when
     * the model has none of that id.  Only while held. */
    const Experiment *experiment(long id) const noexcept;

    /* Which model of the worker this is: a number no other model of the
     * worker ever has.  Only while held. */
    uint64_t serial() const noexcept;

    /* When the worker built the model: CLOCK_REALTIME seconds, and
     * CLOCK_MONOTONIC nanoseconds, which every process of the host reads
     * alike (what orders the models of several workers).  Only while held. */
    time_t loadedAt() const noexcept;
    uint64_t loadedMonotonic() const noexcept;

    /* What targeting meets on every URL text of this model (none for a
     * usable one).  Only while held. */
    const Result &problem() const noexcept;

    /* The cache's record of the held model, for targeting through the
     * cache (cached_targeting.h).  Only while held. */
    CachedModel &cached() const noexcept { return *cached_; }

    void release() noexcept { cached_.reset(); }

private:
    friend class ModelCache;

    CachedModelRef cached_;
};

/*
 * What a caller that always asks for the same path keeps between its calls,
 * so that the cache need not look that path up among its entries again (a
 * server's data file, kept in its configuration).  Zeroed before the first
 * call; good for that one path.
 */
struct PathSlot {
    const void *cache;          /* the cache that filled it */
    uint64_t generation;        /* the cache's entries as they were then */
    size_t index;               /* the path's entry */
};

/*
 * The models of the data files that one process reads, and how it learns of
 * their changes.  Each worker has its own (the functions below use it); a
 * test makes others, on a FileSystem of its own.
 */
class ModelCache {
public:
    explicit ModelCache(FileSystem &files = hostFileSystem()) noexcept;
    ~ModelCache();
    ModelCache(const ModelCache &) = delete;
    ModelCache &operator=(const ModelCache &) = delete;

    /* Holds the model of the data file at `path` (`length` bytes, then a
     * NUL); the failure of the file otherwise.  *check tells how changes of
     * that path are learnt, *report what this request found new about the
     * file. */
    Result acquire(const char *path, size_t length, PathSlot *slot,
                   ModelHold *hold, ChangeCheck *check,
                   FileReport *report) noexcept;

    /* acquire, when it has nothing to check, read or tell: the slot's entry
     * holds a model that notifications vouch for, and none is queued.  True
     * then, with the model held and *failure null, or, for a file that
     * cannot be used, nothing held and *failure the file's failure (it lives
     * while the cache's entry stays as it is).  False when acquire must go
     * the whole way.  The check is ChangeCheck::Notified, and nothing is
     * reported. */
    bool settled(PathSlot *slot, ModelHold *hold, const Result **failure) noexcept;

    Result acquire(const char *path, ModelHold *hold, ChangeCheck *check,
                   FileReport *report) noexcept
    {
        return acquire(path, std::strlen(path), nullptr, hold, check, report);
    }

    Result acquire(const char *path, ModelHold *hold, ChangeCheck *check) noexcept
    {
        FileReport report;
        return acquire(path, hold, check, &report);
    }

    Result acquire(const char *path, ModelHold *hold) noexcept
    {
        ChangeCheck check;
        return acquire(path, hold, &check);
    }

    /* The system's error behind a check other than notifications (0 if
     * none): what failed, for the line that says so. */
    int changeCheckError(ChangeCheck check) const noexcept;

    /* Drops every cached model and closes the inotify instance; held models
     * live on until their holds go. */
    void clear() noexcept;

private:
    struct Entry;

    Result acquireAfresh(const char *path, size_t length, PathSlot *slot,
                         bool looked, ModelHold *hold, ChangeCheck *check,
                         FileReport *report) noexcept;
    Entry *find(const char *path, size_t length, PathSlot *slot) noexcept;
    Entry *add(const char *path) noexcept;
    void watchAnew() noexcept;

    FileSystem &files_;
    FileWatch watch_;

    /* one entry per data file path; a worker sees very few.  Entries are
     * only added (a slot's index stays good), except by clear(), which
     * starts a new generation: the slots filled before it are not used
     * again. */
    std::vector<Entry> entries_;
    uint64_t generation_ = 1;
};

/* The worker's cache: acquire. */
Result acquireModel(const char *path, size_t length, PathSlot *slot,
                    ModelHold *hold, ChangeCheck *check,
                    FileReport *report) noexcept;

inline Result acquireModel(const char *path, ModelHold *hold, ChangeCheck *check,
                           FileReport *report) noexcept
{
    return acquireModel(path, std::strlen(path), nullptr, hold, check, report);
}

inline Result acquireModel(const char *path, ModelHold *hold, ChangeCheck *check) noexcept
{
    FileReport report;
    return acquireModel(path, hold, check, &report);
}

inline Result acquireModel(const char *path, ModelHold *hold) noexcept
{
    ChangeCheck check;
    return acquireModel(path, hold, &check);
}

/* The worker's cache: settled. */
bool settledModel(PathSlot *slot, ModelHold *hold, const Result **failure) noexcept;

/* The worker's cache: changeCheckError. */
int changeCheckError(ChangeCheck check) noexcept;

/* The worker's cache: clear (a worker that exits). */
void clearModelCache() noexcept;

/* Reads and prepares the data file at `path` as a worker would (its model,
 * its patterns compiled), keeps nothing and watches nothing: for nginx's
 * master, at configuration time.  False, with the problem's text, when a
 * worker could not use the file as it stands (the problems of FileReport).
 * *experiments: how many the model has (0 for a file that gives none). */
bool checkDataFile(const char *path, FailureText *problem, size_t *experiments) noexcept;

inline bool checkDataFile(const char *path, FailureText *problem) noexcept
{
    size_t experiments;
    return checkDataFile(path, problem, &experiments);
}

}  // namespace vantorell

#endif
