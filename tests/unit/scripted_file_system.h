// A file system for a model cache under test: the host's, with the answers a
// healthy host rarely gives chosen by the test.  inotify may fail as a worker
// may find it failing (no instance, no watch), every path may lie on a
// network file system, a rewrite may leave the file's status as it was (as
// within one tick of a coarse file system clock), and the reads of data
// files are counted.
#ifndef VANTORELL_TEST_SCRIPTED_FILE_SYSTEM_H
#define VANTORELL_TEST_SCRIPTED_FILE_SYSTEM_H

#include "file_system.h"
#include "file_watch.h"

#include <errno.h>
#include <sys/stat.h>

#include <cstddef>
#include <map>
#include <string>

class ScriptedFileSystem : public vantorell::HostFileSystem {
public:
    // Notified: nothing fails; NoInstance: no inotify instance can be made
    // (EMFILE); NoWatch: no watch can be placed (ENOSPC); RemoteFileSystem:
    // every path lies on NFS.
    explicit ScriptedFileSystem(vantorell::ChangeCheck failing = vantorell::ChangeCheck::Notified)
        : failing_(failing) {}

    // How often a data file has been read.
    size_t reads() const { return reads_; }

    // From now on, `path` shows the size and times it shows now, whatever
    // is written to it in place: what a rewrite within one tick of a coarse
    // clock leaves.  The status must show a recent write (the cache trusts
    // an old one): keep a path only for as long as a test takes.
    void keepStatus(const std::string &path) {
        struct stat st;
        if (kept_.count(path) == 0 && status(path.c_str(), &st) == 0) {
            kept_[path] = st;
        }
    }

    // Every path shows its real status again.
    void showStatus() { kept_.clear(); }

    vantorell::Result readDataFile(const char *path, std::string *text,
                                   struct stat *opened) noexcept override {
        reads_++;
        vantorell::Result result = HostFileSystem::readDataFile(path, text, opened);
        if (result.ok()) {
            showKept(path, opened);
        }
        return result;
    }

    int status(const char *path, struct stat *st) noexcept override {
        int rc = HostFileSystem::status(path, st);
        if (rc == 0) {
            showKept(path, st);
        }
        return rc;
    }

    bool fileSystemType(const char *path, unsigned long *type) noexcept override {
        if (failing_ == vantorell::ChangeCheck::RemoteFileSystem) {
            *type = 0x6969;     // NFS
            return true;
        }
        return HostFileSystem::fileSystemType(path, type);
    }

    int newInotify() noexcept override {
        if (failing_ == vantorell::ChangeCheck::NoInstance) {
            errno = EMFILE;
            return -1;
        }
        return HostFileSystem::newInotify();
    }

    int addWatch(int inotify, const char *path, uint32_t mask) noexcept override {
        if (failing_ == vantorell::ChangeCheck::NoWatch) {
            errno = ENOSPC;
            return -1;
        }
        return HostFileSystem::addWatch(inotify, path, mask);
    }

private:
    void showKept(const char *path, struct stat *st) const {
        auto it = kept_.find(path);
        if (it != kept_.end() && it->second.st_ino == st->st_ino) {
            st->st_size = it->second.st_size;
            st->st_mtim = it->second.st_mtim;
            st->st_ctim = it->second.st_ctim;
        }
    }

    vantorell::ChangeCheck failing_;
    size_t reads_ = 0;
    std::map<std::string, struct stat> kept_;
};

#endif
