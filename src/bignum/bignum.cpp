// Elementary arithmetic on fixed-capacity BigNums: byte conversion, add,
// subtract, schoolbook multiply and square, long division. Never allocates,
// never fails: a result that would not fit is zero, and loops stop at the
// lengths in use, never at the capacity.
#include <cstring>

#include "bignum/bignum.h"
#include "bignum/bignum_internal.h"
#include "support/bytes.h"
#include "support/secure_wipe.h"

namespace vc {
namespace {

uint32_t leadingZeroBits(uint32_t x) noexcept {
    uint32_t count = 0;
    while ((x & 0x80000000u) == 0) {  // caller guarantees x != 0
        x <<= 1;
        ++count;
    }
    return count;
}

// Shift-and-subtract division of len words (most significant last) by w.
// r stays below w (or, for a w with its top bit set, the 33rd bit of 2r
// says r has passed w), so one subtraction per bit suffices. quotient may be
// the same array as u: each word is read before its quotient word is stored.
uint32_t divideWordsByWord(const uint32_t* u, uint32_t len, uint32_t w, uint32_t r,
                           uint32_t* quotient) noexcept {
    for (uint32_t i = len; i-- > 0;) {
        const uint32_t x = u[i];
        uint32_t qword = 0;
        for (int bit = 31; bit >= 0; --bit) {
            const uint32_t overflow = r >> 31;
            r = (r << 1) | ((x >> bit) & 1u);
            qword <<= 1;
            if (overflow != 0 || r >= w) {
                r -= w;
                qword |= 1u;
            }
        }
        quotient[i] = qword;
    }
    return r;
}

}  // namespace

void bigNumFromBytes(const uint8_t* bytes, uint32_t count, BigNum* out) noexcept {
    uint32_t pos = count;
    uint32_t formed = 0;
    while (pos >= 4 && formed < BIGNUM_MAX_WORDS) {
        out->words[formed++] = loadBe32(bytes + pos - 4);
        pos -= 4;
    }
    if (pos > 0 && pos < 4 && formed < BIGNUM_MAX_WORDS) {
        uint32_t word = 0;
        for (uint32_t i = 0; i < pos; ++i) {
            word = (word << 8) | bytes[i];
        }
        out->words[formed++] = word;
    }
    out->length = formed;
    bigNumNormalise(out);
}

void bigNumToBytes(uint8_t* out, uint32_t count, const BigNum* value) noexcept {
    if (count != 0) {
        std::memset(out, 0, count);
    }
    uint32_t pos = count;
    uint32_t i = 0;
    const uint32_t len = value->length;
    while (pos >= 4 && i < len) {
        storeBe32(out + pos - 4, value->words[i++]);
        pos -= 4;
    }
    if (pos > 0 && i < len) {
        // Only the low-order bytes of this word fit; the rest is cut off.
        uint32_t w = value->words[i];
        while (pos > 0) {
            out[--pos] = static_cast<uint8_t>(w);
            w >>= 8;
        }
    }
}

int bigNumEqual(const BigNum* a, const BigNum* b) noexcept {
    if (a->length != b->length) {
        return 0;
    }
    for (uint32_t i = 0; i < a->length; ++i) {
        if (a->words[i] != b->words[i]) {
            return 0;
        }
    }
    return 1;
}

uint32_t bigNumAdd(const BigNum* a, const BigNum* b, BigNum* out) noexcept {
    // out may be a or b: every word is read before the same index is written.
    const BigNum* shorter = b;
    const BigNum* longer = a;
    if (a->length < b->length) {
        shorter = a;
        longer = b;
    }
    const uint32_t shortLen = shorter->length;
    const uint32_t longLen = longer->length;
    uint32_t carry = 0;
    uint32_t i = 0;
    for (; i < shortLen; ++i) {
        const uint64_t sum = static_cast<uint64_t>(longer->words[i]) + shorter->words[i] + carry;
        out->words[i] = static_cast<uint32_t>(sum);
        carry = static_cast<uint32_t>(sum >> 32);
    }
    for (; i < longLen; ++i) {
        const uint64_t sum = static_cast<uint64_t>(longer->words[i]) + carry;
        out->words[i] = static_cast<uint32_t>(sum);
        carry = static_cast<uint32_t>(sum >> 32);
    }
    if (carry != 0 && i < BIGNUM_MAX_WORDS) {
        out->words[i++] = 1;
        carry = 0;
    }
    out->length = i;
    bigNumNormalise(out);
    return carry;
}

uint32_t bigNumSub(const BigNum* a, const BigNum* b, BigNum* out) noexcept {
    const uint32_t la = a->length;
    const uint32_t lb = b->length;
    const uint32_t common = la < lb ? la : lb;
    uint32_t borrow = 0;
    uint32_t i = 0;
    for (; i < common; ++i) {
        const uint64_t d = static_cast<uint64_t>(a->words[i]) - b->words[i] - borrow;
        out->words[i] = static_cast<uint32_t>(d);
        borrow = static_cast<uint32_t>(d >> 63);
    }
    for (; i < la; ++i) {
        const uint64_t d = static_cast<uint64_t>(a->words[i]) - borrow;
        out->words[i] = static_cast<uint32_t>(d);
        borrow = static_cast<uint32_t>(d >> 63);
    }
    for (; i < lb; ++i) {
        const uint64_t d = 0 - static_cast<uint64_t>(b->words[i]) - borrow;
        out->words[i] = static_cast<uint32_t>(d);
        borrow = static_cast<uint32_t>(d >> 63);
    }
    if (borrow == 0) {
        out->length = i;
        bigNumNormalise(out);
        return 0;
    }
    // A negative difference stays as its 256-word two's complement.
    for (; i < BIGNUM_MAX_WORDS; ++i) {
        out->words[i] = 0xFFFFFFFFu;
    }
    out->length = BIGNUM_MAX_WORDS;
    return 1;
}

void bigNumMul(const BigNum* a, const BigNum* b, BigNum* out) noexcept {
    const uint32_t la = a->length;
    const uint32_t lb = b->length;
    if (la == 0 || lb == 0 || la + lb > BIGNUM_MAX_WORDS) {
        out->length = 0;
        return;
    }
    const uint32_t* __restrict r = a->words;
    const uint32_t* __restrict m = b->words;
    uint32_t rows = la;
    uint32_t cols = lb;
    if (la > lb) {
        r = b->words;
        m = a->words;
        rows = lb;
        cols = la;
    }
    uint32_t* __restrict o = out->words;

    // Each step adds at most (2^32-1)^2 + 2(2^32-1) = 2^64 - 1: no overflow.
    uint64_t carry = 0;
    const uint64_t r0 = r[0];
    for (uint32_t j = 0; j < cols; ++j) {
        carry += r0 * m[j];
        o[j] = static_cast<uint32_t>(carry);
        carry >>= 32;
    }
    o[cols] = static_cast<uint32_t>(carry);
    for (uint32_t i = 1; i < rows; ++i) {
        const uint64_t ri = r[i];
        uint32_t* __restrict row = o + i;
        carry = 0;
        for (uint32_t j = 0; j < cols; ++j) {
            carry += ri * m[j] + row[j];
            row[j] = static_cast<uint32_t>(carry);
            carry >>= 32;
        }
        row[cols] = static_cast<uint32_t>(carry);
    }
    out->length = la + lb;
    bigNumNormalise(out);
}

void bigNumSquare(const BigNum* a, BigNum* out) noexcept {
    const uint32_t len = a->length;
    if (len == 0 || 2 * len > BIGNUM_MAX_WORDS) {
        out->length = 0;
        return;
    }
    const uint32_t* __restrict x = a->words;
    uint32_t* __restrict o = out->words;

    // Cross products a[i]*a[j], i < j, each once.
    o[0] = 0;
    uint64_t carry = 0;
    const uint64_t x0 = x[0];
    for (uint32_t j = 1; j < len; ++j) {
        carry += x0 * x[j];
        o[j] = static_cast<uint32_t>(carry);
        carry >>= 32;
    }
    o[len] = static_cast<uint32_t>(carry);
    for (uint32_t i = 1; i < len; ++i) {
        const uint64_t xi = x[i];
        carry = 0;
        for (uint32_t j = i + 1; j < len; ++j) {
            carry += xi * x[j] + o[i + j];
            o[i + j] = static_cast<uint32_t>(carry);
            carry >>= 32;
        }
        o[i + len] = static_cast<uint32_t>(carry);
    }

    // Double them. The sum of cross products is below a^2 / 2, so no bit is
    // shifted out of word 2L - 1.
    for (uint32_t k = 2 * len - 1; k > 0; --k) {
        o[k] = (o[k] << 1) | (o[k - 1] >> 31);
    }
    o[0] <<= 1;

    // Add the squares a[i]^2 into word pairs (2i + 1, 2i).
    carry = 0;
    for (uint32_t i = 0; i < len; ++i) {
        const uint64_t sq = static_cast<uint64_t>(x[i]) * x[i];
        carry += static_cast<uint64_t>(o[2 * i]) + static_cast<uint32_t>(sq);
        o[2 * i] = static_cast<uint32_t>(carry);
        carry >>= 32;
        carry += static_cast<uint64_t>(o[2 * i + 1]) + (sq >> 32);
        o[2 * i + 1] = static_cast<uint32_t>(carry);
        carry >>= 32;
    }
    out->length = 2 * len;
    bigNumNormalise(out);
}

void bigNumDivWord(const BigNum* a, uint32_t w, BigNum* quotient, BigNum* remainder) noexcept {
    const uint32_t len = a->length;
    const uint32_t r = divideWordsByWord(a->words, len, w, 0, quotient->words);
    quotient->length = len;
    bigNumNormalise(quotient);
    remainder->words[0] = r;
    remainder->length = r != 0 ? 1 : 0;
}

void bigNumDiv(const BigNum* a, const BigNum* b, BigNum* quotient, BigNum* remainder) noexcept {
    const uint32_t n = b->length;
    const uint32_t la = a->length;
    if (n == 0 || b->words[n - 1] == 0 || la > BIGNUM_MAX_WORDS) {
        quotient->length = 0;
        remainder->length = 0;
        return;
    }
    if (la < n) {
        quotient->length = 0;
        std::memcpy(remainder->words, a->words, la * sizeof(uint32_t));
        remainder->length = la;
        return;
    }

    // Normalise so the divisor's top bit is set: then the two-word estimate
    // below is never more than two too large.
    const uint32_t s = leadingZeroBits(b->words[n - 1]);
    const uint32_t back = 32 - s;  // only used when s != 0
    uint32_t v[BIGNUM_MAX_WORDS];
    if (s == 0) {
        std::memcpy(v, b->words, n * sizeof(uint32_t));
    } else {
        for (uint32_t i = n - 1; i > 0; --i) {
            v[i] = (b->words[i] << s) | (b->words[i - 1] >> back);
        }
        v[0] = b->words[0] << s;
    }

    // The shifted dividend lives in the remainder record, one word longer
    // than the dividend: this is what the 257th word is for.
    uint32_t* __restrict u = remainder->words;
    const uint32_t ulen = la + 1;
    if (s == 0) {
        std::memmove(u, a->words, la * sizeof(uint32_t));
        u[la] = 0;
    } else {
        u[la] = a->words[la - 1] >> back;
        for (uint32_t i = la - 1; i > 0; --i) {
            u[i] = (a->words[i] << s) | (a->words[i - 1] >> back);
        }
        u[0] = a->words[0] << s;
    }

    if (n == 1) {
        const uint32_t r = divideWordsByWord(u, ulen, v[0], 0, quotient->words);
        quotient->length = ulen;
        bigNumNormalise(quotient);
        remainder->words[0] = r >> s;
        remainder->length = (r >> s) != 0 ? 1 : 0;
        secureWipe(v, sizeof(uint32_t));
        return;
    }

    const uint32_t top = v[n - 1];
    const uint32_t next = v[n - 2];
    uint32_t* __restrict q = quotient->words;
    for (uint32_t j = ulen - 1; j >= n; --j) {
        uint32_t qhat;
        uint32_t rhat;
        bool rhatOverflow = false;
        if (u[j] == top) {
            // The true digit is at most 2^32 - 1 here; rhat may pass 2^32,
            // and then no refinement can apply.
            qhat = 0xFFFFFFFFu;
            rhat = u[j - 1] + top;
            rhatOverflow = rhat < top;
        } else {
            // u[j] < top, so the two-word quotient fits one word; the
            // native division gives the same digit and remainder as the
            // bit-by-bit loop of bigNumDivWord, in far fewer steps.
            const uint64_t pair = (static_cast<uint64_t>(u[j]) << 32) | u[j - 1];
            qhat = static_cast<uint32_t>(pair / top);
            rhat = static_cast<uint32_t>(pair % top);
        }
        if (qhat == 0) {
            q[j - n] = 0;
            continue;
        }

        // With the second divisor word taken into account qhat is at most
        // one too large afterwards.
        for (int refine = 0; refine < 2 && !rhatOverflow; ++refine) {
            const uint64_t product = static_cast<uint64_t>(qhat) * next;
            const uint32_t high = static_cast<uint32_t>(product >> 32);
            const uint32_t low = static_cast<uint32_t>(product);
            if (!(high > rhat || (high == rhat && low > u[j - 2]))) {
                break;
            }
            --qhat;
            const uint32_t sum = rhat + top;
            rhatOverflow = sum < rhat;
            rhat = sum;
        }

        // Window -= qhat * v. carry collects the product's high half plus
        // the borrow, at most 2^32 - 1, so it fits one word.
        uint32_t* __restrict window = u + (j - n);
        uint64_t carry = 0;
        for (uint32_t i = 0; i < n; ++i) {
            const uint64_t p = static_cast<uint64_t>(qhat) * v[i] + carry;
            const uint32_t low = static_cast<uint32_t>(p);
            const uint32_t w = window[i];
            window[i] = w - low;
            carry = (p >> 32) + (w < low ? 1u : 0u);
        }
        if (carry > u[j]) {
            // Went negative: qhat was one too large. Adding v back carries
            // out of the window, which cancels the borrow.
            --qhat;
            uint32_t c = 0;
            for (uint32_t i = 0; i < n; ++i) {
                const uint64_t sum = static_cast<uint64_t>(window[i]) + v[i] + c;
                window[i] = static_cast<uint32_t>(sum);
                c = static_cast<uint32_t>(sum >> 32);
            }
        }
        u[j] = 0;
        q[j - n] = qhat;
    }
    quotient->length = ulen - n;
    bigNumNormalise(quotient);

    if (s != 0) {
        for (uint32_t i = 0; i + 1 < n; ++i) {
            u[i] = (u[i] >> s) | (u[i + 1] << back);
        }
        u[n - 1] >>= s;
    }
    remainder->length = n;
    bigNumNormalise(remainder);
    secureWipe(v, n * sizeof(uint32_t));
}

}  // namespace vc
