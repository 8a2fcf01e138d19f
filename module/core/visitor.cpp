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
#include "visitor.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>

#include <sys/random.h>
#include <sys/types.h>
#include <unistd.h>

/* SHA256_Init and its kin: see sha256() */
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

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

/* getrandom(2) and OpenSSL: the sources of every worker. */
class HostRandom : public vantorell::RandomSource {
public:
    ssize_t kernelBytes(unsigned char *buffer, size_t length) noexcept override
    {
        return getrandom(buffer, length, 0);
    }

    bool libraryBytes(unsigned char *buffer, size_t length) noexcept override
    {
        return RAND_bytes(buffer, static_cast<int>(length)) == 1;
    }
};

/* Fills buf from the kernel's source, which never returns short for requests
 * of up to 256 bytes once the kernel pool is initialised, but may be
 * interrupted by a signal while it waits for that; partial results are
 * kept. */
bool fillFromKernel(vantorell::RandomSource &random, unsigned char *buf, size_t len)
{
    size_t done = 0;
    while (done < len) {
        ssize_t n = random.kernelBytes(buf + done, len - done);
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
void fillFromClockAndCounter(unsigned char *buf, size_t len)
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

void fillRandom(vantorell::RandomSource &random, unsigned char *buf, size_t len)
{
    if (fillFromKernel(random, buf, len) || random.libraryBytes(buf, len)) {
        return;
    }
    fillFromClockAndCounter(buf, len);
}

/* ---- the visitor's number ------------------------------------------------
 *
 * The digest's 256 bits rounded to 64 significant bits, then to a double's
 * 53, both to nearest-even, on the integer: no allocation and no big-number
 * library, a few tens of nanoseconds.  The unit tests prove it equal to an
 * exact computation on every boundary and a million random digests. */

/* 2^e for the exponents of normal doubles, -1022 to 1023: the bits of the
 * double directly, where std::ldexp would be a library call. */
double powerOfTwo(int e)
{
    uint64_t bits = static_cast<uint64_t>(e + 1023) << 52;
    double value;
    std::memcpy(&value, &bits, sizeof(value));
    return value;
}

/* words: the digest's 256 bits, most significant word first. */
double fractionOfBits(const uint64_t (&words)[4])
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
    /* The value is significand * 2^exponent. */
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
           * powerOfTwo(exponent - 256);
}

/* ---- digest ------------------------------------------------------------- */

const char kHexDigits[] = "0123456789abcdef";

/*
 * SHA-256 through OpenSSL's digest functions of their own, on a context on
 * the stack: the same implementation (and the same CPU instructions) that
 * the EVP interface reaches, without the provider's dispatch, the context
 * allocation or the lookup of the method that EVP adds to every digest,
 * which cost more than hashing a 16-byte code.  OpenSSL 3 marks them
 * deprecated for new protocols; they stay, and this is a plain hash of a
 * short text.
 */
bool sha256(const char *input, size_t length, unsigned char *digest,
            unsigned int *digestLength)
{
    SHA256_CTX ctx;
    bool done = SHA256_Init(&ctx) == 1 && SHA256_Update(&ctx, input, length) == 1
                && SHA256_Final(digest, &ctx) == 1;
    *digestLength = done ? SHA256_DIGEST_LENGTH : 0;
    return done;
}

} // namespace

namespace vantorell {

bool visitorIdDigest(const char *id, size_t length, uint32_t n, unsigned char *digest) noexcept
{
    unsigned int digestLength = 0;

    if (n == 0) {
        return sha256(id, length, digest, &digestLength) && digestLength == 32;
    }

    const unsigned char counter[4] = {
        static_cast<unsigned char>(n >> 24), static_cast<unsigned char>(n >> 16),
        static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n),
    };
    SHA256_CTX ctx;
    return SHA256_Init(&ctx) == 1 && SHA256_Update(&ctx, id, length) == 1
           && SHA256_Update(&ctx, counter, sizeof(counter)) == 1
           && SHA256_Final(digest, &ctx) == 1;
}

bool visitorCodeOfId(const char *id, size_t length, char *code) noexcept
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    size_t written = 0;

    /* each digest gives about 29.75 characters: the first almost always
     * suffices, and every further one is as likely to as the first */
    for (uint32_t n = 0; written < kCodeLength; ++n) {
        if (!visitorIdDigest(id, length, n, digest)) {
            return false;
        }
        for (size_t i = 0; i < 32 && written < kCodeLength; ++i) {
            if (digest[i] < kAcceptBelow) {
                code[written++] = kCodeAlphabet[digest[i] % kAlphabetSize];
            }
        }
    }
    return true;
}

RandomSource &hostRandom() noexcept
{
    static HostRandom host;
    return host;
}

void newVisitorCode(char *code, size_t length, RandomSource &random) noexcept
{
    size_t written = 0;
    while (written < length) {
        unsigned char chunk[kRandomChunk];
        fillRandom(random, chunk, sizeof(chunk));
        for (size_t i = 0; i < sizeof(chunk) && written < length; ++i) {
            if (chunk[i] < kAcceptBelow) {
                code[written++] = kCodeAlphabet[chunk[i] % kAlphabetSize];
            }
        }
    }
}

void newVisitorCode(char *code, size_t length) noexcept
{
    newVisitorCode(code, length, hostRandom());
}

bool visitorDigest(const char *code, Digest *digest) noexcept
{
    unsigned char bytes[EVP_MAX_MD_SIZE];
    unsigned int length = 0;

    if (!sha256(code, kCodeLength, bytes, &length) || length != digest->size()) {
        /* never uninitialised bytes: a failed digest reads as the number 0 */
        digest->fill(0);
        return false;
    }
    std::memcpy(digest->data(), bytes, digest->size());
    return true;
}

size_t NumberMemo::placeOf(const char *code) noexcept
{
    uint64_t a, b;
    std::memcpy(&a, code, 8);
    std::memcpy(&b, code + 8, 8);
    uint64_t h = (a * 0x9e3779b97f4a7c15ULL) ^ (b * 0xc2b2ae3d27d4eb4fULL);
    return static_cast<size_t>(h >> 54) % kPlaces;
}

bool NumberMemo::find(const char *code, Digest *digest, double *number) const noexcept
{
    const Place &place = places_[placeOf(code)];
    if (!place.used || std::memcmp(place.code, code, kCodeLength) != 0) {
        return false;
    }
    *digest = place.digest;
    *number = place.number;
    return true;
}

void NumberMemo::keep(const char *code, const Digest &digest, double number) noexcept
{
    Place &place = places_[placeOf(code)];
    std::memcpy(place.code, code, kCodeLength);
    place.digest = digest;
    place.number = number;
    place.used = true;
}

double visitorNumber(const Digest &digest) noexcept
{
    uint64_t words[4];
    for (int w = 0; w < 4; ++w) {
        uint64_t word = 0;
        for (int b = 0; b < 8; ++b) {
            word = (word << 8) | digest[8 * w + b];
        }
        words[w] = word;
    }
    return fractionOfBits(words);
}

void digestText(const Digest &digest, char *text) noexcept
{
    for (size_t i = 0; i < digest.size(); ++i) {
        text[2 * i] = kHexDigits[digest[i] >> 4];
        text[2 * i + 1] = kHexDigits[digest[i] & 0x0f];
    }
    text[2 * digest.size()] = '\0';
}

namespace {

/* RFC 6265 cookie-octet: %x21 / %x23-2B / %x2D-3A / %x3C-5B / %x5D-7E; a
 * table, as every byte of every code is looked up */
struct CookieOctets {
    bool is[256] = {};
    constexpr CookieOctets()
    {
        for (int c = 0x21; c <= 0x7e; c++) {
            is[c] = c != '"' && c != ',' && c != ';' && c != '\\';
        }
    }
};

constexpr CookieOctets kCookieOctets;

bool isCookieOctet(unsigned char c)
{
    return kCookieOctets.is[c];
}

}  // namespace

const Variation *chooseVariation(const std::vector<Variation> &variations,
                                 double number) noexcept
{
    double weightedSum = 0.0;
    for (const Variation &variation : variations) {
        weightedSum += variation.weight;
        if (weightedSum > number) {
            return &variation;
        }
    }
    return nullptr;
}

bool findCookie(const char *header, size_t headerLength, const char *name,
                size_t nameLength, size_t *start, size_t *length) noexcept
{
    /*
     * Up to 1.29.5 nginx split cookies on "," as well, so a value such as
     * x="a,vantorellVisitorCode=..." planted a code from inside another
     * cookie.  Reading them here, by one rule, gives every release the same
     * visitor.
     */
    if (nameLength == 0 || nameLength > headerLength) {
        return false;
    }

    /* a letter of the name matches either case: with bit 0x20 set, an
     * upper-case letter reads as its lower case and nothing else reads as a
     * letter; any other byte must match as it is */
    auto sameByte = [](unsigned char h, unsigned char n) {
        unsigned char lower = static_cast<unsigned char>(n | 0x20);
        return lower >= 'a' && lower <= 'z' ? static_cast<unsigned char>(h | 0x20) == lower
                                            : h == n;
    };

    size_t at = 0;
    while (at < headerLength) {
        bool named = headerLength - at >= nameLength;
        /* the name as the module writes it first: what nearly every client
         * sends back, compared at memcmp's speed */
        if (named && std::memcmp(header + at, name, nameLength) != 0) {
            for (size_t i = 0; named && i < nameLength; i++) {
                named = sameByte(static_cast<unsigned char>(header[at + i]),
                                 static_cast<unsigned char>(name[i]));
            }
        }
        if (named) {
            at += nameLength;
            while (at < headerLength && header[at] == ' ') {
                at++;
            }
            if (at < headerLength && header[at] == '=') {
                at++;
                while (at < headerLength && header[at] == ' ') {
                    at++;
                }
                const void *semicolon = std::memchr(header + at, ';', headerLength - at);
                size_t end = semicolon != nullptr
                                 ? static_cast<size_t>(static_cast<const char *>(semicolon) - header)
                                 : headerLength;
                *start = at;
                *length = end - at;
                return true;
            }
        }
        /* on to the next cookie */
        const void *semicolon = at < headerLength
                                    ? std::memchr(header + at, ';', headerLength - at)
                                    : nullptr;
        at = semicolon != nullptr
                 ? static_cast<size_t>(static_cast<const char *>(semicolon) - header) + 1
                 : headerLength;
        while (at < headerLength && header[at] == ' ') {
            at++;
        }
    }
    return false;
}

int visitorCodeOffset(const char *value, size_t length) noexcept
{
    static const char frontCookieKey[] = "_js_";
    const size_t frontLength = sizeof(frontCookieKey) - 1;

    if (length < kCodeLength) {
        return -1;
    }

    size_t offset = 0;
    if (std::memcmp(value, frontCookieKey, frontLength) == 0) {
        if (length < frontLength + kCodeLength) {
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
    for (size_t i = offset; i < offset + kCodeLength; i++) {
        if (!isCookieOctet(static_cast<unsigned char>(value[i]))) {
            return -1;
        }
    }

    return static_cast<int>(offset);
}

}  // namespace vantorell
