// Visitor codes, their digests and the visitor's number.

#include <gtest/gtest.h>

#include "visitor.h"

#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include <sys/types.h>

// ---------------------------------------------------------------------------
// Controllable random sources.
//
// A scripted RandomSource stands in for getrandom and RAND_bytes: it makes
// them fail, deliver scripted bytes, return short reads or be interrupted,
// to reach the paths that a healthy machine never takes.

namespace fake_random {

enum class Mode { Scripted, Fail };

struct Sources : vantorell::RandomSource {
    Mode kernel = Mode::Scripted;
    Mode openssl = Mode::Scripted;
    size_t kernel_bytes_per_call = SIZE_MAX;  // short reads when small
    bool kernel_interrupted_first = false;    // EINTR before every delivery
    std::vector<unsigned char> script;        // then 0 bytes once used up
    size_t script_pos = 0;
    int kernel_calls = 0;
    int openssl_calls = 0;
    bool interrupt_next = true;

    unsigned char next_scripted_byte() {
        return script_pos < script.size() ? script[script_pos++] : 0;
    }

    ssize_t kernelBytes(unsigned char *buffer, size_t length) noexcept override {
        ++kernel_calls;
        if (kernel == Mode::Fail) {
            errno = ENOSYS;
            return -1;
        }
        if (kernel_interrupted_first && interrupt_next) {
            interrupt_next = false;
            errno = EINTR;
            return -1;
        }
        interrupt_next = true;
        size_t n = length < kernel_bytes_per_call ? length : kernel_bytes_per_call;
        for (size_t i = 0; i < n; ++i) buffer[i] = next_scripted_byte();
        return static_cast<ssize_t>(n);
    }

    bool libraryBytes(unsigned char *buffer, size_t length) noexcept override {
        ++openssl_calls;
        if (openssl == Mode::Fail) return false;
        for (size_t i = 0; i < length; ++i) buffer[i] = next_scripted_byte();
        return true;
    }
};

}  // namespace fake_random

namespace {

const std::string kAlphabet = "abcdefghijklmnopqrstuvwxyz01234567";

using vantorell::kCodeLength;

// A code from the host's sources, or from `random`.
std::string new_code() {
    char code[kCodeLength];
    vantorell::newVisitorCode(code, kCodeLength);
    return std::string(code, kCodeLength);
}

std::string new_code(vantorell::RandomSource &random) {
    char code[kCodeLength];
    vantorell::newVisitorCode(code, kCodeLength, random);
    return std::string(code, kCodeLength);
}

::testing::AssertionResult IsCode(const std::string &code, size_t length) {
    if (code.size() != length) {
        return ::testing::AssertionFailure() << "\"" << code << "\" has length " << code.size();
    }
    size_t bad = code.find_first_not_of(kAlphabet);
    if (bad != std::string::npos) {
        return ::testing::AssertionFailure() << "\"" << code << "\" has '" << code[bad] << "'";
    }
    return ::testing::AssertionSuccess();
}

// ---------------------------------------------------------------------------
// Visitor codes

TEST(VisitorCode, WritesExactlyLengthAlphabetCharacters) {
    for (size_t length : {size_t(0), size_t(1), size_t(2), kCodeLength, size_t(33), size_t(5000)}) {
        SCOPED_TRACE(length);
        std::vector<char> buffer(length + 1, 'X');
        vantorell::newVisitorCode(buffer.data(), length);
        EXPECT_EQ(buffer[length], 'X') << "wrote past the code";
        EXPECT_TRUE(IsCode(std::string(buffer.data(), length), length));
    }
}

TEST(VisitorCode, CodesDoNotRepeat) {
    // Codes made back to back (as for visitors arriving together) must
    // differ: a repeat would merge two visitors into one.
    std::unordered_set<std::string> seen;
    for (int i = 0; i < 100000; ++i) {
        std::string code = new_code();
        ASSERT_TRUE(seen.insert(code).second) << "repeated code " << code << " after " << i;
    }
}

TEST(VisitorCode, EveryAlphabetCharacterOccursAndNoOther) {
    // 2,000 codes are 32,000 characters, about 940 of each: a character
    // that never shows up is unreachable, not unlucky.
    std::set<char> seen;
    for (int i = 0; i < 2000; ++i) {
        std::string code = new_code();
        ASSERT_TRUE(IsCode(code, kCodeLength));
        seen.insert(code.begin(), code.end());
    }
    EXPECT_EQ(std::string(seen.begin(), seen.end()), "01234567abcdefghijklmnopqrstuvwxyz");
}

TEST(VisitorCode, LeavesTheProcessPseudoRandomSequenceAlone) {
    // Other code in the worker draws from rand(); making a code must neither
    // reseed it nor consume from it.
    srand(42);
    int expected_first = rand();
    int expected_second = rand();

    srand(42);
    char code[kCodeLength];
    vantorell::newVisitorCode(code, kCodeLength);
    EXPECT_EQ(rand(), expected_first);
    vantorell::newVisitorCode(code, kCodeLength);
    EXPECT_EQ(rand(), expected_second);
}

// ---------------------------------------------------------------------------
// Where the random bytes come from and how they become characters

// Bytes 238 and above must be skipped (238 = 7 * 34); the rest map to
// byte % 34. Taking every byte modulo 34 would instead give 237 -> '7',
// 238 -> 'a', 255 -> 'r', ... and make 'a' to 'r' more likely than the rest.
const std::vector<unsigned char> kScript = {237, 238, 255, 0,   33, 34,  67,  68,  101, 236,
                                            239, 250, 25,  26,  51, 102, 200, 135, 17,  170};
const char kScriptCode[] = "7a7a7a76z0ra47ra";

struct SourceCase {
    const char *name;
    fake_random::Sources sources;
    bool kernel_used;
    bool openssl_used;
};

fake_random::Sources scripted(fake_random::Mode kernel, fake_random::Mode openssl,
                              size_t bytes_per_call = SIZE_MAX, bool interrupted = false) {
    fake_random::Sources s;
    s.kernel = kernel;
    s.openssl = openssl;
    s.kernel_bytes_per_call = bytes_per_call;
    s.kernel_interrupted_first = interrupted;
    s.script = kScript;
    return s;
}

TEST(VisitorCodeSource, ScriptedBytesGiveTheUniformlyMappedCode) {
    using fake_random::Mode;
    const SourceCase cases[] = {
        {"kernel in one read", scripted(Mode::Scripted, Mode::Fail), true, false},
        {"kernel one byte per read", scripted(Mode::Scripted, Mode::Fail, 1), true, false},
        {"kernel short reads, each after EINTR", scripted(Mode::Scripted, Mode::Fail, 3, true), true,
         false},
        {"kernel fails, OpenSSL takes over", scripted(Mode::Fail, Mode::Scripted), true, true},
    };
    for (const SourceCase &c : cases) {
        SCOPED_TRACE(c.name);
        fake_random::Sources sources = c.sources;
        EXPECT_EQ(new_code(sources), kScriptCode);
        EXPECT_EQ(sources.kernel_calls > 0, c.kernel_used);
        EXPECT_EQ(sources.openssl_calls > 0, c.openssl_used);
    }
}

TEST(VisitorCodeSource, RejectedBytesAreReplacedByMoreDraws) {
    // A first batch of bytes that are all rejected must not end the code
    // early nor be mapped anyway: the code comes from the bytes after them.
    fake_random::Sources s = scripted(fake_random::Mode::Scripted, fake_random::Mode::Fail);
    s.script.assign(1000, 255);
    s.script.insert(s.script.end(), kScript.begin(), kScript.end());
    EXPECT_EQ(new_code(s), kScriptCode);
}

TEST(VisitorCodeSource, WithoutAnyRandomSourceCodesAreStillValidAndDistinct) {
    fake_random::Sources s;
    s.kernel = fake_random::Mode::Fail;
    s.openssl = fake_random::Mode::Fail;

    std::unordered_set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        std::string code = new_code(s);
        ASSERT_TRUE(IsCode(code, kCodeLength));
        ASSERT_TRUE(seen.insert(code).second) << "repeated code " << code;
    }
    EXPECT_GT(s.kernel_calls, 0);
    EXPECT_GT(s.openssl_calls, 0);
}

// ---------------------------------------------------------------------------
// Digest

std::string digest_of(const std::string &code) {
    EXPECT_EQ(code.size(), kCodeLength);
    vantorell::Digest digest;
    EXPECT_TRUE(vantorell::visitorDigest(code.data(), &digest));
    char text[2 * sizeof(digest) + 2];
    text[sizeof(text) - 1] = 'X';
    vantorell::digestText(digest, text);
    EXPECT_EQ(text[sizeof(text) - 1], 'X') << "wrote past the 65 bytes";
    return std::string(text);
}

TEST(Digest, KnownVectors) {
    struct Case {
        std::string code;
        const char *hex;
    };
    const Case cases[] = {
        {"abcdefghijklmnop", "f39dac6cbaba535e2c207cd0cd8f154974223c848f727f98b3564cea569b41cf"},
        {"0123456789abcdef", "9f9f5111f7b27a781f1f1ddde5ebc2dd2b796bfc7365c9c28b548e564176929f"},
        {"zzzzzzzzzzzzzzzz", "a0d139df7200d6d3412f6240f3486bbece5f88f137d449a65be14a18db801847"},
        // only the 16 bytes count, whatever they hold, signed char or not
        {"a,b c\"d\x01\x7f\xff" "Path=;", "cd1a7d788ab7ea8bb388c01b2ea1891b9a74c6ad7783e73e973ea1cec2aeeb0f"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(digest_of(c.code), c.hex) << "code \"" << c.code << "\"";
    }
    // bytes after the code are not the code's
    std::string longer = "abcdefghijklmnop and more";
    vantorell::Digest a, b;
    vantorell::visitorDigest(longer.data(), &a);
    vantorell::visitorDigest("abcdefghijklmnop", &b);
    EXPECT_EQ(a, b);
}

TEST(Digest, DigestsInSeveralThreadsAtOnceDoNotMix) {
    // Digests reuse OpenSSL state from one call to the next; threads taking
    // digests at the same time must each get the digest of their own code.
    auto code_of = [](int thread, int i) {
        std::string code = "t" + std::to_string(thread) + "v" + std::to_string(i);
        code.resize(kCodeLength, '.');
        return code;
    };
    constexpr int kThreads = 4;
    constexpr int kPerThread = 50000;
    std::vector<std::vector<vantorell::Digest>> expected(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kPerThread; ++i) {
            vantorell::Digest d;
            vantorell::visitorDigest(code_of(t, i).data(), &d);
            expected[t].push_back(d);
        }
    }
    std::atomic<int> ready{0};
    std::vector<int> wrong(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            ready.fetch_add(1);
            while (ready.load() < kThreads) {
            }
            for (int i = 0; i < kPerThread; ++i) {
                vantorell::Digest d;
                vantorell::visitorDigest(code_of(t, i).data(), &d);
                if (expected[t][i] != d) ++wrong[t];
            }
        });
    }
    for (std::thread &thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(wrong[t], 0) << "thread " << t;
}

// ---------------------------------------------------------------------------
// The visitor's number: fixed values

vantorell::Digest digest_from_hex(const std::string &hex) {
    vantorell::Digest d{};
    for (size_t i = 0; i < d.size(); ++i) {
        d[i] = static_cast<unsigned char>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    }
    return d;
}

TEST(DigestNumber, VisitorCodeToNumber) {
    vantorell::Digest digest;
    ASSERT_TRUE(vantorell::visitorDigest("abcdefghijklmnop", &digest));
    double number = vantorell::visitorNumber(digest);
    EXPECT_EQ(number, 0.9516246571972513);
    char shown[16];
    std::snprintf(shown, sizeof(shown), "%.3f", number);
    EXPECT_STREQ(shown, "0.952");
}

std::string repeat(char c, size_t n) { return std::string(n, c); }

TEST(DigestNumber, KnownValues) {
    // D = 2^256 - 2^202 - 2^191 is the smallest digest that reaches 1.0:
    // 53 one bits, a zero, eleven one bits. Its 64-bit rounding is a tie
    // that goes up to an odd-then-tie 53-bit value, which goes up again.
    const std::string first_one = repeat('f', 13) + "bff8" + repeat('0', 47);
    const std::string below_it = repeat('f', 13) + "bff7" + repeat('f', 47);
    // Where rounding twice differs from rounding once: the bits after the
    // 53rd are 0 1111111111 1 followed by a lone 1 at the bottom. Straight to
    // 53 bits that is below half (down); to 64 bits it goes up to exactly
    // half, and from there ties-to-even goes up because the 53rd bit is odd.
    const std::string twice_up = "8" + repeat('0', 12) + "bff8" + repeat('0', 46) + "1";
    // The same with an even 53rd bit: the tie stays down.
    const std::string twice_even = "8" + repeat('0', 12) + "3ff8" + repeat('0', 46) + "1";

    struct Case {
        std::string hex;
        double expected;
    };
    const Case cases[] = {
        {repeat('0', 64), 0.0},
        {"8" + repeat('0', 63), 0.5},
        {"4" + repeat('0', 63), 0.25},
        {repeat('0', 63) + "1", std::ldexp(1.0, -256)},
        {repeat('f', 64), 1.0},
        {first_one, 1.0},
        {below_it, std::nextafter(1.0, 0.0)},
        {twice_up, 0.5 + std::ldexp(1.0, -52)},
        {twice_even, 0.5},
        {"0" + repeat('f', 63), 0.0625},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(c.hex.size(), 64u) << c.hex;
        EXPECT_EQ(vantorell::visitorNumber(digest_from_hex(c.hex)), c.expected) << c.hex;
    }
}

// ---------------------------------------------------------------------------
// The visitor's number against an exact integer computation

// 256-bit unsigned integer, limb 0 least significant.
using U256 = std::array<uint64_t, 4>;

bool bit(const U256 &d, int i) { return (d[i / 64] >> (i % 64)) & 1; }

void set_bit(U256 &d, int i) { d[i / 64] |= uint64_t(1) << (i % 64); }

int top_bit(const U256 &d) {
    for (int limb = 3; limb >= 0; --limb) {
        if (d[limb] != 0) return limb * 64 + 63 - __builtin_clzll(d[limb]);
    }
    return -1;
}

// Any bit set among bits 0 .. n-1.
bool any_below(const U256 &d, int n) {
    for (int i = 0; i < n; ++i) {
        if (bit(d, i)) return true;
    }
    return false;
}

// Bits lo .. lo+63 as one word.
uint64_t bits_from(const U256 &d, int lo) {
    uint64_t word = 0;
    for (int i = 0; i < 64; ++i) {
        if (lo + i < 256 && bit(d, lo + i)) word |= uint64_t(1) << i;
    }
    return word;
}

std::string to_hex(const U256 &d) {
    char text[65];
    std::snprintf(text, sizeof(text), "%016llx%016llx%016llx%016llx", (unsigned long long)d[3],
                  (unsigned long long)d[2], (unsigned long long)d[1], (unsigned long long)d[0]);
    return text;
}

// D rounded to 64 significant bits, to nearest-even, then to 53, to
// nearest-even, then scaled by 2^-256.
double exact_number(const U256 &d) {
    int top = top_bit(d);
    if (top < 0) return 0.0;

    uint64_t significand;
    int exponent;
    if (top <= 63) {
        significand = d[0];
        exponent = 0;
    } else {
        int lo = top - 63;
        significand = bits_from(d, lo);
        exponent = lo;
        bool half = bit(d, lo - 1);
        bool beyond_half = any_below(d, lo - 1);
        if (half && (beyond_half || (significand & 1))) {
            if (++significand == 0) {  // carried out of 64 bits
                significand = uint64_t(1) << 63;
                ++exponent;
            }
        }
    }

    int width = 64 - __builtin_clzll(significand);
    if (width > 53) {
        int shift = width - 53;
        uint64_t dropped = significand & ((uint64_t(1) << shift) - 1);
        uint64_t half = uint64_t(1) << (shift - 1);
        significand >>= shift;
        exponent += shift;
        if (dropped > half || (dropped == half && (significand & 1))) ++significand;
    }
    return std::ldexp(static_cast<double>(significand), exponent - 256);
}

uint64_t double_bits(double x) {
    uint64_t bits;
    std::memcpy(&bits, &x, sizeof(bits));
    return bits;
}

// Every digest is checked against the integer computation above, which
// shares no code with the module's.
class DigestNumberAgreement : public ::testing::Test {
protected:
    std::mt19937_64 rng{20240611};
    std::vector<U256> digests;
    int failures = 0;

    U256 random_digest() { return {rng(), rng(), rng(), rng()}; }

    // A random digest with exactly `zeros` leading zero bits (all zero for
    // 256).
    U256 with_leading_zeros(int zeros) {
        U256 d = random_digest();
        for (int i = 255; i > 255 - zeros && i >= 0; --i) d[i / 64] &= ~(uint64_t(1) << (i % 64));
        if (zeros < 256) set_bit(d, 255 - zeros);
        return d;
    }

    // A digest whose top set bit is `top` (>= 64), with the 64 significant
    // bits `significand` (top bit forced on), the bit after them `half`,
    // and one more bit at `sticky_at` below that (none when negative).
    static U256 shaped(int top, uint64_t significand, bool half, int sticky_at) {
        U256 d{0, 0, 0, 0};
        significand |= uint64_t(1) << 63;
        for (int i = 0; i < 64; ++i) {
            if ((significand >> i) & 1) set_bit(d, top - 63 + i);
        }
        if (half) set_bit(d, top - 64);
        if (sticky_at >= 0) set_bit(d, sticky_at);
        return d;
    }

    static U256 shaped(int top, uint64_t significand, bool half, bool sticky) {
        return shaped(top, significand, half, sticky ? 0 : -1);
    }

    // Reports the first few disagreements.
    void check(const U256 &d) {
        double direct = vantorell::visitorNumber(digest_from_hex(to_hex(d)));
        double exact = exact_number(d);
        if (double_bits(direct) != double_bits(exact) && ++failures <= 10) {
            ADD_FAILURE() << to_hex(d) << ": " << std::hexfloat << direct << ", exact " << exact;
        }
        if (!(direct >= 0.0 && direct <= 1.0) && ++failures <= 10) {
            ADD_FAILURE() << to_hex(d) << ": " << direct << " is outside [0, 1]";
        }
    }

    void check_all() {
        for (const U256 &d : digests) check(d);
        EXPECT_EQ(failures, 0);
    }

    // One digest of a shape drawn at random: uniform, with leading zero
    // bits, with the bits after the first 64 or the first 53 at or next to
    // a tie, or carrying into a new top bit.
    U256 mixed_digest() {
        int top = 64 + static_cast<int>(rng() % 192);
        // A lone bit somewhere below the half bit, or none.
        int sticky_at = top > 64 && rng() % 2 ? static_cast<int>(rng() % (top - 64)) : -1;
        uint64_t significand = rng();
        switch (rng() % 6) {
        case 0:
            return random_digest();
        case 1:
            return with_leading_zeros(static_cast<int>(rng() % 257));
        case 2:  // a tie at the 64-bit rounding, broken or not
            return shaped(top, significand, true, sticky_at);
        case 3: {  // a tie at the 53-bit rounding, exact or made by the first
            static const uint64_t kLow[] = {0x400, 0x3ff, 0x401, 0x3fe};
            significand = (significand & ~uint64_t(0x7ff)) | kLow[rng() % 4];
            return shaped(top, significand, rng() % 2 == 0, sticky_at);
        }
        case 4:  // all ones at the top, so that rounding up carries
            significand |= rng() % 2 ? ~uint64_t(0) : ~uint64_t(0x7ff);
            return shaped(top, significand, rng() % 2 == 0, sticky_at);
        default: {  // just short of a tie: no half bit, every bit below it set
            U256 d = shaped(top, significand, false, -1);
            for (int i = 0; i < top - 64; ++i) set_bit(d, i);
            return d;
        }
        }
    }
};

TEST_F(DigestNumberAgreement, UniformDigests) {
    for (int i = 0; i < 20000; ++i) digests.push_back(random_digest());
    check_all();
}

TEST_F(DigestNumberAgreement, DigestsWithLeadingZeroBits) {
    for (int zeros = 0; zeros <= 256; ++zeros) {
        for (int k = 0; k < 8; ++k) digests.push_back(with_leading_zeros(zeros));
    }
    check_all();
}

TEST_F(DigestNumberAgreement, TiesAtThe64BitRounding) {
    // Exactly halfway between two 64-bit values (half bit on, nothing
    // below), with even and odd significands, and just above halfway.
    for (int top = 65; top < 256; ++top) {
        for (int k = 0; k < 4; ++k) {
            uint64_t significand = rng();
            digests.push_back(shaped(top, significand & ~uint64_t(1), true, false));
            digests.push_back(shaped(top, significand | 1, true, false));
            digests.push_back(shaped(top, significand, true, true));
            digests.push_back(shaped(top, significand, false, true));
        }
        // All-ones significand at a tie carries into a new top bit.
        digests.push_back(shaped(top, ~uint64_t(0), true, false));
    }
    check_all();
}

TEST_F(DigestNumberAgreement, TiesAtThe53BitRounding) {
    // The 11 bits below the 53rd of the 64-bit significand exactly at half
    // (0x400), either exact already or reached only by the 64-bit rounding
    // (0x3ff plus a half bit), with both parities of the 53rd bit. And 0x400
    // with a tie at 64 bits, which stays at 0x400 (even): rounding that tie
    // up instead would turn the tie at 53 bits into a rounding up.
    for (int top = 65; top < 256; ++top) {
        for (int k = 0; k < 4; ++k) {
            uint64_t high = rng() & ~uint64_t(0x7ff);
            for (uint64_t parity : {uint64_t(0), uint64_t(0x800)}) {
                uint64_t upper = (high & ~uint64_t(0x800)) | parity;
                digests.push_back(shaped(top, upper | 0x400, false, false));
                digests.push_back(shaped(top, upper | 0x3ff, true, false));
                digests.push_back(shaped(top, upper | 0x3ff, true, true));
                digests.push_back(shaped(top, upper | 0x3ff, false, true));
                digests.push_back(shaped(top, upper | 0x400, false, true));
                digests.push_back(shaped(top, upper | 0x400, true, false));
            }
        }
    }
    check_all();
}

TEST_F(DigestNumberAgreement, AMillionMixedDigests) {
    for (int i = 0; i < 1000000; ++i) {
        check(mixed_digest());
    }
    EXPECT_EQ(failures, 0);
}

TEST(DigestNumberOracleSelfCheck, AgreesWithTheHandWorkedValues) {
    // Guards the oracle itself: the boundary digest, written bit by bit.
    U256 first_one{0, 0, 0, 0};
    for (int i = 203; i < 256; ++i) set_bit(first_one, i);
    for (int i = 191; i < 202; ++i) set_bit(first_one, i);
    EXPECT_EQ(to_hex(first_one), repeat('f', 13) + "bff8" + repeat('0', 47));
    EXPECT_EQ(exact_number(first_one), 1.0);

    U256 below = first_one;
    for (uint64_t &limb : below) {  // subtract 1, borrowing upwards
        if (limb-- != 0) break;
    }
    EXPECT_EQ(to_hex(below), repeat('f', 13) + "bff7" + repeat('f', 47));
    EXPECT_EQ(exact_number(below), std::nextafter(1.0, 0.0));
}

// ---------------------------------------------------------------------------
// The weighted choice of a variation.

struct ChoiceCase {
    const char *name;
    std::vector<std::pair<long, double>> variations;  // (id, weight), file order
    double number;
    bool chosen;
    long variationId;
};

TEST(ChoiceOfVariation, FirstRunningTotalAboveTheNumberWins) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // the running totals are taken from the file's last variation backwards
    const std::vector<std::pair<long, double>> aThenB = {{11, 0.5}, {12, 0.5}};
    const ChoiceCase cases[] = {
        {"0.95 gives A", aThenB, 0.95, true, 11},
        {"0.047 gives B", aThenB, 0.047, true, 12},
        {"exactly 0.5 is not above B's total", aThenB, 0.5, true, 11},
        {"0 gives B", aThenB, 0.0, true, 12},
        {"1.0 with totals up to 1.0 is the reference", aThenB, 1.0, false, 0},
        {"NaN number is the reference", aThenB, nan, false, 0},
        {"totals of 0.8 under 0.9", {{1, 0.5}, {2, 0.3}}, 0.9, false, 0},
        {"no variations", {}, 0.1, false, 0},
        {"a chosen variation may have id 0", {{0, 1.0}}, 0.3, true, 0},
        {"before a NaN weight", {{1, 0.3}, {2, nan}, {3, 0.6}}, 0.5, true, 3},
        {"at or after a NaN weight", {{1, 0.3}, {2, nan}, {3, 0.6}}, 0.7, false, 0},
    };

    for (const ChoiceCase &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<vantorell::Variation> variations;
        for (const auto &v : c.variations) {
            vantorell::Variation variation;
            variation.id = v.first;
            variation.weight = v.second;
            variations.insert(variations.begin(), variation);  // the model's order
        }
        const vantorell::Variation *chosen = vantorell::chooseVariation(variations, c.number);
        ASSERT_EQ(chosen != nullptr, c.chosen);
        if (chosen != nullptr) {
            EXPECT_EQ(chosen->id, c.variationId);
            EXPECT_GE(chosen, variations.data());
            EXPECT_LT(chosen, variations.data() + variations.size());
        }
    }
}

}  // namespace

// The code of a visitor id is part of what stored cookies and analytics hold:
// these values must never change.  They were computed independently of the
// module (Python's hashlib) from the documented rule.
TEST(VisitorCodeOfId, FixedCodes) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "xg06q2us4rjpcfe5"},
        {"42", "ndykksgf6ybcfqty"},
        {"user-42", "hbg10dfl41xdn22h"},
        {"\xc3\xbcn\xc3\xaf" "c\xc3\xb8" "d\xc3\xa9 \xe2\x9c\x93", "4ozrbdj6it1e34ub"},
        {std::string("a\0b\xff", 4), "1wzceejnwlzyqjzj"},
        {std::string(10000, 'x'), "yp6dffgj6d2f4fnr"},
    };
    for (const auto &c : cases) {
        char code[vantorell::kCodeLength + 1] = {};
        ASSERT_TRUE(vantorell::visitorCodeOfId(c.first.data(), c.first.size(), code));
        EXPECT_EQ(std::string(code), c.second) << c.first.size() << " bytes";
        EXPECT_EQ(vantorell::visitorCodeOffset(code, vantorell::kCodeLength), 0);
    }
}

// The digests after the first, which an id needs when its first digest has
// more than 16 bytes from 238 up: no findable id does, so the digests are
// checked themselves (SHA-256 of the id and n as 4 big-endian bytes, from
// Python's hashlib).
TEST(VisitorCodeOfId, FurtherDigests) {
    const struct {
        std::string id;
        uint32_t n;
        const char *hex;
    } cases[] = {
        {"user-42", 1, "47fb67fd86885224b2bb0b2657455629941adbebae7aca45a8c35d38fc9a920b"},
        {"user-42", 258, "896f13a542459977284454c50506e2a19970f58a588db92b8275572032139cfd"},
        {"", 0x01020304, "9f64a747e1b97f131fabb6b447296c9b6f0201e79fb3c5356e6c77e89b6a806a"},
    };
    for (const auto &c : cases) {
        vantorell::Digest digest{};
        ASSERT_TRUE(vantorell::visitorIdDigest(c.id.data(), c.id.size(), c.n, digest.data()));
        char hex[65];
        vantorell::digestText(digest, hex);
        EXPECT_STREQ(hex, c.hex) << c.id << " " << c.n;
    }
}

// Every character of the alphabet equally likely, at every position: the
// rejection of bytes from 238 up, not the bytes modulo 34.
TEST(VisitorCodeOfId, CharactersAreUniform) {
    constexpr int kIds = 34 * 300;
    std::vector<int> counts(256, 0);
    for (int i = 0; i < kIds; ++i) {
        std::string id = "account-" + std::to_string(i);
        char code[vantorell::kCodeLength];
        ASSERT_TRUE(vantorell::visitorCodeOfId(id.data(), id.size(), code));
        for (char c : code) {
            counts[static_cast<unsigned char>(c)]++;
        }
    }
    // 16 * 300 = 4800 expected per character; a chi-square over 33 degrees
    // of freedom above 80 happens by chance about once in 10^5 runs, while
    // taking bytes modulo 34 would give several hundred
    const double expected = kIds * 16.0 / 34;
    double chi2 = 0;
    for (const char *c = "abcdefghijklmnopqrstuvwxyz01234567"; *c; ++c) {
        double d = counts[static_cast<unsigned char>(*c)] - expected;
        chi2 += d * d / expected;
        counts[static_cast<unsigned char>(*c)] = 0;
    }
    EXPECT_LT(chi2, 80.0);
    for (int n : counts) {
        EXPECT_EQ(n, 0);
    }
}

// One rule on every nginx release: ";" alone separates cookies, so a "," or a
// quote inside another cookie's value cannot plant a code.
TEST(CookieReader, FindsTheCookieBySemicolonsAlone) {
    struct Case {
        const char *header;
        const char *value;  // null: no such cookie
    } cases[] = {
        {"vantorellVisitorCode=abc", "abc"},
        {"a=1; vantorellVisitorCode=abc; b=2", "abc"},
        {"a=1;vantorellVisitorCode=abc;b=2", "abc"},
        {"VANTORELLVISITORCODE=abc", "abc"},
        {"vantorellvisitorcode=xyz; vantorellVisitorCode=abc", "xyz"},
        {"vantorellVisitorCode  =  abc ;x", "abc "},
        {"vantorellVisitorCode=", ""},
        {"vantorellVisitorCode=a,b=c", "a,b=c"},
        {"x=\"a,vantorellVisitorCode=qqqqqqqqqqqqqqqq\"", nullptr},
        {"a=1, vantorellVisitorCode=abc", nullptr},
        {"xvantorellVisitorCode=abc", nullptr},
        {"vantorellVisitorCodex=abc; vantorellVisitorCode=def", "def"},
        {"vantorellVisitorCode; vantorellVisitorCode=def", "def"},
        {"vantorellVisitorCode=first; vantorellVisitorCode=second", "first"},
        {"vantorellVisitor", nullptr},
        {"", nullptr},
        {"\tvantorellVisitorCode=abc", nullptr},
    };
    const std::string name = "vantorellVisitorCode";
    for (const Case &c : cases) {
        std::string header = c.header;
        size_t start = 0;
        size_t length = 0;
        bool found = vantorell::findCookie(header.data(), header.size(), name.data(), name.size(),
                                           &start, &length);
        ASSERT_EQ(found, c.value != nullptr) << header;
        if (found) {
            EXPECT_EQ(header.substr(start, length), c.value) << header;
        }
    }
}

// One place per code: a code found where another was kept is not that code's.
TEST(NumberMemo, APlaceHoldsOneCodeAtATime) {
    vantorell::NumberMemo memo;
    vantorell::Digest one{}, two{};
    one[0] = 1;
    two[0] = 2;
    // codes that differ in one byte, until two share a place
    std::string a = "aaaaaaaaaaaaaaaa", b;
    memo.keep(a.data(), one, 0.25);
    for (char c = 'b'; c <= 'z'; c++) {
        b = a;
        b[15] = c;
        vantorell::Digest d;
        double n;
        EXPECT_FALSE(memo.find(b.data(), &d, &n)) << b;
    }
    memo.keep(b.data(), two, 0.75);
    vantorell::Digest d;
    double n = 0;
    ASSERT_TRUE(memo.find(b.data(), &d, &n));
    EXPECT_EQ(n, 0.75);
    EXPECT_EQ(d, two);
    if (memo.find(a.data(), &d, &n)) {
        // a different place: the first code is kept as it was
        EXPECT_EQ(n, 0.25);
        EXPECT_EQ(d, one);
    }
}
