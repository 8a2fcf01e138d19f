/*
 * Watching the paths of data files: see file_watch.h.
 *
 * Nothing here may throw out of the class: what the standard containers
 * throw when the heap runs out is caught in watch(), and the path is then
 * said to be unwatched.
 */
#include "file_watch.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <errno.h>
#include <limits.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <string_view>
#include <utility>

namespace vantorell {

namespace {

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

/* seconds before an instance that could not be made is tried again */
constexpr time_t kRetrySeconds = 1;

time_t monotonicSeconds() noexcept
{
    struct timespec ts = {0, 0};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + 1;         /* never 0, which means "not tried" */
}

/* The components of `path`, pushed last first: the next to resolve is the
 * vector's last. */
void pushComponents(std::vector<std::string> *pending, const std::string &path)
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

}  // namespace


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


/* Whether the instance exists; made on first use. */
bool FileWatch::available() noexcept
{
    if (fd_ != -1) {
        return true;
    }
    /* every failure of inotify_init1 is a limit that may lift (the process's
     * or the host's descriptors, the heap, the per-user count of instances):
     * tried again a while later, not given up for the worker's life */
    time_t second = monotonicSeconds();
    if (triedAt_ != 0 && second - triedAt_ < kRetrySeconds) {
        return false;
    }
    triedAt_ = second;
    fd_ = files_.newInotify();
    if (fd_ == -1) {
        error_ = errno;
        return false;
    }
    error_ = 0;
    return true;
}


bool FileWatch::retryDue() const noexcept
{
    return fd_ == -1 && monotonicSeconds() - triedAt_ >= kRetrySeconds;
}


void FileWatch::close() noexcept
{
    if (fd_ != -1) {
        ::close(fd_);       /* and every watch with it */
        fd_ = -1;
    }
    std::vector<Interest>().swap(interests_);
    triedAt_ = 0;
    error_ = 0;
}


ChangeCheck FileWatch::watch(const char *path) noexcept
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


void FileWatch::unwatchAll() noexcept
{
    for (const Interest &interest : interests_) {
        inotify_rm_watch(fd_, interest.wd);    /* a repeated wd: EINVAL */
    }
    interests_.clear();
}


bool FileWatch::changed() noexcept
{
    /* Asking how many bytes wait is the cheapest look at an empty queue
     * (this runs on every request): a read that finds nothing has the
     * kernel put the reader on the queue's wait list and take it off again,
     * each under an interrupt-disabling lock.  The kernel queues an event
     * before the call that caused it returns, so an empty answer means no
     * change has completed since the last look. */
    int pending = 0;
    if (ioctl(fd_, FIONREAD, &pending) == 0 && pending == 0) {
        return false;
    }
    return drain();
}


/* Reads the queued events: whether one concerns a watched path.  Apart from
 * changed(), whose every call would otherwise set up this buffer. */
bool FileWatch::drain() noexcept
{
    alignas(struct inotify_event) char buffer[4096];
    bool changed = false;

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


bool FileWatch::concerns(const struct inotify_event *event) const noexcept
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


/* Whether changes under `path` may come from another host. */
bool FileWatch::remote(const std::string &path) noexcept
{
    unsigned long type;
    if (!files_.fileSystemType(path.c_str(), &type)) {
        return false;           /* gone already: its directory tells */
    }
    for (unsigned long kind : kRemoteFileSystems) {
        if (type == kind) {
            return true;
        }
    }
    return false;
}


FileWatch::Placed FileWatch::add(const std::string &path, uint32_t mask, bool directory)
{
    int wd = files_.addWatch(fd_, path.c_str(), mask);
    if (wd == -1) {
        /* replaced or removed meanwhile: the directory above tells; a file
         * that may not be read cannot be served either */
        if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP
            || (!directory && errno == EACCES))
        {
            return Placed::Gone;
        }
        error_ = errno;
        return Placed::Failed;      /* ENOSPC, ENOMEM, EACCES */
    }
    interests_.push_back(Interest{wd, ""});
    return Placed::Yes;
}


ChangeCheck FileWatch::watchPath(const char *path)
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
        if (remote(dir)) {
            check = ChangeCheck::RemoteFileSystem;
            return false;
        }
        Placed placed = add(dir, kDirectoryMask, true);
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
            Placed placed = add(child, kObjectMask, false);
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

        /* the file (or what stands in its place: the reader refuses what is
         * not a regular file, and what follows a file) */
        if (remote(child)) {
            return ChangeCheck::RemoteFileSystem;
        }
        Placed placed = add(child, kObjectMask, false);
        return placed == Placed::Failed ? ChangeCheck::NoWatch : ChangeCheck::Notified;
    }
    return ChangeCheck::Notified;
}

}  // namespace vantorell
