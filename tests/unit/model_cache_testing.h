// What the model cache lets tests do that the module never does; built into
// the cache only with VANTORELL_TESTING.
#ifndef VANTORELL_MODEL_CACHE_TESTING_H
#define VANTORELL_MODEL_CACHE_TESTING_H

namespace vantorell {

// Makes the cached status of `path` equal to the file's status now, as a
// change within one tick of a coarse file system clock leaves it.
void adoptFileStatusForTesting(const char *path) noexcept;

}  // namespace vantorell

#endif
