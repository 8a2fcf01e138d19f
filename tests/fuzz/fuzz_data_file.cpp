// Fuzz target: the bytes of a data file through everything a request does
// with them: the reader, targeting of a URL, the choice of variations, the
// texts of the outcome and the release of it all, both afresh and through the
// per-worker cache.
//
// Input: "<URL text>\n<visitor code>\n<data file bytes>".  The URL text ends
// at its first NUL, as a C string does; the visitor's number is computed from
// the code the way the handler computes it.
//
// The cache must give exactly what reading the bytes afresh gives (the same
// outcome, the same text, the same experiments and variations), from a fresh
// model, from a model found again, and from the memo of URL results.  What
// nginx -t makes of the bytes (checkDataFile) must agree: the reader's text
// when the reader fails, and a problem of a readable file only where the
// targeting of the URL fails too.  vantorell-check lint must agree with nginx
// -t: an error exactly when the file cannot be used, among them the text that
// nginx -t gives.  Before the bytes, the cache is given a decoy of the
// same length whose digits differ, targeted with the same URL; the bytes then
// replace it, by rename or in place, the latter also as within one tick of a
// coarse file system clock: a cache that failed to notice would answer for
// the decoy.
// The cache is emptied after each input, so that every input stands alone
// and the leak check sees all that an input allocated released.

#include "fuzz_support.h"

#include "afresh.h"
#include "cached_targeting.h"
#include "check.h"
#include "model_cache.h"
#include "counting_allocator.h"
#include "outcome.h"
#include "scripted_file_system.h"
#include "visitor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The data file the cache reads: a private file made with mkstemp (never the
// module's default path), removed when the fuzzer exits normally.
class DataFile {
public:
    DataFile()
    {
        const char *dir = getenv("TMPDIR");
        path_ = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") +
                "/vantorell-fuzz-data-XXXXXX";
        int fd = mkstemp(path_.data());
        FUZZ_CHECK(fd != -1, "cannot create a temporary data file in %s", path_.c_str());
        close(fd);
    }

    const char *path() const { return path_.c_str(); }

    // In place (truncate and write, the inode stays) or by renaming a new file
    // over the old one, as the two ways operators replace the file.
    void write(const std::string &bytes, bool inPlace) const
    {
        std::string target = path_;
        if (!inPlace) {
            target += ".XXXXXX";
        }
        int fd = inPlace ? open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC)
                         : mkstemp(target.data());
        FUZZ_CHECK(fd != -1, "cannot open %s", target.c_str());
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
            FUZZ_CHECK(n > 0, "cannot write %s", target.c_str());
            done += static_cast<size_t>(n);
        }
        close(fd);
        if (!inPlace) {
            FUZZ_CHECK(rename(target.c_str(), path_.c_str()) == 0, "cannot rename %s",
                       target.c_str());
        }
    }

    void remove() const { unlink(path_.c_str()); }

private:
    std::string path_;
};

DataFile *dataFile = nullptr;

// The cache under test, on a file system that can leave a rewritten file's
// status as it was.
ScriptedFileSystem *files = nullptr;
vantorell::ModelCache *cache = nullptr;

void atExit()
{
    cache->clear();
    if (dataFile != nullptr) {
        dataFile->remove();
    }
}

// The bytes with every digit moved on by one: ids and weights change, the
// shape and the length stay.
std::string decoyOf(const std::string &bytes)
{
    std::string decoy = bytes;
    for (char &c : decoy) {
        if (c >= '0' && c <= '9') {
            c = c == '9' ? '0' : static_cast<char>(c + 1);
        }
    }
    return decoy;
}

std::string describe(const afresh::Outcome &outcome)
{
    std::ostringstream text;
    text << outcome;
    return text.str();
}

// What targeting may return: experiments of the model, never the ids that
// mean "not targeted" (0) or once meant failure (-1), none with a variation
// yet.
void checkTargeted(const vantorell::Model &model, const vantorell::TargetedList &list)
{
    for (const vantorell::Targeted &t : list) {
        FUZZ_CHECK(t.experimentId != 0 && t.experimentId != -1, "id %ld targeted",
                   t.experimentId);
        FUZZ_CHECK(vantorell::findExperiment(model, t.experimentId) != nullptr,
                   "id %ld targeted but not in the model", t.experimentId);
        FUZZ_CHECK(t.variationId == 0, "a fresh record already has a variation");
    }
}

// A chosen variation is one of the experiment's own.
void checkChoices(const vantorell::Model &model, const vantorell::TargetedList &list)
{
    for (const vantorell::Targeted &t : list) {
        if (t.variationId == 0) {
            continue;
        }
        const vantorell::Experiment *e = vantorell::findExperiment(model, t.experimentId);
        bool found = false;
        for (const vantorell::Variation &v : e->variations) {
            found = found || v.id == t.variationId;
        }
        FUZZ_CHECK(found, "experiment %ld: variation %ld is not one of its own",
                   t.experimentId, t.variationId);
    }
}

// The outcome texts, measured and written into buffers of exactly the measured
// size, as the handler does.
void writeTexts(const vantorell::TargetedList &list)
{
    size_t length = vantorell::experimentsHeaderText(list, nullptr, 0);
    std::vector<char> header(length + 1);
    FUZZ_CHECK(vantorell::experimentsHeaderText(list, header.data(), header.size()) == length,
               "header text: measured and written lengths differ");
    FUZZ_CHECK(strlen(header.data()) == length, "header text: wrong length");

    if (!list.empty() && list.front().variationId != 0) {
        const vantorell::Targeted &first = list.front();
        size_t size =
            vantorell::variationLocationText(first.experimentId, first.variationId, nullptr, 0) + 1;
        std::vector<char> location(size);
        FUZZ_CHECK(vantorell::variationLocationText(first.experimentId, first.variationId,
                                                    location.data(), size) == size - 1,
                   "location text: measured and written lengths differ");
        FUZZ_CHECK(strlen(location.data()) == size - 1, "location text: wrong length");
    }
}

// A failure's text as the handler logs it: bounded.
std::string boundedText(const vantorell::Result &status)
{
    std::string text = afresh::textOf(status);
    FUZZ_CHECK(!text.empty() && text.size() < vantorell::kFailureTextSize,
               "a failure's text of %zu bytes", text.size());
    return text;
}

afresh::Outcome acquire(vantorell::ModelHold *hold)
{
    afresh::Outcome out;
    vantorell::Result status = cache->acquire(dataFile->path(), hold);
    out.loaded = status.ok();
    if (!status.ok()) {
        out.message = boundedText(status);
    }
    return out;
}

afresh::Outcome targetCached(const vantorell::ModelHold &hold, const std::string &url,
                             double threshold, vantorell::Allocator *memory)
{
    afresh::Outcome out;
    out.loaded = true;
    vantorell::TargetedList list;
    vantorell::Result status = vantorell::targetModel(hold, url.c_str(), memory, &list);
    if (!status.ok()) {
        out.rc = -1;
        out.message = boundedText(status);
        return out;
    }
    out.rc = 1;
    checkTargeted(hold.model(), list);
    vantorell::chooseVariations(hold, &list, threshold);
    checkChoices(hold.model(), list);
    writeTexts(list);
    for (const vantorell::Targeted &t : list) {
        out.choice.emplace_back(t.experimentId, t.variationId);
    }
    return out;
}

void checkSame(const char *what, const afresh::Outcome &cached, const afresh::Outcome &fresh)
{
    FUZZ_CHECK(cached == fresh, "%s differs from reading afresh:\n  cached: %s\n  afresh: %s",
               what, describe(cached).c_str(), describe(fresh).c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (dataFile == nullptr) {
        dataFile = new DataFile();
        files = new ScriptedFileSystem();
        cache = new vantorell::ModelCache(*files);
        atexit(atExit);
    }

    std::string_view input = fuzz::asText(data, size);
    std::string url(fuzz::takeLine(&input));
    url.resize(strnlen(url.c_str(), url.size()));
    std::string code(fuzz::takeLine(&input).substr(0, vantorell::kCodeLength));
    code.resize(vantorell::kCodeLength, '\0');
    std::string bytes(input);

    vantorell::Digest digest;
    vantorell::visitorDigest(code.data(), &digest);
    double threshold = vantorell::visitorNumber(digest);
    FUZZ_CHECK(threshold >= 0.0 && threshold < 1.0, "visitor's number %.17g", threshold);

    CountingAllocator memory;
    bool complete = true;
    const afresh::Outcome fresh = afresh::fromText(bytes, url, threshold, &memory, &complete);
    FUZZ_CHECK(complete, "the heap ran out reading afresh");
    if (getenv("VANTORELL_FUZZ_VERBOSE") != nullptr) {
        // what an input does, for the one who reads a finding
        fprintf(stderr, "url \"%s\", number %.17g: %s\n", url.c_str(), threshold,
                describe(fresh).c_str());
    }

    // A request that holds the decoy's model while the file changes.
    files->showStatus();
    dataFile->write(decoyOf(bytes), true);
    vantorell::ModelHold decoy;
    bool decoyHeld = acquire(&decoy).loaded;
    afresh::Outcome decoyOutcome;
    if (decoyHeld) {
        decoyOutcome = targetCached(decoy, url, threshold, &memory);
    }

    // By rename, in place, or in place within one tick of a coarse clock
    // (the file's status then says nothing of the change).
    int replacement = static_cast<int>((url.size() + bytes.size()) % 3);
    if (replacement == 2) {
        files->keepStatus(dataFile->path());
    }
    dataFile->write(bytes, replacement != 0);

    // What nginx -t says of the bytes: a problem when no request can use
    // them, with the reader's text, or with a failure that the targeting of
    // every URL text meets.
    vantorell::FailureText problem{};
    bool usable = vantorell::checkDataFile(dataFile->path(), &problem);
    if (!fresh.loaded) {
        FUZZ_CHECK(!usable && fresh.message == problem.text,
                   "checking the file says \"%s\", reading it \"%s\"", problem.text,
                   fresh.message.c_str());
    } else if (!usable) {
        FUZZ_CHECK(fresh.rc == -1, "checking the file says \"%s\", yet targeting succeeds",
                   problem.text);
    }

    // lint names every problem where nginx -t names the first: its errors
    // hold nginx -t's text (after the condition it concerns, when it
    // concerns one), and a file with no error is one that nginx -t accepts
    vcheck::LintReport report;
    CountingAllocator lintMemory;
    int linted = vcheck::lintPath(dataFile->path(), &report, &lintMemory);
    bool named = false, errors = false;
    for (const vcheck::LintProblem &found : report.problems) {
        errors = errors || found.error;
        size_t n = strlen(problem.text);
        named = named || (found.error && found.text.size() >= n
                          && found.text.compare(found.text.size() - n, n, problem.text) == 0);
    }
    FUZZ_CHECK(errors == !usable && (usable || named) && (linted == 2) == errors,
               "nginx -t says \"%s\", lint found %zu problems (exit %d), errors %d, named %d",
               usable ? "usable" : problem.text, report.problems.size(), linted, errors, named);
    FUZZ_CHECK(lintMemory.outstanding() == 0, "lint kept %ld blocks of the matcher's memory",
               lintMemory.outstanding());

    // The first hold builds the model and targets with its compiled
    // patterns; the second finds the model again and answers from the memo.
    vantorell::ModelHold first;
    vantorell::ModelHold second;
    afresh::Outcome acquired = acquire(&first);
    if (decoyHeld) {
        // the replaced model lives on, unchanged, for as long as it is held
        FUZZ_CHECK(targetCached(decoy, url, threshold, &memory) == decoyOutcome,
                   "the held model changed when the file did");
        decoy.release();
    }
    if (!acquired.loaded) {
        checkSame("acquiring the model", acquired, fresh);
        cache->clear();
        return 0;
    }
    checkSame("targeting the cached model", targetCached(first, url, threshold, &memory),
              fresh);

    afresh::Outcome again = acquire(&second);
    FUZZ_CHECK(again.loaded, "the model was usable once, then not: %s", again.message.c_str());
    checkSame("targeting from the memo", targetCached(second, url, threshold, &memory), fresh);

    first.release();
    second.release();
    cache->clear();
    // every evaluation gives the matcher's memory back by its end
    FUZZ_CHECK(memory.outstanding() == 0, "targeting kept %ld blocks of the matcher's memory",
               memory.outstanding());
    return 0;
}
