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
// return code, the same text, the same experiments, variations and
// redirections), from a fresh model, from a model found again, and from the
// memo of URL results.  Before the bytes, the cache is given a decoy of the
// same length whose digits differ, targeted with the same URL; the bytes then
// replace it, by rename or in place, the latter also as within one tick of a
// coarse file system clock: a cache that failed to notice would answer for
// the decoy.
// The cache is emptied after each input, so that every input stands alone
// and the leak check sees all that an input allocated released.

#include "fuzz_support.h"

#include "visitor.h"
#include "model_cache.h"
#include "nginx_pool.h"
#include "read_configuration.h"
#include "targeting.h"
#include "targeting_internal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
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

void atExit()
{
    vantorell::clearModelCache();
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

// One line per outcome, so that two outcomes compare as texts and a mismatch
// prints both.
std::string describeFailure(const char *stage, const char *message)
{
    // the buffer must hold one terminated text
    FUZZ_CHECK(memchr(message, '\0', VANTORELL_MESSAGE_SIZE) != nullptr,
               "%s: unterminated message", stage);
    return std::string(stage) + ": " + message;
}

std::string describe(const TargetedExperiment *list)
{
    std::string text = "targeted:";
    for (const TargetedExperiment *t = list; t != nullptr; t = t->next) {
        text += " " + std::to_string(t->experimentId) + "=" + std::to_string(t->variationId);
        text += t->redirectUrl != nullptr ? " -> \"" + std::string(t->redirectUrl) + "\";"
                                          : " (no redirection);";
    }
    return text;
}

// What targeting may return: experiments of the model, never the ids that
// mean "not targeted" (0) or failure (-1).
void checkTargeted(ExperimentConfig *model, const TargetedExperiment *list)
{
    for (const TargetedExperiment *t = list; t != nullptr; t = t->next) {
        FUZZ_CHECK(t->experimentId != 0 && t->experimentId != -1, "id %ld targeted",
                   t->experimentId);
        FUZZ_CHECK(getExperimentConfigByExperimentId(model, t->experimentId) != nullptr,
                   "id %ld targeted but not in the model", t->experimentId);
        FUZZ_CHECK(t->variationId == 0 && t->redirectUrl == nullptr,
                   "a fresh record already has a variation");
    }
}

// A chosen variation is one of the experiment's, with its own redirection;
// the reference has none.
void checkChoices(ExperimentConfig *model, const TargetedExperiment *list)
{
    for (const TargetedExperiment *t = list; t != nullptr; t = t->next) {
        if (t->variationId == 0 && t->redirectUrl == nullptr) {
            continue;
        }
        const ExperimentConfig *e = getExperimentConfigByExperimentId(model, t->experimentId);
        bool found = false;
        for (const Variation *v = e->variations; v != nullptr && !found; v = v->next) {
            found = v->variationId == t->variationId && t->redirectUrl != nullptr &&
                    v->redirectUrl != nullptr && strcmp(v->redirectUrl, t->redirectUrl) == 0;
        }
        FUZZ_CHECK(found, "experiment %ld: variation %ld is not one of its own",
                   t->experimentId, t->variationId);
    }
}

// The outcome texts, measured and written into buffers of exactly the measured
// size, as the handler does.
void writeTexts(const TargetedExperiment *list)
{
    size_t length = vantorell::experimentsHeaderText(list, nullptr, 0);
    std::vector<char> header(length + 1);
    FUZZ_CHECK(vantorell::experimentsHeaderText(list, header.data(), header.size()) == length,
               "header text: measured and written lengths differ");
    FUZZ_CHECK(strlen(header.data()) == length, "header text: wrong length");

    if (list != nullptr && list->variationId != 0) {
        size_t size =
            vantorell::variationLocationText(list->experimentId, list->variationId, nullptr, 0) + 1;
        std::vector<char> location(size);
        FUZZ_CHECK(vantorell::variationLocationText(list->experimentId, list->variationId,
                                                    location.data(), size) == size - 1,
                   "location text: measured and written lengths differ");
        FUZZ_CHECK(strlen(location.data()) == size - 1, "location text: wrong length");
    }
}

// The data file read afresh, as when the cache cannot serve a request.
std::string uncached(const std::string &bytes, char *url, double threshold, ngx_pool_t *pool)
{
    char message[VANTORELL_MESSAGE_SIZE];
    ExperimentConfig *model = experimentConfigsFromText(bytes.c_str(), bytes.size(), message);
    if (model == nullptr) {
        return describeFailure("unusable", message);
    }

    TargetedExperiment *list = nullptr;
    int rc = getTargetedExperiments(model, &list, url, message, pool);
    if (rc == -1) {
        freeExperimentConfigs(model);
        return describeFailure("declined", message);
    }
    FUZZ_CHECK(rc == 1, "targeting returned %d", rc);
    checkTargeted(model, list);

    FUZZ_CHECK(completeTargetedExperimentsWithVariation(model, list, threshold) == 1,
               "the choice of variations failed");
    checkChoices(model, list);
    writeTexts(list);

    std::string outcome = describe(list);
    freeTargetedExperiments(list);
    freeExperimentConfigs(model);
    return outcome;
}

std::string targetCached(vantorell::ModelHandle *handle, char *url, double threshold,
                         ngx_pool_t *pool)
{
    char message[VANTORELL_MESSAGE_SIZE];
    TargetedExperiment *list = nullptr;
    int rc = vantorell::targetModel(handle, &list, url, message, pool);
    if (rc == -1) {
        return describeFailure("declined", message);
    }
    FUZZ_CHECK(rc == 1, "cached targeting returned %d", rc);
    FUZZ_CHECK(vantorell::completeModel(handle, list, threshold) == 1,
               "the cached choice of variations failed");
    writeTexts(list);
    std::string outcome = describe(list);
    freeTargetedExperiments(list);
    return outcome;
}

void checkSame(const char *what, const std::string &cached, const std::string &fresh)
{
    FUZZ_CHECK(cached == fresh, "%s differs from reading afresh:\n  cached: %s\n  afresh: %s",
               what, cached.c_str(), fresh.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (dataFile == nullptr) {
        dataFile = new DataFile();
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

    NginxPool pool;
    std::string fresh = uncached(bytes, url.data(), threshold, pool.get());
    if (getenv("VANTORELL_FUZZ_VERBOSE") != nullptr) {
        // what an input does, for the one who reads a finding
        fprintf(stderr, "url \"%s\", number %.17g: %s\n", url.c_str(), threshold, fresh.c_str());
    }

    // A request that holds the decoy's model while the file changes.
    char message[VANTORELL_MESSAGE_SIZE];
    dataFile->write(decoyOf(bytes), true);
    vantorell::ModelHandle decoy;
    bool decoyHeld = vantorell::acquireModel(dataFile->path(), &decoy, message);
    std::string decoyOutcome =
        decoyHeld ? targetCached(&decoy, url.data(), threshold, pool.get()) : std::string();

    // By rename, in place, or in place within one tick of a coarse clock
    // (the file's status then says nothing of the change).
    int replacement = static_cast<int>((url.size() + bytes.size()) % 3);
    dataFile->write(bytes, replacement != 0);
    if (replacement == 2) {
        vantorell::adoptFileStatusForTesting(dataFile->path());
    }

    // The first hold builds the model and targets with its compiled
    // patterns; the second finds the model again and answers from the memo.
    vantorell::ModelHandle first;
    vantorell::ModelHandle second;
    bool usable = vantorell::acquireModel(dataFile->path(), &first, message);
    if (decoyHeld) {
        // the replaced model lives on, unchanged, for as long as it is held
        FUZZ_CHECK(targetCached(&decoy, url.data(), threshold, pool.get()) == decoyOutcome,
                   "the held model changed when the file did");
        vantorell::releaseModel(&decoy);
    }
    if (!usable) {
        checkSame("acquiring the model", describeFailure("unusable", message), fresh);
        vantorell::clearModelCache();
        return 0;
    }
    checkSame("targeting the cached model", targetCached(&first, url.data(), threshold, pool.get()),
              fresh);

    FUZZ_CHECK(vantorell::acquireModel(dataFile->path(), &second, message),
               "the model was usable once, then not: %s", message);
    checkSame("targeting from the memo", targetCached(&second, url.data(), threshold, pool.get()),
              fresh);

    vantorell::releaseModel(&first);
    vantorell::releaseModel(&second);
    vantorell::clearModelCache();
    return 0;
}
