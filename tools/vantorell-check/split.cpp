/*
 * split: each variation's share by the module's choice rule, exactly, and as
 * observed over random visitor codes drawn as the module draws new ones.
 */
#include "check.h"
#include "outcome.h"
#include "split.h"
#include "visitor.h"

#include <cstdio>
#include <map>

namespace vcheck {

int split(const std::string &path, const Options &options)
{
    LoadedFile file;
    loadFile(path, &file);
    if (!file.usable) {
        fprintf(stderr, "%s: %s\n", printable(path).c_str(), printable(file.problem).c_str());
        return kExitErrors;
    }

    /* one run of codes for every experiment: a visitor's number is the same
     * in all of them, as on a server; counted as drawn, so that memory does
     * not grow with the number of visitors */
    size_t count = file.model.experiments.size();
    std::vector<std::map<long, unsigned long long>> counts(count);
    for (unsigned long long v = 0; v < options.visitors; v++) {
        char code[vantorell::kCodeLength];
        vantorell::newVisitorCode(code, sizeof(code));
        vantorell::Digest digest{};
        vantorell::visitorDigest(code, &digest);
        double number = vantorell::visitorNumber(digest);
        for (size_t i = 0; i < count; i++) {
            const vantorell::Variation *chosen =
                vantorell::chooseVariation(file.model.experiments[i].variations, number);
            counts[i][chosen != nullptr ? chosen->id : 0]++;
        }
    }

    Json out(json_object_new_array());
    for (size_t i = count; i-- > 0;) {
        const vantorell::Experiment &experiment = file.model.experiments[i];
        vantorell::Shares shares;
        if (!vantorell::expectedShares(experiment.variations, &shares)) {
            fprintf(stderr, "vantorell-check: out of memory\n");
            return kExitErrors;
        }
        std::map<long, unsigned long long> &observed = counts[i];
        auto observedShare = [&](long id) {
            return options.visitors == 0
                       ? 0.0
                       : static_cast<double>(observed[id]) / static_cast<double>(options.visitors);
        };

        if (options.format == Format::Json) {
            json_object *e = json_object_new_object();
            json_object_object_add(e, "id", json_object_new_int(vantorell::id32(experiment.id)));
            json_object_object_add(e, "position", json_object_new_int64(static_cast<int64_t>(count - i)));
            json_object_object_add(e, "visitors", json_object_new_int64(static_cast<int64_t>(options.visitors)));
            json_object *list = json_object_new_array();
            for (const vantorell::Share &share : shares) {
                json_object *s = json_object_new_object();
                json_object_object_add(s, "variation", json_object_new_int(vantorell::id32(share.id)));
                json_object_object_add(s, "expected", json_object_new_double(share.share));
                json_object_object_add(s, "observed", json_object_new_double(observedShare(share.id)));
                json_object_object_add(s, "count", json_object_new_int64(static_cast<int64_t>(observed[share.id])));
                json_object_array_add(list, s);
            }
            json_object_object_add(e, "shares", list);
            json_object_array_add(out.get(), e);
        } else {
            printf("experiment %d (number %zu in the file), %llu visitors\n",
                   vantorell::id32(experiment.id), count - i, options.visitors);
            printf("  %-14s %12s %12s %12s\n", "variation", "expected", "observed", "count");
            for (const vantorell::Share &share : shares) {
                char name[32];
                if (share.id == 0) {
                    snprintf(name, sizeof(name), "0 (reference)");
                } else {
                    snprintf(name, sizeof(name), "%d", vantorell::id32(share.id));
                }
                printf("  %-14s %11.4f%% %11.4f%% %12llu\n", name, 100.0 * share.share,
                       100.0 * observedShare(share.id), observed[share.id]);
            }
        }
    }
    if (options.format == Format::Json) {
        printJson(out.get());
    }
    return kExitClean;
}

}  // namespace vcheck
