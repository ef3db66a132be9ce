// PEM layout, the certificate reader's refusals on a synthetic certificate,
// agreement with OpenSSL's parse of every committed certificate (where
// OpenSSL is linked), and inputs cut short or mutated (run under ASan in CI,
// with exact-size buffers).
#include <gtest/gtest.h>
#if defined(VC_TEST_OPENSSL)
#include <openssl/core_names.h>
#include <openssl/md5.h>
#endif

#include <ctime>
#include <map>

#include "pki/certificate.h"
#include "pki/checks.h"
#include "pki/pem.h"
#include "pki/pki_support.h"
#if defined(VC_TEST_OPENSSL)
#include "support/openssl_bignum.h"
#endif

namespace {

using namespace vctest;

// An exact-size heap copy, so that a read one past the end is caught; the
// empty input still gets a (one-byte) buffer and is passed as length 0.
vc::CryptoStatus parse(const Bytes& der, vc::Certificate* out) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[std::max<std::size_t>(der.size(), 1)]);
    std::copy(der.begin(), der.end(), exact.get());
    return vc::certificateFromDer(exact.get(), static_cast<uint32_t>(der.size()), out);
}

TEST(Pem, LayoutTable) {
    for (const auto& row : readVec("pem.vec")) {
        const std::string text = expand(row.value);
        Bytes der;
        EXPECT_EQ(pemDecode(row.fields[0], text, &der), std::stoi(row.fields[1])) << row.value;
        if (row.fields[2] != "-") {
            EXPECT_EQ(toHex(der), row.fields[2] == "." ? "" : expand(row.fields[2])) << row.value;
        }
    }
}

TEST(Certificate, SyntheticRefusalTable) {
    const std::map<std::string, std::string> base = baseCertificateParts();
    for (const auto& row : readVec("certificate_der.vec", "edit")) {
        std::map<std::string, std::string> parts = base;
        std::string notBefore;
        for (std::size_t i = 2; i < row.fields.size(); ++i) {
            const std::string& edit = row.fields[i];
            const std::size_t equals = edit.find('=');
            if (edit.rfind("nb:", 0) == 0) {
                notBefore = edit.substr(3);
            } else {
                parts.at(edit.substr(0, equals)) = expand(edit.substr(equals + 1));
            }
        }
        const std::string der = buildCertificate(parts);
        vc::Certificate certificate{};
        EXPECT_EQ(parse(fromHex(der), &certificate), std::stoi(row.fields[1])) << der;
        if (!notBefore.empty()) {
            EXPECT_EQ(certificate.notBefore, notBefore);
        }
    }
    vc::Certificate certificate;
    EXPECT_EQ(vc::certificateFromDer(nullptr, 0, &certificate), vc::CRYPTO_DER_FORMAT);
    // certificateLoad: a flag other than 1 reads the input as DER and leaves
    // the DER buffer and its length alone; a PEM failure is answered as such.
    const Bytes der = fromHex(buildCertificate(base));
    uint32_t derLength = 7;
    EXPECT_EQ(
        vc::certificateLoad(der.data(), uint32_t(der.size()), nullptr, &derLength, 2, &certificate),
        vc::CRYPTO_OK);
    EXPECT_EQ(derLength, 7u);
    std::string pem = credential("server.pem");
    pem[pem.rfind("\n-----END") - 1] = '*';
    Bytes buffer(pem.size());
    EXPECT_EQ(vc::certificateLoad(reinterpret_cast<const uint8_t*>(pem.data()),
                                  uint32_t(pem.size()), buffer.data(), &derLength, 1, &certificate),
              vc::CRYPTO_PEM_FORMAT);
}

#if defined(VC_TEST_OPENSSL)

std::string timeText(const ASN1_TIME* time) {
    std::tm t{};
    ASN1_TIME_to_tm(time, &t);
    char text[16];
    std::strftime(text, sizeof text, "%Y%m%d%H%M", &t);
    return text;
}

Bytes nameContents(const X509_NAME* name) {
    const unsigned char* der = nullptr;
    std::size_t length = 0;
    X509_NAME_get0_der(const_cast<X509_NAME*>(name), &der, &length);
    const std::size_t header = der[1] < 0x80 ? 2 : 2 + (der[1] & 0x7F);
    return Bytes(der + header, der + length);
}

TEST(Certificate, AgreesWithOpenSslOnEveryCredential) {
    for (const std::string& file : certificateFiles()) {
        SCOPED_TRACE(file);
        const std::string pem = credential(file);
        X509Ptr x509 = opensslCertificate(pem);
        ASSERT_TRUE(x509);
        Bytes der(pem.size() * 3 / 4);
        uint32_t derLength = 0;
        vc::Certificate ours{};
        const vc::CryptoStatus status = vc::certificateLoad(
            reinterpret_cast<const uint8_t*>(pem.data()), static_cast<uint32_t>(pem.size()),
            der.data(), &derLength, 1, &ours);
        der.resize(derLength);
        EXPECT_EQ(der, derOf(x509.get(), i2d_X509));
        if (file == "sha256.pem") {
            EXPECT_EQ(status, vc::CRYPTO_NOT_MD5_RSA);
            continue;
        }
        ASSERT_EQ(status, vc::CRYPTO_OK);
        X509* x = x509.get();
        const auto bytes = [](const uint8_t* data, std::size_t n) { return Bytes(data, data + n); };
        EXPECT_EQ(ours.version, static_cast<uint32_t>(X509_get_version(x) + 1));
        Bn serial(ASN1_INTEGER_to_BN(X509_get0_serialNumber(x), nullptr));
        EXPECT_TRUE(sameValue(ours.serialNumber, fromBn(serial.get())));
        EXPECT_EQ(bytes(ours.issuer, ours.issuerLength), nameContents(X509_get_issuer_name(x)));
        EXPECT_EQ(bytes(ours.subject, ours.subjectLength), nameContents(X509_get_subject_name(x)));
        EXPECT_EQ(ours.notBefore, timeText(X509_get0_notBefore(x)));
        EXPECT_EQ(ours.notAfter, timeText(X509_get0_notAfter(x)));
        const EVP_PKEY* key = X509_get0_pubkey(x);
        EXPECT_TRUE(sameValue(ours.publicKey.n, parameterOf(key, OSSL_PKEY_PARAM_RSA_N)));
        EXPECT_TRUE(sameValue(ours.publicKey.e, parameterOf(key, OSSL_PKEY_PARAM_RSA_E)));
        const ASN1_BIT_STRING* signature = nullptr;
        X509_get0_signature(&signature, nullptr, x);
        EXPECT_EQ(bytes(ours.signature, ours.signatureLength),
                  bytes(signature->data, std::size_t(signature->length)));
        const Bytes tbs = derOf(x, i2d_re_X509_tbs);
        uint8_t digest[16];
        MD5(tbs.data(), tbs.size(), digest);
        EXPECT_EQ(bytes(ours.tbsDigest, 16), bytes(digest, 16));
    }
}

#endif  // VC_TEST_OPENSSL

// Every prefix of every certificate, as DER and as PEM text, and random
// single-byte changes: each ends in a status, and what is accepted holds
// only values that fit the record.
TEST(Certificate, TruncatedAndMutatedInputsEndInAStatus) {
    std::mt19937 rng(7);
    vc::Certificate ca{};
    ASSERT_EQ(parse(certificateDer("ca.pem"), &ca), vc::CRYPTO_OK);
    int accepted = 0;
    for (const std::string& file : certificateFiles()) {
        const Bytes der = certificateDer(file);
        const std::string pem = credential(file);
        vc::Certificate certificate;
        for (std::size_t length = 0; length < der.size(); ++length) {
            ASSERT_NE(parse(Bytes(der.begin(), der.begin() + length), &certificate), vc::CRYPTO_OK);
        }
        for (std::size_t length = 0; length < pem.size(); length += 7) {
            Bytes out;
            pemDecode("C", pem.substr(0, length), &out);
        }
        for (int i = 0; i < 300; ++i) {
            Bytes mutated = der;
            mutated[rng() % mutated.size()] = static_cast<uint8_t>(rng());
            if (parse(mutated, &certificate) == vc::CRYPTO_OK) {
                ++accepted;
                ASSERT_LE(certificate.issuerLength + certificate.subjectLength, 2000u);
                ASSERT_EQ(std::strlen(certificate.notAfter), 12u);
                vc::certificateVerify(&certificate, &ca, 1);
                vc::certificateMatchesServiceName(&certificate, "server.example");
            }
        }
    }
    EXPECT_GT(accepted, 0);  // changes inside names, keys and signatures pass the reader
}

}  // namespace
