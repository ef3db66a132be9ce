// An allocator for tests: counts live blocks, fails the n-th allocation on
// request, and records for every released block whether it was all zeros at
// the moment of release (which is how teardown wiping is observed).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <vector>

#include "api/allocator.h"

namespace vctest {

struct ReleasedBlock {
    std::size_t size;
    bool allZero;
};

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
    int allocationCalls() const { return calls_; }
    const std::vector<ReleasedBlock>& released() const { return released_; }

    // Whether a released block of exactly this size was all zeros.
    bool releasedZeroed(std::size_t size) const {
        bool seen = false;
        for (const ReleasedBlock& block : released_) {
            if (block.size == size) {
                if (!block.allZero) {
                    return false;
                }
                seen = true;
            }
        }
        return seen;
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
            bool zero = true;
            for (std::size_t i = 0; i < found->second; ++i) {
                zero = zero && bytes[i] == 0;
            }
            self->released_.push_back({found->second, zero});
            self->live_.erase(found);
        }
        std::free(block);
    }

    static constexpr std::size_t HUGE_REQUEST = std::size_t{1} << 30;
    static inline TrackingAllocator* active_ = nullptr;
    std::map<void*, std::size_t> live_;
    std::vector<ReleasedBlock> released_;
    int failAt_ = 0;
    int calls_ = 0;
};

}  // namespace vctest
