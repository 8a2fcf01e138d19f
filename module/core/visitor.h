/*
 * The visitor: the code that identifies them, the code's digest, the number
 * in [0, 1] that the digest gives, and the variation that number picks.
 */
#ifndef VANTORELL_VISITOR_H
#define VANTORELL_VISITOR_H

#include "data_file.h"

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vantorell {

/* Length of a visitor code. */
constexpr size_t kCodeLength = 16;

/* The cookie that keeps the visitor's code. */
constexpr char kCookieName[] = "vantorellVisitorCode";
constexpr size_t kCookieNameLength = sizeof(kCookieName) - 1;

/* A SHA-256 digest. */
using Digest = std::array<unsigned char, 32>;

/*
 * Where new visitor codes take their random bytes: the operating system's
 * sources, tried in this order for every batch of bytes.  When both fail,
 * the bytes are mixed from the clocks, the process id and a counter: codes
 * that stay distinct, though predictable.  hostRandom() is the host's own; a
 * test gives its own to choose what each source answers.
 */
class RandomSource {
public:
    virtual ~RandomSource() = default;

    /* As getrandom(2) without flags: the number of bytes written (perhaps
     * fewer than asked), or -1 with errno set (EINTR: interrupted, to be
     * asked again). */
    virtual ssize_t kernelBytes(unsigned char *buffer, size_t length) noexcept = 0;

    /* As OpenSSL's RAND_bytes: true when all `length` bytes were written. */
    virtual bool libraryBytes(unsigned char *buffer, size_t length) noexcept = 0;
};

/* getrandom(2) and OpenSSL's RAND_bytes. */
RandomSource &hostRandom() noexcept;

/* Writes `length` characters of the code alphabet into `code` (no NUL),
 * drawn uniformly from `random`'s bytes. */
void newVisitorCode(char *code, size_t length, RandomSource &random) noexcept;

/* newVisitorCode from the host's sources. */
void newVisitorCode(char *code, size_t length) noexcept;

/* The code of a visitor id (an account id, any bytes): kCodeLength
 * characters of the code alphabet drawn from digests of the id, the same for
 * the same id on every server and in every release.  Digest 0 is SHA-256 of
 * the id, digest n (n >= 1) SHA-256 of the id followed by n as 4 big-endian
 * bytes; their bytes are read in order, a byte below 238 gives the character
 * of index (byte mod 34), a byte from 238 up is skipped.  False, with no
 * code, when OpenSSL cannot take a digest. */
bool visitorCodeOfId(const char *id, size_t length, char *code) noexcept;

/*
 * The digests and numbers of the codes seen last, by code: a visitor sends
 * many requests with one code, and its number never changes, so a worker
 * takes the digest once.  Direct-mapped: a code whose place another holds
 * replaces it.  Not for several threads at once (a worker of nginx is one).
 */
class NumberMemo {
public:
    static constexpr size_t kPlaces = 1024;

    /* The digest and number of `code` (kCodeLength bytes), if known. */
    bool find(const char *code, Digest *digest, double *number) const noexcept;

    /* Keeps them, in place of whatever held the code's place. */
    void keep(const char *code, const Digest &digest, double number) noexcept;

private:
    struct Place {
        bool used = false;
        char code[16];
        Digest digest;
        double number;
    };

    static size_t placeOf(const char *code) noexcept;

    Place places_[kPlaces];
};

/* Digest n of that rule into digest[32]; false when OpenSSL cannot take it. */
bool visitorIdDigest(const char *id, size_t length, uint32_t n, unsigned char *digest) noexcept;

/* The value of cookie `name` in one Cookie header value, as nginx reads a
 * cookie from 1.29.6 on, whatever release the module runs in: cookies are
 * separated by ";" alone (a "," belongs to a value), the name is compared
 * without regard to case, blanks may stand around the "=", and the value runs
 * to the next ";" or the end.  On a match, sets *start and *length to where
 * the value lies in `header` and returns true. */
bool findCookie(const char *header, size_t headerLength, const char *name,
                size_t nameLength, size_t *start, size_t *length) noexcept;

/* Where the visitor code stands in a cookie value: 0 for a value of at least
 * 16 bytes, 4 for one that begins with the front end's "_js_" and has at
 * least 16 bytes after it, -1 when the value holds no usable code.  A code is
 * usable only when its 16 bytes are all cookie octets. */
int visitorCodeOffset(const char *value, size_t length) noexcept;

/* The SHA-256 digest of the code's kCodeLength bytes.  False, with a digest
 * of zeros (the number 0), when OpenSSL cannot take it. */
bool visitorDigest(const char *code, Digest *digest) noexcept;

/* The digest D read as a big-endian number: D / 2^256, with D rounded to 64
 * significant bits and the quotient to a double, both to nearest-even. */
double visitorNumber(const Digest &digest) noexcept;

/* The digest as 64 lower-case hexadecimal digits and a NUL (65 bytes). */
void digestText(const Digest &digest, char *text) noexcept;

/* The variation the visitor's number picks: the first whose running total of
 * weights, summed in the model's order (from the file's last variation),
 * exceeds the number.  Null: the reference. */
const Variation *chooseVariation(const std::vector<Variation> &variations,
                                 double number) noexcept;

}  // namespace vantorell

#endif
