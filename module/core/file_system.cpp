/*
 * The host's file system: see file_system.h.
 */
#include "file_system.h"

#include "data_file.h"

#include <sys/inotify.h>
#include <sys/vfs.h>

namespace vantorell {

Result HostFileSystem::readDataFile(const char *path, std::string *text,
                                    struct stat *opened) noexcept
{
    return vantorell::readDataFile(path, text, opened);
}


int HostFileSystem::status(const char *path, struct stat *st) noexcept
{
    return stat(path, st);
}


bool HostFileSystem::fileSystemType(const char *path, unsigned long *type) noexcept
{
    struct statfs fs;
    if (statfs(path, &fs) != 0) {
        return false;
    }
    *type = static_cast<unsigned long>(fs.f_type);
    return true;
}


int HostFileSystem::newInotify() noexcept
{
    return inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
}


int HostFileSystem::addWatch(int inotify, const char *path, uint32_t mask) noexcept
{
    return inotify_add_watch(inotify, path, mask);
}


FileSystem &hostFileSystem() noexcept
{
    static HostFileSystem host;
    return host;
}

}  // namespace vantorell
