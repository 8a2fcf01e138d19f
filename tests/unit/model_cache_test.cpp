// The per-worker model cache: the same results and texts as reading the file
// for every request, and a changed file seen by the very next request.

#include "model_cache.h"
#include "afresh.h"
#include "model_cache_testing.h"
#include "nginx_pool.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using afresh::Outcome;
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

Outcome throughCache(const char *path, const std::string &url, double number) {
    NginxPool pool;
    Outcome out;
    ModelHold hold;
    vantorell::Status status = vantorell::acquireModel(path, &hold);
    out.loaded = status.ok();
    if (!out.loaded) {
        out.message = afresh::textOf(status);
        return out;
    }
    vantorell::TargetedList targeted;
    status = vantorell::targetModel(hold, url.c_str(), pool.get(), &targeted);
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
    NginxPool pool;
    return afresh::fromFile(path, url, number, pool.get());
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

// A rewrite that keeps the size within one tick of a coarse file system
// clock leaves the file's status as it was: the contents tell.
TEST(ModelCacheTest, SeesARewriteThatLeavesTheStatusAsItWas) {
    TempFile data;
    const std::string a = file({experiment(1, "shop", "C")});
    const std::string b = file({experiment(2, "shop", "C")});
    ASSERT_EQ(a.size(), b.size());
    data.rewrite(a);
    for (int i = 0; i < 20; ++i) {
        const std::string &text = i % 2 ? b : a;
        data.rewrite(text);
        if (i > 0) {
            vantorell::adoptFileStatusForTesting(data.path());
        }
        Outcome o = throughCache(data.path(), "alpha/shop", 0.2);
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

// Targeting, the choice and the texts as the handler runs them.
TEST(ModelCacheTest, TargetsAndChoosesAsTheHandlerDoes) {
    TempFile data;
    data.replace(file({experiment(1, "shop", "C"), experiment(2, "cart", "C"),
                       experiment(3, "^alpha/(shop|cart)$", "R", "U")}));
    Outcome o = throughCache(data.path(), "alpha/shop", 0.7);
    EXPECT_EQ(o.choice, (std::vector<std::pair<long, long>>{{1, 10}, {3, 30}})) << o;
}

}  // namespace
