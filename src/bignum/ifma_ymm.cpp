// The IFMA engines in 256-bit registers, a translation unit of their own so
// that each width's kernels compile apart.
#include "bignum/ifma_kernel.h"

#if VC_IFMA_KERNEL

namespace vc::ifma {

void runPairYmm(const uint64_t* const base[2], const uint64_t* const exponent[2],
                const uint64_t* const mod[2], const uint64_t* const rr[2], uint32_t limbs,
                uint64_t* const out[2], PairWork& work) noexcept {
    switch (limbs) {
        case 8:
            Kernel<10, Ymm>::run(base, exponent, mod, rr, limbs, out, work);
            break;
        case 16:
            Kernel<20, Ymm>::run(base, exponent, mod, rr, limbs, out, work);
            break;
        case 24:
            Kernel<30, Ymm>::run(base, exponent, mod, rr, limbs, out, work);
            break;
        default:
            Kernel<40, Ymm>::run(base, exponent, mod, rr, limbs, out, work);
            break;
    }
}

void runPublicYmm(const uint64_t* baseR, const uint64_t* plain, uint64_t e, uint32_t bits,
                  const uint64_t* mod, uint32_t k, uint64_t* out, PublicWork& w) noexcept {
    switch (k) {
        case 8:
            Kernel<10, Ymm>::runPublic(baseR, plain, e, bits, mod, k, out, w);
            break;
        case 16:
            Kernel<20, Ymm>::runPublic(baseR, plain, e, bits, mod, k, out, w);
            break;
        case 24:
            Kernel<30, Ymm>::runPublic(baseR, plain, e, bits, mod, k, out, w);
            break;
        default:
            Kernel<40, Ymm>::runPublic(baseR, plain, e, bits, mod, k, out, w);
            break;
    }
}

void runProductYmm(const uint64_t* a, const uint64_t* b, const uint64_t* mod, uint32_t k,
                   uint64_t* out, PublicWork& w) noexcept {
    switch (k) {
        case 8:
            Kernel<10, Ymm>::runProduct(a, b, mod, k, out, w);
            break;
        case 16:
            Kernel<20, Ymm>::runProduct(a, b, mod, k, out, w);
            break;
        case 24:
            Kernel<30, Ymm>::runProduct(a, b, mod, k, out, w);
            break;
        default:
            Kernel<40, Ymm>::runProduct(a, b, mod, k, out, w);
            break;
    }
}

}  // namespace vc::ifma

#endif
