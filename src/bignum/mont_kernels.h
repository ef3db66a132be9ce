// Montgomery product kernels beyond the portable ones in modexp_engine.h, with
// the same signatures, so that the exponentiation engines can take either:
// carry chains on 64-bit limbs and vector lanes on 32-bit limbs. What the
// processor has is found once from cpuid.
#pragma once

#include <cstdint>

#if defined(__x86_64__) && defined(__GNUC__) && defined(__SIZEOF_INT128__)
#define VC_MONT_ADX 1
#else
#define VC_MONT_ADX 0
#endif

// Windows on x86-64 does not align the stack for vector spills; its builds
// take the portable 32-bit kernels, as they are 64-bit builds anyway.
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__)) && !defined(_WIN64)
#define VC_MONT_VEC32 1
#else
#define VC_MONT_VEC32 0
#endif

namespace vc {

// out = a b / R mod n for a, b < n of k limbs, R = 2^(64 k); t holds k + 2
// limbs of scratch and m k limbs. out may be a or b.
using MontMul64Fn = void (*)(uint64_t* out, const uint64_t* a, const uint64_t* b, const uint64_t* n,
                             uint64_t nPrime, uint32_t k, uint64_t* t, uint64_t* m);
// out = a a / R mod n, as above.
using MontSquare64Fn = void (*)(uint64_t* out, const uint64_t* a, const uint64_t* n,
                                uint64_t nPrime, uint32_t k, uint64_t* t, uint64_t* m);

struct MontKernels64 {
    MontSquare64Fn square;
    MontMul64Fn mul;
};

// The same on 32-bit limbs, R = 2^(32 k).
using MontMul32Fn = void (*)(uint32_t* out, const uint32_t* a, const uint32_t* b, const uint32_t* n,
                             uint32_t nPrime, uint32_t k, uint32_t* t, uint32_t* m);
using MontSquare32Fn = void (*)(uint32_t* out, const uint32_t* a, const uint32_t* n,
                                uint32_t nPrime, uint32_t k, uint32_t* t, uint32_t* m);

struct MontKernels32 {
    MontSquare32Fn square;
    MontMul32Fn mul;
};

// The vector kernels (mont32.cpp) serve k limbs from VEC32_MIN_LIMBS to 128;
// smaller moduli keep the portable ones.
constexpr uint32_t VEC32_MIN_LIMBS = 8;

// The vector kernels for k 32-bit limbs: AVX-512F ones where the processor
// and the OS have them, else AVX2 ones, each only while allowed
// (bigNumKernelAllowed). False, leaving *kernels alone, when none serves.
bool montVec32Kernels(uint32_t k, MontKernels32* kernels) noexcept;
// The same for one width only: AVX-512F with wide, else AVX2.
bool montVec32KernelsOf(uint32_t k, bool wide, MontKernels32* kernels) noexcept;

#if VC_MONT_ADX
// Whether the processor has mulx (BMI2) and adcx/adox (ADX).
bool montAdxAvailable() noexcept;
// The carry-chain kernels for k limbs: laid out in full for 8, 16, 24, 32
// and 64 limbs, a loop otherwise. Only for processors montAdxAvailable().
MontKernels64 montAdxKernels(uint32_t k) noexcept;
// u -= q v over k >= 1 limbs, one step of long division: answers what the
// subtraction takes from u[k], the product's top limb and the borrow.
// Only for processors montAdxAvailable().
uint64_t montSubMulAdx(uint64_t* u, const uint64_t* v, uint64_t q, uint32_t k) noexcept;
#endif

}  // namespace vc
