// Which processor-specific kernels the engines may use. All that cpuid
// shows, unless a test narrows the choice to run the portable kernels on a
// processor that has the fast ones.
#include <atomic>

#include "bignum/bignum_internal.h"

namespace vc {
namespace {

std::atomic<uint32_t> allowedKernels{BIGNUM_KERNELS_ALL};

}  // namespace

void bigNumAllowKernels(uint32_t mask) noexcept {
    allowedKernels.store(mask, std::memory_order_relaxed);
}

bool bigNumKernelAllowed(uint32_t kernel) noexcept {
    return (allowedKernels.load(std::memory_order_relaxed) & kernel) != 0;
}

}  // namespace vc
