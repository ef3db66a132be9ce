// What the certificate and key tests share: the committed credentials, the
// escapes of the PKI data files, and, where OpenSSL is linked
// (VC_TEST_OPENSSL), its reading and writing of the same inputs as the
// reference. Test-only.
#pragma once

#if defined(VC_TEST_OPENSSL)
#include <openssl/pem.h>
#include <openssl/x509.h>
#endif

#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <string>

#include "pki/pem.h"
#include "pki/private_key.h"
#include "support/test_vectors.h"
#include "veilcastnet.h"
#if defined(VC_TEST_OPENSSL)
#include "support/openssl_bignum.h"
#endif

namespace vctest {

// \n, \r and \t escapes, and {TEXT*N} for TEXT repeated N times (other
// braces, as in a regular expression, stay as they are).
inline std::string expand(const std::string& in) {
    std::string out;
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] == '\\' && i + 1 < in.size()) {
            const char c = in[++i];
            out += c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c;
        } else if (in[i] == '{' && in.find('*', i) < in.find('}', i)) {
            const std::size_t star = in.find('*', i);
            const std::size_t close = in.find('}', star);
            const std::string text = in.substr(i + 1, star - i - 1);
            for (int n = std::stoi(in.substr(star + 1, close - star - 1)); n > 0; --n) {
                out += text;
            }
            i = close;
        } else {
            out += in[i];
        }
    }
    return out;
}

inline std::string credential(const std::string& name) {
    return dataFile("credentials/" + name);
}

// privateKeyLoad on exact-size copies of the text and the pass phrase (none
// when null), with a scratch buffer of three quarters of the text.
inline vc::CryptoStatus loadKey(const std::string& text, const std::string* phrase,
                                vc::RsaPrivateKey* key) {
    std::vector<char> exact(text.begin(), text.end());
    std::vector<char> exactPhrase;
    if (phrase != nullptr) {
        exactPhrase.assign(phrase->begin(), phrase->end());
    }
    Bytes scratch(std::max<std::size_t>(1, text.size() * 3 / 4));
    uint32_t length = 0;
    return vc::privateKeyLoad(exact.data(), uint32_t(exact.size()),
                              phrase != nullptr ? exactPhrase.data() : nullptr,
                              uint32_t(exactPhrase.size()), scratch.data(), &length, key);
}

// Texts and the library inputs that point into them, kept alive together
// (a deque keeps earlier elements in place).
class PemInputs {
  public:
    const PemInput& text(const std::string& content) {
        texts_.push_back(content);
        inputs_.push_back({texts_.back().data(), uint32_t(texts_.back().size())});
        return inputs_.back();
    }
    const PemInput& pem(const std::string& file) { return text(credential(file)); }

    // "cert.pem:key" or "-"; CAs separated by commas.
    VcContext* context(const std::string& own, const std::string& cas, uint32_t mask, uint32_t role,
                       CertificateCallback callback) {
        const std::size_t colon = own.find(':');
        const PemInput* certificate = nullptr;
        const PemKeyInput* key = nullptr;
        if (own != "-") {
            certificate = &pem(own.substr(0, colon));
            const PemInput& text = pem(own.substr(colon + 1));
            const PemInput& pass = pem("passphrase.txt");
            keys_.push_back({text.text, text.length, pass.text, pass.length});
            key = &keys_.back();
        }
        std::vector<PemInput> list;
        std::istringstream names(cas);
        for (std::string name; std::getline(names, name, ',');) {
            list.push_back(pem(name));
        }
        VcContext* out = nullptr;
        EXPECT_EQ(vcCreateContext(certificate, key, list.data(), int32_t(list.size()), callback,
                                  mask, role, &out),
                  VC_OK)
            << own;
        return out;
    }

  private:
    std::deque<std::string> texts_;
    std::deque<PemInput> inputs_;
    std::deque<PemKeyInput> keys_;
};

// The DER in a PEM text: a certificate's for label "C", else the base64 body
// of an RSA key's, read from an exact-size copy (no slack for ASan to miss).
inline vc::CryptoStatus pemDecode(const std::string& label, const std::string& text, Bytes* der) {
    std::vector<char> exact(text.begin(), text.end());
    der->assign(std::max<std::size_t>(1, text.size() * 3 / 4), 0);
    uint32_t length = 0;
    uint32_t bodyLength = 0;
    vc::CryptoStatus status = vc::CRYPTO_PEM_FORMAT;
    const auto size = static_cast<uint32_t>(exact.size());
    if (label == "C") {
        status = vc::pemDecodeCertificate(exact.data(), size, der->data(), &length);
    } else if (const char* body =
                   vc::pemFindBody(exact.data(), size, "RSA PRIVATE KEY", &bodyLength)) {
        status = vc::base64Decode(body, bodyLength, der->data(), &length);
    }
    der->resize(status == vc::CRYPTO_OK ? length : 0);
    return status;
}

// The DER of a credential's certificate, through the library's own PEM
// reader (which certificate_test.cpp holds to OpenSSL's reading of every
// credential where OpenSSL is linked).
inline Bytes certificateDer(const std::string& name) {
    Bytes der;
    pemDecode("C", credential(name), &der);
    return der;
}

// Every committed certificate file.
inline const std::vector<std::string>& certificateFiles() {
    static const std::vector<std::string> files = {
        "ca.pem",       "server.pem",     "client.pem",  "expired.pem",    "notyet.pem",
        "other-ca.pem", "unknown-ca.pem", "ca-twin.pem", "expired-ca.pem", "by-expired-ca.pem",
        "utf8-cn.pem",  "case-cn.pem",    "two-cn.pem",  "rsa512.pem",     "sha256.pem",
        "ca4096.pem",   "by-ca4096.pem",  "v1.pem",      "bundle.pem"};
    return files;
}

// The element hex with a definite length in front of the contents.
inline std::string wrap(const char* tag, const std::string& contentHex) {
    const std::size_t n = contentHex.size() / 2;
    char length[16];
    std::snprintf(length, sizeof length, n < 128 ? "%02zX" : n < 256 ? "81%02zX" : "82%04zX", n);
    return tag + std::string(length) + contentHex;
}

// Certificate DER (hex) from the named elements of certificate_der.vec;
// only the tbsCertificate and outer SEQUENCE lengths are computed.
inline std::string buildCertificate(std::map<std::string, std::string> parts) {
    std::string tbs;
    for (const char* name : {"version", "serial", "algorithm", "issuer", "validity", "subject",
                             "key", "issuerUid", "subjectUid", "extensions", "tbsExtra"}) {
        tbs += parts[name];
    }
    return wrap("30", wrap("30", tbs) + parts["signatureAlgorithm"] + parts["signature"] +
                          parts["outerExtra"]) +
           parts["trailing"];
}

inline std::map<std::string, std::string> baseCertificateParts() {
    std::map<std::string, std::string> parts;
    for (const auto& row : readVec("certificate_der.vec", "part")) {
        parts[row.fields[1]] = row.value;
    }
    return parts;
}

#if defined(VC_TEST_OPENSSL)

using X509Ptr = Owned<X509, X509_free>;

inline X509Ptr opensslCertificate(const std::string& pem) {
    const Bio bio(BIO_new_mem_buf(pem.data(), int(pem.size())));
    return X509Ptr(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
}

template <typename Object, typename Encode>
Bytes derOf(Object* object, Encode encode) {
    unsigned char* der = nullptr;
    const int length = encode(object, &der);
    Bytes out(der, der + (length > 0 ? length : 0));
    OPENSSL_free(der);
    return out;
}

// PEM text of DER under a label, in 64-character lines.
inline std::string pemOf(const Bytes& der, const std::string& label) {
    std::string text = "-----BEGIN " + label + "-----\n";
    for (std::size_t at = 0; at < der.size(); at += 48) {
        unsigned char line[65];
        EVP_EncodeBlock(line, der.data() + at, int(std::min<std::size_t>(48, der.size() - at)));
        text += reinterpret_cast<char*>(line) + std::string("\n");
    }
    return text + "-----END " + label + "-----\n";
}

#endif  // VC_TEST_OPENSSL

}  // namespace vctest
