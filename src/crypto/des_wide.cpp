// Triple-DES CBC decryption of up to 64 blocks at once in AVX-512
// registers, for processors with AVX512F, AVX512BW and AVX512VBMI.
//
// The blocks are turned into eight byte planes: plane j holds byte j of
// every block, block n in byte lane n. In that form the permutations of the
// cipher are moves of whole planes or shifts inside bytes, and a lookup in
// one of the round's combined tables is one VPERMB for all 64 blocks: each
// table is split into its four bytes, a 64-byte vector each, and VPERMB
// reads exactly the six low bits of every index byte. The lookups therefore
// never touch memory that depends on a secret, unlike the table-driven
// scalar round.
#include "crypto/des.h"

#include "crypto/des_planes.h"
#include "crypto/des_tables.h"
#include "support/bytes.h"
#include "support/cpu_features.h"

#include <array>
#include <atomic>
#include <utility>

// Built for 32- and 64-bit x86 alike (in 32-bit code only eight vector
// registers, but still far ahead of the scalar rounds), except 64-bit
// Windows, whose compilers do not align the stack for vector spills.
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__)) && !defined(_WIN64)
#define VC_DES_WIDE_KERNEL 1
#include <immintrin.h>
// As in the other vector kernels: the unmasked intrinsics start from a
// deliberately undefined vector, which g++ 12 reports once inlined.
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#else
#define VC_DES_WIDE_KERNEL 0
#endif

namespace vc {
namespace {

std::atomic<uint32_t> allowedKernels{DES_KERNELS_ALL};

}  // namespace

void desAllowKernels(uint32_t mask) noexcept {
    allowedKernels.store(mask, std::memory_order_relaxed);
}

#if VC_DES_WIDE_KERNEL

namespace {

using des_planes::WideKeys;

#define VC_WIDE_TARGET __attribute__((target("avx512f,avx512bw,avx512vbmi")))
#define VC_WIDE_INLINE VC_WIDE_TARGET inline __attribute__((always_inline))

// Byte p of every entry of combined table t, at 64 (t * 4 + p).
constexpr std::array<uint8_t, 8 * 4 * 64> planeTables() {
    std::array<uint8_t, 8 * 4 * 64> out{};
    for (unsigned t = 0; t < 8; ++t) {
        for (unsigned p = 0; p < 4; ++p) {
            for (unsigned i = 0; i < 64; ++i) {
                out[64 * (4 * t + p) + i] =
                    static_cast<uint8_t>(des_tables::SBOX_P[t][i] >> (8 * p));
            }
        }
    }
    return out;
}
alignas(64) constexpr std::array<uint8_t, 8 * 4 * 64> PLANE_TABLES = planeTables();

// The operations des_plane_rounds.inc needs, on 64 blocks.
struct Wide {
    using Vec = __m512i;

    static VC_WIDE_INLINE Vec bytes(uint8_t value) {
        return _mm512_set1_epi8(static_cast<char>(value));
    }
    // (a & mask) | (b & ~mask), bitwise, in one instruction.
    static VC_WIDE_INLINE Vec select(Vec a, Vec b, Vec mask) {
        return _mm512_ternarylogic_epi64(a, b, mask, 0xe4);
    }
    static VC_WIDE_INLINE Vec shiftRight(Vec x, unsigned n) { return _mm512_srli_epi64(x, n); }
    static VC_WIDE_INLINE Vec shiftLeft(Vec x, unsigned n) { return _mm512_slli_epi64(x, n); }
    static VC_WIDE_INLINE Vec xorOf(Vec a, Vec b) { return _mm512_xor_si512(a, b); }
    static VC_WIDE_INLINE Vec andOf(Vec a, Vec b) { return _mm512_and_si512(a, b); }

    // l ^= f(r, K) for 64 blocks. Index bytes carry junk in their top two
    // bits, which VPERMB ignores. The tables come from memory: they are
    // constants.
    static VC_WIDE_INLINE void round(Vec (&l)[4], const Vec (&r)[4], const uint32_t* key) {
        Vec index[8];
        for (unsigned p = 0; p < 4; ++p) {
            // Bits 2-7 of byte p for the even tables; bits 6-7 of byte p and
            // 0-3 of the next byte for the odd ones.
            index[2 * p] = _mm512_xor_si512(_mm512_srli_epi64(r[p], 2),
                                            _mm512_set1_epi32(static_cast<int>(key[2 * p])));
            index[2 * p + 1] =
                _mm512_xor_si512(select(_mm512_srli_epi64(r[p], 6),
                                        _mm512_slli_epi64(r[(p + 1) % 4], 2), bytes(0x03)),
                                 _mm512_set1_epi32(static_cast<int>(key[2 * p + 1])));
        }
        const auto* tables = reinterpret_cast<const Vec*>(PLANE_TABLES.data());
        for (unsigned p = 0; p < 4; ++p) {
            Vec x = l[p];
            for (unsigned t = 0; t < 8; t += 2) {
                x = _mm512_ternarylogic_epi64(
                    x, _mm512_permutexvar_epi8(index[t], _mm512_load_si512(tables + 4 * t + p)),
                    _mm512_permutexvar_epi8(index[t + 1],
                                            _mm512_load_si512(tables + 4 * (t + 1) + p)),
                    0x96);
            }
            l[p] = x;
        }
    }
};

using Ops = Wide;
#define VC_PLANE_INLINE VC_WIDE_INLINE
#include "crypto/des_plane_rounds.inc"
#undef VC_PLANE_INLINE

// Eight vectors of eight blocks each into eight byte planes: the bytes of
// each vector gathered by their place in the block, then an 8 x 8
// transposition of 64-bit words in three steps of swapping off-diagonal
// blocks. Both steps are their own inverses, so back is the same two in the
// other order.
constexpr std::array<uint8_t, 64> columnOrder() {
    std::array<uint8_t, 64> order{};
    for (unsigned j = 0; j < 8; ++j) {
        for (unsigned n = 0; n < 8; ++n) {
            order[8 * j + n] = static_cast<uint8_t>(8 * n + j);
        }
    }
    return order;
}
alignas(64) constexpr std::array<uint8_t, 64> COLUMN_ORDER = columnOrder();

// For the step swapping blocks of s x s words between vectors i and i + s:
// where the new i and the new i + s take their words from, 8 and up
// naming the second vector.
constexpr std::array<int64_t, 48> swapOrders() {
    std::array<int64_t, 48> order{};
    for (unsigned step = 0; step < 3; ++step) {
        const unsigned s = 4u >> step;
        for (unsigned q = 0; q < 8; ++q) {
            order[16 * step + q] = (q & s) != 0 ? 8 + q - s : q;
            order[16 * step + 8 + q] = (q & s) != 0 ? 8 + q : q + s;
        }
    }
    return order;
}
alignas(64) constexpr std::array<int64_t, 48> SWAP_ORDERS = swapOrders();

VC_WIDE_INLINE void reorderColumns(__m512i* z) {
    const __m512i columns = _mm512_load_si512(COLUMN_ORDER.data());
    for (unsigned i = 0; i < 8; ++i) {
        z[i] = _mm512_permutexvar_epi8(columns, z[i]);
    }
}

VC_WIDE_INLINE void transposeWords(__m512i* z) {
    for (unsigned step = 0; step < 3; ++step) {
        const unsigned s = 4u >> step;
        const __m512i lowIndex = _mm512_load_si512(SWAP_ORDERS.data() + 16 * step);
        const __m512i highIndex = _mm512_load_si512(SWAP_ORDERS.data() + 16 * step + 8);
        for (unsigned i = 0; i < 8; ++i) {
            if ((i & s) == 0) {
                const __m512i a = z[i];
                z[i] = _mm512_permutex2var_epi64(a, lowIndex, z[i + s]);
                z[i + s] = _mm512_permutex2var_epi64(a, highIndex, z[i + s]);
            }
        }
    }
}

VC_WIDE_INLINE void toPlanes(__m512i* z) {
    reorderColumns(z);
    transposeWords(z);
}

VC_WIDE_INLINE void fromPlanes(__m512i* z) {
    transposeWords(z);
    reorderColumns(z);
}

// Decrypts `count` blocks, 1 to 64, chaining from (v0, v1) and leaving the
// last ciphertext block there. Lanes past `count` are neither read nor
// written.
VC_WIDE_TARGET void decryptBatch(const uint8_t* input, uint8_t* output, uint32_t count,
                                 const WideKeys& keys, uint32_t& v0, uint32_t& v1) {
    __m512i z[8];
    __m512i cipher[8];
    __mmask8 masks[8];
    for (unsigned i = 0; i < 8; ++i) {
        const uint32_t have = count > 8 * i ? count - 8 * i : 0;
        masks[i] = static_cast<__mmask8>(have >= 8 ? 0xff : (1u << have) - 1u);
        cipher[i] = _mm512_maskz_loadu_epi64(masks[i], input + 64 * i);
        z[i] = cipher[i];
    }
    const uint32_t next0 = loadLe32(input + 8 * (count - 1));
    const uint32_t next1 = loadLe32(input + 8 * (count - 1) + 4);
    toPlanes(z);
    decryptPlanes(z, keys);
    fromPlanes(z);
    __m512i previous = _mm512_set1_epi64(static_cast<int64_t>(v0 | uint64_t{v1} << 32));
    for (unsigned i = 0; i < 8; ++i) {
        const __m512i chain = _mm512_alignr_epi64(cipher[i], previous, 7);
        _mm512_mask_storeu_epi64(output + 64 * i, masks[i], _mm512_xor_si512(z[i], chain));
        previous = cipher[i];
    }
    v0 = next0;
    v1 = next1;
}

}  // namespace

bool desWideAvailable() noexcept {
    return cpuHas(CPU_AVX512F | CPU_AVX512BW | CPU_AVX512VBMI);
}

#else

bool desWideAvailable() noexcept {
    return false;
}

#endif

// A kernel's batch costs the same however few of its lanes are used. A
// batch of the VBMI kernel costs about as much as six blocks decrypted in
// pairs, one of the AVX2 kernel about as much as ten (both measured on AMD
// Zen 4), so each runs from the next block count on.
constexpr uint32_t AVX2_MIN_BLOCKS = 11;

bool desDecryptWide(const uint8_t* input, uint8_t* output, uint32_t blocks, const uint32_t* s1,
                    const uint32_t* s2, const uint32_t* s3, uint32_t& v0, uint32_t& v1) noexcept {
    const uint32_t allowed = allowedKernels.load(std::memory_order_relaxed);
#if VC_DES_WIDE_KERNEL
    constexpr uint32_t WIDE_MIN_BLOCKS = 7;
    if ((allowed & DES_KERNEL_WIDE) != 0 && desWideAvailable()) {
        if (blocks < WIDE_MIN_BLOCKS) {
            return false;
        }
        des_planes::decryptInBatches<64, decryptBatch>(input, output, blocks, s1, s2, s3, v0, v1);
        return true;
    }
#endif
    if ((allowed & DES_KERNEL_AVX2) != 0 && desAvx2Available() && blocks >= AVX2_MIN_BLOCKS) {
        desDecryptAvx2(input, output, blocks, s1, s2, s3, v0, v1);
        return true;
    }
    return false;
}

}  // namespace vc
