// Montgomery products on 64-bit limbs with the carry-chain instructions:
// mulx leaves the flags alone, adcx carries through CF only and adox through
// OF only, so one pass over a row keeps two independent carry chains: the
// low halves of the products go into the accumulator on CF, and the high
// halves, one limb further up, on OF. Compiled for BMI2 and ADX whatever the
// build's target; used only after cpuid has shown both (montAdxKernels).
//
// The order of operations is fixed by the limb count alone: no branch and
// no memory address depends on the operands, the modulus or any
// intermediate, and the final subtraction is chosen by mask. The secret
// engine uses these kernels on processors that have the instructions.
#include "bignum/mont_kernels.h"

#if VC_MONT_ADX

#include <cpuid.h>
#include <immintrin.h>

#include <cstring>

namespace vc {
namespace {

#define VC_ADX __attribute__((target("bmi2,adx")))

// Operand-scanning (coarsely integrated) Montgomery product, row by row:
// t += a b[i], then t = (t + m n) / 2^64 with m = t[0] n' mod 2^64, so that
// the low limb vanishes and the shift loses nothing. t < 2n holds after
// every row, and the first pass of a row adds less than n 2^64, so t fits
// k + 2 limbs with t[k + 1] at most 1.

// t[0 .. k + 1] += a[0 .. k - 1] y, y in rdx. With K != 0 the row is laid
// out in full by the assembler (K even); otherwise it is a loop over k.
template <uint32_t K>
VC_ADX inline void rowAdd(uint64_t* t, const uint64_t* a, uint64_t y, uint32_t k) noexcept {
    uint64_t lo;
    uint64_t h0;
    uint64_t h1;
    uint64_t zero;
    if constexpr (K != 0) {
        __asm__ volatile(
            "xorl %k[z], %k[z]\n\t"  // zero, and CF = OF = 0
            "movq %[z], %[h1]\n\t"
            ".rept %c[half]\n\t"
            "mulx (%[a]), %[lo], %[h0]\n\t"
            "adcx (%[t]), %[lo]\n\t"
            "adox %[h1], %[lo]\n\t"
            "movq %[lo], (%[t])\n\t"
            "mulx 8(%[a]), %[lo], %[h1]\n\t"
            "adcx 8(%[t]), %[lo]\n\t"
            "adox %[h0], %[lo]\n\t"
            "movq %[lo], 8(%[t])\n\t"
            "leaq 16(%[a]), %[a]\n\t"
            "leaq 16(%[t]), %[t]\n\t"
            ".endr\n\t"
            // t[k] += last high limb + both carries; the carry out to t[k + 1].
            "adox %[z], %[h1]\n\t"
            "adcx (%[t]), %[h1]\n\t"
            "movq %[h1], (%[t])\n\t"
            "adcx %[z], %[z]\n\t"
            "addq %[z], 8(%[t])\n\t"
            : [a] "+&r"(a), [t] "+&r"(t), [lo] "=&r"(lo), [h0] "=&r"(h0), [h1] "=&r"(h1),
              [z] "=&r"(zero)
            : "d"(y), [half] "n"(K / 2)
            : "cc", "memory");
        (void)k;
    } else {
        uint64_t count = k;
        __asm__ volatile(
            "xorl %k[z], %k[z]\n\t"
            "movq %[z], %[h1]\n\t"
            "1:\n\t"
            "mulx (%[a]), %[lo], %[h0]\n\t"
            "adcx (%[t]), %[lo]\n\t"
            "adox %[h1], %[lo]\n\t"
            "movq %[lo], (%[t])\n\t"
            "movq %[h0], %[h1]\n\t"
            "leaq 8(%[a]), %[a]\n\t"
            "leaq 8(%[t]), %[t]\n\t"
            "leaq -1(%[c]), %[c]\n\t"
            "jrcxz 2f\n\t"
            "jmp 1b\n\t"
            "2:\n\t"
            "adox %[z], %[h1]\n\t"
            "adcx (%[t]), %[h1]\n\t"
            "movq %[h1], (%[t])\n\t"
            "adcx %[z], %[z]\n\t"
            "addq %[z], 8(%[t])\n\t"
            : [a] "+&r"(a), [t] "+&r"(t), [c] "+&c"(count), [lo] "=&r"(lo), [h0] "=&r"(h0),
              [h1] "=&r"(h1), [z] "=&r"(zero)
            : "d"(y)
            : "cc", "memory");
    }
}

// t = (t + m n) / 2^64 over k + 2 limbs, m in rdx; t[k + 1] becomes 0.
template <uint32_t K>
VC_ADX inline void rowReduce(uint64_t* t, const uint64_t* n, uint64_t m, uint32_t k) noexcept {
    uint64_t lo;
    uint64_t h0;
    uint64_t h1;
    uint64_t zero;
    if constexpr (K != 0) {
        // Limb 0 (its sum is 0 by the choice of m; only the carry is kept),
        // then limbs 1 .. K - 2 in pairs, then limb K - 1.
        __asm__ volatile(
            "xorl %k[z], %k[z]\n\t"
            "mulx (%[n]), %[lo], %[h1]\n\t"
            "adcx (%[t]), %[lo]\n\t"
            ".rept %c[half]\n\t"
            "mulx 8(%[n]), %[lo], %[h0]\n\t"
            "adcx 8(%[t]), %[lo]\n\t"
            "adox %[h1], %[lo]\n\t"
            "movq %[lo], (%[t])\n\t"
            "mulx 16(%[n]), %[lo], %[h1]\n\t"
            "adcx 16(%[t]), %[lo]\n\t"
            "adox %[h0], %[lo]\n\t"
            "movq %[lo], 8(%[t])\n\t"
            "leaq 16(%[n]), %[n]\n\t"
            "leaq 16(%[t]), %[t]\n\t"
            ".endr\n\t"
            "mulx 8(%[n]), %[lo], %[h0]\n\t"
            "adcx 8(%[t]), %[lo]\n\t"
            "adox %[h1], %[lo]\n\t"
            "movq %[lo], (%[t])\n\t"
            // t[k - 1] = t[k] + last high limb + carries; t[k] = t[k + 1] + carry.
            "adox %[z], %[h0]\n\t"
            "adcx 16(%[t]), %[h0]\n\t"
            "movq %[h0], 8(%[t])\n\t"
            "movq 24(%[t]), %[lo]\n\t"
            "adcx %[z], %[lo]\n\t"
            "movq %[lo], 16(%[t])\n\t"
            "movq %[z], 24(%[t])\n\t"
            : [n] "+&r"(n), [t] "+&r"(t), [lo] "=&r"(lo), [h0] "=&r"(h0), [h1] "=&r"(h1),
              [z] "=&r"(zero)
            : "d"(m), [half] "n"((K - 2) / 2)
            : "cc", "memory");
        (void)k;
    } else {
        uint64_t count = k - 1;
        __asm__ volatile(
            "xorl %k[z], %k[z]\n\t"
            "mulx (%[n]), %[lo], %[h1]\n\t"
            "adcx (%[t]), %[lo]\n\t"
            "jrcxz 2f\n\t"
            "1:\n\t"
            "mulx 8(%[n]), %[lo], %[h0]\n\t"
            "adcx 8(%[t]), %[lo]\n\t"
            "adox %[h1], %[lo]\n\t"
            "movq %[lo], (%[t])\n\t"
            "movq %[h0], %[h1]\n\t"
            "leaq 8(%[n]), %[n]\n\t"
            "leaq 8(%[t]), %[t]\n\t"
            "leaq -1(%[c]), %[c]\n\t"
            "jrcxz 2f\n\t"
            "jmp 1b\n\t"
            "2:\n\t"
            "adox %[z], %[h1]\n\t"
            "adcx 8(%[t]), %[h1]\n\t"
            "movq %[h1], (%[t])\n\t"
            "movq 16(%[t]), %[lo]\n\t"
            "adcx %[z], %[lo]\n\t"
            "movq %[lo], 8(%[t])\n\t"
            "movq %[z], 16(%[t])\n\t"
            : [n] "+&r"(n), [t] "+&r"(t), [c] "+&c"(count), [lo] "=&r"(lo), [h0] "=&r"(h0),
              [h1] "=&r"(h1), [z] "=&r"(zero)
            : "d"(m)
            : "cc", "memory");
    }
}

// out = t - n when t >= n, else t; t has k + 1 limbs and is below 2n. Both
// are computed and one is kept by mask.
VC_ADX inline void reduceOnce(uint64_t* out, const uint64_t* t, const uint64_t* n,
                              uint32_t k) noexcept {
    unsigned char borrow = 0;
    for (uint32_t j = 0; j < k; ++j) {
        unsigned long long d;
        borrow = _subborrow_u64(borrow, t[j], n[j], &d);
        out[j] = d;
    }
    unsigned long long top;
    borrow = _subborrow_u64(borrow, t[k], 0, &top);
    // borrow set: t < n, keep t.
    const uint64_t keep = 0 - static_cast<uint64_t>(borrow);
    for (uint32_t j = 0; j < k; ++j) {
        out[j] = (t[j] & keep) | (out[j] & ~keep);
    }
}

template <uint32_t K>
VC_ADX void mulAdx(uint64_t* out, const uint64_t* a, const uint64_t* b, const uint64_t* n,
                   uint64_t nPrime, uint32_t kIn, uint64_t* t, uint64_t* m) noexcept {
    const uint32_t k = K != 0 ? K : kIn;
    std::memset(t, 0, (k + 2) * sizeof(uint64_t));
    for (uint32_t i = 0; i < k; ++i) {
        rowAdd<K>(t, a, b[i], k);
        rowReduce<K>(t, n, t[0] * nPrime, k);
    }
    (void)m;  // each factor lives in rdx for its row only
    reduceOnce(out, t, n, k);
}

template <uint32_t K>
VC_ADX void squareAdx(uint64_t* out, const uint64_t* a, const uint64_t* n, uint64_t nPrime,
                      uint32_t k, uint64_t* t, uint64_t* m) noexcept {
    mulAdx<K>(out, a, a, n, nPrime, k, t, m);
}

bool detect() noexcept {
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) {
        return false;
    }
    constexpr unsigned BMI2 = 1u << 8;
    constexpr unsigned ADX = 1u << 19;
    return (ebx & BMI2) != 0 && (ebx & ADX) != 0;
}

}  // namespace

bool montAdxAvailable() noexcept {
    // Initialised once, thread-safely, on first use.
    static const bool available = detect();
    return available;
}

MontKernels64 montAdxKernels(uint32_t k) noexcept {
    switch (k) {
        case 8:
            return {&squareAdx<8>, &mulAdx<8>};
        case 16:
            return {&squareAdx<16>, &mulAdx<16>};
        case 24:
            return {&squareAdx<24>, &mulAdx<24>};
        case 32:
            return {&squareAdx<32>, &mulAdx<32>};
        case 64:
            return {&squareAdx<64>, &mulAdx<64>};
        default:
            return {&squareAdx<0>, &mulAdx<0>};
    }
}

}  // namespace vc

#endif  // VC_MONT_ADX
