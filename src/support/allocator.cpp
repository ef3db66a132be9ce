// Allocation through replaceable functions, so tests can exercise every
// out-of-memory path.
#include "support/allocator.h"

#include <cstdlib>
#include <cstring>

namespace vc {
namespace {

AllocateFunction allocateHook = nullptr;
ReleaseFunction releaseHook = nullptr;

}  // namespace

void* allocateZeroed(std::size_t size) noexcept {
    if (size == 0) {
        size = 1;  // malloc(0) may answer null, which would read as failure
    }
    void* block = allocateHook != nullptr ? allocateHook(size) : std::malloc(size);
    if (block != nullptr) {
        std::memset(block, 0, size);
    }
    return block;
}

void release(void* block) noexcept {
    if (block == nullptr) {
        return;
    }
    if (releaseHook != nullptr) {
        releaseHook(block);
    } else {
        std::free(block);
    }
}

void setAllocator(AllocateFunction allocate, ReleaseFunction releaseFunction) noexcept {
    allocateHook = allocate;
    releaseHook = releaseFunction;
}

}  // namespace vc
