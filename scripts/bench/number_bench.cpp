// Cost per call of a new code, the digest and the visitor's number.
//
// Build and run by hand (optimised like the module):
//   g++ -std=c++17 -O2 -Imodule/core -o build/number_bench scripts/bench/number_bench.cpp
//       module/core/visitor.cpp -lcrypto
//   build/number_bench
//
// Each function runs over a fixed set of distinct inputs, several rounds, and
// the best round is reported, which is the least disturbed by the machine.

#include "visitor.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr int kInputs = 4096;
constexpr int kRounds = 15;
constexpr int kPasses = 20;  // passes over the inputs per round

volatile double sink_number;
volatile char sink_char;

template <typename Fn>
double best_ns_per_call(Fn fn) {
    double best = 1e30;
    for (int round = 0; round < kRounds; ++round) {
        auto start = std::chrono::steady_clock::now();
        for (int pass = 0; pass < kPasses; ++pass) {
            for (int i = 0; i < kInputs; ++i) fn(i);
        }
        auto stop = std::chrono::steady_clock::now();
        double ns = std::chrono::duration<double, std::nano>(stop - start).count();
        ns /= double(kPasses) * kInputs;
        if (ns < best) best = ns;
    }
    return best;
}

}  // namespace

int main() {
    using vantorell::kCodeLength;
    std::vector<std::array<char, kCodeLength>> codes(kInputs);
    std::vector<vantorell::Digest> digests(kInputs);
    for (int i = 0; i < kInputs; ++i) {
        vantorell::newVisitorCode(codes[i].data(), kCodeLength);
        vantorell::visitorDigest(codes[i].data(), &digests[i]);
    }

    double code_ns = best_ns_per_call([&](int i) {
        char code[kCodeLength];
        vantorell::newVisitorCode(code, kCodeLength);
        sink_char = code[i % kCodeLength];
    });
    double digest_ns = best_ns_per_call([&](int i) {
        vantorell::Digest out;
        vantorell::visitorDigest(codes[i].data(), &out);
        sink_char = static_cast<char>(out[0]);
    });
    double number_ns = best_ns_per_call(
        [&](int i) { sink_number = vantorell::visitorNumber(digests[i]); });

    std::printf("newVisitorCode(16)   %9.1f ns/call\n", code_ns);
    std::printf("visitorDigest        %9.1f ns/call\n", digest_ns);
    std::printf("visitorNumber        %9.1f ns/call\n", number_ns);
    return 0;
}
