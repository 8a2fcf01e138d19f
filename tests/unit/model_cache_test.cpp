// The per-worker model cache: the same results and texts as reading the file
// for every request, and a changed file seen by the very next request.

#include "model_cache.h"
#include "afresh.h"
#include "cached_targeting.h"
#include "counting_allocator.h"
#include "scripted_file_system.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using afresh::Outcome;
using vantorell::ModelCache;
using vantorell::ModelHold;

class TempFile {
public:
    TempFile() {
        char name[] = "/tmp/vantorell-cache-test-XXXXXX";
        int fd = mkstemp(name);
        EXPECT_NE(fd, -1);
        close(fd);
        path_ = name;
    }
    ~TempFile() {
        unlink(path_.c_str());
        vantorell::clearModelCache();
    }
    const char *path() const { return path_.c_str(); }

    // Rewrites the file in place (truncate and write), as an editor or a
    // careless deploy script does: the inode stays.
    void rewrite(const std::string &text) const {
        FILE *f = fopen(path_.c_str(), "r+");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(ftruncate(fileno(f), 0), 0);
        ASSERT_EQ(fwrite(text.data(), 1, text.size(), f), text.size());
        fclose(f);
    }

    // Replaces the file by renaming a new one over it.
    void replace(const std::string &text) const {
        std::string tmp = path_ + ".new";
        FILE *f = fopen(tmp.c_str(), "w");
        ASSERT_NE(f, nullptr);
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
        ASSERT_EQ(rename(tmp.c_str(), path_.c_str()), 0);
    }

private:
    std::string path_;
};

std::string experiment(long id, const std::string &url, const std::string &match,
                       const std::string &letter = "P") {
    return "{\"baseUrl\":\"b\",\"experimentId\":" + std::to_string(id) +
           ",\"targetingConfiguration\":\"" + letter +
           "\",\"variations\":[{\"redirection\":\"r\",\"id\":" + std::to_string(id * 10) +
           ",\"weight\":0.5},{\"redirection\":\"s\",\"id\":" + std::to_string(id * 10 + 1) +
           ",\"weight\":0.5}],\"conditionsData\":[{\"orOperator\":\"|\",\"conditions\":["
           "{\"orOperator\":\"|\",\"id\":1,\"url\":\"" + url + "\",\"matchType\":\"" + match +
           "\",\"include\":\"Y\"}]}]}";
}

std::string file(const std::vector<std::string> &experiments) {
    std::string text = "[";
    for (size_t i = 0; i < experiments.size(); ++i) {
        text += (i ? "," : "") + experiments[i];
    }
    return text + "]";
}

// What a request gets through `cache`: the worker's when none is given.
Outcome throughCache(const char *path, const std::string &url, double number,
                     ModelCache *cache = nullptr) {
    CountingAllocator memory;
    Outcome out;
    ModelHold hold;
    vantorell::Result status = cache != nullptr ? cache->acquire(path, &hold)
                                                : vantorell::acquireModel(path, &hold);
    out.loaded = status.ok();
    if (!out.loaded) {
        out.message = afresh::textOf(status);
        return out;
    }
    vantorell::TargetedList targeted;
    status = vantorell::targetModel(hold, url.c_str(), &memory, &targeted);
    out.rc = status.ok() ? 1 : -1;
    if (!status.ok()) {
        out.message = afresh::textOf(status);
    } else {
        vantorell::chooseVariations(hold, &targeted, number);
        for (const vantorell::Targeted &t : targeted) {
            out.choice.emplace_back(t.experimentId, t.variationId);
        }
    }
    return out;
}

Outcome afreshFrom(const char *path, const std::string &url, double number) {
    CountingAllocator memory;
    return afresh::fromFile(path, url, number, &memory);
}

TEST(ModelCacheTest, GivesWhatReadingTheFileGivesOnEveryRequest) {
    const std::vector<std::string> files = {
        file({experiment(1, "shop", "C"), experiment(2, "^alpha/(shop|cart)", "R"),
              experiment(3, "alpha/cart", "E"), experiment(1, "cart", "C")}),
        file({experiment(1, "shop", "C"), experiment(2, "(", "R"), experiment(3, "x", "C")}),
        file({experiment(4, "shop", "C"), experiment(5, "shop", "C", "X"), experiment(6, "a", "C", "Y")}),
        file({experiment(7, "shop", "Z")}),
        file({experiment(-1, "shop", "C")}),
        file({experiment(0, "shop", "C"), experiment(8, "(*LIMIT_MATCH=1)(a+)+$", "R")}),
        file({}),
        "{",
        "[{\"experimentId\": 3}]",
        "",
    };
    const std::vector<std::string> urls = {"alpha", "alpha/shop", "alpha/cart", "alpha/cart?x=1",
                                           "aaaaaaaaaaaaaab", std::string(3000, 'a')};
    TempFile data;
    for (const std::string &text : files) {
        data.replace(text);
        for (int pass = 0; pass < 2; ++pass) {          // the second pass is remembered
            for (const std::string &url : urls) {
                for (double number : {0.2, 0.7}) {
                    SCOPED_TRACE(text.substr(0, 80) + " | " + url.substr(0, 30));
                    EXPECT_EQ(throughCache(data.path(), url, number),
                              afreshFrom(data.path(), url, number));
                }
            }
        }
    }
}

// A caller's slot spares the lookup of its path and still gives that path's
// model: with several paths, after a change of the file, and after the cache
// was cleared and its entries made again in another order.
TEST(ModelCacheTest, ASlotGivesItsOwnPathsModel) {
    TempFile first, second;
    first.replace(file({experiment(1, "shop", "C")}));
    second.replace(file({experiment(2, "shop", "C")}));
    ModelCache cache;
    vantorell::PathSlot slots[2] = {};
    const TempFile *files[2] = {&first, &second};

    auto idThrough = [&](int which) {
        ModelHold hold;
        vantorell::ChangeCheck check;
        vantorell::FileReport report;
        const char *path = files[which]->path();
        EXPECT_TRUE(cache.acquire(path, strlen(path), &slots[which], &hold, &check, &report).ok());
        return hold.model().experiments.at(0).id;
    };

    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(idThrough(0), 1);
        EXPECT_EQ(idThrough(1), 2);
        EXPECT_EQ(idThrough(0), 1);
    }
    second.replace(file({experiment(3, "shop", "C")}));
    EXPECT_EQ(idThrough(1), 3);

    cache.clear();
    EXPECT_EQ(idThrough(1), 3);     // made first now: the other index
    EXPECT_EQ(idThrough(0), 1);
    EXPECT_EQ(idThrough(1), 3);
}

// The short way answers only while nothing is queued: a file that appears,
// changes or goes is taken in at once, and the whole way gives it.
TEST(ModelCacheTest, TheSettledWayNeverHidesAChange) {
    TempFile data;
    std::string path = data.path();
    ASSERT_EQ(unlink(path.c_str()), 0);
    ModelCache cache;
    vantorell::PathSlot slot = {};
    ModelHold hold;
    const vantorell::Result *failure = nullptr;
    vantorell::ChangeCheck check;
    vantorell::FileReport report;

    auto whole = [&] {
        return cache.acquire(path.c_str(), path.size(), &slot, &hold, &check, &report);
    };

    EXPECT_FALSE(cache.settled(&slot, &hold, &failure));        // never seen
    EXPECT_FALSE(whole().ok());
    ASSERT_TRUE(cache.settled(&slot, &hold, &failure));
    ASSERT_NE(failure, nullptr);                                // the missing file's
    EXPECT_EQ(failure->failure, whole().failure);

    data.replace(file({experiment(1, "shop", "C")}));
    EXPECT_FALSE(cache.settled(&slot, &hold, &failure));        // queued: not settled
    ASSERT_TRUE(whole().ok());
    ASSERT_TRUE(cache.settled(&slot, &hold, &failure));
    EXPECT_EQ(failure, nullptr);
    EXPECT_EQ(hold.model().experiments.at(0).id, 1);

    data.rewrite(file({experiment(2, "shop", "C")}));
    EXPECT_FALSE(cache.settled(&slot, &hold, &failure));
    ASSERT_TRUE(whole().ok());
    EXPECT_EQ(hold.model().experiments.at(0).id, 2);

    ASSERT_EQ(unlink(path.c_str()), 0);
    EXPECT_FALSE(cache.settled(&slot, &hold, &failure));
    EXPECT_FALSE(whole().ok());
    data.replace(file({}));     // for the destructor's unlink
}

// A rewrite that keeps the size within one tick of a coarse file system
// clock leaves the file's status as it was: the contents tell.
TEST(ModelCacheTest, SeesARewriteThatLeavesTheStatusAsItWas) {
    TempFile data;
    ScriptedFileSystem files;
    ModelCache cache(files);
    const std::string a = file({experiment(1, "shop", "C")});
    const std::string b = file({experiment(2, "shop", "C")});
    ASSERT_EQ(a.size(), b.size());
    data.rewrite(a);
    for (int i = 0; i < 20; ++i) {
        const std::string &text = i % 2 ? b : a;
        if (i > 0) {
            files.keepStatus(data.path());
        }
        data.rewrite(text);
        Outcome o = throughCache(data.path(), "alpha/shop", 0.2, &cache);
        ASSERT_EQ(o.choice.size(), 1u) << o;
        ASSERT_EQ(o.choice[0].first, i % 2 ? 2 : 1) << "iteration " << i;
    }
}

TEST(ModelCacheTest, SeesEveryRewriteInPlace) {
    TempFile data;
    const std::string a = file({experiment(1, "shop", "C")});
    const std::string b = file({experiment(2, "shop", "C")});
    for (int i = 0; i < 200; ++i) {
        data.rewrite(i % 2 ? b : a);
        Outcome o = throughCache(data.path(), "alpha/shop", 0.2);
        ASSERT_EQ(o.choice.size(), 1u) << o;
        ASSERT_EQ(o.choice[0].first, i % 2 ? 2 : 1) << "iteration " << i;
    }
}

TEST(ModelCacheTest, FollowsRenamesDeletionAndBrokenFiles) {
    TempFile data;
    data.replace(file({experiment(1, "shop", "C")}));
    EXPECT_EQ(throughCache(data.path(), "alpha/shop", 0.2).choice[0].first, 1);
    data.replace(file({experiment(22, "shop", "C")}));
    EXPECT_EQ(throughCache(data.path(), "alpha/shop", 0.2).choice[0].first, 22);

    unlink(data.path());
    for (int i = 0; i < 3; ++i) {
        Outcome o = throughCache(data.path(), "alpha/shop", 0.2);
        EXPECT_FALSE(o.loaded);
        EXPECT_EQ(o.message, "Cannot read json file.");
    }
    data.replace("[{\"baseUrl\": \"b\"}]");
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(throughCache(data.path(), "alpha/shop", 0.2).message,
                  "Cannot read experiment id field of experiment number 1.");
    }
    data.rewrite("");
    EXPECT_EQ(throughCache(data.path(), "alpha/shop", 0.2).message, "Cannot read json file.");
}

TEST(ModelCacheTest, AHeldModelOutlivesItsReplacement) {
    TempFile data;
    data.replace(file({experiment(1, "shop", "C")}));
    ModelHold first, second;
    ASSERT_TRUE(vantorell::acquireModel(data.path(), &first).ok());
    data.replace(file({experiment(2, "shop", "C")}));
    ASSERT_TRUE(vantorell::acquireModel(data.path(), &second).ok());
    EXPECT_EQ(first.model().experiments.at(0).id, 1);
    EXPECT_EQ(second.model().experiments.at(0).id, 2);
    vantorell::clearModelCache();                  // a worker that exits
    EXPECT_EQ(first.model().experiments.at(0).id, 1);
    first.release();
    EXPECT_EQ(second.model().experiments.at(0).id, 2);
}

TEST(ModelCacheTest, RefusesWhatIsNotASmallRegularFileWithoutWaiting) {
    char dir[] = "/tmp/vantorell-cache-dir-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string fifo = std::string(dir) + "/fifo";
    std::string big = std::string(dir) + "/big";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int fd = open(big.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_NE(fd, -1);
    ASSERT_EQ(ftruncate(fd, (off_t) vantorell::kDataFileMaxSize + 1), 0);   // sparse
    close(fd);

    struct Case { std::string path; const char *text; };
    for (const Case &c : {Case{fifo, "Cannot read json file."}, Case{dir, "Cannot read json file."},
                          Case{"/dev/zero", "Cannot read json file."},
                          Case{big, "Data file is larger than 64 MiB."}}) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(throughCache(c.path.c_str(), "alpha", 0.2).message, c.text);
        EXPECT_EQ(afreshFrom(c.path.c_str(), "alpha", 0.2).message, c.text);
    }
    unlink(fifo.c_str());
    unlink(big.c_str());
    rmdir(dir);
    vantorell::clearModelCache();
}

// The choice of variations, from the experiment the id finds in the held
// model; a stale choice never survives.
TEST(ModelCacheTest, ChoosesFromTheExperimentThatTheIdFinds) {
    TempFile data;
    data.replace(file({experiment(1, "shop", "C"), experiment(2, "shop", "C"),
                       experiment(3, "cart", "C")}));
    ModelHold hold;
    ASSERT_TRUE(vantorell::acquireModel(data.path(), &hold).ok());

    // 7 is in no experiment; the stale choices on 1 and 7 must not survive
    vantorell::TargetedList targeted = {{1, 99}, {7, 98}, {2, 0}, {3, 0}};
    vantorell::chooseVariations(hold, &targeted, 0.3);
    // the running totals start from the file's last variation (id * 10 + 1)
    const std::vector<std::pair<long, long>> expected = {{1, 11}, {7, 0}, {2, 21}, {3, 31}};
    std::vector<std::pair<long, long>> chosen;
    for (const vantorell::Targeted &t : targeted) {
        chosen.emplace_back(t.experimentId, t.variationId);
    }
    EXPECT_EQ(chosen, expected);

    vantorell::chooseVariations(hold, &targeted, 0.7);
    EXPECT_EQ(targeted[0].variationId, 10);

    vantorell::TargetedList none;
    vantorell::chooseVariations(hold, &none, 0.5);
    EXPECT_TRUE(none.empty());
}

TEST(ModelCacheTest, DuplicateIdsTakeTheExperimentLaterInTheFile) {
    TempFile data;
    std::string later = experiment(5, "shop", "C");
    later.replace(later.find("\"id\":50,"), 8, "\"id\":70,");
    data.replace(file({experiment(5, "shop", "C"), later}));
    Outcome o = throughCache(data.path(), "alpha/shop", 0.7);
    // both are targeted; each takes its variation from the later one
    EXPECT_EQ(o.choice, (std::vector<std::pair<long, long>>{{5, 70}, {5, 70}})) << o;
    EXPECT_EQ(o, afreshFrom(data.path(), "alpha/shop", 0.7));
}

// Each remembered URL text of a page that thousands of experiments target
// holds their whole list: the memo is bounded by its bytes, not only by its
// count, yet still remembers.
TEST(ModelCacheTest, TheMemoOfUrlTextsStaysWithinItsBytes) {
    TempFile data;
    std::vector<std::string> experiments;
    for (long id = 1; id <= 2000; id++) {
        experiments.push_back(experiment(id, "shop", "C"));
    }
    data.replace(file(experiments));
    CountingAllocator memory;
    ModelHold hold;
    ASSERT_TRUE(vantorell::acquireModel(data.path(), &hold).ok());
    for (int page = 0; page < 400; page++) {
        vantorell::TargetedList targeted;
        std::string url = "alpha/shop/" + std::to_string(page);
        ASSERT_TRUE(vantorell::targetModel(hold, url.c_str(), &memory, &targeted).ok());
        ASSERT_EQ(targeted.size(), 2000u);
    }
    EXPECT_GT(vantorell::urlMemoBytes(hold), 0u);
    EXPECT_LE(vantorell::urlMemoBytes(hold), static_cast<size_t>(8) << 20);
}

// Targeting, the choice and the texts as the handler runs them.
TEST(ModelCacheTest, TargetsAndChoosesAsTheHandlerDoes) {
    TempFile data;
    data.replace(file({experiment(1, "shop", "C"), experiment(2, "cart", "C"),
                       experiment(3, "^alpha/(shop|cart)$", "R", "U")}));
    Outcome o = throughCache(data.path(), "alpha/shop", 0.7);
    EXPECT_EQ(o.choice, (std::vector<std::pair<long, long>>{{1, 10}, {3, 30}})) << o;
}

}  // namespace

namespace {

// ---- learning of changes --------------------------------------------------

using vantorell::ChangeCheck;

void put(const std::string &path, const std::string &text) {
    FILE *f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr) << path;
    ASSERT_EQ(fwrite(text.data(), 1, text.size(), f), text.size());
    fclose(f);
}

void putByRename(const std::string &path, const std::string &text) {
    put(path + ".tmp", text);
    ASSERT_EQ(rename((path + ".tmp").c_str(), path.c_str()), 0);
}

void run(const std::string &command) {
    ASSERT_EQ(system(command.c_str()), 0) << command;
}

class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/vantorell-watch-test-XXXXXX";
        EXPECT_NE(mkdtemp(name), nullptr);
        path_ = name;
    }
    ~TempDir() { run("rm -rf " + path_); }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// One way a data file's path comes to name other contents: where the cache
// reads it (relative to the folder), how it is first laid out, and how the
// next contents are put in place (on the file system the cache reads).
struct Change {
    const char *name;
    const char *path;
    void (*setUp)(const std::string &dir, const std::string &text);
    void (*change)(ScriptedFileSystem &files, const std::string &dir, const std::string &text,
                   int step);
};

const Change kChanges[] = {
    {"in place, the status as it was", "data.json",
     [](const std::string &d, const std::string &t) { put(d + "/data.json", t); },
     [](ScriptedFileSystem &files, const std::string &d, const std::string &t, int) {
         std::string p = d + "/data.json";
         files.keepStatus(p);
         FILE *f = fopen(p.c_str(), "r+");
         ASSERT_NE(f, nullptr);
         ASSERT_EQ(ftruncate(fileno(f), 0), 0);
         ASSERT_EQ(fwrite(t.data(), 1, t.size(), f), t.size());
         fclose(f);
     }},
    {"renamed over", "data.json",
     [](const std::string &d, const std::string &t) { put(d + "/data.json", t); },
     [](ScriptedFileSystem &, const std::string &d, const std::string &t, int) { putByRename(d + "/data.json", t); }},
    {"deleted and created again", "data.json",
     [](const std::string &d, const std::string &t) { put(d + "/data.json", t); },
     [](ScriptedFileSystem &, const std::string &d, const std::string &t, int) {
         ASSERT_EQ(unlink((d + "/data.json").c_str()), 0);
         put(d + "/data.json", t);
     }},
    {"a symbolic link to the file pointed elsewhere", "link.json",
     [](const std::string &d, const std::string &t) {
         put(d + "/a0.json", t);
         ASSERT_EQ(symlink((d + "/a0.json").c_str(), (d + "/link.json").c_str()), 0);
     },
     [](ScriptedFileSystem &, const std::string &d, const std::string &t, int step) {
         std::string target = d + "/a" + std::to_string(step) + ".json";
         put(target, t);
         ASSERT_EQ(symlink(target.c_str(), (d + "/link.tmp").c_str()), 0);
         ASSERT_EQ(rename((d + "/link.tmp").c_str(), (d + "/link.json").c_str()), 0);
     }},
    {"a ..data folder link swapped", "data.json",
     [](const std::string &d, const std::string &t) {
         run("mkdir " + d + "/..v0 " + d + "/..v1");
         put(d + "/..v0/data.json", t);
         ASSERT_EQ(symlink("..v0", (d + "/..data").c_str()), 0);
         ASSERT_EQ(symlink("..data/data.json", (d + "/data.json").c_str()), 0);
     },
     [](ScriptedFileSystem &, const std::string &d, const std::string &t, int step) {
         std::string version = "..v" + std::to_string(step % 2);
         put(d + "/" + version + "/data.json", t);       // the folder not in use
         ASSERT_EQ(symlink(version.c_str(), (d + "/..data_tmp").c_str()), 0);
         ASSERT_EQ(rename((d + "/..data_tmp").c_str(), (d + "/..data").c_str()), 0);
     }},
    {"the folder renamed away and another put in its place", "sub/data.json",
     [](const std::string &d, const std::string &t) {
         run("mkdir " + d + "/sub");
         put(d + "/sub/data.json", t);
     },
     [](ScriptedFileSystem &, const std::string &d, const std::string &t, int step) {
         std::string away = d + "/old" + std::to_string(step);
         ASSERT_EQ(rename((d + "/sub").c_str(), away.c_str()), 0);
         run("mkdir " + d + "/sub");
         put(d + "/sub/data.json", t);
     }},
    {"other files of the folder changing all along", "data.json",
     [](const std::string &d, const std::string &t) { put(d + "/data.json", t); },
     [](ScriptedFileSystem &, const std::string &d, const std::string &t, int step) {
         for (int i = 0; i < 300; ++i) {
             std::string other = d + "/other" + std::to_string(i % 7);
             put(other, std::to_string(step * i));
             if (i % 3 == 0) {
                 unlink(other.c_str());
             }
         }
         putByRename(d + "/data.json", t);
     }},
};

struct Mode {
    ChangeCheck failing;        // what the seam makes fail
    ChangeCheck expected;
};

const Mode kModes[] = {
    {ChangeCheck::Notified, ChangeCheck::Notified},
    {ChangeCheck::NoInstance, ChangeCheck::NoInstance},
    {ChangeCheck::NoWatch, ChangeCheck::NoWatch},
    {ChangeCheck::RemoteFileSystem, ChangeCheck::RemoteFileSystem},
};

long targetedId(ModelCache &cache, const std::string &path, ChangeCheck *check) {
    CountingAllocator memory;
    ModelHold hold;
    vantorell::Result status = cache.acquire(path.c_str(), &hold, check);
    if (!status.ok()) {
        return -1;
    }
    vantorell::TargetedList targeted;
    if (!vantorell::targetModel(hold, "alpha/shop", &memory, &targeted).ok()
        || targeted.size() != 1) {
        return -2;
    }
    return targeted[0].experimentId;
}

// A cache of its own, on a file system that fails as `failing` says.
struct Seam {
    explicit Seam(ChangeCheck failing) : files(failing), cache(files) {}
    ScriptedFileSystem files;
    ModelCache cache;
};

// Every way of changing the path shows on the very next request, with
// notifications and with each reason to check the status instead; requests
// between changes keep the model.
TEST(ModelCacheChangeTest, EveryWayOfChangingThePathShowsOnTheNextRequest) {
    // the same size, so that only the contents differ
    const std::string texts[] = {file({experiment(1, "shop", "C")}),
                                 file({experiment(2, "shop", "C")})};
    for (const Mode &mode : kModes) {
        for (const Change &change : kChanges) {
            SCOPED_TRACE(std::string(change.name) + ", failing "
                         + std::to_string(static_cast<int>(mode.failing)));
            Seam seam(mode.failing);
            TempDir dir;
            std::string path = dir.path() + "/" + change.path;
            change.setUp(dir.path(), texts[0]);
            ChangeCheck check = ChangeCheck::Notified;
            ASSERT_EQ(targetedId(seam.cache, path, &check), 1);
            EXPECT_EQ(check, mode.expected);
            for (int step = 1; step <= 4; ++step) {
                change.change(seam.files, dir.path(), texts[step % 2], step);
                for (int again = 0; again < 2; ++again) {
                    ASSERT_EQ(targetedId(seam.cache, path, &check), step % 2 ? 2 : 1) << "step " << step;
                }
            }
        }
    }
}

// With notifications, a file written a moment ago is read once, as an old
// one is; without, it is read again while its times are too recent to tell a
// change, but a time far from now, ahead or behind, does not keep it so.
TEST(ModelCacheChangeTest, ReadsAFileAgainOnlyWhileItsTimesCannotTell) {
    const std::string text = file({experiment(1, "shop", "C")});
    struct Case {
        ChangeCheck failing;
        long mtimeOffset;            // from now, once the change time is old
        bool fresh;                  // requests right after writing
        size_t rereads;              // reads by the next three requests
    };
    const Case cases[] = {
        {ChangeCheck::Notified, 0, true, 0},
        {ChangeCheck::NoWatch, 0, true, 3},
        {ChangeCheck::NoWatch, 3600, false, 0},
        {ChangeCheck::NoWatch, -3600, false, 0},
        {ChangeCheck::RemoteFileSystem, 86400, false, 0},
    };
    // files whose modification times lie far from now; setting a time sets
    // the change time to now, so their change times are let age first
    TempDir dir;
    auto aged = [&](long offset) { return dir.path() + "/aged" + std::to_string(offset); };
    time_t latest = 0;
    for (const Case &c : cases) {
        if (!c.fresh) {
            put(aged(c.mtimeOffset), text);
            struct timespec times[2] = {{0, UTIME_OMIT}, {time(nullptr) + c.mtimeOffset, 0}};
            ASSERT_EQ(utimensat(AT_FDCWD, aged(c.mtimeOffset).c_str(), times, 0), 0);
            struct stat st;
            ASSERT_EQ(stat(aged(c.mtimeOffset).c_str(), &st), 0);
            latest = std::max(latest, st.st_ctim.tv_sec);
        }
    }
    for (int i = 0; i < 50 && time(nullptr) < latest + 3; ++i) {      // bounded
        usleep(100 * 1000);
    }
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(static_cast<int>(c.failing)) + " " + std::to_string(c.mtimeOffset));
        Seam seam(c.failing);
        std::string used = aged(c.mtimeOffset);
        if (c.fresh) {
            used = dir.path() + "/fresh" + std::to_string(static_cast<int>(c.failing));
            put(used, text);
        }
        ChangeCheck check;
        ASSERT_EQ(targetedId(seam.cache, used, &check), 1);
        size_t before = seam.files.reads();
        for (int i = 0; i < 3; ++i) {
            ASSERT_EQ(targetedId(seam.cache, used, &check), 1);
        }
        EXPECT_EQ(seam.files.reads() - before, c.rereads);
    }
}

// A path with no usable file is tried once while notifications tell when
// that changes, on every request otherwise; either way the file that appears
// is used by the next request.
TEST(ModelCacheChangeTest, AMissingFileIsTriedAgainOnlyWhenNotificationsCannotTell) {
    const std::string text = file({experiment(1, "shop", "C")});
    for (const Mode &mode : kModes) {
        SCOPED_TRACE(static_cast<int>(mode.failing));
        Seam seam(mode.failing);
        TempDir dir;
        std::string path = dir.path() + "/data.json";
        ChangeCheck check;
        ASSERT_EQ(targetedId(seam.cache, path, &check), -1);
        size_t before = seam.files.reads();
        for (int i = 0; i < 3; ++i) {
            ASSERT_EQ(targetedId(seam.cache, path, &check), -1);
        }
        EXPECT_EQ(seam.files.reads() - before,
                  mode.expected == ChangeCheck::Notified ? 0u : 3u);
        putByRename(path, text);
        EXPECT_EQ(targetedId(seam.cache, path, &check), 1);
        chmod(path.c_str(), 0);
        if (geteuid() != 0) {
            EXPECT_EQ(targetedId(seam.cache, path, &check), -1);
        }
        chmod(path.c_str(), 0644);
        EXPECT_EQ(targetedId(seam.cache, path, &check), 1);
    }
}

// A worker at its descriptor limit when the file changes cannot open it for
// a moment: that says nothing about the file, and the next request reads it.
TEST(ModelCacheChangeTest, AFileThatFoundNoDescriptorIsReadOnTheNextRequest) {
    Seam seam(ChangeCheck::Notified);
    TempDir dir;
    std::string path = dir.path() + "/data.json";
    putByRename(path, file({experiment(1, "shop", "C")}));
    ChangeCheck check;
    ASSERT_EQ(targetedId(seam.cache, path, &check), 1);
    ASSERT_EQ(check, ChangeCheck::Notified);
    putByRename(path, file({experiment(2, "shop", "C")}));

    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    int lowest = open("/dev/null", O_RDONLY);
    ASSERT_NE(lowest, -1);
    close(lowest);
    struct rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowest);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    vantorell::Result status;
    {
        ModelHold hold;
        status = seam.cache.acquire(path.c_str(), &hold, &check);
    }
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_EQ(afresh::textOf(status),
              "Cannot open json file for now: no descriptor or memory to spare.");

    EXPECT_EQ(targetedId(seam.cache, path, &check), 2);
}

// ---- what a worker tells of its data file --------------------------------

using vantorell::FileReport;

FileReport reportOf(ModelCache &cache, const std::string &path) {
    ModelHold hold;
    ChangeCheck check;
    FileReport report;
    cache.acquire(path.c_str(), &hold, &check, &report);
    return report;
}

std::string told(const FileReport &report) {
    switch (report.kind) {
    case FileReport::Kind::Problem:
        return std::string("problem: ") + report.text.text;
    case FileReport::Kind::Usable:
        return "usable: " + std::to_string(report.experiments);
    case FileReport::Kind::None:
        break;
    }
    return "";
}

// Each problem once per state of the file (its identity and the problem's
// text), a usable file once after a problem, nothing while a state stays;
// with notifications, and where every request looks at the file.
TEST(ModelCacheReportTest, TellsEachStateOfTheFileOnce) {
    const std::string noId = "[{\"baseUrl\": \"b\"}]";
    struct Step {
        const char *content;            // null: the file removed
        std::string told;
    };
    const std::string two = file({experiment(1, "shop", "C"), experiment(2, "cart", "C")});
    const std::string one = file({experiment(3, "shop", "C")});
    const std::string badPattern = file({experiment(4, "(", "R")});
    const std::string badLetter = file({experiment(5, "shop", "C", "X")});
    const Step steps[] = {
        {nullptr, "problem: Cannot read json file."},
        {"{", "problem: Cannot read json file."},           // a file now
        {"[]", "problem: File is empty."},
        {noId.c_str(), "problem: Cannot read experiment id field of experiment number 1."},
        {noId.c_str(), "problem: Cannot read experiment id field of experiment number 1."},
        {two.c_str(), "usable: 2"},
        {one.c_str(), ""},
        {badPattern.c_str(), "problem: NGINX: Cannot compile regular expression: (, reason: missing )"},
        {badLetter.c_str(), "problem: Targeting configuration type does not exist for experiment 5."},
        {one.c_str(), "usable: 1"},
        {nullptr, "problem: Cannot read json file."},
    };
    for (ChangeCheck failing : {ChangeCheck::Notified, ChangeCheck::NoWatch}) {
        SCOPED_TRACE(static_cast<int>(failing));
        Seam seam(failing);
        TempDir dir;
        std::string path = dir.path() + "/data.json";
        int n = 0;
        for (const Step &step : steps) {
            SCOPED_TRACE("step " + std::to_string(n++));
            if (step.content == nullptr) {
                unlink(path.c_str());
            } else {
                putByRename(path, step.content);
            }
            EXPECT_EQ(told(reportOf(seam.cache, path)), step.told);
            for (int again = 0; again < 3; ++again) {
                EXPECT_EQ(told(reportOf(seam.cache, path)), "");
            }
        }
    }
}

// What nginx -t and start-up find in a file, without a cache or a watch.
TEST(ModelCacheReportTest, ChecksAFileAsAWorkerWouldUseIt) {
    TempDir dir;
    const std::string good = file({experiment(1, "^alpha/(shop|cart)$", "R")});
    const std::string badPattern = file({experiment(1, "shop", "C"), experiment(2, "a{2,1}", "R")});
    struct Case {
        const char *name;
        const char *content;            // null: no file
        const char *problem;            // null: usable
    };
    const Case cases[] = {
        {"missing", nullptr, "Cannot read json file."},
        {"not JSON", "[{", "Cannot read json file."},
        {"an empty list", "[]", "File is empty."},
        {"a missing member", "[{\"experimentId\": 3}]",
         "Cannot read baseUrl field of experiment number 1."},
        {"a pattern that does not compile", badPattern.c_str(),
         "NGINX: Cannot compile regular expression: a{2,1}, reason: numbers out of order in {} "
         "quantifier"},
        {"usable", good.c_str(), nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = dir.path() + "/" + c.name;
        if (c.content != nullptr) {
            put(path, c.content);
        }
        vantorell::FailureText problem{};
        EXPECT_EQ(vantorell::checkDataFile(path.c_str(), &problem), c.problem == nullptr);
        EXPECT_STREQ(problem.text, c.problem != nullptr ? c.problem : "");
    }
    vantorell::FailureText problem{};
    EXPECT_FALSE(vantorell::checkDataFile(dir.path().c_str(), &problem));   // a folder
    EXPECT_STREQ(problem.text, "Cannot read json file.");
}

}  // namespace
