// Triple-DES CBC decryption of up to 32 blocks at once in AVX2 registers,
// for processors with AVX2 but without the VBMI of des_wide.cpp.
//
// The same byte planes as there, 32 blocks in a register. AVX2 has no
// 64-entry byte lookup: one is four VPSHUFB (16 entries each, reading the
// four low index bits) and three byte blends chosen by index bits 4 and 5.
// The tables are read whole from fixed addresses, so no memory address
// depends on a secret here either.
#include "crypto/des.h"

#include "crypto/des_planes.h"
#include "crypto/des_tables.h"
#include "support/bytes.h"
#include "support/cpu_features.h"

#include <array>
#include <utility>

// Built for 32- and 64-bit x86 alike (in 32-bit code only eight vector
// registers, but still far ahead of the scalar rounds), except 64-bit
// Windows, whose compilers do not align the stack for vector spills.
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__)) && !defined(_WIN64)
#define VC_DES_AVX2_KERNEL 1
#include <immintrin.h>
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#else
#define VC_DES_AVX2_KERNEL 0
#endif

namespace vc {

#if VC_DES_AVX2_KERNEL

namespace {

using des_planes::WideKeys;

#define VC_AVX2_TARGET __attribute__((target("avx2")))
#define VC_AVX2_INLINE VC_AVX2_TARGET inline __attribute__((always_inline))

// Each combined table sets four bits of a half, and some of its four bytes
// use different bit positions, so that one lookup in a table holding them
// ORed together, then a mask per byte, serves several planes at once. The
// planes of table t fall into groups of such bytes (first fit, in plane
// order); a plane of group g has group[t][p] == g.
struct PlaneGroups {
    uint8_t count[8];
    uint8_t group[8][4];
    uint8_t mask[8][4];  // the bits table t ever sets in byte p
};

constexpr PlaneGroups planeGroups() {
    PlaneGroups out{};
    for (unsigned t = 0; t < 8; ++t) {
        uint32_t used = 0;
        for (unsigned i = 0; i < 64; ++i) {
            used |= des_tables::SBOX_P[t][i];
        }
        uint8_t taken[4] = {};
        for (unsigned p = 0; p < 4; ++p) {
            out.mask[t][p] = static_cast<uint8_t>(used >> (8 * p));
            unsigned g = 0;
            while (g < out.count[t] && (taken[g] & out.mask[t][p]) != 0) {
                ++g;
            }
            out.count[t] = static_cast<uint8_t>(g == out.count[t] ? g + 1 : out.count[t]);
            taken[g] = static_cast<uint8_t>(taken[g] | out.mask[t][p]);
            out.group[t][p] = static_cast<uint8_t>(g);
        }
    }
    return out;
}
constexpr PlaneGroups PLANE_GROUPS = planeGroups();

// Entries 16 k .. 16 k + 15 of group g of table t (its bytes ORed), twice
// (once per 128-bit half), at 32 (16 t + 4 g + k).
constexpr std::array<uint8_t, 8 * 4 * 4 * 32> quarterTables() {
    std::array<uint8_t, 8 * 4 * 4 * 32> out{};
    for (unsigned t = 0; t < 8; ++t) {
        for (unsigned p = 0; p < 4; ++p) {
            const unsigned g = PLANE_GROUPS.group[t][p];
            for (unsigned k = 0; k < 4; ++k) {
                for (unsigned i = 0; i < 32; ++i) {
                    out[32 * (16 * t + 4 * g + k) + i] |=
                        static_cast<uint8_t>(des_tables::SBOX_P[t][16 * k + i % 16] >> (8 * p));
                }
            }
        }
    }
    return out;
}
alignas(32) constexpr std::array<uint8_t, 8 * 4 * 4 * 32> QUARTER_TABLES = quarterTables();

// Within each 128-bit half (two blocks): the bytes paired by their place in
// the block, and back.
constexpr std::array<uint8_t, 64> pairOrders() {
    std::array<uint8_t, 64> order{};
    for (unsigned h = 0; h < 2; ++h) {
        for (unsigned j = 0; j < 8; ++j) {
            for (unsigned n = 0; n < 2; ++n) {
                order[16 * h + 2 * j + n] = static_cast<uint8_t>(8 * n + j);
                order[32 + 16 * h + 8 * n + j] = static_cast<uint8_t>(2 * j + n);
            }
        }
    }
    return order;
}
alignas(32) constexpr std::array<uint8_t, 64> PAIR_ORDERS = pairOrders();

// The operations des_plane_rounds.inc needs, on 32 blocks.
struct Avx2 {
    using Vec = __m256i;

    static VC_AVX2_INLINE Vec bytes(uint8_t value) {
        return _mm256_set1_epi8(static_cast<char>(value));
    }
    // (a & mask) | (b & ~mask), bitwise.
    static VC_AVX2_INLINE Vec select(Vec a, Vec b, Vec mask) {
        return _mm256_xor_si256(b, _mm256_and_si256(_mm256_xor_si256(a, b), mask));
    }
    static VC_AVX2_INLINE Vec shiftRight(Vec x, int n) { return _mm256_srli_epi64(x, n); }
    static VC_AVX2_INLINE Vec shiftLeft(Vec x, int n) { return _mm256_slli_epi64(x, n); }
    static VC_AVX2_INLINE Vec xorOf(Vec a, Vec b) { return _mm256_xor_si256(a, b); }
    static VC_AVX2_INLINE Vec andOf(Vec a, Vec b) { return _mm256_and_si256(a, b); }

    // l ^= f(r, K) for 32 blocks, table by table and group by group. Of each
    // index, the four low bits go to VPSHUFB (bit 7 clear, or it would answer
    // zero); bits 4 and 5, shifted up to bit 7 of their byte, choose between
    // the four answers. Which planes a lookup serves is fixed by the tables,
    // not by any key or data.
    static VC_AVX2_INLINE void round(Vec (&l)[4], const Vec (&r)[4], const uint32_t* key) {
        const auto* tables = reinterpret_cast<const Vec*>(QUARTER_TABLES.data());
        // Unrolled whole, so that the groups are constants and the planes stay
        // in registers.
#pragma GCC unroll 8
        for (unsigned t = 0; t < 8; ++t) {
            const unsigned p = t / 2;
            const Vec raw = t % 2 == 0 ? _mm256_srli_epi64(r[p], 2)
                                       : select(_mm256_srli_epi64(r[p], 6),
                                                _mm256_slli_epi64(r[(p + 1) % 4], 2), bytes(0x03));
            const Vec index = _mm256_xor_si256(raw, _mm256_set1_epi32(static_cast<int>(key[t])));
            const Vec low = _mm256_and_si256(index, bytes(0x0f));
            const Vec bit4 = _mm256_slli_epi64(index, 3);
            const Vec bit5 = _mm256_slli_epi64(index, 2);
#pragma GCC unroll 4
            for (unsigned g = 0; g < PLANE_GROUPS.count[t]; ++g) {
                const Vec* row = tables + 16 * t + 4 * g;
                const Vec a = _mm256_shuffle_epi8(_mm256_load_si256(row), low);
                const Vec b = _mm256_shuffle_epi8(_mm256_load_si256(row + 1), low);
                const Vec c = _mm256_shuffle_epi8(_mm256_load_si256(row + 2), low);
                const Vec d = _mm256_shuffle_epi8(_mm256_load_si256(row + 3), low);
                const Vec word = _mm256_blendv_epi8(_mm256_blendv_epi8(a, b, bit4),
                                                    _mm256_blendv_epi8(c, d, bit4), bit5);
#pragma GCC unroll 4
                for (unsigned q = 0; q < 4; ++q) {
                    if (PLANE_GROUPS.group[t][q] == g && PLANE_GROUPS.mask[t][q] != 0) {
                        l[q] = _mm256_xor_si256(
                            l[q], _mm256_and_si256(word, bytes(PLANE_GROUPS.mask[t][q])));
                    }
                }
            }
        }
    }
};

using Ops = Avx2;
#define VC_PLANE_INLINE VC_AVX2_INLINE
#include "crypto/des_plane_rounds.inc"
#undef VC_PLANE_INLINE

VC_AVX2_INLINE void reorderPairs(__m256i* z, unsigned which) {
    const __m256i order =
        _mm256_load_si256(reinterpret_cast<const __m256i*>(PAIR_ORDERS.data() + 32 * which));
    for (unsigned i = 0; i < 8; ++i) {
        z[i] = _mm256_shuffle_epi8(z[i], order);
    }
}

// An 8 x 8 transposition of 16-bit words within each 128-bit half: its
// own inverse.
VC_AVX2_INLINE void transposeWords(__m256i* z) {
    __m256i t[8];
    __m256i u[8];
    for (unsigned i = 0; i < 4; ++i) {
        t[2 * i] = _mm256_unpacklo_epi16(z[2 * i], z[2 * i + 1]);
        t[2 * i + 1] = _mm256_unpackhi_epi16(z[2 * i], z[2 * i + 1]);
    }
    for (unsigned i = 0; i < 2; ++i) {
        u[4 * i] = _mm256_unpacklo_epi32(t[4 * i], t[4 * i + 2]);
        u[4 * i + 1] = _mm256_unpackhi_epi32(t[4 * i], t[4 * i + 2]);
        u[4 * i + 2] = _mm256_unpacklo_epi32(t[4 * i + 1], t[4 * i + 3]);
        u[4 * i + 3] = _mm256_unpackhi_epi32(t[4 * i + 1], t[4 * i + 3]);
    }
    for (unsigned i = 0; i < 4; ++i) {
        z[2 * i] = _mm256_unpacklo_epi64(u[i], u[i + 4]);
        z[2 * i + 1] = _mm256_unpackhi_epi64(u[i], u[i + 4]);
    }
}

// Decrypts `count` blocks, 1 to 32, as decryptBatch of des_wide.cpp does.
VC_AVX2_TARGET void decryptBatch(const uint8_t* input, uint8_t* output, uint32_t count,
                                 const WideKeys& keys, uint32_t& v0, uint32_t& v1) {
    __m256i z[8];
    __m256i cipher[8];
    __m256i masks[8];
    const __m256i lanes = _mm256_set_epi64x(3, 2, 1, 0);
    for (unsigned i = 0; i < 8; ++i) {
        const int64_t have = static_cast<int64_t>(count) - 4 * static_cast<int64_t>(i);
        masks[i] = _mm256_cmpgt_epi64(_mm256_set1_epi64x(have), lanes);
        cipher[i] =
            _mm256_maskload_epi64(reinterpret_cast<const long long*>(input + 32 * i), masks[i]);
        z[i] = cipher[i];
    }
    const uint32_t next0 = loadLe32(input + 8 * (count - 1));
    const uint32_t next1 = loadLe32(input + 8 * (count - 1) + 4);
    reorderPairs(z, 0);
    transposeWords(z);
    decryptPlanes(z, keys);
    transposeWords(z);
    reorderPairs(z, 1);
    // Each block's chaining value is the ciphertext block before it: the
    // vector's words moved up one, the first from the previous vector.
    __m256i previous = _mm256_set1_epi64x(static_cast<int64_t>(v0 | uint64_t{v1} << 32));
    for (unsigned i = 0; i < 8; ++i) {
        const __m256i up = _mm256_permute4x64_epi64(cipher[i], 0x93);
        const __m256i chain =
            _mm256_blend_epi32(up, _mm256_permute4x64_epi64(previous, 0x93), 0x03);
        _mm256_maskstore_epi64(reinterpret_cast<long long*>(output + 32 * i), masks[i],
                               _mm256_xor_si256(z[i], chain));
        previous = cipher[i];
    }
    v0 = next0;
    v1 = next1;
}

}  // namespace

bool desAvx2Available() noexcept {
    return cpuHas(CPU_AVX2);
}

void desDecryptAvx2(const uint8_t* input, uint8_t* output, uint32_t blocks, const uint32_t* s1,
                    const uint32_t* s2, const uint32_t* s3, uint32_t& v0, uint32_t& v1) noexcept {
    des_planes::decryptInBatches<32, decryptBatch>(input, output, blocks, s1, s2, s3, v0, v1);
}

#else

bool desAvx2Available() noexcept {
    return false;
}

void desDecryptAvx2(const uint8_t*, uint8_t*, uint32_t, const uint32_t*, const uint32_t*,
                    const uint32_t*, uint32_t&, uint32_t&) noexcept {}

#endif

}  // namespace vc
