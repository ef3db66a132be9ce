// The IFMA engines in 256-bit registers, a translation unit of their own so
// that each width's kernels compile apart.
#include "bignum/ifma_kernel.h"

#if VC_IFMA_KERNEL

namespace vc::ifma {

void runPairYmm(const uint64_t* const base[2], const uint64_t* const exponent[2],
                const uint64_t* const mod[2], const uint64_t* const rr[2], uint32_t limbs,
                uint64_t* const out[2], PairWork& work) noexcept {
    runWidth<Ymm>(base, exponent, mod, rr, limbs, out, work);
}

void runPublicYmm(const uint64_t* baseR, const uint64_t* plain, uint64_t e, uint32_t bits,
                  const uint64_t* mod, uint32_t k, uint64_t* out, PublicWork& w) noexcept {
    publicWidth<Ymm>(baseR, plain, e, bits, mod, k, out, w);
}

}  // namespace vc::ifma

#endif
