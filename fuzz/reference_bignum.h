// A slow, obviously correct big-number reference for the differential
// targets: little-endian 32-bit words in a vector, one bit at a time
// wherever that keeps the code short. Leading zero words are trimmed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bignum/bignum.h"

namespace reference {

using Number = std::vector<uint32_t>;

inline void trim(Number& a) {
    while (!a.empty() && a.back() == 0) {
        a.pop_back();
    }
}

inline Number fromBigNum(const vc::BigNum& value) {
    Number a(value.words, value.words + value.length);
    trim(a);
    return a;
}

inline bool equals(const Number& a, const vc::BigNum& b) {
    return a == fromBigNum(b) && b.length == a.size();
}

inline size_t bitLength(const Number& a) {
    if (a.empty()) {
        return 0;
    }
    size_t bits = 32 * a.size();
    for (uint32_t top = a.back(); (top & 0x80000000u) == 0; top <<= 1) {
        --bits;
    }
    return bits;
}

inline bool bit(const Number& a, size_t i) {
    return i / 32 < a.size() && ((a[i / 32] >> (i % 32)) & 1u) != 0;
}

inline bool less(const Number& a, const Number& b) {
    if (a.size() != b.size()) {
        return a.size() < b.size();
    }
    for (size_t i = a.size(); i-- > 0;) {
        if (a[i] != b[i]) {
            return a[i] < b[i];
        }
    }
    return false;
}

// a -= b for b <= a.
inline void subtract(Number& a, const Number& b) {
    int64_t borrow = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        const int64_t difference = int64_t{a[i]} - (i < b.size() ? b[i] : 0) - borrow;
        borrow = difference < 0 ? 1 : 0;
        a[i] = static_cast<uint32_t>(difference + (borrow << 32));
    }
    trim(a);
}

// a = 2a + low.
inline void shiftInBit(Number& a, bool low) {
    uint32_t carry = low ? 1 : 0;
    for (uint32_t& word : a) {
        const uint32_t next = word >> 31;
        word = (word << 1) | carry;
        carry = next;
    }
    if (carry != 0) {
        a.push_back(carry);
    }
}

inline Number multiply(const Number& a, const Number& b) {
    Number product(a.size() + b.size(), 0);
    for (size_t i = 0; i < a.size(); ++i) {
        uint64_t carry = 0;
        for (size_t j = 0; j < b.size(); ++j) {
            const uint64_t t = uint64_t{a[i]} * b[j] + product[i + j] + carry;
            product[i + j] = static_cast<uint32_t>(t);
            carry = t >> 32;
        }
        product[i + b.size()] = static_cast<uint32_t>(carry);
    }
    trim(product);
    return product;
}

// Long division one bit of the dividend at a time; b non-zero.
inline void divide(const Number& a, const Number& b, Number* quotient, Number* remainder) {
    Number q(a.size(), 0);
    Number r;
    for (size_t i = bitLength(a); i-- > 0;) {
        shiftInBit(r, bit(a, i));
        if (!less(r, b)) {
            subtract(r, b);
            q[i / 32] |= 1u << (i % 32);
        }
    }
    trim(q);
    *quotient = q;
    *remainder = r;
}

inline Number mod(const Number& a, const Number& n) {
    Number q;
    Number r;
    divide(a, n, &q, &r);
    return r;
}

// Square and multiply from the top bit; n non-zero.
inline Number modExp(const Number& base, const Number& exponent, const Number& n) {
    Number result = mod(Number{1}, n);
    const Number b = mod(base, n);
    for (size_t i = bitLength(exponent); i-- > 0;) {
        result = mod(multiply(result, result), n);
        if (bit(exponent, i)) {
            result = mod(multiply(result, b), n);
        }
    }
    return result;
}

}  // namespace reference
