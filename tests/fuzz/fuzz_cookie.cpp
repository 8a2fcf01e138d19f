// Fuzz target: Cookie headers to the visitor code the handler uses.
//
// Input: the values of one or more Cookie headers, one per line, as nginx
// hands them to a module: without NUL, CR or LF and without the blanks nginx
// trims.  Each value lies in a heap block of exactly its size, so that a read
// past it is an error the address sanitizer reports.
//
// The cookie reader must agree with the rule written plainly below (split on
// ";", blanks before a name, a name in any case, blanks around "="), and the
// code the handler takes must be 16 bytes of the value, at the offset the
// value's form calls for, and give a visitor's number in [0, 1).

#include "fuzz_support.h"

#include "visitor.h"

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

const std::string cookieName = "vantorellVisitorCode";

const char frontPrefix[] = "_js_";
const size_t frontPrefixLength = sizeof(frontPrefix) - 1;

using u_char = unsigned char;

struct FreeDeleter {
    void operator()(char *p) const { free(p); }
};

// A header value as nginx's header parser leaves it, without the blanks
// around it, alone in a block of its own size.
struct Header {
    std::unique_ptr<char, FreeDeleter> block;
    size_t length = 0;
};

Header headerValue(std::string_view line)
{
    while (!line.empty() && line.front() == ' ') {
        line.remove_prefix(1);
    }
    while (!line.empty() && line.back() == ' ') {
        line.remove_suffix(1);
    }
    Header header;
    header.block.reset(static_cast<char *>(malloc(line.empty() ? 1 : line.size())));
    FUZZ_CHECK(header.block != nullptr, "out of memory");
    memcpy(header.block.get(), line.data(), line.size());
    header.length = line.size();
    return header;
}

bool sameName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); i++) {
        if (tolower(static_cast<u_char>(a[i])) != tolower(static_cast<u_char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// The rule, cookie by cookie: the value's offset in the header, if the cookie
// is there.
std::optional<std::pair<size_t, size_t>> plainRule(std::string_view header)
{
    size_t at = 0;
    while (at <= header.size()) {
        size_t end = header.find(';', at);
        if (end == std::string_view::npos) {
            end = header.size();
        }
        std::string_view cookie = header.substr(at, end - at);
        size_t skipped = cookie.find_first_not_of(' ');
        cookie.remove_prefix(skipped == std::string_view::npos ? cookie.size() : skipped);
        if (cookie.size() >= cookieName.size() && sameName(cookie.substr(0, cookieName.size()), cookieName)) {
            std::string_view rest = cookie.substr(cookieName.size());
            size_t equals = rest.find_first_not_of(' ');
            if (equals != std::string_view::npos && rest[equals] == '=') {
                rest.remove_prefix(equals + 1);
                size_t value = rest.find_first_not_of(' ');
                rest.remove_prefix(value == std::string_view::npos ? rest.size() : value);
                return std::make_pair(static_cast<size_t>(rest.data() - header.data()), rest.size());
            }
        }
        at = end + 1;
    }
    return std::nullopt;
}

// The offset's meaning, from the value's form alone.
int expectedOffset(const u_char *value, size_t length)
{
    bool front = length >= frontPrefixLength && memcmp(value, frontPrefix, frontPrefixLength) == 0;
    size_t offset = front ? frontPrefixLength : 0;
    if (length < offset + vantorell::kCodeLength) {
        return -1;
    }
    // RFC 6265 cookie-octet, spelled as its ranges
    for (size_t i = offset; i < offset + vantorell::kCodeLength; i++) {
        u_char c = value[i];
        bool octet = c == 0x21 || (c >= 0x23 && c <= 0x2b) || (c >= 0x2d && c <= 0x3a)
                     || (c >= 0x3c && c <= 0x5b) || (c >= 0x5d && c <= 0x7e);
        if (!octet) {
            return -1;
        }
    }
    return static_cast<int>(offset);
}

void checkNumber(const u_char *code)
{
    vantorell::Digest digest;
    FUZZ_CHECK(vantorell::visitorDigest(reinterpret_cast<const char *>(code), &digest),
               "no digest");
    char text[2 * sizeof(digest) + 1];
    vantorell::digestText(digest, text);
    FUZZ_CHECK(strlen(text) == 64 && strspn(text, "0123456789abcdef") == 64,
               "digest \"%s\"", text);
    double number = vantorell::visitorNumber(digest);
    FUZZ_CHECK(number >= 0.0 && number < 1.0, "visitor's number %.17g", number);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A NUL or a bare CR makes nginx refuse the whole request, so such bytes
    // end a header here rather than wasting the input.
    std::string text(fuzz::asText(data, size));
    for (char &c : text) {
        if (c == '\0' || c == '\r') {
            c = '\n';
        }
    }

    std::vector<Header> headers;
    std::string_view rest(text);
    do {
        headers.push_back(headerValue(fuzz::takeLine(&rest)));
    } while (!rest.empty());

    // the first header that has the cookie gives it, as the module looks
    const u_char *value = nullptr;
    size_t valueLength = 0;
    for (const Header &header : headers) {
        size_t start = 0;
        size_t length = 0;
        bool found = vantorell::findCookie(header.block.get(), header.length, cookieName.data(),
                                           cookieName.size(), &start, &length);
        auto expected = plainRule(std::string_view(header.block.get(), header.length));
        FUZZ_CHECK(found == expected.has_value(), "found %d, the rule says %d", found,
                   expected.has_value());
        if (!found) {
            continue;
        }
        FUZZ_CHECK(start == expected->first && length == expected->second,
                   "value at %zu+%zu, the rule says %zu+%zu", start, length, expected->first,
                   expected->second);
        FUZZ_CHECK(start <= header.length && length <= header.length - start,
                   "the cookie's value lies outside its header");
        value = reinterpret_cast<const u_char *>(header.block.get()) + start;
        valueLength = length;
        break;
    }
    if (value == nullptr) {
        return 0;
    }
    FUZZ_CHECK(memchr(value, ';', valueLength) == nullptr, "the value runs into the next cookie");

    int offset = vantorell::visitorCodeOffset(reinterpret_cast<const char *>(value), valueLength);
    FUZZ_CHECK(offset == expectedOffset(value, valueLength), "offset %d for a value of %zu bytes",
               offset, valueLength);
    if (offset < 0) {
        return 0;
    }

    // the handler hashes these 16 bytes where they lie in the header
    const u_char *code = value + offset;
    FUZZ_CHECK(code + vantorell::kCodeLength <= value + valueLength,
               "the code runs past the cookie's value");
    checkNumber(code);
    return 0;
}
