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

    Node out = Node::list();
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

        Node &e = out.add(Node::object());
        e.set("id", Node::integer(vantorell::id32(experiment.id)));
        e.set("position", Node::integer(static_cast<int64_t>(count - i)));
        e.set("visitors", Node::integer(static_cast<int64_t>(options.visitors)));
        e.line().format("experiment %d (number %zu in the file), %llu visitors",
                        vantorell::id32(experiment.id), count - i, options.visitors);
        e.line().format("  %-14s %12s %12s %12s", "variation", "expected", "observed", "count");
        Node &list = e.set("shares", Node::list());
        for (const vantorell::Share &share : shares) {
            Node &s = list.add(Node::object());
            s.set("variation", Node::integer(vantorell::id32(share.id)));
            s.set("expected", Node::number(share.share));
            s.set("observed", Node::number(observedShare(share.id)));
            s.set("count", Node::integer(static_cast<int64_t>(observed[share.id])));
            std::string name = share.id == 0 ? "0 (reference)"
                                             : std::to_string(vantorell::id32(share.id));
            s.line().format("  %-14s %11.4f%% %11.4f%% %12llu", name.c_str(), 100.0 * share.share,
                            100.0 * observedShare(share.id), observed[share.id]);
        }
    }
    printReport(out, options.format);
    return kExitClean;
}

}  // namespace vcheck
