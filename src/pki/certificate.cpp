// X.509 certificates: one strict walk over the accepted shape into a fixed
// record. Every read goes through a DerCursor bounded by the enclosing
// element, so no input can make the reader leave its range.
#include "pki/certificate.h"

#include <cstring>

#include "crypto/md5.h"
#include "pki/pem.h"

namespace vc {
namespace {

constexpr uint8_t TAG_SEQUENCE = 0x30;
constexpr uint8_t TAG_BIT_STRING = 0x03;
constexpr uint8_t TAG_VERSION = 0xA0;
constexpr uint8_t TAG_ISSUER_UNIQUE_ID = 0x81;
constexpr uint8_t TAG_SUBJECT_UNIQUE_ID = 0x82;
constexpr uint8_t TAG_EXTENSIONS = 0xA3;

// A length that fits in what remains of the cursor, or -1.
int64_t readBoundedLength(DerCursor* cursor) noexcept {
    const int32_t length = derReadLength(cursor);
    if (length < 0 || static_cast<uint32_t>(length) > cursor->remaining) {
        return -1;
    }
    return length;
}

// A Name SEQUENCE: its contents, at most 1000 bytes, copied raw.
bool readName(DerCursor* cursor, uint8_t* name, uint32_t* nameLength) noexcept {
    if (!derExpectTag(cursor, TAG_SEQUENCE)) {
        return false;
    }
    const int64_t length = readBoundedLength(cursor);
    if (length < 0 || length > CERTIFICATE_NAME_MAX) {
        return false;
    }
    const auto count = static_cast<uint32_t>(length);
    if (count != 0) {
        std::memcpy(name, cursor->data, count);
    }
    *nameLength = count;
    derAdvance(cursor, count);
    return true;
}

bool readValidity(DerCursor* cursor, Certificate* out) noexcept {
    if (!derExpectTag(cursor, TAG_SEQUENCE)) {
        return false;
    }
    const int64_t length = readBoundedLength(cursor);
    if (length < 0) {
        return false;
    }
    const uint32_t before = cursor->remaining;
    return derReadUtcTime(cursor, out->notBefore) != 0 &&
           derReadUtcTime(cursor, out->notAfter) != 0 &&
           before - cursor->remaining == static_cast<uint32_t>(length);
}

// subjectPublicKeyInfo: rsaEncryption, then BIT STRING { 00, RSAPublicKey
// { n, e } }. The inner lengths are only read; what counts is that the walk
// consumes exactly the outer SEQUENCE.
CryptoStatus readPublicKey(DerCursor* cursor, RsaPublicKey* key) noexcept {
    if (!derExpectTag(cursor, TAG_SEQUENCE)) {
        return CRYPTO_DER_FORMAT;
    }
    const int64_t length = readBoundedLength(cursor);
    if (length < 0) {
        return CRYPTO_DER_FORMAT;
    }
    const uint32_t before = cursor->remaining;
    if (derReadAlgorithm(cursor) != ALGORITHM_RSA) {
        return CRYPTO_NOT_RSA_KEY;
    }
    if (!derExpectTag(cursor, TAG_BIT_STRING) || derReadLength(cursor) < 0 ||
        !derExpectTag(cursor, 0x00) || !derExpectTag(cursor, TAG_SEQUENCE) ||
        derReadLength(cursor) < 0 || !derReadInteger(cursor, &key->n) ||
        !derReadInteger(cursor, &key->e)) {
        return CRYPTO_DER_FORMAT;
    }
    return before - cursor->remaining == static_cast<uint32_t>(length) ? CRYPTO_OK
                                                                       : CRYPTO_DER_FORMAT;
}

// An optional trailing field with the given tag, allowed from minVersion on.
// False only when the field is present but not allowed or malformed.
bool skipOptional(DerCursor* cursor, uint8_t tag, uint32_t version, uint32_t minVersion) noexcept {
    if (cursor->remaining == 0 || cursor->data[0] != tag) {
        return true;
    }
    if (version < minVersion) {
        return false;
    }
    derAdvance(cursor, 1);
    return derSkipValue(cursor) != 0;
}

}  // namespace

CryptoStatus certificateParseTbs(DerCursor* tbs, Certificate* out) noexcept {
    // The tag and length were validated by the caller.
    derAdvance(tbs, 1);
    if (derReadLength(tbs) < 0 || tbs->remaining == 0) {
        return CRYPTO_DER_FORMAT;
    }
    out->version = 1;
    if (tbs->data[0] == TAG_VERSION) {
        if (tbs->remaining < 5 || tbs->data[1] != 0x03 || tbs->data[2] != 0x02 ||
            tbs->data[3] != 0x01) {
            return CRYPTO_DER_FORMAT;
        }
        out->version = static_cast<uint32_t>(tbs->data[4]) + 1;
        if (out->version != 2 && out->version != 3) {
            return CRYPTO_BAD_VERSION;
        }
        derAdvance(tbs, 5);
    }
    if (!derReadInteger(tbs, &out->serialNumber)) {
        return CRYPTO_DER_FORMAT;
    }
    if (derReadAlgorithm(tbs) != ALGORITHM_MD5_WITH_RSA) {
        return CRYPTO_NOT_MD5_RSA;
    }
    if (!readName(tbs, out->issuer, &out->issuerLength) || !readValidity(tbs, out) ||
        tbs->remaining == 0 || !readName(tbs, out->subject, &out->subjectLength) ||
        tbs->remaining == 0) {
        return CRYPTO_DER_FORMAT;
    }
    const CryptoStatus keyStatus = readPublicKey(tbs, &out->publicKey);
    if (keyStatus != CRYPTO_OK) {
        return keyStatus;
    }
    // issuerUniqueID and subjectUniqueID (v2 and v3), extensions (v3 only),
    // in this order; extensions are skipped unread.
    if (!skipOptional(tbs, TAG_ISSUER_UNIQUE_ID, out->version, 2) ||
        !skipOptional(tbs, TAG_SUBJECT_UNIQUE_ID, out->version, 2) ||
        !skipOptional(tbs, TAG_EXTENSIONS, out->version, 3)) {
        return CRYPTO_DER_FORMAT;
    }
    return tbs->remaining == 0 ? CRYPTO_OK : CRYPTO_DER_FORMAT;
}

CryptoStatus certificateFromDer(const uint8_t* der, uint32_t derLength, Certificate* out) noexcept {
    DerCursor cursor{der, derLength};
    if (!derExpectTag(&cursor, TAG_SEQUENCE)) {
        return CRYPTO_DER_FORMAT;
    }
    const int32_t outerLength = derReadLength(&cursor);
    if (outerLength < 0 || static_cast<uint32_t>(outerLength) != cursor.remaining) {
        return CRYPTO_DER_FORMAT;  // nothing may follow the certificate
    }
    const uint8_t* tbsStart = cursor.data;
    if (!derExpectTag(&cursor, TAG_SEQUENCE)) {
        return CRYPTO_DER_FORMAT;
    }
    const int64_t tbsLength = readBoundedLength(&cursor);
    if (tbsLength < 0) {
        return CRYPTO_DER_FORMAT;
    }
    derAdvance(&cursor, static_cast<uint32_t>(tbsLength));
    const auto tbsEncodingLength = static_cast<uint32_t>(cursor.data - tbsStart);

    Md5Context md5;
    md5Init(&md5);
    md5Update(&md5, tbsStart, tbsEncodingLength);
    md5Final(out->tbsDigest, &md5);

    DerCursor tbs{tbsStart, tbsEncodingLength};
    const CryptoStatus tbsStatus = certificateParseTbs(&tbs, out);
    if (tbsStatus != CRYPTO_OK) {
        return tbsStatus;
    }
    if (derReadAlgorithm(&cursor) != ALGORITHM_MD5_WITH_RSA) {
        return CRYPTO_NOT_MD5_RSA;
    }
    if (!derExpectTag(&cursor, TAG_BIT_STRING)) {
        return CRYPTO_DER_FORMAT;
    }
    const int64_t bitsLength = readBoundedLength(&cursor);
    if (bitsLength < 1 || cursor.data[0] != 0x00) {
        return CRYPTO_DER_FORMAT;  // the signature has no unused bits
    }
    const auto signatureLength = static_cast<uint32_t>(bitsLength) - 1;
    if (signatureLength > CERTIFICATE_SIGNATURE_MAX) {
        return CRYPTO_DER_FORMAT;
    }
    if (signatureLength != 0) {
        std::memcpy(out->signature, cursor.data + 1, signatureLength);
    }
    out->signatureLength = signatureLength;
    derAdvance(&cursor, signatureLength + 1);
    return cursor.remaining == 0 ? CRYPTO_OK : CRYPTO_DER_FORMAT;
}

CryptoStatus certificateLoad(const uint8_t* input, uint32_t inputLength, uint8_t* derBuffer,
                             uint32_t* derLength, int32_t isPem, Certificate* out) noexcept {
    if (isPem != 1) {
        return certificateFromDer(input, inputLength, out);
    }
    const CryptoStatus status = pemDecodeCertificate(reinterpret_cast<const char*>(input),
                                                     inputLength, derBuffer, derLength);
    if (status != CRYPTO_OK) {
        return status;
    }
    return certificateFromDer(derBuffer, *derLength, out);
}

}  // namespace vc
