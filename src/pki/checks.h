// Checks of parsed certificates: key against certificate, peer against the
// CA records (issuer, signature, both validity periods) and the commonName
// against the service name. Read-only on the records; never allocate.
#pragma once

#include <cstdint>
#include <ctime>

#include "bignum/rsa.h"
#include "pki/certificate.h"
#include "support/status.h"

namespace vc {

// CRYPTO_OK when the key's modulus and public exponent are the certificate's.
CryptoStatus keyMatchesCertificate(const Certificate* certificate,
                                   const RsaPrivateKey* key) noexcept;
// CRYPTO_OK when the issuer's key recovers the MD5 DigestInfo of the
// certificate's signed part from its signature.
CryptoStatus rsaCheckCertificateSignature(const Certificate* certificate,
                                          const Certificate* issuer) noexcept;
// CRYPTO_OK when the subject holds exactly one commonName, a Printable-,
// Teletex- or IA5String equal byte for byte to serviceName.
CryptoStatus certificateMatchesServiceName(const Certificate* certificate,
                                           const char* serviceName) noexcept;
// VerifyFlags of the peer against the CA records, read at the current minute.
uint32_t certificateVerify(const Certificate* peer, const Certificate* caCertificates,
                           int32_t caCount) noexcept;

// The clock certificateVerify reads: true with the current time, false when
// it cannot be read. Tests set their own; null restores the C runtime's time.
using CertificateClock = bool (*)(std::time_t* now);
void certificateSetClock(CertificateClock clock) noexcept;

}  // namespace vc
