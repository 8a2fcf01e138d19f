// What targeting costs per URL text, regular expressions included, without
// the worker's memo of URL texts in front of it: every call evaluates every
// condition of the data file, so the figures are what a URL never seen before
// costs.
//
//   regex_bench FILE...
//
// For each data file: the time of one targetExperiments call over a fixed set
// of distinct shop URL texts (best of several rounds, the least disturbed by
// the machine), and the same divided by the file's regular-expression
// conditions.  make bench builds and runs it on files of make_data.py.

#include "allocator.h"
#include "data_file.h"
#include "targeting.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kRounds = 9;
constexpr int kPasses = 3;

std::vector<std::string> urls()
{
    static const char *const shapes[] = {
        "shop.example/promo/spring-sale?utm_source=newsletter&n=%d",
        "shop.example/shop/category/bags?page=%d",
        "shop.example/product/%d-red-leather-shoe",
        "shop.example/en/blog/shoes-%d/",
        "shop.example/landing/hats-%d?utm_source=ads&utm_campaign=winter",
        "shop.example/category/mugs-%d/page-3",
        "shop.example/about/team?ref=%d",
    };
    std::vector<std::string> out;
    char text[256];
    for (int i = 0; i < 512; i++) {
        snprintf(text, sizeof(text), shapes[i % 7], i);
        out.emplace_back(text);
    }
    /* a long query, as a tracking link brings */
    std::string longUrl = "shop.example/promo/spring-sale?";
    while (longUrl.size() < 2000) {
        longUrl += "utm_term=abcdefghij0123456789&";
    }
    out.push_back(longUrl);
    return out;
}

size_t regexConditions(const vantorell::Model &model)
{
    size_t count = 0;
    for (const auto &experiment : model.experiments) {
        for (const auto &group : experiment.conditionGroups) {
            for (const auto &condition : group.conditions) {
                count += condition.matchType == 'R';
            }
        }
    }
    return count;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: regex_bench FILE...\n");
        return 2;
    }
    const std::vector<std::string> texts = urls();

    for (int f = 1; f < argc; f++) {
        std::string json;
        struct stat identity;
        vantorell::Model model;
        if (!vantorell::readDataFile(argv[f], &json, &identity).ok()
            || !vantorell::modelFromText(json.data(), json.size(), &model).ok())
        {
            fprintf(stderr, "regex_bench: cannot read %s\n", argv[f]);
            return 1;
        }
        vantorell::CompiledPatterns patterns;
        if (!patterns.compile(model)) {
            fprintf(stderr, "regex_bench: out of memory compiling %s\n", argv[f]);
            return 1;
        }

        /* the module lends the request's pool: blocks from the heap as well */
        vantorell::HeapAllocator memory;
        double best = 1e30;
        size_t targeted = 0;
        for (int round = 0; round < kRounds; round++) {
            auto start = std::chrono::steady_clock::now();
            for (int pass = 0; pass < kPasses; pass++) {
                for (const std::string &url : texts) {
                    vantorell::TargetedList list;
                    vantorell::Result status = vantorell::targetExperiments(
                        model, patterns, url.c_str(), &memory, &list);
                    if (!status.ok()) {
                        fprintf(stderr, "regex_bench: targeting failed on %s\n", url.c_str());
                        return 1;
                    }
                    targeted += list.size();
                }
            }
            double ns = std::chrono::duration<double, std::nano>(
                            std::chrono::steady_clock::now() - start).count()
                        / (double(kPasses) * texts.size());
            best = ns < best ? ns : best;
        }

        size_t regexes = regexConditions(model);
        printf("%-40s %5zu experiments %5zu patterns  %9.0f ns per URL  %7.1f ns per pattern"
               "  (%zu targeted)\n",
               argv[f], model.experiments.size(), regexes, best,
               regexes ? best / regexes : 0.0, targeted / kRounds);
    }
    return 0;
}
