// RSA with PKCS#1 v1.5 block formats: type 2 for encryption, type 1 for
// MD5 signatures. Key records are owned by their callers and only read here.
#pragma once

#include <cstdint>

#include "bignum/bignum.h"
#include "support/status.h"

namespace vc {

struct RsaPublicKey {
    BigNum n;
    BigNum e;
};

// A number below a modulus of at most 128 words: the blinding state keeps
// only residues, so it needs half the room of a BigNum, which also has room
// for products.
constexpr uint32_t RSA_RESIDUE_WORDS = 128;
struct RsaResidue {
    uint32_t words[RSA_RESIDUE_WORDS];
    uint32_t length;
};

// One blinding pair of a private key: a = r^e and b = r^-1 mod n for a
// random r, made on the slot's first use and squared after every use (r
// becomes r^2, and the pair stays a pair). Both are kept times R mod n (R
// of bigNumBlindingMul, 2^radix), so that using or squaring one is a
// single Montgomery product; R^2 mod p and mod q ride along so that the
// CRT need not make them. A slot remembers the record and the modulus it was made
// for: a copied, wiped or reloaded key makes new pairs instead of using
// stale ones. Every member but lock is read and written only by the
// holder of lock.
struct RsaBlindingSlot {
    uint32_t lock;   // 0 free, 1 held; only ever touched atomically
    uint32_t ready;  // 0 empty, 1 the pair below is in use, 2 the key cannot
                     // be blinded (its members do not agree)
    const void* owner;
    uint64_t modulusTag;  // a hash of n, enough to notice a record reloaded in place
    uint32_t radix;       // bits of the R that aR and bR carry
    RsaResidue aR;        // r^e R mod n
    RsaResidue bR;        // r^-1 R mod n
    RsaResidue rrP;
    RsaResidue rrQ;
    // The holder writes the pair at the slot's end while other threads try
    // the next slot's lock: a cache line apart, that costs neither of them.
    uint8_t apart[64];
};

// Threads that share a key (the connections of a server context) blind
// with several pairs, one slot chosen by the thread's id: a private
// operation holds its slot's lock only to copy the pair out and square it,
// and threads rarely meet in one slot. Each slot has its own r, so no two
// operations ever use the same blinding value. A key record is copied only
// while no operation uses it.
constexpr uint32_t RSA_BLINDING_SLOT_BITS = 3;
constexpr uint32_t RSA_BLINDING_SLOTS = 1u << RSA_BLINDING_SLOT_BITS;
struct RsaBlinding {
    uint8_t apart[64];  // off the cache line of qInv, which every operation reads
    RsaBlindingSlot slots[RSA_BLINDING_SLOTS];
};

// The first two members have the layout of RsaPublicKey, so a private key
// can stand wherever a public key is read.
struct RsaPrivateKey {
    BigNum n;
    BigNum e;
    BigNum d;
    BigNum p;
    BigNum q;
    BigNum dP;
    BigNum dQ;
    BigNum qInv;
    mutable RsaBlinding blinding;
};

// DER of the DigestInfo header that precedes an MD5 digest.
extern const uint8_t md5DigestInfoPrefix[18];

// Output room: k bytes for encrypt and sign, k - 11 for decrypt and recover.
// *outLength is written only on success.
CryptoStatus rsaPublicEncrypt(const uint8_t* input, uint32_t inputLength, const RsaPublicKey* key,
                              uint8_t* out, uint32_t* outLength);
CryptoStatus rsaPrivateDecrypt(const uint8_t* input, uint32_t inputLength, const RsaPrivateKey* key,
                               uint8_t* out, uint32_t* outLength);
CryptoStatus rsaPrivateSign(const uint8_t* input, uint32_t inputLength, const RsaPrivateKey* key,
                            uint8_t* out, uint32_t* outLength);
CryptoStatus rsaPublicRecover(const uint8_t* input, uint32_t inputLength, const RsaPublicKey* key,
                              uint8_t* out, uint32_t* outLength);

}  // namespace vc
