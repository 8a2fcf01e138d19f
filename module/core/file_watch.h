/*
 * Watching the paths of data files for changes, with inotify.
 *
 * Every path is watched from the root down, as the kernel resolves it: each
 * directory it passes through for the name looked up next in it (a rename,
 * deletion or creation of that name), each symbolic link met on the way (its
 * target becomes part of the path), and the file itself (its contents and
 * status, whichever name it was written through).  A watch is placed before
 * the name under it is looked up, and the file is read only after all are
 * placed, so a change is either seen by that read or notified.  After any
 * notification that concerns a path, the watches are placed anew: the path
 * may resolve differently now.
 *
 * The inotify instance is made on first use, in the process that serves
 * requests (nginx's workers, which never fork), never in nginx's master.
 * Where a path cannot be watched, the watch says why (ChangeCheck), and the
 * cache checks the file's status on every request instead.
 */
#ifndef VANTORELL_FILE_WATCH_H
#define VANTORELL_FILE_WATCH_H

#include "file_system.h"

#include <sys/inotify.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace vantorell {

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

/* One inotify instance and the watches placed with it. */
class FileWatch {
public:
    explicit FileWatch(FileSystem &files) noexcept : files_(files) {}
    ~FileWatch() { close(); }
    FileWatch(const FileWatch &) = delete;
    FileWatch &operator=(const FileWatch &) = delete;

    /* Places the watches for one path.  Notified when every way the path
     * can change is watched. */
    ChangeCheck watch(const char *path) noexcept;

    /* Removes every watch, for all of them to be placed anew. */
    void unwatchAll() noexcept;

    /* Whether anything is watched. */
    bool watching() const noexcept { return fd_ != -1 && !interests_.empty(); }

    /* Whether a notification that concerns a watched path is pending: the
     * queue is read, nothing else.  An overflowed queue, a queue that stays
     * busy and a queue that cannot be read count as a change. */
    bool changed() noexcept;

    /* Whether watches that could not be placed for want of an instance may
     * be tried again now. */
    bool retryDue() const noexcept;

    /* The error of the last failed attempt to make the instance or place a
     * watch. */
    int error() const noexcept { return error_; }

    /* Closes the instance and forgets every watch and failure: the next
     * watch starts afresh. */
    void close() noexcept;

private:
    bool drain() noexcept;
    /* A watched object (name empty), or a name looked up in a watched
     * directory. */
    struct Interest {
        int wd;
        std::string name;
    };

    enum class Placed { Yes, Gone, Failed };

    bool available() noexcept;
    bool concerns(const struct inotify_event *event) const noexcept;
    bool remote(const std::string &path) noexcept;
    Placed add(const std::string &path, uint32_t mask, bool directory);
    ChangeCheck watchPath(const char *path);

    FileSystem &files_;
    int fd_ = -1;
    time_t triedAt_ = 0;
    int error_ = 0;
    std::vector<Interest> interests_;
};

}  // namespace vantorell

#endif
