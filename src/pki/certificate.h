// X.509 certificates read into a fixed-size record: raw issuer and subject
// names, validity as text, the RSA public key, the MD5 of the signed part
// and the signature bytes. One strict walk over the accepted shape (RSA key,
// MD5-with-RSA signature, UTCTime validity); no allocation.
#pragma once

#include <cstdint>

#include "bignum/rsa.h"
#include "pki/der.h"
#include "support/status.h"

namespace vc {

constexpr uint32_t CERTIFICATE_NAME_MAX = 1000;
constexpr uint32_t CERTIFICATE_SIGNATURE_MAX = 512;

struct Certificate {
    uint32_t version;  // 1, 2 or 3
    BigNum serialNumber;
    uint8_t issuer[CERTIFICATE_NAME_MAX];  // contents of the issuer Name
    uint32_t issuerLength;
    char notBefore[13];  // CCYYMMDDhhmm and NUL
    char notAfter[13];
    uint8_t subject[CERTIFICATE_NAME_MAX];
    uint32_t subjectLength;
    RsaPublicKey publicKey;
    uint8_t tbsDigest[16];  // MD5 of the whole tbsCertificate encoding
    uint8_t signature[CERTIFICATE_SIGNATURE_MAX];
    uint32_t signatureLength;
};

// One complete certificate, nothing after it. On failure the record is
// partly filled and must not be used.
CryptoStatus certificateFromDer(const uint8_t* der, uint32_t derLength, Certificate* out) noexcept;
// The signed part; the cursor covers exactly the tbsCertificate encoding
// (tag and length included), which certificateFromDer has already bounded.
CryptoStatus certificateParseTbs(DerCursor* tbs, Certificate* out) noexcept;

// isPem == 1: decode the PEM input into derBuffer (setting *derLength) and
// parse that; otherwise parse the input as DER and leave both alone.
CryptoStatus certificateLoad(const uint8_t* input, uint32_t inputLength, uint8_t* derBuffer,
                             uint32_t* derLength, int32_t isPem, Certificate* out) noexcept;

}  // namespace vc
