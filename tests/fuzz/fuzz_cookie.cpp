// Fuzz target: Cookie headers to the visitor code the handler uses.
//
// Input: the values of one or more Cookie headers, one per line.  They are
// given to nginx's own lookup (ngx_http_parse_multi_header_lines, as nginx
// 1.18 has it) in the form nginx hands them to a module: an array of header
// elements whose values hold no NUL, CR or LF, lack the blanks nginx trims,
// and are followed by a NUL.  Each value lies in a heap block of its own so
// that a read past it is an error the address sanitizer reports.
//
// Whatever the headers hold, the code the handler takes must be 16 bytes of
// one header's value, at the offset the value's form calls for, and must give
// a visitor's number in [0, 1).

#include "fuzz_support.h"

#include "visitor.h"
#include "nginx_pool.h"

extern "C" {
#include <ngx_http.h>
}

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

ngx_str_t cookieName = ngx_string("vantorellVisitorCode");
ngx_str_t cookieKey = ngx_string("Cookie");

const char frontPrefix[] = "_js_";
const size_t frontPrefixLength = sizeof(frontPrefix) - 1;

struct FreeDeleter {
    void operator()(u_char *p) const { free(p); }
};
using Block = std::unique_ptr<u_char, FreeDeleter>;

// A header value as nginx's header parser leaves it: without the blanks
// around it, in a block that ends with a NUL.
Block headerValue(std::string_view line, ngx_str_t *value)
{
    while (!line.empty() && line.front() == ' ') {
        line.remove_prefix(1);
    }
    while (!line.empty() && line.back() == ' ') {
        line.remove_suffix(1);
    }
    Block block(static_cast<u_char *>(malloc(line.size() + 1)));
    FUZZ_CHECK(block != nullptr, "out of memory");
    memcpy(block.get(), line.data(), line.size());
    block.get()[line.size()] = '\0';
    value->data = block.get();
    value->len = line.size();
    return block;
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
    NginxPool pool;

    // A NUL or a bare CR makes nginx refuse the whole request, so such bytes
    // end a header here rather than wasting the input.
    std::string text(fuzz::asText(data, size));
    for (char &c : text) {
        if (c == '\0' || c == '\r') {
            c = '\n';
        }
    }

    std::vector<Block> blocks;
    std::vector<ngx_table_elt_t> elements;
    std::string_view rest(text);
    do {
        ngx_table_elt_t element{};
        element.hash = 1;
        element.key = cookieKey;
        element.lowcase_key = reinterpret_cast<u_char *>(const_cast<char *>("cookie"));
        blocks.push_back(headerValue(fuzz::takeLine(&rest), &element.value));
        elements.push_back(element);
    } while (!rest.empty());

    ngx_array_t *cookies = ngx_array_create(pool.get(), elements.size(), sizeof(ngx_table_elt_t *));
    FUZZ_CHECK(cookies != nullptr, "out of memory");
    for (ngx_table_elt_t &element : elements) {
        auto slot = static_cast<ngx_table_elt_t **>(ngx_array_push(cookies));
        FUZZ_CHECK(slot != nullptr, "out of memory");
        *slot = &element;
    }

    ngx_str_t value = {0, nullptr};
    ngx_int_t index = ngx_http_parse_multi_header_lines(cookies, &cookieName, &value);
    if (index == NGX_DECLINED) {
        return 0;
    }

    FUZZ_CHECK(index >= 0 && static_cast<size_t>(index) < elements.size(), "header %ld",
               static_cast<long>(index));
    const ngx_str_t &header = elements[index].value;
    const u_char *end = header.data + header.len;
    FUZZ_CHECK(value.data >= header.data && value.data <= end && value.len <= size_t(end - value.data),
               "the cookie's value lies outside its header");
    FUZZ_CHECK(memchr(value.data, ';', value.len) == nullptr, "the value runs into the next cookie");

    int offset = vantorell::visitorCodeOffset(reinterpret_cast<const char *>(value.data), value.len);
    FUZZ_CHECK(offset == expectedOffset(value.data, value.len), "offset %d for a value of %zu bytes",
               offset, value.len);
    if (offset < 0) {
        return 0;
    }

    // the handler hashes these 16 bytes where they lie in the header
    const u_char *code = value.data + offset;
    FUZZ_CHECK(code + vantorell::kCodeLength <= value.data + value.len,
               "the code runs past the cookie's value");
    checkNumber(code);
    return 0;
}
