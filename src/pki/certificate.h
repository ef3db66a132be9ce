// X.509 certificates read into a fixed-size record: raw issuer and subject
// names, validity as text, the RSA public key, the MD5 of the signed part
// and the signature bytes.
#pragma once

#include <cstdint>

#include "bignum/rsa.h"
#include "crypto/crypto_status.h"

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

// isPem == 1: decode the PEM input into derBuffer (setting *derLength) and
// parse that; otherwise parse the input as DER.
CryptoStatus certificateLoad(const uint8_t* input, uint32_t inputLength, uint8_t* derBuffer,
                             uint32_t* derLength, int32_t isPem, Certificate* out);

}  // namespace vc
