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
 * A cached model is immutable.  It is shared by the requests of one worker
 * (nginx runs them on one thread) and counted, so a model that a request
 * still holds outlives its replacement.  Nothing is shared between workers.
 */
#ifndef VANTORELL_MODEL_CACHE_H
#define VANTORELL_MODEL_CACHE_H

#include "data_file.h"
#include "failure.h"
#include "targeting.h"

#include <cstdint>
#include <ctime>

namespace vantorell {

struct CachedModel;

/* How the worker learns that a data file changed. */
enum class ChangeCheck : unsigned char {
    Notified,           /* file-system notifications */
    NoInstance,         /* the status per request: no inotify instance */
    NoWatch,            /* the status per request: a watch could not be placed */
    RemoteFileSystem,   /* the status per request: a network file system */
};

/* Why a change check other than Notified is in force, for a log line;
 * empty for Notified. */
const char *changeCheckText(ChangeCheck check) noexcept;

/* The system's error behind a check other than notifications (0 if none):
 * what failed, for the line that says so. */
int changeCheckError(ChangeCheck check) noexcept;

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
    FailureText text{};
    size_t experiments = 0;
};

/* One request's hold on a cached model, given back when the hold goes. */
class ModelHold {
public:
    ModelHold() noexcept = default;
    ~ModelHold() { release(); }
    ModelHold(const ModelHold &) = delete;
    ModelHold &operator=(const ModelHold &) = delete;

    /* Only while held: after a successful acquireModel. */
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

    void release() noexcept;

private:
    friend Result acquireModel(const char *path, ModelHold *hold, ChangeCheck *check,
                               FileReport *report) noexcept;
    friend Result targetModel(const ModelHold &hold, const char *url, Allocator *memory,
                              TargetedList *targeted) noexcept;
    friend void chooseVariations(const ModelHold &hold, TargetedList *targeted,
                                 double number) noexcept;
    friend size_t memoBytesForTesting(const ModelHold &hold) noexcept;

    CachedModel *cached_ = nullptr;
};

/* Holds the model of the data file at `path`; the failure of the file
 * otherwise.  *check tells how changes of that path are learnt, *report what
 * this request found new about the file. */
Result acquireModel(const char *path, ModelHold *hold, ChangeCheck *check,
                    FileReport *report) noexcept;

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

/* targetExperiments on the held model, with its compiled patterns and its
 * memo of recent URL texts. */
Result targetModel(const ModelHold &hold, const char *url, Allocator *memory,
                   TargetedList *targeted) noexcept;

/* The visitor's variation for every targeted experiment, from the
 * experiment that finding its id in the held model gives. */
void chooseVariations(const ModelHold &hold, TargetedList *targeted, double number) noexcept;

/* Drops every cached model and closes the worker's inotify instance (a
 * worker that exits); held ones live on until their holds go. */
void clearModelCache() noexcept;

}  // namespace vantorell

#endif
