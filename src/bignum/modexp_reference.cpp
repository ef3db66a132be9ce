// The plain reference engine: whole double-length products by bigNumSquare
// and bigNumMul, each followed by a word-by-word Montgomery reduction. The
// library itself never runs it; the tests and benchmarks hold the faster
// engines against it, and it is simple enough to check by eye. Variable
// time, like the public-exponent engines.
#include <cstring>

#include "bignum/modexp_engine.h"
#include "support/secure_wipe.h"

namespace vc {
namespace {

// Copies only the words in use; what lies above length is not the value.
void copyValue(BigNum* to, const BigNum* from) noexcept {
    std::memcpy(to->words, from->words, from->length * sizeof(uint32_t));
    to->length = from->length;
}

}  // namespace

uint32_t bigNumMontInverse(uint32_t n0) noexcept {
    // Invariant: n0 * inv = 1 mod 2^k. Setting bit k of inv adds n0 * 2^k,
    // which flips bit k of the product (n0 odd) and leaves the bits below.
    uint32_t inv = 1;
    for (uint32_t k = 1; k < 32; ++k) {
        if (((n0 * inv) >> k) & 1u) {
            inv += 1u << k;
        }
    }
    return 0u - inv;
}

void bigNumMontReduce(BigNum* t, const BigNum* n, BigNum* out, uint32_t nPrime) noexcept {
    const uint32_t len = n->length;
    uint32_t* __restrict tw = t->words;
    const uint32_t* __restrict nw = n->words;
    if (t->length <= 2 * len) {
        std::memset(tw + t->length, 0, (2 * len + 1 - t->length) * sizeof(uint32_t));
    }
    t->length = 2 * len + 1;

    for (uint32_t i = 0; i < len; ++i) {
        const uint32_t m = tw[i] * nPrime;
        if (m == 0) {
            continue;
        }
        // m * n[j] + t + carry <= (2^32-1)^2 + 2(2^32-1): fits 64 bits.
        uint32_t* __restrict row = tw + i;
        uint64_t carry = 0;
        for (uint32_t j = 0; j < len; ++j) {
            carry += static_cast<uint64_t>(m) * nw[j] + row[j];
            row[j] = static_cast<uint32_t>(carry);
            carry >>= 32;
        }
        for (uint32_t k = i + len; carry != 0 && k <= 2 * len; ++k) {
            carry += tw[k];
            tw[k] = static_cast<uint32_t>(carry);
            carry >>= 32;
        }
    }

    // T / R < 2N for T < N R, so one conditional subtraction gives the
    // residue. T is free again and takes the difference.
    std::memcpy(out->words, tw + len, (len + 1) * sizeof(uint32_t));
    out->length = len + 1;
    bigNumNormalise(out);
    if (bigNumSub(out, n, t) == 0) {
        copyValue(out, t);
    }
}

void bigNumModExpPlain(const BigNum* base, const BigNum* exponent, const BigNum* n, BigNum* out,
                       ModExpPlainWork* work) noexcept {
    const uint32_t len = n->length;
    const uint32_t w = bigNumWindowWidth(exponent->length);
    const uint32_t entries = 1u << (w - 1);
    const uint32_t nPrime = bigNumMontInverse(n->words[0]);
    BigNum* const table = work->table;
    BigNum* const acc = &work->accumulator;
    BigNum* const scratch = &work->scratch;

    // base * R mod n: L zero words under the base, then one division. A
    // base too long for that (callers never pass one) is reduced first.
    const BigNum* b = base;
    if (base->length + len > BIGNUM_MAX_WORDS) {
        bigNumDiv(base, n, scratch, acc);
        b = acc;
    }
    std::memset(out->words, 0, len * sizeof(uint32_t));
    std::memcpy(out->words + len, b->words, b->length * sizeof(uint32_t));
    out->length = b->length + len;
    bigNumDiv(out, n, scratch, &table[0]);

    if (w > 1) {
        bigNumSquare(&table[0], scratch);
        bigNumMontReduce(scratch, n, out, nPrime);
        for (uint32_t e = 1; e < entries; ++e) {
            bigNumMul(&table[e - 1], out, scratch);
            bigNumMontReduce(scratch, n, &table[e], nPrime);
        }
    }

    const bool started = walkWindows(
        exponent, w, [&](uint32_t entry) { copyValue(acc, &table[entry]); },
        [&] {
            bigNumSquare(acc, scratch);
            bigNumMontReduce(scratch, n, acc, nPrime);
        },
        [&](uint32_t entry) {
            bigNumMul(acc, &table[entry], scratch);
            bigNumMontReduce(scratch, n, acc, nPrime);
        });
    if (!started) {
        setOneModN(n, out);
        secureWipe(work, sizeof *work);
        return;
    }
    secureWipe(table, sizeof work->table);
    bigNumMontReduce(acc, n, out, nPrime);
    secureWipe(work, sizeof *work);
}

}  // namespace vc
