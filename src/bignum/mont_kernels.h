// Montgomery product kernels for 64-bit limbs beyond the portable ones in
// modexp.cpp, with the same signatures, so that both exponentiation engines
// can take either. Which one runs is decided once from cpuid.
#pragma once

#include <cstdint>

#if defined(__x86_64__) && defined(__GNUC__) && defined(__SIZEOF_INT128__)
#define VC_MONT_ADX 1
#else
#define VC_MONT_ADX 0
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

#if VC_MONT_ADX
// Whether the processor has mulx (BMI2) and adcx/adox (ADX).
bool montAdxAvailable() noexcept;
// The carry-chain kernels for k limbs: laid out in full for 8, 16, 24, 32
// and 64 limbs, a loop otherwise. Only for processors montAdxAvailable().
MontKernels64 montAdxKernels(uint32_t k) noexcept;
#endif

}  // namespace vc
