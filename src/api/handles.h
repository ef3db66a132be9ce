// The table behind the host's handles. A handle is not the address of its
// object but a slot number and that slot's generation, so the library can
// tell a live handle from a stale one without touching the memory a stale
// one pointed to: a destroyed handle, one used twice, or one whose object
// was released and whose address now belongs to a new object.
//
// What is guaranteed: once its destroy has returned, a handle is answered
// as dead by every operation, and it never reaches another object until
// its slot has been reused 2^12 times (32-bit builds) or 2^44 times (64-bit
// builds); freed slots are reused oldest first, so every free slot is taken
// once before any is taken twice. Not guaranteed: a destroy that runs while
// another thread still uses the same object (the host's error) may leave
// that thread working on released memory; no lock held across a whole
// operation could prevent that without serialising the record path.
//
// Lookups take no lock: two loads of the slot's stamp around the load of
// its object. Opening and closing a handle take one short lock over the
// list of free slots.
#pragma once

#include <cstdint>

namespace vc {

enum class HandleKind : uint32_t { Context = 1, Connection = 2 };

// Registers object and answers its handle, or 0 when no slot can be found
// (the table is full or its next part cannot be allocated).
uintptr_t handleOpen(HandleKind kind, void* object) noexcept;

// The object of a live handle of this kind, or null.
void* handleObject(uintptr_t handle, HandleKind kind) noexcept;

// Ends a live handle of this kind and answers its object, which the caller
// then tears down; null when the handle was not live. Of two threads that
// close the same handle, only one receives the object.
void* handleClose(uintptr_t handle, HandleKind kind) noexcept;

}  // namespace vc
