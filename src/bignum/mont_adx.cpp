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
#include "bignum/bignum_internal.h"
#include "bignum/mont_kernels.h"

#if VC_MONT_ADX

#include <immintrin.h>

#include <cstring>
#include <utility>

#include "support/cpu_features.h"
#include "support/secure_wipe.h"

namespace vc {
namespace {

#define VC_ADX __attribute__((target("bmi2,adx")))

// Limbs of the longest modulus, 4096 bits.
constexpr uint32_t MAX_LIMBS = 64;

// Operand-scanning (coarsely integrated) Montgomery product, row by row:
// t += a b[i], then t = (t + m n) / 2^64 with m = t[0] n' mod 2^64, so that
// the low limb vanishes and the shift loses nothing. t < 2n holds after
// every row, and the first pass of a row adds less than n 2^64, so t fits
// k + 2 limbs with t[k + 1] at most 1.

// One limb of a row, t[j] += lo(a[j] y) + hi(a[j - 1] y) with the previous
// high limb in h1: the low half on CF, the high half on OF. Pairs of limbs
// alternate h0 and h1, so no move is needed between them.
#define VC_ROW_PAIR                  \
    "mulx (%[a]), %[lo], %[h0]\n\t"  \
    "adcx (%[t]), %[lo]\n\t"         \
    "adox %[h1], %[lo]\n\t"          \
    "movq %[lo], (%[t])\n\t"         \
    "mulx 8(%[a]), %[lo], %[h1]\n\t" \
    "adcx 8(%[t]), %[lo]\n\t"        \
    "adox %[h0], %[lo]\n\t"          \
    "movq %[lo], 8(%[t])\n\t"        \
    "leaq 16(%[a]), %[a]\n\t"        \
    "leaq 16(%[t]), %[t]\n\t"
#define VC_ROW_SINGLE               \
    "mulx (%[a]), %[lo], %[h0]\n\t" \
    "adcx (%[t]), %[lo]\n\t"        \
    "adox %[h1], %[lo]\n\t"         \
    "movq %[lo], (%[t])\n\t"        \
    "movq %[h0], %[h1]\n\t"         \
    "leaq 8(%[a]), %[a]\n\t"        \
    "leaq 8(%[t]), %[t]\n\t"
// t[L] += last high limb + both carries, the carry out stored to t[L + 1].
#define VC_ROW_TAIL_STORE    \
    "adox %[z], %[h1]\n\t"   \
    "adcx (%[t]), %[h1]\n\t" \
    "movq %[h1], (%[t])\n\t" \
    "adcx %[z], %[z]\n\t"    \
    "movq %[z], 8(%[t])\n\t"
// t[L] += last high limb + both carries + c, the carry out (at most 2) to c.
// After the first adox OF is clear (a high limb is at most 2^64 - 2).
#define VC_ROW_TAIL_CARRY    \
    "adox %[z], %[h1]\n\t"   \
    "adcx %[cy], %[h1]\n\t"  \
    "movq (%[t]), %[lo]\n\t" \
    "adox %[h1], %[lo]\n\t"  \
    "movq %[lo], (%[t])\n\t" \
    "movq %[z], %[cy]\n\t"   \
    "adcx %[z], %[cy]\n\t"   \
    "adox %[z], %[cy]\n\t"
#define VC_ROW_START        \
    "xorl %k[z], %k[z]\n\t" \
    "movq %[z], %[h1]\n\t"
#define VC_ROW_UNROLLED              \
    ".rept %c[half]\n\t" VC_ROW_PAIR \
    ".endr\n\t"                      \
    ".if %c[odd]\n\t" VC_ROW_SINGLE ".endif\n\t"
#define VC_ROW_LOOP           \
    "1:\n\t" VC_ROW_SINGLE    \
    "leaq -1(%[c]), %[c]\n\t" \
    "jrcxz 2f\n\t"            \
    "jmp 1b\n\t"              \
    "2:\n\t"

// t[0 .. L] += a[0 .. L - 1] y with y in rdx, and t[L + 1] = the carry out
// (t[L + 1] is free). With L != 0 the row is laid out in full by the
// assembler; otherwise it is a loop over l >= 1 limbs.
template <uint32_t L>
VC_ADX inline void rowAdd(uint64_t* t, const uint64_t* a, uint64_t y, uint32_t l) noexcept {
    uint64_t lo;
    uint64_t h0;
    uint64_t h1;
    uint64_t zero;
    if constexpr (L != 0) {
        (void)l;
        __asm__ volatile(VC_ROW_START VC_ROW_UNROLLED VC_ROW_TAIL_STORE
                         : [a] "+&r"(a), [t] "+&r"(t), [lo] "=&r"(lo), [h0] "=&r"(h0),
                           [h1] "=&r"(h1), [z] "=&r"(zero)
                         : "d"(y), [half] "n"(L / 2), [odd] "n"(L % 2)
                         : "cc", "memory");
    } else {
        uint64_t count = l;
        __asm__ volatile(VC_ROW_START VC_ROW_LOOP VC_ROW_TAIL_STORE
                         : [a] "+&r"(a), [t] "+&r"(t), [c] "+&c"(count), [lo] "=&r"(lo),
                           [h0] "=&r"(h0), [h1] "=&r"(h1), [z] "=&r"(zero)
                         : "d"(y)
                         : "cc", "memory");
    }
}

// t[0 .. L] += a[0 .. L - 1] y + carry B^L, y in rdx; returns the carry out
// of t[L], at most 2.
template <uint32_t L>
VC_ADX inline uint64_t rowAddCarry(uint64_t* t, const uint64_t* a, uint64_t y, uint32_t l,
                                   uint64_t carry) noexcept {
    uint64_t lo;
    uint64_t h0;
    uint64_t h1;
    uint64_t zero;
    if constexpr (L != 0) {
        (void)l;
        __asm__ volatile(VC_ROW_START VC_ROW_UNROLLED VC_ROW_TAIL_CARRY
                         : [a] "+&r"(a), [t] "+&r"(t), [cy] "+&r"(carry), [lo] "=&r"(lo),
                           [h0] "=&r"(h0), [h1] "=&r"(h1), [z] "=&r"(zero)
                         : "d"(y), [half] "n"(L / 2), [odd] "n"(L % 2)
                         : "cc", "memory");
    } else {
        uint64_t count = l;
        __asm__ volatile(VC_ROW_START VC_ROW_LOOP VC_ROW_TAIL_CARRY
                         : [a] "+&r"(a), [t] "+&r"(t), [c] "+&c"(count), [cy] "+&r"(carry),
                           [lo] "=&r"(lo), [h0] "=&r"(h0), [h1] "=&r"(h1), [z] "=&r"(zero)
                         : "d"(y)
                         : "cc", "memory");
    }
    return carry;
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

// t[0 .. 2k - 1] = 2 t + the squares a[i]^2 at limbs 2i, 2i + 1: the
// doubling carries on CF, the squares on OF. The result is below B^(2k), so
// nothing is carried out of the top.
template <uint32_t K>
VC_ADX inline void doubleAddSquares(uint64_t* t, const uint64_t* a, uint32_t k) noexcept {
    uint64_t lo;
    uint64_t hi;
    uint64_t r;
    uint64_t d;
    uint64_t zero;
#define VC_SQUARE_STEP            \
    "movq (%[a]), %[d]\n\t"       \
    "mulx %[d], %[lo], %[hi]\n\t" \
    "movq (%[t]), %[r]\n\t"       \
    "adcx %[r], %[r]\n\t"         \
    "adox %[lo], %[r]\n\t"        \
    "movq %[r], (%[t])\n\t"       \
    "movq 8(%[t]), %[r]\n\t"      \
    "adcx %[r], %[r]\n\t"         \
    "adox %[hi], %[r]\n\t"        \
    "movq %[r], 8(%[t])\n\t"      \
    "leaq 8(%[a]), %[a]\n\t"      \
    "leaq 16(%[t]), %[t]\n\t"
    if constexpr (K != 0) {
        (void)k;
        __asm__ volatile(
            "xorl %k[z], %k[z]\n\t"
            ".rept %c[count]\n\t" VC_SQUARE_STEP ".endr\n\t"
            : [a] "+&r"(a), [t] "+&r"(t), [lo] "=&r"(lo), [hi] "=&r"(hi), [r] "=&r"(r),
              [d] "=&d"(d), [z] "=&r"(zero)
            : [count] "n"(K)
            : "cc", "memory");
    } else {
        uint64_t count = k;
        __asm__ volatile(
            "xorl %k[z], %k[z]\n\t"
            "1:\n\t" VC_SQUARE_STEP
            "leaq -1(%[c]), %[c]\n\t"
            "jrcxz 2f\n\t"
            "jmp 1b\n\t"
            "2:\n\t"
            : [a] "+&r"(a), [t] "+&r"(t), [c] "+&c"(count), [lo] "=&r"(lo), [hi] "=&r"(hi),
              [r] "=&r"(r), [d] "=&d"(d), [z] "=&r"(zero)
            :
            : "cc", "memory");
    }
#undef VC_SQUARE_STEP
}

// The cross products a[i] a[j], i < j, into t (zero on entry): row i adds
// a[i] a[i + 1 .. k - 1] at limb 2i + 1, and its carry lands on limb i + k + 1,
// which no earlier row reached.
template <uint32_t K, size_t... I>
VC_ADX inline void crossRows(uint64_t* t, const uint64_t* a,
                             std::index_sequence<I...> /*rows*/) noexcept {
    (rowAdd<K - 1 - I>(t + 2 * I + 1, a + I + 1, a[I], K - 1 - I), ...);
}

// out = a a / R mod n: the square with each cross product formed once, then
// k reduction rows in place, the carry out of each row handed to the next.
template <uint32_t K>
VC_ADX void squareAdx(uint64_t* out, const uint64_t* a, const uint64_t* n, uint64_t nPrime,
                      uint32_t kIn, uint64_t* t, uint64_t* m) noexcept {
    constexpr uint32_t CAPACITY = K != 0 ? K : MAX_LIMBS;
    const uint32_t k = K != 0 ? K : kIn;
    (void)t;
    (void)m;
    uint64_t square[2 * CAPACITY + 2];
    std::memset(square, 0, (2 * k + 2) * sizeof(uint64_t));
    if constexpr (K > 1) {
        crossRows<K>(square, a, std::make_index_sequence<K - 1>());
    } else if constexpr (K == 0) {
        for (uint32_t i = 0; i + 1 < k; ++i) {
            rowAdd<0>(square + 2 * i + 1, a + i + 1, a[i], k - 1 - i);
        }
    }
    doubleAddSquares<K>(square, a, k);
    uint64_t carry = 0;
    for (uint32_t i = 0; i < k; ++i) {
        carry = rowAddCarry<K>(square + i, n, square[i] * nPrime, k, carry);
    }
    square[2 * k] = carry;
    reduceOnce(out, square + k, n, k);
    secureWipe(square, (2 * k + 2) * sizeof(uint64_t));
}

// One limb of u -= q v: the product's low half joins the previous high
// half on OF, and u[i] + ~t + 1 subtracts it on CF (the chain starts with
// CF set); mulx touches neither flag.
// clang-format off
#define VC_SUBMUL_LIMB(offset)                    \
    "mulx " #offset "(%[v]), %[lo], %[next]\n\t" \
    "adox %[high], %[lo]\n\t"                    \
    "notq %[lo]\n\t"                             \
    "adcx " #offset "(%[u]), %[lo]\n\t"          \
    "movq %[lo], " #offset "(%[u])\n\t"          \
    "movq %[next], %[high]\n\t"
// clang-format on

}  // namespace

// Single limbs up to a multiple of four, then four at a time. The counts
// live in rcx, which jrcxz tests without touching a flag; the move
// between the two loops leaves the flags alone too.
VC_ADX uint64_t montSubMulAdx(uint64_t* u, const uint64_t* v, uint64_t q, uint32_t k) noexcept {
    uint64_t lo;
    uint64_t next;
    uint64_t high;
    uint64_t count = k % 4;
    const uint64_t quads = k / 4;
    const uint64_t zero = 0;
    // clang-format off
    __asm__ volatile(
        "xorl %k[high], %k[high]\n\t"  // clears CF and OF
        "stc\n\t"
        "1:\n\t"
        "jrcxz 2f\n\t"
        VC_SUBMUL_LIMB(0)
        "leaq 8(%[v]), %[v]\n\t"
        "leaq 8(%[u]), %[u]\n\t"
        "leaq -1(%[count]), %[count]\n\t"
        "jmp 1b\n\t"
        "2:\n\t"
        "movq %[quads], %[count]\n\t"
        "3:\n\t"
        "jrcxz 4f\n\t"  // jrcxz reaches 127 bytes: over the body by a jump
        "jmp 5f\n\t"
        "4:\n\t"
        "jmp 6f\n\t"
        "5:\n\t"
        VC_SUBMUL_LIMB(0) VC_SUBMUL_LIMB(8) VC_SUBMUL_LIMB(16) VC_SUBMUL_LIMB(24)
        "leaq 32(%[v]), %[v]\n\t"
        "leaq 32(%[u]), %[u]\n\t"
        "leaq -1(%[count]), %[count]\n\t"
        "jmp 3b\n\t"
        "6:\n\t"
        // What u[k] loses: the last high half with OF, and the borrow,
        // which is 1 - CF.
        "adox %[zero], %[high]\n\t"
        "sbbq $-1, %[high]\n\t"
        : [lo] "=&r"(lo), [next] "=&r"(next), [high] "=&r"(high), [u] "+&r"(u), [v] "+&r"(v),
          [count] "+c"(count)
        : "d"(q), [zero] "r"(zero), [quads] "r"(quads)
        : "cc", "memory");
    // clang-format on
    return high;
}

bool montAdxAvailable() noexcept {
    return cpuHas(CPU_BMI2 | CPU_ADX) && bigNumKernelAllowed(BIGNUM_KERNEL_ADX);
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
