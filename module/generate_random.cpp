/*
 * Visitor codes and the visitor's number.
 *
 * A visitor code is 16 characters drawn uniformly from a 34-character
 * alphabet using the operating system's cryptographic random source. The
 * visitor's number is the SHA-256 digest of the code read as a fraction of
 * 2^256, computed with exactly the two roundings described in the header so
 * that every server (and every other implementation) assigns the same
 * visitor to the same variations.
 */
#include "generate_random.h"
#include "generate_random_internal.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>

#include <sys/random.h>
#include <sys/types.h>
#include <unistd.h>

#include <mpfr.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

namespace {

/* ---- visitor codes ------------------------------------------------------ */

/* Only these 34 characters can appear in a code (no 8 and no 9): codes that
 * the front end or older servers issued use the same alphabet. */
const char kCodeAlphabet[] = "abcdefghijklmnopqrstuvwxyz01234567";
constexpr unsigned kAlphabetSize = sizeof(kCodeAlphabet) - 1;

/* The largest multiple of the alphabet size that fits in a byte. Bytes at or
 * above it are thrown away so that every character is equally likely;
 * taking every byte modulo 34 would favour the first 18 characters. */
constexpr unsigned kAcceptBelow = 256 / kAlphabetSize * kAlphabetSize;
static_assert(kAcceptBelow == 238, "7 * 34 bytes map evenly onto the alphabet");

/* Bytes fetched per request to the random source: enough for a whole code
 * in one system call almost always (16 characters need about 17.2 bytes on
 * average), small enough for the stack. */
constexpr size_t kRandomChunk = 64;

/* Fills buf from getrandom(2), which never returns short for requests of up
 * to 256 bytes once the kernel pool is initialised, but may be interrupted
 * by a signal while it waits for that; partial results are kept. */
bool fill_from_kernel(unsigned char *buf, size_t len)
{
    size_t done = 0;
    while (done < len) {
        ssize_t n = getrandom(buf + done, len - done, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool fill_from_openssl(unsigned char *buf, size_t len)
{
    return RAND_bytes(buf, static_cast<int>(len)) == 1;
}

/* splitmix64: a well-mixed bijection of its input. */
uint64_t mix64(uint64_t x)
{
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

/* Last resort when neither the kernel nor OpenSSL can supply random bytes
 * (a kernel without getrandom and an OpenSSL that cannot seed itself). A
 * visitor still needs a code, and a code that collides with nobody matters
 * more than one nobody can guess: the bytes mix the wall clock, the
 * monotonic clock, the process id and a per-process counter, so two calls in
 * one process never produce the same stream and two worker processes differ
 * by their ids. These codes are predictable; the situation is one the
 * operating system practically never produces. */
void fill_from_clock_and_counter(unsigned char *buf, size_t len)
{
    static std::atomic<uint64_t> calls{0};

    struct timespec wall = {0, 0};
    struct timespec mono = {0, 0};
    clock_gettime(CLOCK_REALTIME, &wall);
    clock_gettime(CLOCK_MONOTONIC, &mono);

    uint64_t state = mix64(static_cast<uint64_t>(wall.tv_sec) * 1000000000ULL
                           + static_cast<uint64_t>(wall.tv_nsec));
    state = mix64(state ^ (static_cast<uint64_t>(mono.tv_sec) * 1000000000ULL
                           + static_cast<uint64_t>(mono.tv_nsec)));
    state = mix64(state ^ static_cast<uint64_t>(getpid()));
    state = mix64(state ^ calls.fetch_add(1, std::memory_order_relaxed));

    for (size_t i = 0; i < len; i += 8) {
        state = mix64(state);
        for (size_t k = 0; k < 8 && i + k < len; ++k) {
            buf[i + k] = static_cast<unsigned char>(state >> (8 * k));
        }
    }
}

void fill_random(unsigned char *buf, size_t len)
{
    if (fill_from_kernel(buf, len) || fill_from_openssl(buf, len)) {
        return;
    }
    fill_from_clock_and_counter(buf, len);
}

/* ---- the visitor's number, the long way -------------------------------------
 *
 * The digest as a big number, its decimal text read by MPFR at 64 bits and
 * divided by 2^256. Kept as the reference that the direct computation below
 * is proven equal to, and for texts longer than a digest. */

/* Significant bits with which both the digest and 2^256 are held before the
 * division; together with the final rounding to a double this fixes the
 * exact numbers that the variation choice sees. */
constexpr mpfr_prec_t kNumberPrecision = 64;

class BigNum {
public:
    BigNum() = default;
    BigNum(const BigNum &) = delete;
    BigNum &operator=(const BigNum &) = delete;
    /* The digest identifies a visitor: wipe it, do not just free it. */
    ~BigNum() { BN_clear_free(bn_); }
    BIGNUM *get() const { return bn_; }
    /* For OpenSSL functions that allocate the number themselves. */
    BIGNUM **out() { return &bn_; }
    void reset(BIGNUM *bn)
    {
        BN_clear_free(bn_);
        bn_ = bn;
    }

private:
    BIGNUM *bn_ = nullptr;
};

class BigNumContext {
public:
    BigNumContext() : ctx_(BN_CTX_new()) {}
    BigNumContext(const BigNumContext &) = delete;
    BigNumContext &operator=(const BigNumContext &) = delete;
    ~BigNumContext() { BN_CTX_free(ctx_); }
    BN_CTX *get() const { return ctx_; }

private:
    BN_CTX *ctx_;
};

/* A text that OpenSSL allocated (BN_bn2dec). */
class OpensslText {
public:
    explicit OpensslText(char *text) : text_(text) {}
    OpensslText(const OpensslText &) = delete;
    OpensslText &operator=(const OpensslText &) = delete;
    ~OpensslText() { OPENSSL_free(text_); }
    const char *get() const { return text_; }

private:
    char *text_;
};

/* Releases the caches that MPFR may have filled and clears its exception
 * flags, so that nothing of one visitor's computation outlives the call.
 * Declared before the numbers so that it runs after they are cleared. */
class MpfrCleanup {
public:
    MpfrCleanup() = default;
    MpfrCleanup(const MpfrCleanup &) = delete;
    MpfrCleanup &operator=(const MpfrCleanup &) = delete;
    ~MpfrCleanup()
    {
        mpfr_free_cache();
        mpfr_clear_flags();
    }
};

/* The three numbers of the division, cleared dividend first. MPFR takes
 * their memory through GMP, whose allocator ends the process when memory
 * runs out rather than reporting it, so there is no failure to check. */
class DivisionOperands {
public:
    DivisionOperands()
    {
        mpfr_init2(dividend, kNumberPrecision);
        mpfr_init2(divisor, kNumberPrecision);
        mpfr_init2(quotient, kNumberPrecision);
    }
    DivisionOperands(const DivisionOperands &) = delete;
    DivisionOperands &operator=(const DivisionOperands &) = delete;
    ~DivisionOperands()
    {
        mpfr_clear(dividend);
        mpfr_clear(divisor);
        mpfr_clear(quotient);
    }

    mpfr_t dividend;
    mpfr_t divisor;
    mpfr_t quotient;
};

/* Reads an integer into an MPFR number through its decimal text, rounded to
 * the number's precision, to nearest. */
bool set_from_bignum(mpfr_t target, const BIGNUM *value)
{
    OpensslText decimal(BN_bn2dec(value));
    if (decimal.get() == nullptr) {
        return false;
    }
    return mpfr_set_str(target, decimal.get(), 10, MPFR_RNDN) == 0;
}

/* D: the value of the leading hexadecimal digits of the text. A text
 * without any (empty, not hexadecimal, or signed with a leading '-') counts
 * as 0, so that whatever a caller passes, the number stays at or above 0. */
bool read_digest(const char *text, BigNum &digest)
{
    if (BN_hex2bn(digest.out(), text) == 0 || BN_is_negative(digest.get())) {
        digest.reset(BN_new()); /* a new number is 0 */
    }
    return digest.get() != nullptr;
}

double digest_fraction(const char *sha256)
{
    /* Released in the reverse of this order: 2^256, 2, 256, the digest,
     * then the context. */
    BigNumContext ctx;
    BigNum digest;
    BigNum two_hundred_fifty_six;
    BigNum two;
    BigNum two_pow_256;

    if (ctx.get() == nullptr
        || !read_digest(sha256, digest)
        || BN_dec2bn(two.out(), "2") == 0
        || BN_dec2bn(two_hundred_fifty_six.out(), "256") == 0) {
        return 0.0;
    }
    two_pow_256.reset(BN_new());
    if (two_pow_256.get() == nullptr
        || BN_exp(two_pow_256.get(), two.get(), two_hundred_fifty_six.get(),
                  ctx.get()) != 1) {
        return 0.0;
    }

    MpfrCleanup mpfr_cleanup;
    DivisionOperands op;
    if (!set_from_bignum(op.dividend, digest.get())
        || !set_from_bignum(op.divisor, two_pow_256.get())) {
        return 0.0;
    }
    /* The divisor is a power of two, so the quotient is exact at 64 bits;
     * the only roundings are D's to 64 bits and the quotient's to a double. */
    mpfr_div(op.quotient, op.dividend, op.divisor, MPFR_RNDN);
    return mpfr_get_d(op.quotient, MPFR_RNDN);
}

/* ---- the visitor's number, directly -----------------------------------------
 *
 * The same two roundings on the digest's bits: no allocation, no decimal
 * text, a few tens of nanoseconds instead of microseconds. Rounding to a
 * number of significant bits does not depend on where the binary point is,
 * so the digits are read left-aligned into 256 bits (a text of n < 64 digits
 * is the value times 16^(64 - n)) and the scale is put back at the end. */

constexpr int kDigestDigits = 64;
constexpr unsigned char kNotHex = 0xff;

/* The value of each byte as a hexadecimal digit (either case), kNotHex for
 * every other byte; the same digits that OpenSSL's hex reader accepts,
 * independent of the locale. */
struct HexValues {
    unsigned char of[256];
    constexpr HexValues() : of()
    {
        for (int c = 0; c < 256; ++c) {
            of[c] = kNotHex;
        }
        for (int d = 0; d < 10; ++d) {
            of['0' + d] = static_cast<unsigned char>(d);
        }
        for (int d = 0; d < 6; ++d) {
            of['a' + d] = static_cast<unsigned char>(10 + d);
            of['A' + d] = static_cast<unsigned char>(10 + d);
        }
    }
};
constexpr HexValues kHex;

/* 2^e for the exponents of normal doubles, -1022 to 1023: the bits of the
 * double directly, where std::ldexp would be a library call. */
double power_of_two(int e)
{
    uint64_t bits = static_cast<uint64_t>(e + 1023) << 52;
    double value;
    std::memcpy(&value, &bits, sizeof(value));
    return value;
}

/* words: the 256 left-aligned bits, most significant word first; digits:
 * how many of the 64 digit places the text filled. */
double fraction_of_bits(const uint64_t (&words)[4], int digits)
{
    int first = 0;
    while (first < 4 && words[first] == 0) {
        ++first;
    }
    if (first == 4) {
        return 0.0;
    }

    /* The 64 bits from the top set bit on, and what follows them: the next
     * bit decides the rounding, any one bit after it breaks a tie. */
    int lead = __builtin_clzll(words[first]);
    uint64_t next = first < 3 ? words[first + 1] : 0;
    uint64_t significand = words[first] << lead;
    uint64_t after = next;
    if (lead > 0) {
        significand |= next >> (64 - lead);
        after = next << lead;
    }
    bool beyond = false;
    for (int i = first + 2; i < 4; ++i) {
        beyond = beyond || words[i] != 0;
    }
    /* The left-aligned value is significand * 2^exponent. */
    int exponent = 256 - 64 * first - lead - 64;

    /* First rounding: to 64 significant bits, to nearest, ties to even. A
     * carry out of an all-ones significand is the next power of two. */
    bool half = (after >> 63) != 0;
    bool sticky = (after << 1) != 0 || beyond;
    if (half && (sticky || (significand & 1) != 0)) {
        if (++significand == 0) {
            significand = uint64_t(1) << 63;
            ++exponent;
        }
    }

    /* Second rounding: those 64 bits to a double's 53, again to nearest,
     * ties to even, starting from the already rounded value. Done on the
     * integer rather than by the conversion to double, which would follow
     * whatever rounding mode the process has set. */
    constexpr int kDropped = 64 - 53;
    constexpr uint64_t kHalfDropped = uint64_t(1) << (kDropped - 1);
    uint64_t dropped = significand & ((uint64_t(1) << kDropped) - 1);
    uint64_t mantissa = significand >> kDropped;
    exponent += kDropped;
    if (dropped > kHalfDropped || (dropped == kHalfDropped && (mantissa & 1) != 0)) {
        ++mantissa; /* 2^53 at most: still exact as a double */
    }

    /* mantissa is 2^52 to 2^53 and the scale 2^-308 to 2^-52: both and their
     * product (2^-256 to 1) are normal doubles, so the product is exact. */
    return static_cast<double>(mantissa)
           * power_of_two(exponent - 256 - 4 * (kDigestDigits - digits));
}

/* ---- digest text -------------------------------------------------------- */

const char kHexDigits[] = "0123456789abcdef";

/* The SHA-256 implementation fetched from OpenSSL once per process: handing
 * EVP_sha256() to each digest makes OpenSSL look the implementation up again
 * every time, which costs more than hashing a visitor code. */
class Sha256Method {
public:
    Sha256Method() : md_(EVP_MD_fetch(nullptr, "SHA256", nullptr)) {}
    Sha256Method(const Sha256Method &) = delete;
    Sha256Method &operator=(const Sha256Method &) = delete;
    ~Sha256Method() { EVP_MD_free(md_); }
    const EVP_MD *get() const { return md_; }

private:
    EVP_MD *md_;
};

/* A digest context kept per thread and reinitialised for every digest, so
 * that a digest allocates nothing. Each digest's final step overwrites the
 * input it buffered; what stays is the last digest's result, which the
 * caller holds anyway. */
class Sha256Context {
public:
    Sha256Context() : ctx_(EVP_MD_CTX_new()) {}
    Sha256Context(const Sha256Context &) = delete;
    Sha256Context &operator=(const Sha256Context &) = delete;
    ~Sha256Context() { EVP_MD_CTX_free(ctx_); }
    EVP_MD_CTX *get() const { return ctx_; }

private:
    EVP_MD_CTX *ctx_;
};

bool sha256(const char *input, size_t length, unsigned char *digest,
            unsigned int *digest_length)
{
    static const Sha256Method method;
    thread_local const Sha256Context context;

    if (method.get() != nullptr && context.get() != nullptr) {
        return EVP_DigestInit_ex2(context.get(), method.get(), nullptr) == 1
               && EVP_DigestUpdate(context.get(), input, length) == 1
               && EVP_DigestFinal_ex(context.get(), digest, digest_length) == 1;
    }
    /* OpenSSL could not fetch or allocate ahead: the one-call form. */
    return EVP_Digest(input, length, digest, digest_length, EVP_sha256(), nullptr) == 1;
}

} // namespace

namespace vantorell {

double random_number_based_on_sha256_reference(const char *sha256)
{
    if (sha256 == nullptr) {
        return 0.0;
    }
    return digest_fraction(sha256);
}

}  // namespace vantorell

extern "C" {

void generate_random_string(char *result, int size)
{
    if (result == nullptr) {
        return;
    }
    int written = 0;
    while (written < size) {
        unsigned char chunk[kRandomChunk];
        fill_random(chunk, sizeof(chunk));
        for (size_t i = 0; i < sizeof(chunk) && written < size; ++i) {
            if (chunk[i] < kAcceptBelow) {
                result[written++] = kCodeAlphabet[chunk[i] % kAlphabetSize];
            }
        }
    }
    result[written] = '\0';
}

void sha256_string(char *input, char *output)
{
    if (output == nullptr) {
        return;
    }
    /* No digest can be taken of a missing text, and a failed digest must not
     * hand back uninitialised bytes: both leave an empty text, which reads as
     * the number 0. */
    output[0] = '\0';
    if (input == nullptr) {
        return;
    }

    size_t length = 0;
    while (input[length] != '\0') {
        ++length;
    }

    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_length = 0;
    if (!sha256(input, length, digest, &digest_length) || digest_length != 32) {
        return;
    }
    for (unsigned int i = 0; i < digest_length; ++i) {
        output[2 * i] = kHexDigits[digest[i] >> 4];
        output[2 * i + 1] = kHexDigits[digest[i] & 0x0f];
    }
    output[2 * digest_length] = '\0';
}

double random_number_based_on_sha256(char *sha256)
{
    if (sha256 == nullptr) {
        return 0.0;
    }
    const unsigned char *text = reinterpret_cast<const unsigned char *>(sha256);

    /* Sixteen digits to a word, up to the first byte that is not one; the
     * places after the last digit are 0. A text that starts with '-' has no
     * digits and so is 0, which is also what the long way makes of the
     * negative number that OpenSSL reads from it. */
    uint64_t words[4] = {0, 0, 0, 0};
    int digits = 0;
    for (int w = 0; w < 4 && digits == 16 * w; ++w) {
        uint64_t word = 0;
        for (; digits < 16 * w + 16; ++digits) {
            unsigned value = kHex.of[text[digits]];
            if (value == kNotHex) {
                break;
            }
            word = (word << 4) | value;
        }
        int empty_places = 16 * w + 16 - digits;
        words[w] = empty_places < 16 ? word << (4 * empty_places) : 0;
    }
    /* text[64] exists: the 64 bytes before it are digits, not the NUL. A
     * longer number is no digest and may reach beyond 1; it takes the long
     * way, which gives it the value it always had. */
    if (digits == kDigestDigits && kHex.of[text[kDigestDigits]] != kNotHex) {
        return vantorell::random_number_based_on_sha256_reference(sha256);
    }
    return fraction_of_bits(words, digits);
}

} // extern "C"

namespace {

/* RFC 6265 cookie-octet: %x21 / %x23-2B / %x2D-3A / %x3C-5B / %x5D-7E */
bool isCookieOctet(unsigned char c)
{
    return c >= 0x21 && c <= 0x7e && c != '"' && c != ',' && c != ';' && c != '\\';
}

}  // namespace

extern "C" int visitor_code_offset(const char *value, size_t length)
{
    static const char frontCookieKey[] = "_js_";
    const size_t frontLength = sizeof(frontCookieKey) - 1;

    if (value == nullptr || length < VANTORELL_CODE_LENGTH) {
        return -1;
    }
    size_t offset = 0;
    if (memcmp(value, frontCookieKey, frontLength) == 0) {
        if (length < frontLength + VANTORELL_CODE_LENGTH) {
            return -1;
        }
        offset = frontLength;
    }

    /*
     * The code goes back to the browser in Set-Cookie: a code with a byte that
     * a cookie value may not hold (blank, quote, comma, semicolon, backslash,
     * a control or a non-ASCII byte) would let a client write what it likes
     * into that header, so such a visitor counts as new.
     */
    for (size_t i = offset; i < offset + VANTORELL_CODE_LENGTH; i++) {
        if (!isCookieOctet(static_cast<unsigned char>(value[i]))) {
            return -1;
        }
    }

    return static_cast<int>(offset);
}
