// What the model cache lets tests do that the module never does; built into
// the cache only with VANTORELL_TESTING.
#ifndef VANTORELL_MODEL_CACHE_TESTING_H
#define VANTORELL_MODEL_CACHE_TESTING_H

#include "model_cache.h"

#include <cstddef>

namespace vantorell {

// From now on (until called with Notified), the worker's notifications fail
// as `how` says: no instance (once the cache is cleared), no watch, or a
// path on a network file system.
void failNotificationsForTesting(ChangeCheck how) noexcept;

// How often the cache has read a data file so far.
size_t fileReadsForTesting() noexcept;

// The bytes that the memo of URL texts of the held model takes.
size_t memoBytesForTesting(const ModelHold &hold) noexcept;

// Makes the cached status of `path` equal to the file's status now, as a
// change within one tick of a coarse file system clock leaves it.
void adoptFileStatusForTesting(const char *path) noexcept;

}  // namespace vantorell

#endif
