// PKCS#1 RSA private keys from PEM, optionally encrypted with DES-EDE3-CBC
// under a pass phrase.
#pragma once

#include <cstdint>

#include "bignum/rsa.h"
#include "crypto/crypto_status.h"

namespace vc {

// scratch receives the decoded (and decrypted) DER; the caller wipes it.
CryptoStatus privateKeyLoad(const char* text, uint32_t textLength, const char* passPhrase,
                            uint32_t passPhraseLength, uint8_t* scratch, uint32_t* decodedLength,
                            RsaPrivateKey* out);

}  // namespace vc
