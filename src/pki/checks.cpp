// Certificate checks: key against certificate, peer against the CA records
// and the clock, commonName against the service name. They read the records
// only, allocate nothing and cannot fail for lack of resources.
#include "pki/checks.h"

#include <cstring>

#include "pki/der.h"
#include "veilcastnet.h"

namespace vc {
namespace {

constexpr uint8_t COMMON_NAME_TYPE[] = {0x06, 0x03, 0x55, 0x04, 0x03};  // OID 2.5.4.3
constexpr uint32_t COMMON_NAME_TYPE_LENGTH = sizeof(COMMON_NAME_TYPE);
constexpr uint8_t TAG_SET = 0x31;
constexpr uint8_t TAG_SEQUENCE = 0x30;
constexpr uint8_t TAG_PRINTABLE_STRING = 0x13;
constexpr uint8_t TAG_TELETEX_STRING = 0x14;
constexpr uint8_t TAG_IA5_STRING = 0x16;
constexpr uint32_t DIGEST_INFO_LENGTH = sizeof(md5DigestInfoPrefix) + 16;

bool systemClock(std::time_t* now) noexcept {
    return std::time(now) != static_cast<std::time_t>(-1);
}

CertificateClock clockSource = systemClock;

// The contents of the next element with the given tag, whose length must
// fit what remains; the cursor moves past it.
bool takeElement(DerCursor* cursor, uint8_t tag, DerCursor* contents) noexcept {
    if (!derExpectTag(cursor, tag)) {
        return false;
    }
    const int32_t length = derReadLength(cursor);
    if (length < 0 || static_cast<uint32_t>(length) > cursor->remaining) {
        return false;
    }
    *contents = DerCursor{cursor->data, static_cast<uint32_t>(length)};
    cursor->data += length;
    cursor->remaining -= static_cast<uint32_t>(length);
    return true;
}

// The one commonName value of a Name's contents (the string with its tag),
// or false when there is none, more than one, or the walk fails.
bool findCommonName(const uint8_t* name, uint32_t nameLength, DerCursor* value) noexcept {
    DerCursor rdns{name, nameLength};
    bool found = false;
    while (rdns.remaining != 0) {
        DerCursor set;
        if (!takeElement(&rdns, TAG_SET, &set)) {
            return false;
        }
        while (set.remaining != 0) {
            DerCursor attribute;
            if (!takeElement(&set, TAG_SEQUENCE, &attribute)) {
                return false;
            }
            if (attribute.remaining >= COMMON_NAME_TYPE_LENGTH &&
                std::memcmp(attribute.data, COMMON_NAME_TYPE, COMMON_NAME_TYPE_LENGTH) == 0) {
                if (found) {
                    return false;  // a second commonName anywhere
                }
                found = true;
                *value = DerCursor{attribute.data + COMMON_NAME_TYPE_LENGTH,
                                   attribute.remaining - COMMON_NAME_TYPE_LENGTH};
            }
        }
    }
    return found && value->remaining != 0;
}

// CCYYMMDDhhmm of a broken-down UTC time; each field as two decimal digits.
void writeTimeText(const std::tm& t, char text[12]) noexcept {
    const long fields[6] = {(static_cast<long>(t.tm_year) + 1900) / 100,
                            t.tm_year % 100,
                            static_cast<long>(t.tm_mon) + 1,
                            t.tm_mday,
                            t.tm_hour,
                            t.tm_min};
    for (int i = 0; i < 6; ++i) {
        const long value = ((fields[i] % 100) + 100) % 100;
        text[2 * i] = static_cast<char>('0' + value / 10);
        text[2 * i + 1] = static_cast<char>('0' + value % 10);
    }
}

// The current minute as text, or false (and all '0') when the clock or its
// conversion fails.
bool currentTimeText(char text[12]) noexcept {
    std::memset(text, '0', 12);
    std::time_t now = 0;
    if (!clockSource(&now)) {
        return false;
    }
    std::tm broken{};
#if defined(_WIN32)
    // The Windows runtime keeps gmtime's result per thread.
    const std::tm* result = std::gmtime(&now);
    if (result != nullptr) {
        broken = *result;
    }
#else
    const std::tm* result = gmtime_r(&now, &broken);
#endif
    if (result == nullptr) {
        return false;
    }
    writeTimeText(broken, text);
    return true;
}

// Both bounds inclusive, to the minute; byte strings of the same form.
bool outsidePeriod(const char now[12], const Certificate& certificate) noexcept {
    return std::memcmp(now, certificate.notBefore, 12) < 0 ||
           std::memcmp(now, certificate.notAfter, 12) > 0;
}

}  // namespace

CryptoStatus keyMatchesCertificate(const Certificate* certificate,
                                   const RsaPrivateKey* key) noexcept {
    if (bigNumEqual(&certificate->publicKey.n, &key->n) &&
        bigNumEqual(&certificate->publicKey.e, &key->e)) {
        return CRYPTO_OK;
    }
    return CRYPTO_MISMATCH;
}

CryptoStatus rsaCheckCertificateSignature(const Certificate* certificate,
                                          const Certificate* issuer) noexcept {
    uint8_t recovered[CERTIFICATE_SIGNATURE_MAX];
    uint32_t recoveredLength = 0;
    if (rsaPublicRecover(certificate->signature, certificate->signatureLength, &issuer->publicKey,
                         recovered, &recoveredLength) != CRYPTO_OK ||
        recoveredLength != DIGEST_INFO_LENGTH) {
        return CRYPTO_MISMATCH;
    }
    if (std::memcmp(recovered, md5DigestInfoPrefix, sizeof(md5DigestInfoPrefix)) != 0 ||
        std::memcmp(recovered + sizeof(md5DigestInfoPrefix), certificate->tbsDigest, 16) != 0) {
        return CRYPTO_MISMATCH;
    }
    return CRYPTO_OK;
}

CryptoStatus certificateMatchesServiceName(const Certificate* certificate,
                                           const char* serviceName) noexcept {
    if (certificate->subjectLength == 0 || serviceName == nullptr) {
        return CRYPTO_MISMATCH;
    }
    DerCursor value;
    if (!findCommonName(certificate->subject, certificate->subjectLength, &value)) {
        return CRYPTO_MISMATCH;
    }
    const uint8_t type = value.data[0];
    if (type != TAG_PRINTABLE_STRING && type != TAG_TELETEX_STRING && type != TAG_IA5_STRING) {
        return CRYPTO_MISMATCH;  // UTF8String and BMPString included
    }
    value.data += 1;
    value.remaining -= 1;
    // A long-form length is read like any other DER length.
    const int32_t length = value.remaining == 0 ? -1 : derReadLength(&value);
    if (length < 1 || static_cast<uint32_t>(length) != value.remaining) {
        return CRYPTO_MISMATCH;
    }
    const std::size_t nameLength = std::strlen(serviceName);
    if (nameLength != value.remaining || std::memcmp(serviceName, value.data, nameLength) != 0) {
        return CRYPTO_MISMATCH;
    }
    return CRYPTO_OK;
}

uint32_t certificateVerify(const Certificate* peer, const Certificate* caCertificates,
                           int32_t caCount) noexcept {
    uint32_t flags = 0;
    const Certificate* ca = nullptr;
    // Only the first CA whose subject is the peer's issuer is tried, even if
    // its signature check fails and a later one would pass.
    for (int32_t i = 0; i < caCount && ca == nullptr; ++i) {
        const Certificate& candidate = caCertificates[i];
        if (candidate.subjectLength == peer->issuerLength &&
            std::memcmp(candidate.subject, peer->issuer, peer->issuerLength) == 0) {
            ca = &candidate;
        }
    }
    if (ca == nullptr) {
        flags = VERIFY_ISSUER_UNKNOWN;
    } else if (rsaCheckCertificateSignature(peer, ca) != CRYPTO_OK) {
        flags = VERIFY_SIGNATURE_BAD;
    }
    char now[12];
    if (!currentTimeText(now)) {
        flags |= VERIFY_PERIOD | VERIFY_CA_PERIOD;
    }
    if (outsidePeriod(now, *peer)) {
        flags |= VERIFY_PERIOD;
    }
    if (ca != nullptr && outsidePeriod(now, *ca)) {
        flags |= VERIFY_CA_PERIOD;
    }
    return flags;
}

void certificateSetClock(CertificateClock clock) noexcept {
    clockSource = clock != nullptr ? clock : systemClock;
}

}  // namespace vc
