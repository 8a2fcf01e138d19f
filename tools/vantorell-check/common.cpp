/*
 * What the commands share: a data file read as a worker reads it.
 */
#include "check.h"
#include "text.h"

#include <cstdio>

namespace vcheck {

std::string textOf(const vantorell::Result &status)
{
    return vantorell::failureText(status).text;
}

std::string printable(const std::string &text)
{
    return vantorell::logEscaped(text);
}

json_object *jsonText(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size();) {
        size_t n = vantorell::utf8SequenceLength(
            reinterpret_cast<const unsigned char *>(text.data()) + i, text.size() - i);
        if (n == 0) {
            char escaped[5];
            snprintf(escaped, sizeof(escaped), "\\x%02X", static_cast<unsigned char>(text[i]));
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
