// PKCS#1 RSA private keys from PEM. An encrypted key is decrypted in place
// in the caller's buffer; the MD5 state, the digests and the DES schedules
// derived from the pass phrase are wiped on every way out.
#include "pki/private_key.h"

#include <cstring>

#include "crypto/des.h"
#include "crypto/md5.h"
#include "pki/der.h"
#include "pki/pem.h"
#include "support/secure_wipe.h"

namespace vc {
namespace {

constexpr char PROC_TYPE[] = "Proc-Type: 4,ENCRYPTED";  // 22 bytes
constexpr char DEK_INFO[] = "DEK-Info: DES-EDE3-CBC,";  // 23 bytes, ends with the comma
constexpr uint32_t PROC_TYPE_LENGTH = sizeof(PROC_TYPE) - 1;
constexpr uint32_t DEK_INFO_LENGTH = sizeof(DEK_INFO) - 1;
constexpr uint32_t IV_LENGTH = 8;
// DEK-Info, 16 digits, its LF and the LF of the empty line.
constexpr uint32_t ENCRYPTION_HEADER_MIN = DEK_INFO_LENGTH + 2 * IV_LENGTH + 2;
// desEde3CbcCrypt takes a signed length; larger buffers go in pieces, the
// chaining value carrying over.
constexpr uint32_t DECRYPT_CHUNK = 1u << 30;

// A line end at *pos (CR LF or LF) is consumed; false if there is none.
bool takeLineEnd(const char* body, uint32_t length, uint32_t* pos) noexcept {
    if (*pos < length && body[*pos] == '\n') {
        *pos += 1;
        return true;
    }
    if (length - *pos >= 2 && body[*pos] == '\r' && body[*pos + 1] == '\n') {
        *pos += 2;
        return true;
    }
    return false;
}

int hexDigit(char c) noexcept {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool readIv(const char* digits, uint8_t iv[IV_LENGTH]) noexcept {
    for (uint32_t i = 0; i < IV_LENGTH; ++i) {
        const int high = hexDigit(digits[2 * i]);
        const int low = hexDigit(digits[2 * i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        iv[i] = static_cast<uint8_t>((high << 4) | low);
    }
    return true;
}

// D1 = MD5(P || S), D2 = MD5(D1 || P || S); K1 K2 = D1, K3 = the first half
// of D2. The IV is the salt S.
void deriveSchedules(const char* passPhrase, uint32_t passPhraseLength, const uint8_t salt[8],
                     DesKeySchedule schedules[3]) noexcept {
    Md5Context md5;
    uint8_t digests[32];
    WipeOnExit wipeMd5(md5);
    WipeOnExit wipeDigests(digests);
    md5Init(&md5);
    md5Update(&md5, passPhrase, passPhraseLength);
    md5Update(&md5, salt, IV_LENGTH);
    md5Final(digests, &md5);
    md5Init(&md5);
    md5Update(&md5, digests, 16);
    md5Update(&md5, passPhrase, passPhraseLength);
    md5Update(&md5, salt, IV_LENGTH);
    md5Final(digests + 16, &md5);
    desSetKey(digests, &schedules[0]);
    desSetKey(digests + 8, &schedules[1]);
    desSetKey(digests + 16, &schedules[2]);
}

// Each of the last n bytes must equal n, compared as signed bytes, so a
// last byte of 128 or more never passes.
CryptoStatus stripPadding(const uint8_t* data, uint32_t* length) noexcept {
    const uint32_t n = data[*length - 1];
    if (n > *length) {
        return CRYPTO_BAD_DECRYPT;
    }
    for (uint32_t i = *length - n; i < *length; ++i) {
        if (static_cast<int32_t>(static_cast<int8_t>(data[i])) != static_cast<int32_t>(n)) {
            return CRYPTO_BAD_DECRYPT;
        }
    }
    *length -= n;
    return CRYPTO_OK;
}

}  // namespace

CryptoStatus pemDecodeRsaPrivateKey(const char* text, uint32_t textLength, const char* passPhrase,
                                    uint32_t passPhraseLength, uint8_t* der,
                                    uint32_t* derLength) noexcept {
    uint32_t bodyLength = 0;
    const char* body = pemFindBody(text, textLength, "RSA PRIVATE KEY", &bodyLength);
    if (body == nullptr) {
        return CRYPTO_PEM_FORMAT;
    }
    // Too short for the header and its line end, or another first line: a
    // plain key, and any other header line fails as base64.
    if (bodyLength < PROC_TYPE_LENGTH + 2 || std::memcmp(body, PROC_TYPE, PROC_TYPE_LENGTH) != 0) {
        return base64Decode(body, bodyLength, der, derLength);
    }
    uint32_t pos = PROC_TYPE_LENGTH;
    if (!takeLineEnd(body, bodyLength, &pos) || bodyLength - pos < ENCRYPTION_HEADER_MIN ||
        std::memcmp(body + pos, DEK_INFO, DEK_INFO_LENGTH) != 0) {
        return CRYPTO_PEM_FORMAT;
    }
    pos += DEK_INFO_LENGTH;
    uint8_t iv[IV_LENGTH];
    if (!readIv(body + pos, iv)) {
        return CRYPTO_PEM_FORMAT;
    }
    pos += 2 * IV_LENGTH;
    // The IV line ends right after its last digit, then one empty line.
    if (!takeLineEnd(body, bodyLength, &pos) || !takeLineEnd(body, bodyLength, &pos)) {
        return CRYPTO_PEM_FORMAT;
    }
    const CryptoStatus decoded = base64Decode(body + pos, bodyLength - pos, der, derLength);
    if (decoded != CRYPTO_OK) {
        return decoded;
    }
    if (*derLength == 0) {
        return CRYPTO_OK;  // the empty DER is refused by the DER reader
    }
    if (passPhrase == nullptr || passPhraseLength == 0) {
        return CRYPTO_NO_PASSPHRASE;
    }
    if (*derLength % 8 != 0) {
        return CRYPTO_PEM_FORMAT;
    }
    DesKeySchedule schedules[3];
    WipeOnExit wipeSchedules(schedules);
    deriveSchedules(passPhrase, passPhraseLength, iv, schedules);
    for (uint32_t done = 0; done < *derLength;) {
        const uint32_t piece =
            *derLength - done < DECRYPT_CHUNK ? *derLength - done : DECRYPT_CHUNK;
        desEde3CbcCrypt(der + done, der + done, static_cast<int32_t>(piece), &schedules[0],
                        &schedules[1], &schedules[2], iv, 0);
        done += piece;
    }
    return stripPadding(der, derLength);
}

CryptoStatus rsaPrivateKeyFromDer(const uint8_t* der, uint32_t derLength,
                                  RsaPrivateKey* out) noexcept {
    DerCursor cursor{der, derLength};
    if (!derExpectTag(&cursor, 0x30) || cursor.remaining == 0) {
        return CRYPTO_DER_FORMAT;
    }
    const int32_t length = derReadLength(&cursor);
    if (length <= 0 || static_cast<uint32_t>(length) != cursor.remaining) {
        return CRYPTO_DER_FORMAT;
    }
    // version: exactly 02 01 00. Multi-prime keys (version 1) are refused.
    if (!derExpectTag(&cursor, 0x02)) {
        return CRYPTO_DER_FORMAT;
    }
    if (cursor.remaining < 2 || cursor.data[0] != 0x01 || cursor.data[1] != 0x00) {
        return CRYPTO_BAD_VERSION;
    }
    cursor.data += 2;
    cursor.remaining -= 2;
    if (cursor.remaining == 0) {
        return CRYPTO_DER_FORMAT;
    }
    BigNum* const members[] = {&out->n, &out->e,  &out->d,  &out->p,
                               &out->q, &out->dP, &out->dQ, &out->qInv};
    for (BigNum* member : members) {
        if (!derReadInteger(&cursor, member)) {
            return CRYPTO_DER_FORMAT;
        }
    }
    return cursor.remaining == 0 ? CRYPTO_OK : CRYPTO_DER_FORMAT;
}

CryptoStatus privateKeyLoad(const char* text, uint32_t textLength, const char* passPhrase,
                            uint32_t passPhraseLength, uint8_t* scratch, uint32_t* decodedLength,
                            RsaPrivateKey* out) noexcept {
    const CryptoStatus status = pemDecodeRsaPrivateKey(text, textLength, passPhrase,
                                                       passPhraseLength, scratch, decodedLength);
    if (status != CRYPTO_OK) {
        return status;
    }
    return rsaPrivateKeyFromDer(scratch, *decodedLength, out);
}

}  // namespace vc
