/*
 * What the commands share: a data file read as a worker reads it.
 */
#include "check.h"

#include <cstdio>

namespace vcheck {

std::string textOf(const vantorell::Result &status)
{
    return vantorell::failureText(status).text;
}

std::string printable(const std::string &text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char escaped[5];
            snprintf(escaped, sizeof(escaped), "\\x%02x", c);
            out += escaped;
        }
    }
    return out;
}

namespace {

/* The length of the valid UTF-8 sequence at text[i], or 0. */
size_t utf8Length(const std::string &text, size_t i)
{
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t n;
    unsigned long min;
    if (c < 0x80) {
        return 1;
    } else if (c >= 0xc2 && c <= 0xdf) {
        n = 2, min = 0x80;
    } else if (c >= 0xe0 && c <= 0xef) {
        n = 3, min = 0x800;
    } else if (c >= 0xf0 && c <= 0xf4) {
        n = 4, min = 0x10000;
    } else {
        return 0;
    }
    if (i + n > text.size()) {
        return 0;
    }
    unsigned long point = c & (0x7f >> n);
    for (size_t k = 1; k < n; k++) {
        unsigned char next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xc0) != 0x80) {
            return 0;
        }
        point = (point << 6) | (next & 0x3f);
    }
    if (point < min || point > 0x10ffff || (point >= 0xd800 && point <= 0xdfff)) {
        return 0;
    }
    return n;
}

}  // namespace

json_object *jsonText(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size();) {
        size_t n = utf8Length(text, i);
        if (n == 0) {
            char escaped[5];
            snprintf(escaped, sizeof(escaped), "\\x%02x", static_cast<unsigned char>(text[i]));
            out += escaped;
            i++;
        } else {
            out.append(text, i, n);
            i += n;
        }
    }
    return json_object_new_string_len(out.data(), static_cast<int>(out.size()));
}

void loadFile(const std::string &path, LoadedFile *file)
{
    std::string text;
    struct stat identity;
    vantorell::Result status = vantorell::readDataFile(path.c_str(), &text, &identity);
    if (status.ok()) {
        status = vantorell::modelFromText(text.data(), text.size(), &file->model);
    }
    if (!status.ok()) {
        file->problem = textOf(status);
        return;
    }
    if (!file->patterns.compile(file->model)) {
        file->problem = textOf(vantorell::Result{vantorell::Failure::FileNoMemory});
        return;
    }
    file->usable = true;
}

void printJson(json_object *value)
{
    printf("%s\n", json_object_to_json_string_ext(
                       value, JSON_C_TO_STRING_PRETTY | JSON_C_TO_STRING_SPACED
                                  | JSON_C_TO_STRING_NOSLASHESCAPE));
}

}  // namespace vcheck
