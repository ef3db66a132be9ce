// An allocator for tests: counts live blocks, fails the n-th allocation on
// request, and records for every released block whether it was all zeros at
// the moment of release (which is how teardown wiping is observed).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>

#include "support/allocator.h"

namespace vctest {

class TrackingAllocator {
  public:
    TrackingAllocator() {
        active_ = this;
        vc::setAllocator(&allocate, &release);
    }
    ~TrackingAllocator() {
        vc::setAllocator(nullptr, nullptr);
        active_ = nullptr;
    }
    TrackingAllocator(const TrackingAllocator&) = delete;
    TrackingAllocator& operator=(const TrackingAllocator&) = delete;

    // Allocation number `n` (1-based, counted from now) returns null.
    void failAllocation(int n) {
        failAt_ = n;
        calls_ = 0;
    }
    std::size_t liveBlocks() const { return live_.size(); }
    // Allocations asked for since construction or the last failAllocation.
    int allocations() const { return calls_; }

    // Blocks that held a non-zero byte when released: the library wipes
    // every record before it lets go of it, so this stays 0.
    std::size_t releasedUnwiped() const { return releasedUnwiped_; }

    // Whether blocks of exactly this size were released, all zeros each time.
    bool releasedZeroed(std::size_t size) const {
        const auto found = zeroBySize_.find(size);
        return found != zeroBySize_.end() && found->second;
    }

  private:
    static void* allocate(std::size_t size) {
        TrackingAllocator* self = active_;
        ++self->calls_;
        // Like a real heap, refuse what no machine could hold (and keep the
        // sanitizers' allocators from aborting on such a request).
        if (self->calls_ == self->failAt_ || size > HUGE_REQUEST) {
            return nullptr;
        }
        void* block = std::malloc(size);
        self->live_[block] = size;
        return block;
    }
    static void release(void* block) {
        TrackingAllocator* self = active_;
        auto found = self->live_.find(block);
        if (found != self->live_.end()) {
            const auto* bytes = static_cast<const uint8_t*>(block);
            const bool zero =
                std::all_of(bytes, bytes + found->second, [](uint8_t b) { return b == 0; });
            auto [entry, added] = self->zeroBySize_.try_emplace(found->second, true);
            entry->second = entry->second && zero;
            self->releasedUnwiped_ += zero ? 0 : 1;
            self->live_.erase(found);
        }
        std::free(block);
    }

    static constexpr std::size_t HUGE_REQUEST = std::size_t{1} << 30;
    static inline TrackingAllocator* active_ = nullptr;
    std::map<void*, std::size_t> live_;
    std::map<std::size_t, bool> zeroBySize_;
    std::size_t releasedUnwiped_ = 0;
    int failAt_ = 0;
    int calls_ = 0;
};

}  // namespace vctest
