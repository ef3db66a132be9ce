// PKCS#1 RSA private keys from PEM, plain or encrypted with DES-EDE3-CBC
// under a key derived from a pass phrase. Decrypts in place in the caller's
// buffer; every derived key, digest and schedule is wiped before returning.
#pragma once

#include <cstdint>

#include "bignum/rsa.h"
#include "support/status.h"

namespace vc {

// der needs room for (textLength * 3) / 4 bytes; it receives the plain DER,
// and on failure may hold partly decrypted data: the caller wipes it.
CryptoStatus pemDecodeRsaPrivateKey(const char* text, uint32_t textLength, const char* passPhrase,
                                    uint32_t passPhraseLength, uint8_t* der,
                                    uint32_t* derLength) noexcept;
// The eight members n, e, d, p, q, dP, dQ, qInv of a version-0 key.
CryptoStatus rsaPrivateKeyFromDer(const uint8_t* der, uint32_t derLength,
                                  RsaPrivateKey* out) noexcept;
// Both steps; the first result other than CRYPTO_OK.
CryptoStatus privateKeyLoad(const char* text, uint32_t textLength, const char* passPhrase,
                            uint32_t passPhraseLength, uint8_t* scratch, uint32_t* decodedLength,
                            RsaPrivateKey* out) noexcept;

}  // namespace vc
