// Internal result of the PEM, DER, key, certificate and RSA operations.
// Callers at the C interface translate these into result codes.
#pragma once

#include <cstdint>

namespace vc {

enum CryptoStatus : int32_t {
    CRYPTO_OK = 100,
    CRYPTO_PEM_FORMAT = 101,        // PEM/base64 malformed, bad encryption header
    CRYPTO_NO_PASSPHRASE = 102,     // key is encrypted but no pass phrase given
    CRYPTO_BAD_DECRYPT = 103,       // decrypted key has bad padding
    CRYPTO_DER_FORMAT = 104,        // malformed or unsupported DER
    CRYPTO_BAD_VERSION = 105,       // unsupported certificate or key version
    CRYPTO_NOT_RSA_KEY = 106,       // certificate key is not rsaEncryption
    CRYPTO_NOT_MD5_RSA = 107,       // signature is not md5WithRSAEncryption
    CRYPTO_MODULUS_TOO_LONG = 108,  // modulus longer than 4096 bits
    CRYPTO_KEY_UNUSABLE = 109,      // RSA key lacks a part or has an even modulus
    CRYPTO_DATA_TOO_LONG = 110,     // more than k - 11 bytes to pad
    CRYPTO_BLOCK_REFUSED = 111,     // RSA input block out of range or badly padded
    CRYPTO_MISMATCH = 112,          // key/certificate, name or signature mismatch
    CRYPTO_NO_RANDOM = 113          // random pool not seeded
};

}  // namespace vc
