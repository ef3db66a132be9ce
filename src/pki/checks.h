// Checks of certificates: key against certificate, chain to a CA, clock and
// service name.
#pragma once

#include "bignum/rsa.h"
#include "crypto/crypto_status.h"
#include "pki/certificate.h"

namespace vc {

// CRYPTO_OK when the key's modulus and public exponent are the certificate's.
CryptoStatus keyMatchesCertificate(const Certificate* certificate, const RsaPrivateKey* key);

}  // namespace vc
