// Fuzz target: the texts that carry the outcome (the experiments header and
// the variation's location) for any 64-bit ids.
//
// Input: the first byte picks where to cut the texts (as a fraction of their
// length); then every 16 bytes are one (experiment id, variation id) pair in
// the machine's byte order.
//
// Each text is measured, then written into heap blocks of exactly the size
// given, so that one byte too many is an error the address sanitizer
// reports.  A text holds the ids as signed 32-bit numbers (their low 32 bits),
// and a cut text is the whole text's beginning, terminated.

#include "fuzz_support.h"

#include "outcome.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

struct FreeDeleter {
    void operator()(char *p) const { free(p); }
};

std::string id32(long id)
{
    return std::to_string(static_cast<int32_t>(static_cast<uint64_t>(id) & 0xffffffffu));
}

// Writes `size` bytes (none at all for size 0: the text function must then
// not touch the pointer) and checks them against the whole text.
template <typename Write>
void checkCut(const char *what, const std::string &whole, size_t size, Write write)
{
    std::unique_ptr<char, FreeDeleter> block(static_cast<char *>(malloc(size == 0 ? 1 : size)));
    FUZZ_CHECK(block != nullptr, "out of memory");
    size_t length = write(size == 0 ? nullptr : block.get(), size);
    FUZZ_CHECK(length == whole.size(), "%s: %zu returned for a text of %zu bytes", what, length,
               whole.size());
    if (size == 0) {
        return;
    }
    size_t kept = size - 1 < whole.size() ? size - 1 : whole.size();
    FUZZ_CHECK(memcmp(block.get(), whole.data(), kept) == 0 && block.get()[kept] == '\0',
               "%s: cut at %zu is not the text's beginning \"%s\"", what, size, whole.c_str());
}

// Every size that matters: none, one, a cut from the input, the exact one and
// more than enough.
template <typename Write>
void checkText(const char *what, const std::string &whole, size_t cut, Write write)
{
    for (size_t size : {size_t(0), size_t(1), cut * (whole.size() + 2) / 256, whole.size(),
                        whole.size() + 1, whole.size() + 2}) {
        checkCut(what, whole, size, write);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    size_t cut = data[0];
    data++;
    size--;

    vantorell::TargetedList records(size / 16);
    for (size_t i = 0; i < records.size(); i++) {
        int64_t ids[2];
        memcpy(ids, data + 16 * i, sizeof(ids));
        records[i] = {static_cast<long>(ids[0]), static_cast<long>(ids[1])};
    }

    std::string header;
    for (const vantorell::Targeted &t : records) {
        header += (header.empty() ? "" : ", ") + id32(t.experimentId) + "=" + id32(t.variationId);
    }
    checkText("header", header, cut, [&records](char *buffer, size_t n) {
        return vantorell::experimentsHeaderText(records, buffer, n);
    });

    for (const vantorell::Targeted &t : records) {
        std::string location =
            "/experiment_" + id32(t.experimentId) + "_variation_" + id32(t.variationId);
        checkText("location", location, cut, [&t](char *buffer, size_t n) {
            return vantorell::variationLocationText(t.experimentId, t.variationId, buffer, n);
        });

    }
    return 0;
}
