// The IFMA engines in 512-bit registers for moduli of 32 limbs: the
// largest kernels, compiled apart from the other 512-bit ones.
#include "bignum/ifma_kernel.h"

#if VC_IFMA_KERNEL

namespace vc::ifma {

void runPairZmmLong(const uint64_t* const base[2], const uint64_t* const exponent[2],
                    const uint64_t* const mod[2], const uint64_t* const rr[2],
                    uint64_t* const out[2], PairWork& work) noexcept {
    Kernel<40, Zmm>::run(base, exponent, mod, rr, 32, out, work);
}

void runPublicZmmLong(const uint64_t* baseR, const uint64_t* plain, uint64_t e, uint32_t bits,
                      const uint64_t* mod, uint64_t* out, PublicWork& w) noexcept {
    Kernel<40, Zmm>::runPublic(baseR, plain, e, bits, mod, 32, out, w);
}

}  // namespace vc::ifma

#endif
