// The heap, counted: a test sees what an evaluation took from the allocator
// it lent, and that everything was given back by its end.
#ifndef VANTORELL_TEST_COUNTING_ALLOCATOR_H
#define VANTORELL_TEST_COUNTING_ALLOCATOR_H

#include "allocator.h"

#include <cstdlib>

class CountingAllocator final : public vantorell::Allocator {
public:
    void *allocate(size_t size) noexcept override {
        ++allocations;
        return malloc(size);
    }
    void release(void *block) noexcept override {
        ++releases;
        free(block);
    }
    long outstanding() const { return allocations - releases; }

    long allocations = 0;
    long releases = 0;
};

#endif
