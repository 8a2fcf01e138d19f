/*
 * What the model cache and its watcher ask of the host about files.
 *
 * The cache learns of a data file only through these calls: reading it, its
 * status, the kind of file system that holds a path, and the inotify calls
 * that may fail for want of a resource.  HostFileSystem makes the system
 * calls themselves; a test gives a FileSystem of its own to choose the
 * answers a healthy host rarely gives (no inotify instance or watch to be
 * had, a network file system, a rewrite that leaves the status as it was).
 */
#ifndef VANTORELL_FILE_SYSTEM_H
#define VANTORELL_FILE_SYSTEM_H

#include "failure.h"

#include <sys/stat.h>

#include <cstdint>
#include <string>

namespace vantorell {

class FileSystem {
public:
    virtual ~FileSystem() = default;

    /* readDataFile: the file whole, and the status of what was read. */
    virtual Result readDataFile(const char *path, std::string *text,
                                struct stat *opened) noexcept = 0;

    /* stat(2): 0, or -1 with errno set. */
    virtual int status(const char *path, struct stat *st) noexcept = 0;

    /* statfs(2)'s f_type for the file system that holds `path`; false when
     * the path cannot be looked at. */
    virtual bool fileSystemType(const char *path, unsigned long *type) noexcept = 0;

    /* inotify_init1(IN_NONBLOCK | IN_CLOEXEC): a descriptor, or -1 with
     * errno set. */
    virtual int newInotify() noexcept = 0;

    /* inotify_add_watch(2): a watch descriptor, or -1 with errno set. */
    virtual int addWatch(int inotify, const char *path, uint32_t mask) noexcept = 0;
};

/* The host's own: the system calls, nothing in between. */
class HostFileSystem : public FileSystem {
public:
    Result readDataFile(const char *path, std::string *text,
                        struct stat *opened) noexcept override;
    int status(const char *path, struct stat *st) noexcept override;
    bool fileSystemType(const char *path, unsigned long *type) noexcept override;
    int newInotify() noexcept override;
    int addWatch(int inotify, const char *path, uint32_t mask) noexcept override;
};

/* The one HostFileSystem of the process. */
FileSystem &hostFileSystem() noexcept;

}  // namespace vantorell

#endif
