/*
 * Where the core takes the memory that one evaluation needs and gives back
 * at its end (the regular-expression matcher's contexts and backtracking
 * frames).  The module lends the request's pool, so that nothing outlives
 * the request; the tool, the tests and the fuzz targets use the heap.
 */
#ifndef VANTORELL_ALLOCATOR_H
#define VANTORELL_ALLOCATOR_H

#include <cstddef>
#include <cstdlib>

namespace vantorell {

class Allocator {
public:
    /* null when there is no memory */
    virtual void *allocate(size_t size) noexcept = 0;

    /* `block` came from allocate; an allocator whose blocks go back all at
     * once (a pool) may keep it until then */
    virtual void release(void *block) noexcept = 0;

protected:
    ~Allocator() = default;
};

/* The process heap. */
class HeapAllocator final : public Allocator {
public:
    void *allocate(size_t size) noexcept override { return malloc(size); }
    void release(void *block) noexcept override { free(block); }
};

}  // namespace vantorell

#endif
