// The certificate checks on the committed credentials: VerifyFlags at set
// minutes (period bounds, first-matching CA, clock failures), the service
// name rules, the signature's DigestInfo, and key against certificate.
#include <gtest/gtest.h>

#include <ctime>
#include <limits>

#include "pki/checks.h"
#include "pki/pki_support.h"
#include "pki/private_key.h"

namespace {

using namespace vctest;

std::time_t clockValue = 0;
bool clockWorks = true;

bool testClock(std::time_t* now) {
    *now = clockValue;
    return clockWorks;
}

vc::Certificate certificate(const std::string& file) {
    const Bytes der = certificateDer(file);
    vc::Certificate out{};
    EXPECT_EQ(vc::certificateFromDer(der.data(), uint32_t(der.size()), &out), vc::CRYPTO_OK)
        << file;
    return out;
}

vc::RsaPrivateKey privateKey(const std::string& file) {
    vc::RsaPrivateKey key{};
    EXPECT_EQ(loadKey(credential(file), nullptr, &key), vc::CRYPTO_OK);
    return key;
}

// Sets the test clock from "CCYYMMDDhhmmss", "fail" or "huge" (a time
// gmtime cannot convert).
void setClock(const std::string& when) {
    clockWorks = when != "fail";
    std::tm t{};
    clockValue = strptime(when.c_str(), "%Y%m%d%H%M%S", &t) != nullptr
                     ? timegm(&t)
                     : std::numeric_limits<std::time_t>::max();
}

TEST(CertificateChecks, VerifyAndNameTables) {
    vc::certificateSetClock(testClock);
    for (const auto& row : readVec("checks.vec")) {
        SCOPED_TRACE(row.fields[1] + " " + row.fields[2] + " " + row.fields[3]);
        if (row.fields[0] == "verify") {
            const vc::Certificate peer = certificate(row.fields[1]);
            std::vector<vc::Certificate> cas;
            std::istringstream list(row.fields[2] == "-" ? "" : row.fields[2]);
            for (std::string file; std::getline(list, file, ',');) {
                cas.push_back(certificate(file));
            }
            setClock(row.fields[3]);
            EXPECT_EQ(vc::certificateVerify(&peer, cas.data(), int32_t(cas.size())),
                      std::stoul(row.fields[4]));
            continue;
        }
        vc::Certificate subject{};
        if (row.fields[1].ends_with(".pem")) {
            subject = certificate(row.fields[1]);
        } else if (row.fields[1] != "-") {
            const Bytes name = fromHex(row.fields[1]);
            std::copy(name.begin(), name.end(), subject.subject);
            subject.subjectLength = uint32_t(name.size());
        }
        const std::string serviceName = row.fields[2] == "-" ? "" : row.fields[2];
        EXPECT_EQ(vc::certificateMatchesServiceName(&subject, serviceName.c_str()),
                  std::stoi(row.fields[3]));
    }
    vc::certificateSetClock(nullptr);
    // The real clock: the committed server certificate is valid until 2049.
    const vc::Certificate server = certificate("server.pem");
    const vc::Certificate ca = certificate("ca.pem");
    EXPECT_EQ(vc::certificateVerify(&server, &ca, 1), 0u);
}

TEST(CertificateChecks, SignatureMustRecoverExactlyTheDigestInfo) {
    vc::Certificate server = certificate("server.pem");
    const vc::Certificate ca = certificate("ca.pem");
    ASSERT_EQ(vc::rsaCheckCertificateSignature(&server, &ca), vc::CRYPTO_OK);
    server.tbsDigest[15] ^= 1;
    EXPECT_EQ(vc::rsaCheckCertificateSignature(&server, &ca), vc::CRYPTO_MISMATCH);
    server.tbsDigest[15] ^= 1;
    // Valid type 1 blocks under the CA's key whose data is the DigestInfo
    // with one byte more or less.
    const vc::RsaPrivateKey caKey = privateKey("ca.key");
    uint8_t digestInfo[35];
    std::copy(vc::md5DigestInfoPrefix, vc::md5DigestInfoPrefix + 18, digestInfo);
    std::copy(server.tbsDigest, server.tbsDigest + 16, digestInfo + 18);
    digestInfo[34] = 0;
    for (uint32_t length : {34u, 33u, 35u}) {
        vc::Certificate resigned = server;
        ASSERT_EQ(vc::rsaPrivateSign(digestInfo, length, &caKey, resigned.signature,
                                     &resigned.signatureLength),
                  vc::CRYPTO_OK);
        EXPECT_EQ(vc::rsaCheckCertificateSignature(&resigned, &ca),
                  length == 34 ? vc::CRYPTO_OK : vc::CRYPTO_MISMATCH);
    }
}

TEST(CertificateChecks, KeyMatchesOnlyItsOwnCertificate) {
    vc::RsaPrivateKey key = privateKey("server.key");
    const vc::Certificate server = certificate("server.pem");
    const vc::Certificate client = certificate("client.pem");
    EXPECT_EQ(vc::keyMatchesCertificate(&server, &key), vc::CRYPTO_OK);
    EXPECT_EQ(vc::keyMatchesCertificate(&client, &key), vc::CRYPTO_MISMATCH);
    key.e.words[0] += 2;  // same modulus, another exponent
    EXPECT_EQ(vc::keyMatchesCertificate(&server, &key), vc::CRYPTO_MISMATCH);
}

}  // namespace
