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
