// The IFMA engines in 512-bit registers, a translation unit of their own so
// that each width's kernels compile apart; those for moduli of 32 limbs
// are in ifma_zmm_long.cpp.
#include "bignum/ifma_kernel.h"

#if VC_IFMA_KERNEL

namespace vc::ifma {

void runPairZmm(const uint64_t* const base[2], const uint64_t* const exponent[2],
                const uint64_t* const mod[2], const uint64_t* const rr[2], uint32_t limbs,
                uint64_t* const out[2], PairWork& work) noexcept {
    if (limbs == 24) {
        Kernel<30, Zmm>::run(base, exponent, mod, rr, limbs, out, work);
    } else {
        runPairZmmLong(base, exponent, mod, rr, out, work);
    }
}

void runPublicZmm(const uint64_t* baseR, const uint64_t* plain, uint64_t e, uint32_t bits,
                  const uint64_t* mod, uint32_t k, uint64_t* out, PublicWork& w) noexcept {
    switch (k) {
        case 8:
            Kernel<10, Zmm>::runPublic(baseR, plain, e, bits, mod, k, out, w);
            break;
        case 16:
            Kernel<20, Zmm>::runPublic(baseR, plain, e, bits, mod, k, out, w);
            break;
        case 24:
            Kernel<30, Zmm>::runPublic(baseR, plain, e, bits, mod, k, out, w);
            break;
        default:
            runPublicZmmLong(baseR, plain, e, bits, mod, out, w);
            break;
    }
}

}  // namespace vc::ifma

#endif
