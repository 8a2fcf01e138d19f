/*
 * What the commands share: a data file read as a worker reads it.
 */
#include "check.h"

namespace vcheck {

std::string textOf(const vantorell::Result &status)
{
    return vantorell::failureText(status).text;
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

}  // namespace vcheck
