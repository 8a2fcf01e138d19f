// What the fuzz targets share: a check that aborts (the fuzzer's crash
// signal), and the split of an input into newline-separated parts.
#ifndef VANTORELL_FUZZ_SUPPORT_H
#define VANTORELL_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

// An oracle failure is a finding like a crash: say what broke, then abort so
// that libFuzzer keeps the input.
#define FUZZ_CHECK(condition, ...)                                            \
    do {                                                                      \
        if (!(condition)) {                                                   \
            fprintf(stderr, "%s:%d: check failed: %s: ", __FILE__, __LINE__,  \
                    #condition);                                              \
            fprintf(stderr, __VA_ARGS__);                                     \
            fputc('\n', stderr);                                              \
            abort();                                                          \
        }                                                                     \
    } while (0)

namespace fuzz {

// Takes the text up to the next newline (or the rest) off the front of
// `input`; the newline itself is dropped.
inline std::string_view takeLine(std::string_view *input)
{
    size_t end = input->find('\n');
    std::string_view line = input->substr(0, end);
    input->remove_prefix(end == std::string_view::npos ? input->size() : end + 1);
    return line;
}

inline std::string_view asText(const uint8_t *data, size_t size)
{
    return std::string_view(reinterpret_cast<const char *>(data), size);
}

}  // namespace fuzz

#endif
