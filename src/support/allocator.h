// The only heap the library touches: context and connection records, their
// DER buffers and the peer certificate copy. Tests swap the functions to
// make any allocation fail.
#pragma once

#include <cstddef>

namespace vc {

using AllocateFunction = void* (*)(std::size_t size);
using ReleaseFunction = void (*)(void* block);

// Zero-filled block of at least one byte, or null.
void* allocateZeroed(std::size_t size) noexcept;
void release(void* block) noexcept;

// Test hook: nullptr restores the C runtime's malloc/free.
void setAllocator(AllocateFunction allocate, ReleaseFunction release) noexcept;

}  // namespace vc
