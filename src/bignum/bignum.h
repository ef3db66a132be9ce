// Fixed-capacity unsigned integers for RSA up to 4096-bit moduli. Plain
// records, no allocation; a result that would not fit becomes zero.
#pragma once

#include <cstdint>

namespace vc {

constexpr uint32_t BIGNUM_MAX_WORDS = 256;

// Least significant word first. Normalised: words[length - 1] != 0, zero has
// length 0. The 257th word exists only for the dividend copy in bigNumDiv.
// A borrowing subtraction leaves the 256-word two's complement (length 256).
struct BigNum {
    uint32_t words[BIGNUM_MAX_WORDS + 1];
    uint32_t length;
};

// Big-endian bytes; only the last 1024 bytes count.
void bigNumFromBytes(const uint8_t* bytes, uint32_t count, BigNum* out) noexcept;
// Exactly count bytes: value mod 256^count, big-endian, zero-padded in front.
void bigNumToBytes(uint8_t* out, uint32_t count, const BigNum* value) noexcept;
int bigNumEqual(const BigNum* a, const BigNum* b) noexcept;

// out may alias a or b. Returns the carry out of word 255.
uint32_t bigNumAdd(const BigNum* a, const BigNum* b, BigNum* out) noexcept;
// out may alias a or b. Returns the borrow; the borrow is the only ordering
// comparison there is.
uint32_t bigNumSub(const BigNum* a, const BigNum* b, BigNum* out) noexcept;
// out distinct from the operands; zero if length(a) + length(b) > 256.
void bigNumMul(const BigNum* a, const BigNum* b, BigNum* out) noexcept;
// out distinct from a; zero if 2 * length(a) > 256.
void bigNumSquare(const BigNum* a, BigNum* out) noexcept;
// quotient and remainder distinct from each other and the operands; both zero
// when the divisor is zero or the dividend is longer than 256 words.
void bigNumDiv(const BigNum* a, const BigNum* b, BigNum* quotient, BigNum* remainder) noexcept;
// Division by one word whose top bit is set.
void bigNumDivWord(const BigNum* a, uint32_t w, BigNum* quotient, BigNum* remainder) noexcept;

// out = T * R^-1 mod N for 0 <= T < N * R, R = 2^(32 * length(N)); T is
// destroyed.
void bigNumMontReduce(BigNum* t, const BigNum* n, BigNum* out, uint32_t nPrime) noexcept;
// One step of the left-to-right sliding-window scan; returns the bits consumed
// (0 once the exponent is exhausted).
uint32_t bigNumNextWindow(const BigNum* exponent, int32_t* position, uint32_t w, uint32_t* value,
                          uint32_t* zeroRun) noexcept;
// out = base^exponent mod n; n odd, 1..128 words; exponent non-zero; out
// distinct from every input.
void bigNumModExp(const BigNum* base, const BigNum* exponent, const BigNum* n,
                  BigNum* out) noexcept;
// The same for a secret exponent below 2^(32 length(n)), in time that does
// not depend on the base, the exponent or the value of n.
void bigNumModExpSecret(const BigNum* base, const BigNum* exponent, const BigNum* n,
                        BigNum* out) noexcept;
// out = c^d mod p*q by Garner's recombination, c < p q, in time that does
// not depend on c or on any member of the key but the lengths of p and q.
void bigNumModExpCrt(const BigNum* c, const BigNum* dP, const BigNum* dQ, const BigNum* p,
                     const BigNum* q, const BigNum* qInv, BigNum* out) noexcept;

// bigNumModExpCrt with R^2 mod p and R^2 mod q from bigNumRadixSquared
// given, as a key that is used often can keep them.
void bigNumModExpCrtWithRadix(const BigNum* c, const BigNum* dP, const BigNum* dQ, const BigNum* p,
                              const BigNum* q, const BigNum* qInv, const BigNum* rrP,
                              const BigNum* rrQ, BigNum* out) noexcept;
// R^2 mod n for the Montgomery radix R of the secret engine: 2^(32 L) for
// n of L words, L rounded up to even with 64-bit limbs; n odd, 1..128 words.
void bigNumRadixSquared(const BigNum* n, BigNum* out) noexcept;
// The Montgomery products of the RSA blinding, in a radix of their own
// that the values keep: bigNumBlindingRadix(n) gives its bit count (that
// of the secret engine's R, or a longer one whose products are faster on
// this processor), decided when the values are made;
// bigNumBlindingRadixSquared gives R^2 mod n for it, and bigNumBlindingMul
// out = a b / R mod n for a, b < n, in any radix the first gave, in time
// that depends on the length of n only.
uint32_t bigNumBlindingRadix(const BigNum* n) noexcept;
void bigNumBlindingRadixSquared(const BigNum* n, uint32_t radix, BigNum* out) noexcept;
void bigNumBlindingMul(const BigNum* a, const BigNum* b, const BigNum* n, uint32_t radix,
                       BigNum* out) noexcept;

}  // namespace vc
