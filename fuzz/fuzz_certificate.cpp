// Arbitrary bytes as a DER certificate and as PEM text. A record the reader
// accepts must keep every length inside its arrays and its times in the
// agreed form, and the checks a handshake runs next must take any accepted
// record, here as its own CA, without a crash or a read outside it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "pki/certificate.h"
#include "pki/checks.h"

namespace {

bool isTimeText(const char (&time)[13]) {
    for (int i = 0; i < 12; ++i) {
        if (time[i] < '0' || time[i] > '9') {
            return false;
        }
    }
    return time[12] == '\0';
}

void checkRecord(const vc::Certificate& certificate) {
    if (certificate.version < 1 || certificate.version > 3 ||
        certificate.issuerLength > vc::CERTIFICATE_NAME_MAX ||
        certificate.subjectLength > vc::CERTIFICATE_NAME_MAX ||
        certificate.signatureLength > vc::CERTIFICATE_SIGNATURE_MAX ||
        !isTimeText(certificate.notBefore) || !isTimeText(certificate.notAfter)) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > UINT32_MAX) {
        return 0;
    }
    const auto length = static_cast<uint32_t>(size);
    const std::unique_ptr<uint8_t[]> input(new uint8_t[size]);
    std::memcpy(input.get(), data, size);
    static vc::Certificate certificate;

    std::memset(&certificate, 0, sizeof(certificate));
    if (vc::certificateFromDer(input.get(), length, &certificate) == vc::CRYPTO_OK) {
        checkRecord(certificate);
        (void)vc::certificateMatchesServiceName(&certificate, "server.example");
        (void)vc::certificateVerify(&certificate, &certificate, 1);
    }

    const uint64_t room = std::max<uint64_t>(1, (static_cast<uint64_t>(length) * 3) / 4);
    const std::unique_ptr<uint8_t[]> der(new uint8_t[room]);
    uint32_t derLength = 0;
    std::memset(&certificate, 0, sizeof(certificate));
    if (vc::certificateLoad(input.get(), length, der.get(), &derLength, 1, &certificate) ==
        vc::CRYPTO_OK) {
        if (derLength > room) {
            std::abort();
        }
        checkRecord(certificate);
    }
    return 0;
}
