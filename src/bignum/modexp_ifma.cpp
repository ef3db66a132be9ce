// The AVX-512 IFMA engines' entry points: whether the processor and the
// kernel mask allow them, and the dispatch to the kernel of the chosen
// register width (ifma_kernel.h, built in ifma_ymm.cpp, ifma_zmm.cpp and
// ifma_zmm_long.cpp; the joint pair kernel in ifma_joint.cpp), followed by
// the clean-up of what the kernels leave in registers and below the stack.
#include <cstdint>

#include "bignum/bignum_internal.h"
#include "bignum/ifma_ops.h"
#include "support/cpu_features.h"
#include "support/secure_wipe.h"

namespace vc {

#if VC_IFMA_KERNEL

namespace {

// AVX512F, VL and IFMA, with the OS saving the opmask and zmm state.
bool detectIfma() noexcept {
    return cpuHas(CPU_AVX512F | CPU_AVX512VL | CPU_AVX512IFMA);
}

// The kernels keep operands in registers and spill some of them below
// the caller's frame, where secureWipe of the work record does not reach:
// this frame lies over theirs and is wiped, and the vector registers are
// cleared (vzeroall reaches zmm0-15 only).
__attribute__((noinline)) VC_IFMA_TARGET void scrubKernelTraces() noexcept {
    uint8_t area[4096];
    secureWipe(area, sizeof area);
    __asm__ volatile(
        "vpxorq %%zmm16, %%zmm16, %%zmm16\n\tvpxorq %%zmm17, %%zmm17, %%zmm17\n\t"
        "vpxorq %%zmm18, %%zmm18, %%zmm18\n\tvpxorq %%zmm19, %%zmm19, %%zmm19\n\t"
        "vpxorq %%zmm20, %%zmm20, %%zmm20\n\tvpxorq %%zmm21, %%zmm21, %%zmm21\n\t"
        "vpxorq %%zmm22, %%zmm22, %%zmm22\n\tvpxorq %%zmm23, %%zmm23, %%zmm23\n\t"
        "vpxorq %%zmm24, %%zmm24, %%zmm24\n\tvpxorq %%zmm25, %%zmm25, %%zmm25\n\t"
        "vpxorq %%zmm26, %%zmm26, %%zmm26\n\tvpxorq %%zmm27, %%zmm27, %%zmm27\n\t"
        "vpxorq %%zmm28, %%zmm28, %%zmm28\n\tvpxorq %%zmm29, %%zmm29, %%zmm29\n\t"
        "vpxorq %%zmm30, %%zmm30, %%zmm30\n\tvpxorq %%zmm31, %%zmm31, %%zmm31\n\t"
        "vzeroall"
        :
        :
        : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10",
          "xmm11", "xmm12", "xmm13", "xmm14", "xmm15", "xmm16", "xmm17", "xmm18", "xmm19", "xmm20",
          "xmm21", "xmm22", "xmm23", "xmm24", "xmm25", "xmm26", "xmm27", "xmm28", "xmm29", "xmm30",
          "xmm31", "memory");
}

// run(work) on a work record of its own, wiped afterwards: each engine's
// record in its own frame, so that only one of them is on the stack.
template <typename Work, typename Run>
__attribute__((noinline)) void runWiped(const Run& run) noexcept {
    Work work;
    run(work);
    secureWipe(&work, sizeof work);
}

}  // namespace

bool bigNumIfmaAvailable() noexcept {
    static const bool available = detectIfma();
    return available &&
           (bigNumKernelAllowed(BIGNUM_KERNEL_IFMA) || bigNumKernelAllowed(BIGNUM_KERNEL_IFMA256));
}

bool bigNumModExpPairIfma(const uint64_t* baseP, const uint64_t* expP, const uint64_t* p,
                          const uint64_t* rrP, const uint64_t* baseQ, const uint64_t* expQ,
                          const uint64_t* q, const uint64_t* rrQ, uint32_t limbs, uint64_t* outP,
                          uint64_t* outQ, uint32_t engine) noexcept {
    if (!bigNumIfmaServes(limbs, engine)) {
        return false;
    }
    const uint64_t* const base[2] = {baseP, baseQ};
    const uint64_t* const exponent[2] = {expP, expQ};
    const uint64_t* const mod[2] = {p, q};
    const uint64_t* const rr[2] = {rrP, rrQ};
    uint64_t* const out[2] = {outP, outQ};
    if (engine == BIGNUM_ENGINE_IFMA256) {
        runWiped<ifma::PairWork>([&](ifma::PairWork& work) {
            ifma::runPairYmm(base, exponent, mod, rr, limbs, out, work);
        });
    } else if (limbs <= 16) {
        // In 512-bit registers the primes of 8 and 16 limbs share them.
        runWiped<ifma::JointWork>([&](ifma::JointWork& work) {
            ifma::runPairJoint(base, exponent, mod, rr, limbs, out, work);
        });
    } else {
        runWiped<ifma::PairWork>([&](ifma::PairWork& work) {
            ifma::runPairZmm(base, exponent, mod, rr, limbs, out, work);
        });
    }
    scrubKernelTraces();
    return true;
}

bool bigNumModExpPublicIfma(const uint64_t* baseR, const uint64_t* plain, uint64_t exponent,
                            const uint64_t* n, uint32_t limbs, uint64_t* out,
                            uint32_t engine) noexcept {
    uint32_t bits = 0;
    for (uint64_t e = exponent; e != 0; e >>= 1) {
        ++bits;
    }
    if (bits < 2 || !bigNumIfmaServes(limbs, engine)) {
        return false;
    }
    ifma::PublicWork work;
    if (engine == BIGNUM_ENGINE_IFMA256) {
        ifma::runPublicYmm(baseR, plain, exponent, bits, n, limbs, out, work);
    } else {
        ifma::runPublicZmm(baseR, plain, exponent, bits, n, limbs, out, work);
    }
    // The base is public, but the same message may be secret elsewhere.
    secureWipe(&work, sizeof work);
    return true;
}

bool bigNumMontMulIfma(const uint64_t* a, const uint64_t* b, const uint64_t* n, uint32_t limbs,
                       uint64_t* out) noexcept {
    if (!bigNumIfmaServes(limbs, BIGNUM_ENGINE_IFMA256)) {
        return false;
    }
    runWiped<ifma::PublicWork>(
        [&](ifma::PublicWork& work) { ifma::runProductYmm(a, b, n, limbs, out, work); });
    scrubKernelTraces();
    return true;
}

bool bigNumIfmaServes(uint32_t limbs, uint32_t engine) noexcept {
    static const bool available = detectIfma();
    const uint32_t bit = engine == BIGNUM_ENGINE_IFMA256 ? BIGNUM_KERNEL_IFMA256
                         : engine == BIGNUM_ENGINE_IFMA  ? BIGNUM_KERNEL_IFMA
                                                         : 0;
    return available && bigNumKernelAllowed(bit) &&
           (limbs == 8 || limbs == 16 || limbs == 24 || limbs == 32);
}

#else

bool bigNumIfmaAvailable() noexcept {
    return false;
}

bool bigNumIfmaServes(uint32_t, uint32_t) noexcept {
    return false;
}

bool bigNumModExpPublicIfma(const uint64_t*, const uint64_t*, uint64_t, const uint64_t*, uint32_t,
                            uint64_t*, uint32_t) noexcept {
    return false;
}

bool bigNumMontMulIfma(const uint64_t*, const uint64_t*, const uint64_t*, uint32_t,
                       uint64_t*) noexcept {
    return false;
}

bool bigNumModExpPairIfma(const uint64_t*, const uint64_t*, const uint64_t*, const uint64_t*,
                          const uint64_t*, const uint64_t*, const uint64_t*, const uint64_t*,
                          uint32_t, uint64_t*, uint64_t*, uint32_t) noexcept {
    return false;
}

#endif

}  // namespace vc
