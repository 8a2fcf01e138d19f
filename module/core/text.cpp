#include "text.h"

#include <cstdint>

namespace vantorell {

size_t utf8SequenceLength(const unsigned char *p, size_t left) noexcept
{
    if (left == 0) {
        return 0;
    }
    unsigned char c = p[0];
    size_t n;
    uint32_t point;
    if (c < 0x80) {
        return 1;
    } else if (c >= 0xc2 && c <= 0xdf) {
        n = 2, point = c & 0x1f;
    } else if (c >= 0xe0 && c <= 0xef) {
        n = 3, point = c & 0x0f;
    } else if (c >= 0xf0 && c <= 0xf4) {
        n = 4, point = c & 0x07;
    } else {
        return 0;
    }
    if (left < n) {
        return 0;
    }
    for (size_t i = 1; i < n; i++) {
        if ((p[i] & 0xc0) != 0x80) {
            return 0;
        }
        point = (point << 6) | (p[i] & 0x3f);
    }
    /* overlong forms, surrogates, past U+10FFFF */
    if ((n == 3 && point < 0x800) || (n == 4 && point < 0x10000)
        || (point >= 0xd800 && point <= 0xdfff) || point > 0x10ffff) {
        return 0;
    }
    return n;
}

namespace {

bool escaped(unsigned char c) noexcept
{
    return c < 0x20 || c >= 0x7f;
}

}  // namespace

char *logEscape(char *dst, const unsigned char *data, size_t length) noexcept
{
    static const char hex[] = "0123456789ABCDEF";
    for (size_t i = 0; i < length; i++) {
        if (escaped(data[i])) {
            *dst++ = '\\';
            *dst++ = 'x';
            *dst++ = hex[data[i] >> 4];
            *dst++ = hex[data[i] & 0xf];
        } else {
            *dst++ = static_cast<char>(data[i]);
        }
    }
    return dst;
}

size_t logEscapeExtra(const unsigned char *data, size_t length) noexcept
{
    size_t extra = 0;
    for (size_t i = 0; i < length; i++) {
        if (escaped(data[i])) {
            extra += kLogEscapeGrowth - 1;
        }
    }
    return extra;
}

std::string logEscaped(const std::string &text)
{
    const auto *data = reinterpret_cast<const unsigned char *>(text.data());
    std::string out(text.size() + logEscapeExtra(data, text.size()), '\0');
    if (!out.empty()) {
        logEscape(&out[0], data, text.size());
    }
    return out;
}

}  // namespace vantorell
