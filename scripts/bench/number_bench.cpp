// Cost per call of the digest text and of the visitor's number.
//
// Build and run by hand (optimised like the module):
//   g++ -std=c++17 -O2 -Imodule -o build/number_bench scripts/bench/number_bench.cpp
//       module/generate_random.cpp -lcrypto -lmpfr -lgmp
//   build/number_bench
//
// Each function runs over a fixed set of distinct inputs, several rounds, and
// the best round is reported, which is the least disturbed by the machine.

#include "generate_random.h"

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
    std::vector<std::array<char, VANTORELL_CODE_LENGTH + 1>> codes(kInputs);
    std::vector<std::array<char, 65>> digests(kInputs);
    for (int i = 0; i < kInputs; ++i) {
        generate_random_string(codes[i].data(), VANTORELL_CODE_LENGTH);
        sha256_string(codes[i].data(), digests[i].data());
    }

    double code_ns = best_ns_per_call([&](int i) {
        char code[VANTORELL_CODE_LENGTH + 1];
        generate_random_string(code, VANTORELL_CODE_LENGTH);
        sink_char = code[i % VANTORELL_CODE_LENGTH];
    });
    double digest_ns = best_ns_per_call([&](int i) {
        char out[65];
        sha256_string(codes[i].data(), out);
        sink_char = out[0];
    });
    double number_ns = best_ns_per_call(
        [&](int i) { sink_number = random_number_based_on_sha256(digests[i].data()); });

    std::printf("generate_random_string(16)      %9.1f ns/call\n", code_ns);
    std::printf("sha256_string                   %9.1f ns/call\n", digest_ns);
    std::printf("random_number_based_on_sha256   %9.1f ns/call\n", number_ns);
    return 0;
}
