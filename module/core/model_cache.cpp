/*
 * The per-worker model cache: see model_cache.h.
 *
 * Nothing here may throw into nginx: what the standard containers throw when
 * the heap runs out is caught where it can happen and becomes a failure
 * value, or a result that is simply not remembered.
 */
#include "model_cache.h"

#include "visitor.h"

#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <errno.h>
#include <limits.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
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
 * A file whose times lie within this of the moment it was read could have
 * been changed again within the same tick of the file system's clock, leaving
 * its status as it was (some file systems count whole seconds).  Without
 * notifications, its contents are compared too while that is so.  A time
 * further ahead (a copy that kept the times of a host whose clock runs ahead)
 * is as trustworthy as one further back: any later change sets the change
 * time to now.
 */
constexpr time_t kRacySeconds = 2;

/* URL texts remembered per model, the longest one remembered, and the bytes
 * the remembered results may take together: a URL that many experiments
 * target costs a whole list (24 bytes an experiment), so with thousands of
 * targeted experiments the count alone would let a worker's memo grow by
 * hundreds of megabytes. */
constexpr size_t kMemoEntries = 1024;
constexpr size_t kMemoLongestUrl = 2048;
constexpr size_t kMemoBytes = static_cast<size_t>(8) * 1024 * 1024;

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

/* Targeting results of recent URL texts, least recently used dropped first. */
class UrlMemo {
public:
    struct Entry {
        std::string url;
        vantorell::Result status;
        TargetedList targeted;             /* when targeting succeeded */
    };

    const Entry *find(std::string_view url) noexcept
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
               const vantorell::Result &status) noexcept
    {
        try {
            Entry result;
            result.url.assign(url.data(), url.size());
            result.status = status;
            if (status.ok()) {
                result.targeted = targeted;
            }

            size_t cost = costOf(result);
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

            order_.push_front(std::move(result));
            try {
                index_.emplace(std::string_view(order_.front().url),
                               order_.begin());
                bytes_ += cost;
            } catch (...) {
                order_.pop_front();
            }

        } catch (...) {
        }
    }

    size_t bytes() const noexcept { return bytes_; }

private:
    /* what an entry holds on the heap, with the list's and the index's
     * nodes */
    static size_t costOf(const Entry &result) noexcept
    {
        return sizeof(Entry) + 64 + result.url.capacity()
               + result.targeted.capacity() * sizeof(Targeted);
    }

    size_t bytes_ = 0;

    /* the index's keys point into the texts of the list's entries, which
     * never move */
    std::list<Entry> order_;
    std::unordered_map<std::string_view, std::list<Entry>::iterator> index_;
};

}  // namespace


namespace {

/*
 * The worker's inotify instance and what it watches.
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
 * The instance is made on first use, in the process that serves requests
 * (nginx's workers, which never fork), never in nginx's master.
 */

/* Changes on file systems of these kinds may come from another host, which
 * no notification tells (values of statfs's f_type). */
constexpr unsigned long kRemoteFileSystems[] = {
    0x6969,         /* NFS */
    0x517B,         /* SMB */
    0xFF534D42,     /* CIFS */
    0xFE534D42,     /* SMB2 */
    0x65735546,     /* FUSE (sshfs, virtiofs, GlusterFS, ...) */
    0x73757245,     /* Coda */
    0x5346414F,     /* AFS */
    0x6B414653,     /* kAFS */
    0x00C36400,     /* Ceph */
    0x01021997,     /* 9P */
    0x01161970,     /* GFS2 */
    0x7461636F,     /* OCFS2 */
    0x0BD00BD0,     /* Lustre */
    0x19830326,     /* OrangeFS */
    0x47504653,     /* GPFS */
    0x564C,         /* NCP */
    0x013111A8,     /* IBRIX */
};

constexpr uint32_t kDirectoryMask =
    IN_ATTRIB | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO
    | IN_DELETE_SELF | IN_MOVE_SELF | IN_DONT_FOLLOW | IN_ONLYDIR;

/* the file, and a symbolic link on the path (only its status matters: its
 * target cannot change without a new link, which its directory tells) */
constexpr uint32_t kObjectMask =
    IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF
    | IN_DONT_FOLLOW;

/* symbolic links followed in one path, as the kernel's own limit */
constexpr int kMostLinks = 40;

/* reads of the queue per request before a busy queue counts as a change */
constexpr int kMostReads = 64;

#ifdef VANTORELL_TESTING
ChangeCheck failingForTesting = ChangeCheck::Notified;
size_t readsForTesting = 0;
#endif

bool remoteFileSystem(const std::string &path) noexcept
{
#ifdef VANTORELL_TESTING
    if (failingForTesting == ChangeCheck::RemoteFileSystem) {
        return true;
    }
#endif
    struct statfs fs;
    if (statfs(path.c_str(), &fs) != 0) {
        return false;           /* gone already: its directory tells */
    }
    for (unsigned long kind : kRemoteFileSystems) {
        if (static_cast<unsigned long>(fs.f_type) == kind) {
            return true;
        }
    }
    return false;
}

class Notifications {
public:
    ~Notifications()
    {
        if (fd_ != -1) {
            close(fd_);
        }
    }

    /* Whether the instance exists; made on first use. */
    bool available() noexcept
    {
        if (fd_ != -1) {
            return true;
        }
        /* every failure of inotify_init1 is a limit that may lift (the
         * process's or the host's descriptors, the heap, the per-user count
         * of instances): tried again a while later, not given up for the
         * worker's life */
        time_t second = monotonicSeconds();
        if (triedAt_ != 0 && second - triedAt_ < kRetrySeconds) {
            return false;
        }
        triedAt_ = second;
#ifdef VANTORELL_TESTING
        if (failingForTesting == ChangeCheck::NoInstance) {
            error_ = EMFILE;
            return false;
        }
#endif
        fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ == -1) {
            error_ = errno;
            return false;
        }
        error_ = 0;
        return true;
    }

    /* Whether watches that could not be placed for want of an instance may
     * be tried again now. */
    bool retryDue() const noexcept
    {
        return fd_ == -1 && monotonicSeconds() - triedAt_ >= kRetrySeconds;
    }

    /* The error of the last failed attempt to make the instance or place a
     * watch. */
    int error() const noexcept { return error_; }

    /* Places the watches for one path.  Notified when every way the path
     * can change is watched. */
    ChangeCheck watch(const char *path) noexcept
    {
        if (!available()) {
            return ChangeCheck::NoInstance;
        }
        try {
            return watchPath(path);
        } catch (...) {
            return ChangeCheck::NoWatch;
        }
    }

    /* Removes every watch, for all of them to be placed anew. */
    void unwatchAll() noexcept
    {
        for (const Interest &interest : interests_) {
            inotify_rm_watch(fd_, interest.wd);    /* a repeated wd: EINVAL */
        }
        interests_.clear();
    }

    bool watching() const noexcept { return fd_ != -1 && !interests_.empty(); }

    /* Whether a notification that concerns a watched path is pending: the
     * queue is read, nothing else.  An overflowed queue, a queue that stays
     * busy and a queue that cannot be read count as a change. */
    bool changed() noexcept
    {
        alignas(struct inotify_event) char buffer[4096];
        bool changed = false;

        /* Asking how many bytes wait is the cheapest look at an empty queue
         * (this runs on every request): a read that finds nothing has the
         * kernel put the reader on the queue's wait list and take it off
         * again, each under an interrupt-disabling lock.  The kernel
         * queues an event before the call that caused it returns, so an
         * empty answer means no change has completed since the last look. */
        int pending = 0;
        if (ioctl(fd_, FIONREAD, &pending) == 0 && pending == 0) {
            return false;
        }

        for (int reads = 0; ; ++reads) {
            if (reads == kMostReads) {
                return true;
            }
            ssize_t n = read(fd_, buffer, sizeof(buffer));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                return changed || errno != EAGAIN;
            }
            if (n == 0) {
                return true;
            }
            for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(struct inotify_event)) <= n; ) {
                const struct inotify_event *event =
                    reinterpret_cast<const struct inotify_event *>(buffer + at);
                changed = changed || concerns(event);
                at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
            }
        }
    }

private:
    /* A watched object (name empty), or a name looked up in a watched
     * directory. */
    struct Interest {
        int wd;
        std::string name;
    };

    bool concerns(const struct inotify_event *event) const noexcept
    {
        if (event->mask & IN_Q_OVERFLOW) {
            return true;
        }
        std::string_view name;
        if (event->len != 0) {
            name = std::string_view(event->name, strnlen(event->name, event->len));
        }
        for (const Interest &interest : interests_) {
            if (interest.wd == event->wd
                && (event->len == 0 || interest.name == name))
            {
                return true;
            }
        }
        return false;
    }

    enum class Placed { Yes, Gone, Failed };

    Placed add(const std::string &path, uint32_t mask, const char *name,
               bool directory)
    {
#ifdef VANTORELL_TESTING
        if (failingForTesting == ChangeCheck::NoWatch) {
            error_ = ENOSPC;
            return Placed::Failed;
        }
#endif
        int wd = inotify_add_watch(fd_, path.c_str(), mask);
        if (wd == -1) {
            /* replaced or removed meanwhile: the directory above tells; a
             * file that may not be read cannot be served either */
            if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP
                || (!directory && errno == EACCES))
            {
                return Placed::Gone;
            }
            error_ = errno;
            return Placed::Failed;      /* ENOSPC, ENOMEM, EACCES */
        }
        interests_.push_back(Interest{wd, name});
        return Placed::Yes;
    }

    static void pushComponents(std::vector<std::string> *pending, const std::string &path)
    {
        size_t end = path.size();
        while (end > 0) {
            size_t start = path.rfind('/', end - 1);
            size_t from = start == std::string::npos ? 0 : start + 1;
            if (end > from) {
                pending->push_back(path.substr(from, end - from));
            }
            if (start == std::string::npos) {
                break;
            }
            end = start;
        }
    }

    ChangeCheck watchPath(const char *path)
    {
        std::string start(path);
        if (start.empty()) {
            return ChangeCheck::Notified;
        }
        if (start[0] != '/') {
            char cwd[PATH_MAX];
            if (getcwd(cwd, sizeof(cwd)) == nullptr) {
                return ChangeCheck::NoWatch;
            }
            start = std::string(cwd) + "/" + start;
        }

        /* the components still to resolve, the next last */
        std::vector<std::string> pending;
        pushComponents(&pending, start);

        /* the directories resolved so far, from the root, and their watches */
        std::vector<std::pair<std::string, int>> chain;
        int links = 0;

        /* false when resolving stops there, with the outcome in *check */
        ChangeCheck check = ChangeCheck::Notified;
        auto enter = [&](const std::string &dir) -> bool {
            if (remoteFileSystem(dir)) {
                check = ChangeCheck::RemoteFileSystem;
                return false;
            }
            Placed placed = add(dir, kDirectoryMask, "", true);
            if (placed != Placed::Yes) {
                check = placed == Placed::Failed ? ChangeCheck::NoWatch
                                                 : ChangeCheck::Notified;
                return false;
            }
            chain.emplace_back(dir, interests_.back().wd);
            return true;
        };

        if (!enter("/")) {
            return check;
        }

        while (!pending.empty()) {
            std::string name = std::move(pending.back());
            pending.pop_back();
            if (name == ".") {
                continue;
            }
            if (name == "..") {
                if (chain.size() > 1) {
                    chain.pop_back();
                }
                continue;
            }

            const std::string &dir = chain.back().first;
            interests_.push_back(Interest{chain.back().second, name});
            std::string child = dir == "/" ? "/" + name : dir + "/" + name;

            struct stat st;
            if (lstat(child.c_str(), &st) != 0) {
                return ChangeCheck::Notified;   /* its creation is watched */
            }

            if (S_ISLNK(st.st_mode)) {
                if (++links > kMostLinks) {
                    return ChangeCheck::Notified;       /* ELOOP for the reader too */
                }
                Placed placed = add(child, kObjectMask, "", false);
                if (placed == Placed::Failed) {
                    return ChangeCheck::NoWatch;
                }
                if (placed == Placed::Gone) {
                    return ChangeCheck::Notified;
                }
                char target[PATH_MAX];
                ssize_t n = readlink(child.c_str(), target, sizeof(target) - 1);
                if (n <= 0) {
                    return ChangeCheck::Notified;
                }
                std::string linked(target, static_cast<size_t>(n));
                if (linked[0] == '/') {
                    chain.resize(1);            /* from the root again */
                }
                pushComponents(&pending, linked);
                continue;
            }

            if (S_ISDIR(st.st_mode)) {
                if (!enter(child)) {
                    return check;
                }
                continue;
            }

            /* the file (or what stands in its place: the reader refuses
             * what is not a regular file, and what follows a file) */
            if (remoteFileSystem(child)) {
                return ChangeCheck::RemoteFileSystem;
            }
            Placed placed = add(child, kObjectMask, "", false);
            return placed == Placed::Failed ? ChangeCheck::NoWatch : ChangeCheck::Notified;
        }
        return ChangeCheck::Notified;
    }

    static time_t monotonicSeconds() noexcept
    {
        struct timespec ts = {0, 0};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return ts.tv_sec + 1;         /* never 0, which means "not tried" */
    }

    static constexpr time_t kRetrySeconds = 1;

    int fd_ = -1;
    time_t triedAt_ = 0;
    int error_ = 0;
    std::vector<Interest> interests_;
};

Notifications *notifications = nullptr;

Notifications *theNotifications() noexcept
{
    if (notifications == nullptr) {
        notifications = new (std::nothrow) Notifications();
    }
    return notifications;
}

}  // namespace


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

    CachedModel *model = nullptr;

    void dropText() noexcept
    {
        std::string().swap(text);
        hasText = false;
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

Result noMemory() noexcept
{
    Result status;
    status.failure = Failure::FileNoMemory;
    return status;
}

/*
 * Builds the model of a file's contents, with its patterns and index.  Null,
 * with the failure in *status, when the heap runs out; a file that cannot be
 * used gives a model that holds its failure.
 */
CachedModel *buildModel(const std::string &text, Result *status) noexcept
{
    static uint64_t lastSerial;

    CachedModel *model = new (std::nothrow) CachedModel();
    if (model == nullptr) {
        *status = noMemory();
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

    model->targetingFailure = targetingFailure(model->model, model->patterns);

    return model;
}

/* The problem a worker has with a built model: its file's, or its
 * targeting's; none for a usable model. */
const Result &problemOf(const CachedModel &model) noexcept
{
    return model.failure.ok() ? model.targetingFailure : model.failure;
}

/*
 * A state of the file that a request met, read afresh (never one the cache
 * merely handed out again): a problem is told when this state of the file
 * was not the last told, a usable file when a problem was.
 */
void observe(CacheEntry *entry, const FileIdentity &identity, const Result &problem,
             size_t experiments, FileReport *report) noexcept
{
    if (entry == nullptr) {
        return;
    }

    if (problem.ok()) {
        if (entry->told && !entry->toldUsable) {
            report->kind = FileReport::Kind::Usable;
            report->experiments = experiments;
        }
        entry->told = true;
        entry->toldUsable = true;
        entry->toldIdentity = identity;
        return;
    }

    FailureText text = failureText(problem);
    if (entry->told && !entry->toldUsable && entry->toldIdentity == identity
        && strcmp(entry->toldText.text, text.text) == 0)
    {
        return;
    }

    report->kind = FileReport::Kind::Problem;
    report->text = text;
    entry->told = true;
    entry->toldUsable = false;
    entry->toldIdentity = identity;
    entry->toldText = text;
}

Result handOut(CachedModel *model, CachedModel **held) noexcept
{
    if (!model->failure.ok()) {
        return model->failure;
    }
    model->references++;
    *held = model;
    return Result();
}

/* Places every path's watches anew, after a notification: the paths may
 * resolve differently now, and each file must be checked. */
void watchAnew(Notifications *watcher) noexcept
{
    watcher->unwatchAll();
    if (entries == nullptr) {
        return;
    }
    for (CacheEntry &entry : *entries) {
        if (entry.placed) {
            entry.check = watcher->watch(entry.path.c_str());
        }
        entry.stale = true;
    }
}

/*
 * While notifications are in force, a file that cannot be read (missing,
 * unreadable, not a regular file, too large) stays so until an event about
 * its path: remember its failure, so that a site without a usable data file
 * does not try the path on every request.  Without notifications the path is
 * tried every time, as its status is.
 */
void rememberUnusable(CacheEntry *entry, bool notified, const Result &status) noexcept
{
    if (entry == nullptr || !notified) {
        return;
    }
    CachedModel *failed = new (std::nothrow) CachedModel();
    if (failed == nullptr) {
        return;
    }
    failed->failure = status;
    entry->model = failed;
    entry->identity = FileIdentity();    /* no file has it: an event re-reads */
    entry->stale = false;
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


void ModelHold::release() noexcept
{
    unreference(cached_);
    cached_ = nullptr;
}


const char *changeCheckText(ChangeCheck check) noexcept
{
    switch (check) {
    case ChangeCheck::Notified:
        return "";
    case ChangeCheck::NoInstance:
        return "no inotify instance for this worker: the data file's status is "
               "checked on every request until one can be made";
    case ChangeCheck::NoWatch:
        return "an inotify watch on the data file's path could not be placed: "
               "the data file's status is checked on every request";
    case ChangeCheck::RemoteFileSystem:
        return "the data file's path crosses a network file system, whose "
               "changes are not notified: the data file's status is checked "
               "on every request";
    }
    return "";
}


int changeCheckError(ChangeCheck check) noexcept
{
    if (check != ChangeCheck::NoInstance && check != ChangeCheck::NoWatch) {
        return 0;
    }
    return notifications != nullptr ? notifications->error() : 0;
}


Result acquireModel(const char *path, ModelHold *hold, ChangeCheck *check,
                    FileReport *report) noexcept
{
    hold->release();
    *check = ChangeCheck::Notified;
    *report = FileReport();

    Notifications *watcher = theNotifications();
    if (watcher != nullptr && watcher->watching() && watcher->changed()) {
        watchAnew(watcher);
    }

    CacheEntry *entry = findEntry(path);
    if (entry == nullptr) {
        entry = addEntry(path);             /* null: served, not remembered */
    }
    if (entry != nullptr && entry->placed && entry->check == ChangeCheck::NoInstance
        && watcher != nullptr && watcher->retryDue())
    {
        entry->placed = false;      /* the instance may be made now */
    }
    if (entry != nullptr && !entry->placed) {
        /* before the file is read: a change after that read is notified */
        entry->check = watcher != nullptr ? watcher->watch(path) : ChangeCheck::NoInstance;
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
        if (!entry->racy && stat(path, &st) == 0 && S_ISREG(st.st_mode)
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
#ifdef VANTORELL_TESTING
    readsForTesting++;
#endif
    Result status = readDataFile(path, &text, &opened);
    if (!status.ok()) {
        if (!isPassing(status.failure)) {
            forget(path);
            rememberUnusable(entry, notified, status);
            observe(entry, FileIdentity::of(opened), status, 0, report);
        }
        return status;
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

    CachedModel *model = buildModel(text, &status);
    if (model == nullptr) {
        return status;
    }

    if (entry == nullptr) {
        /* served, but not remembered */
        status = handOut(model, &hold->cached_);
        unreference(model);
        return status;
    }

    observe(entry, identity, problemOf(*model), model->model.experiments.size(), report);

    entry->clear();
    entry->identity = identity;
    entry->readAt = readAt;
    entry->racy = identity.racyAt(readAt);
    entry->model = model;
    entry->stale = false;
    if (entry->racy && !notified) {
        entry->text = std::move(text);
        entry->hasText = true;
    }

    return handOut(model, &hold->cached_);
}


bool checkDataFile(const char *path, FailureText *problem, size_t *experiments) noexcept
{
    std::string text;
    struct stat opened;
    *experiments = 0;
    Result status = readDataFile(path, &text, &opened);
    if (status.ok()) {
        CachedModel *model = buildModel(text, &status);
        if (model != nullptr) {
            /* the text first: a pattern's lives with the model */
            bool usable = problemOf(*model).ok();
            if (!usable) {
                *problem = failureText(problemOf(*model));
            }
            *experiments = model->model.experiments.size();
            unreference(model);
            return usable;
        }
    }
    *problem = failureText(status);
    return false;
}


Result targetModel(const ModelHold &hold, const char *url, Allocator *memory,
                   TargetedList *targeted) noexcept
{
    CachedModel *model = hold.cached_;

    std::string_view key(url);
    bool memoise = key.size() <= kMemoLongestUrl;

    const UrlMemo::Entry *known = memoise ? model->memo.find(key) : nullptr;

    if (known != nullptr) {
        if (!known->status.ok()) {
            return known->status;
        }

        try {
            TargetedList copy(known->targeted);
            *targeted = std::move(copy);
        } catch (...) {
            Result status;
            status.failure = Failure::TargetedNoMemory;
            return status;
        }
        return Result();
    }

    TargetedList result;
    Result status = targetExperiments(model->model, model->patterns, url, memory, &result);

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
    delete notifications;
    notifications = nullptr;
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

void failNotificationsForTesting(ChangeCheck how) noexcept
{
    failingForTesting = how;
}

size_t fileReadsForTesting() noexcept
{
    return readsForTesting;
}

size_t memoBytesForTesting(const ModelHold &hold) noexcept
{
    return hold.cached_ == nullptr ? 0 : hold.cached_->memo.bytes();
}

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
