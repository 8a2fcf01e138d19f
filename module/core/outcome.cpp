/*
 * The outcome texts: see outcome.h.
 *
 * Written by hand rather than with snprintf: these texts are made for every
 * targeted request, and the C library's formatting machinery costs more than
 * the rest of the text's work together.
 */
#include "outcome.h"

#include <cstdint>
#include <cstring>

namespace vantorell {

namespace {

/* `value` in decimal from `p`, which has room for kIdTextLength bytes;
 * returns the end. */
char *writeNumber(int value, char *p) noexcept
{
    char digits[kIdTextLength];
    size_t n = 0;
    /* the magnitude in unsigned arithmetic, so INT_MIN has one too */
    uint32_t magnitude = value < 0 ? 0u - static_cast<uint32_t>(value)
                                   : static_cast<uint32_t>(value);
    if (value < 0) {
        *p++ = '-';
    }
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    while (n > 0) {
        *p++ = digits[--n];
    }
    return p;
}

char *writeText(const char *text, size_t n, char *p) noexcept
{
    std::memcpy(p, text, n);
    return p + n;
}

/* Appends to a buffer of `size` bytes as snprintf would: what does not fit
 * is dropped, the text stays NUL-terminated, and the length counts
 * everything. */
class TextWriter {
public:
    TextWriter(char *buffer, size_t size) noexcept : buffer_(buffer), size_(size) {}

    void text(const char *s, size_t n) noexcept
    {
        if (length_ + 1 < size_) {
            size_t room = size_ - 1 - length_;
            std::memcpy(buffer_ + length_, s, n < room ? n : room);
        }
        length_ += n;
    }

    void number(int value) noexcept
    {
        char digits[kIdTextLength];
        text(digits, static_cast<size_t>(writeNumber(value, digits) - digits));
    }

    size_t finish() noexcept
    {
        if (size_ > 0) {
            buffer_[length_ < size_ ? length_ : size_ - 1] = '\0';
        }
        return length_;
    }

private:
    char *buffer_;
    size_t size_;
    size_t length_ = 0;
};

/* Writes into a buffer known to hold the longest form of its text: no
 * bounds to mind. */
class StraightWriter {
public:
    explicit StraightWriter(char *buffer) noexcept : buffer_(buffer), p_(buffer) {}

    void text(const char *s, size_t n) noexcept { p_ = writeText(s, n, p_); }

    void number(int value) noexcept { p_ = writeNumber(value, p_); }

    size_t finish() noexcept
    {
        *p_ = '\0';
        return static_cast<size_t>(p_ - buffer_);
    }

private:
    char *buffer_;
    char *p_;
};

template <typename Writer>
size_t writeHeader(const TargetedList &targeted, Writer out) noexcept
{
    for (size_t i = 0; i < targeted.size(); i++) {
        if (i > 0) {
            out.text(", ", 2);
        }
        out.number(id32(targeted[i].experimentId));
        out.text("=", 1);
        out.number(id32(targeted[i].variationId));
    }
    return out.finish();
}

template <typename Writer>
size_t writeLocation(long experimentId, long variationId, Writer out) noexcept
{
    static const char kExperiment[] = "/experiment_";
    static const char kVariation[] = "_variation_";

    out.text(kExperiment, sizeof(kExperiment) - 1);
    out.number(id32(experimentId));
    out.text(kVariation, sizeof(kVariation) - 1);
    out.number(id32(variationId));
    return out.finish();
}

} // namespace

const char *outcomeName(Outcome outcome) noexcept
{
    static const char *const names[kOutcomes] = {
        "ignored", "flagged", "data_error", "targeting_error",
        "untargeted", "reference", "redirected", "error", "forced",
    };
    size_t i = static_cast<size_t>(outcome);
    return i < kOutcomes ? names[i] : "";
}

size_t idText(long id, char *buffer) noexcept
{
    return static_cast<size_t>(writeNumber(id32(id), buffer) - buffer);
}

/*
 * A buffer with room for the longest form is written straight, with no
 * bounds to mind: the handler always gives one, and the text is made for
 * every assigned request.
 */
size_t experimentsHeaderText(const TargetedList &targeted, char *buffer, size_t size) noexcept
{
    if (buffer != nullptr && size >= experimentsHeaderRoom(targeted)) {
        return writeHeader(targeted, StraightWriter(buffer));
    }
    return writeHeader(targeted, TextWriter(buffer, size));
}

size_t variationLocationText(long experimentId, long variationId, char *buffer,
                             size_t size) noexcept
{
    if (buffer != nullptr && size >= kVariationLocationRoom) {
        return writeLocation(experimentId, variationId, StraightWriter(buffer));
    }
    return writeLocation(experimentId, variationId, TextWriter(buffer, size));
}

}  // namespace vantorell
