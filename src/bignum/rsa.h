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

// The blinding pair of one private key: a = r^e and b = r^-1 mod n for a
// random r, made on the key's first private operation and squared after
// every use (r becomes r^2, and the pair stays a pair). Both are kept
// times R mod n (R of bigNumMontMulSecret), so that using or squaring one
// is a single Montgomery product. Kept in the key
// record, guarded by one process-wide lock, so that connections sharing
// a key can use it at the same time. It remembers the record and the
// modulus it was made for: a copied, wiped or reloaded key makes a new
// pair instead of using a stale one.
struct RsaBlinding {
    BigNum n;
    BigNum aR;   // r^e R mod n
    BigNum bR;   // r^-1 R mod n
    BigNum rrP;  // R^2 mod p and mod q, so the CRT need not make them
    BigNum rrQ;
    const void* owner;
    uint32_t ready;  // 1 when the members above are in use, 2 when the key
                     // cannot be blinded (its members do not agree)
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
