/*
 * What the commands share: a data file read as a worker reads it.
 */
#include "check.h"

#include <cstdio>

namespace vcheck {

std::string textOf(const vantorell::Status &status)
{
    return vantorell::statusText(status).text;
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

void loadFile(const std::string &path, LoadedFile *file)
{
    std::string text;
    struct stat identity;
    vantorell::Status status = vantorell::readDataFile(path.c_str(), &text, &identity);
    if (status.ok()) {
        status = vantorell::modelFromText(text.data(), text.size(), &file->model);
    }
    if (!status.ok()) {
        file->problem = textOf(status);
        return;
    }
    if (!file->patterns.compile(file->model)) {
        file->problem = textOf(vantorell::Status{vantorell::Failure::FileNoMemory});
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
