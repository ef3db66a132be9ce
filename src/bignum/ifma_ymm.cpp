// The IFMA engines in 256-bit registers, a translation unit of their own so
// that each width's kernels compile apart.
#include "bignum/ifma_kernel.h"

#if VC_IFMA_KERNEL

namespace vc::ifma {

namespace {

// run(Kernel<N, Ymm>{}) with N the digits that hold moduli of `limbs`
// limbs (8, 16, 24 or 32).
template <typename Run>
void byLength(uint32_t limbs, const Run& run) {
    switch (limbs) {
        case 8:
            run(Kernel<10, Ymm>{});
            break;
        case 16:
            run(Kernel<20, Ymm>{});
            break;
        case 24:
            run(Kernel<30, Ymm>{});
            break;
        default:
            run(Kernel<40, Ymm>{});
            break;
    }
}

}  // namespace

void runPairYmm(const uint64_t* const base[2], const uint64_t* const exponent[2],
                const uint64_t* const mod[2], const uint64_t* const rr[2], uint32_t limbs,
                uint64_t* const out[2], PairWork& work) noexcept {
    byLength(limbs, [&](auto kernel) {
        decltype(kernel)::run(base, exponent, mod, rr, limbs, out, work);
    });
}

void runPublicYmm(const uint64_t* baseR, const uint64_t* plain, uint64_t e, uint32_t bits,
                  const uint64_t* mod, uint32_t k, uint64_t* out, PublicWork& w) noexcept {
    byLength(k, [&](auto kernel) {
        decltype(kernel)::runPublic(baseR, plain, e, bits, mod, k, out, w);
    });
}

void runProductYmm(const uint64_t* a, const uint64_t* b, const uint64_t* mod, uint32_t k,
                   uint64_t* out, PublicWork& w) noexcept {
    byLength(k, [&](auto kernel) { decltype(kernel)::runProduct(a, b, mod, k, out, w); });
}

}  // namespace vc::ifma

#endif
