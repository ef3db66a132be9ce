// Handles as slot numbers with generations. The first part of the table is
// static, so a host with up to CHUNK_SLOTS objects never allocates for it;
// further parts come from the library's allocator when every slot is taken
// and stay for the life of the process, so a lookup never meets a part
// that is being released.
#include "api/handles.h"

#include <atomic>
#include <new>

#include "support/allocator.h"

namespace vc {
namespace {

// The low bits of a handle name its slot, the rest the slot's generation.
constexpr unsigned INDEX_BITS = 20;
constexpr uintptr_t INDEX_MASK = (uintptr_t{1} << INDEX_BITS) - 1;
constexpr unsigned GENERATION_BITS = sizeof(uintptr_t) * 8 - INDEX_BITS;
constexpr uintptr_t GENERATION_LAST = (uintptr_t{1} << GENERATION_BITS) - 1;
constexpr uint32_t CHUNK_SLOTS = 1024;
constexpr uint32_t CHUNK_COUNT = (uint32_t{1} << INDEX_BITS) / CHUNK_SLOTS;
constexpr uint32_t NO_SLOT = 0xFFFFFFFF;

// stamp is the generation shifted left by two, or'ed with the kind of the
// live object (0 while the slot is free). A handle is live exactly while
// its slot's stamp is its generation and kind.
struct Slot {
    std::atomic<uintptr_t> stamp;
    std::atomic<void*> object;
    uint32_t nextFree;  // under the lock
};

Slot firstChunk[CHUNK_SLOTS];
constinit std::atomic<Slot*> chunks[CHUNK_COUNT] = {firstChunk};

// The list of free slots, oldest first, and how far the slots that were
// never used reach.
constinit std::atomic_flag listLock;
uint32_t freeHead = NO_SLOT;
uint32_t freeTail = NO_SLOT;
uint32_t neverUsedFrom = 0;
uint32_t chunksMade = 1;

class ListGuard {
  public:
    ListGuard() noexcept {
        while (listLock.test_and_set(std::memory_order_acquire)) {
            while (listLock.test(std::memory_order_relaxed)) {
            }
        }
    }
    ~ListGuard() { listLock.clear(std::memory_order_release); }
    ListGuard(const ListGuard&) = delete;
    ListGuard& operator=(const ListGuard&) = delete;
};

uintptr_t stampOf(uintptr_t generation, HandleKind kind) noexcept {
    return (generation << 2) | static_cast<uintptr_t>(kind);
}

// The slot a handle names, or null when its part of the table was never
// made. Any value is safe here: the index is masked into the table.
Slot* slotOf(uintptr_t handle) noexcept {
    const auto index = static_cast<uint32_t>(handle & INDEX_MASK);
    Slot* chunk = chunks[index / CHUNK_SLOTS].load(std::memory_order_acquire);
    return chunk != nullptr ? &chunk[index % CHUNK_SLOTS] : nullptr;
}

// A slot nobody holds, under the lock: one never used while there is one,
// else the one freed longest ago, else the first of a new part.
uint32_t takeSlot() noexcept {
    if (neverUsedFrom < chunksMade * CHUNK_SLOTS) {
        return neverUsedFrom++;
    }
    if (freeHead != NO_SLOT) {
        const uint32_t index = freeHead;
        freeHead = slotOf(index)->nextFree;
        if (freeHead == NO_SLOT) {
            freeTail = NO_SLOT;
        }
        return index;
    }
    if (chunksMade == CHUNK_COUNT) {
        return NO_SLOT;
    }
    void* block = allocateZeroed(CHUNK_SLOTS * sizeof(Slot));
    if (block == nullptr) {
        return NO_SLOT;
    }
    Slot* chunk = new (block) Slot[CHUNK_SLOTS];
    chunks[chunksMade].store(chunk, std::memory_order_release);
    ++chunksMade;
    return neverUsedFrom++;
}

}  // namespace

uintptr_t handleOpen(HandleKind kind, void* object) noexcept {
    const ListGuard guard;
    const uint32_t index = takeSlot();
    if (index == NO_SLOT) {
        return 0;
    }
    Slot* slot = slotOf(index);
    uintptr_t generation = slot->stamp.load(std::memory_order_relaxed) >> 2;
    generation = generation == 0 ? 1 : generation;
    slot->object.store(object, std::memory_order_relaxed);
    // Published last: a lookup that sees the stamp sees the object.
    slot->stamp.store(stampOf(generation, kind), std::memory_order_release);
    return (generation << INDEX_BITS) | index;
}

void* handleObject(uintptr_t handle, HandleKind kind) noexcept {
    const uintptr_t generation = handle >> INDEX_BITS;
    Slot* slot = slotOf(handle);
    if (generation == 0 || slot == nullptr) {
        return nullptr;
    }
    const uintptr_t want = stampOf(generation, kind);
    if (slot->stamp.load(std::memory_order_acquire) != want) {
        return nullptr;
    }
    void* object = slot->object.load(std::memory_order_acquire);
    // Closed (and perhaps reopened) since the first look: not this handle's.
    return slot->stamp.load(std::memory_order_relaxed) == want ? object : nullptr;
}

void* handleClose(uintptr_t handle, HandleKind kind) noexcept {
    const uintptr_t generation = handle >> INDEX_BITS;
    Slot* slot = slotOf(handle);
    if (generation == 0 || slot == nullptr) {
        return nullptr;
    }
    uintptr_t want = stampOf(generation, kind);
    const uintptr_t next = generation == GENERATION_LAST ? 1 : generation + 1;
    if (!slot->stamp.compare_exchange_strong(want, next << 2, std::memory_order_acq_rel)) {
        return nullptr;
    }
    void* object = slot->object.exchange(nullptr, std::memory_order_acq_rel);
    const ListGuard guard;
    const auto index = static_cast<uint32_t>(handle & INDEX_MASK);
    slot->nextFree = NO_SLOT;
    if (freeTail == NO_SLOT) {
        freeHead = index;
    } else {
        slotOf(freeTail)->nextFree = index;
    }
    freeTail = index;
    return object;
}

}  // namespace vc
