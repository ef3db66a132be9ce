// Certificates, private keys and the peer check, run through the same readers
// and checks as context creation and reported with the library's own result
// texts: what the tool says about a file is what a host would be told.
#include "credentials.h"
#include "setup.h"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "crypto/md5.h"
#include "pki/certificate.h"
#include "pki/checks.h"
#include "pki/pem.h"
#include "pki/private_key.h"
#include "support/secure_wipe.h"
#include "veilcastnet.h"

namespace vctool {
namespace {

// No credential comes near this; it keeps every length far inside the
// readers' 32-bit counts.
constexpr uint32_t FILE_MAX = 1u << 20;

// A whole file. The buffer never grows, so a key's text is never left behind
// in a released copy, and all of it is wiped when the record goes.
struct FileText {
    std::vector<char> bytes = std::vector<char>(FILE_MAX + 1);
    uint32_t length = 0;

    FileText() = default;
    FileText(const FileText&) = delete;
    FileText& operator=(const FileText&) = delete;
    ~FileText() { vc::secureWipe(bytes.data(), bytes.size()); }
};

bool readFile(const char* path, FileText* out) {
    const int fd = openRegularFile(path);
    std::FILE* file = fd >= 0 ? fdopen(fd, "rb") : nullptr;
    if (file == nullptr) {
        if (fd >= 0) {
            std::fprintf(stderr, "vctool: %s: %s\n", path, std::strerror(errno));
            close(fd);
        }
        return false;
    }
    const std::size_t count = std::fread(out->bytes.data(), 1, out->bytes.size(), file);
    const int error = errno;
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        std::fprintf(stderr, "vctool: %s: %s\n", path, std::strerror(error));
        return false;
    }
    if (count > FILE_MAX) {
        std::fprintf(stderr, "vctool: %s: larger than %u bytes\n", path, FILE_MAX);
        return false;
    }
    out->length = static_cast<uint32_t>(count);
    return true;
}

// A pass-phrase file holds the phrase on its first line.
uint32_t firstLineLength(const FileText& text) {
    uint32_t length = 0;
    while (length < text.length && text.bytes[length] != '\n' && text.bytes[length] != '\r') {
        ++length;
    }
    return length;
}

// The DER room context creation gives a PEM text of this length.
std::size_t derRoom(uint32_t textLength) {
    const std::size_t room = (static_cast<std::size_t>(textLength) * 3) / 4;
    return room == 0 ? 1 : room;
}

void reportStatus(const char* path, int32_t resultCode, vc::CryptoStatus status) {
    std::fprintf(stderr, "vctool: %s: %s (%d)\n", path, vcErrorText(resultCode),
                 static_cast<int>(status));
}

// The file's "CERTIFICATE" block, parsed, and its DER. badResult is what a
// host is told when it does not load: VC_CERTIFICATE_BAD for its own or a
// peer's certificate, VC_CA_CERTIFICATES_BAD for a CA.
bool loadCertificate(const char* path, int32_t badResult, vc::Certificate* out,
                     std::vector<uint8_t>* der) {
    FileText text;
    if (!readFile(path, &text)) {
        return false;
    }
    der->assign(derRoom(text.length), 0);
    uint32_t derLength = 0;
    const vc::CryptoStatus status =
        vc::certificateLoad(reinterpret_cast<const uint8_t*>(text.bytes.data()), text.length,
                            der->data(), &derLength, 1, out);
    if (status != vc::CRYPTO_OK) {
        reportStatus(path, badResult, status);
        return false;
    }
    der->resize(std::min<std::size_t>(derLength, der->size()));
    return true;
}

// Name decoding. The record holds the Name's contents as they came from the
// peer; the certificate reader only bounded them, so every step here checks
// what remains before it reads.
struct Span {
    const uint8_t* data;
    uint32_t length;
};

// One element with a one-byte tag and a definite length of at most four
// bytes; false when it does not fit in what remains.
bool readElement(Span* input, uint8_t* tag, Span* contents) {
    if (input->length < 2 || (input->data[0] & 0x1F) == 0x1F) {
        return false;
    }
    uint32_t header = 2;
    uint32_t length = input->data[1];
    if ((length & 0x80) != 0) {
        const uint32_t count = length & 0x7F;
        if (count == 0 || count > 4 || count > input->length - 2) {
            return false;
        }
        length = 0;
        for (uint32_t i = 0; i < count; ++i) {
            length = (length << 8) | input->data[2 + i];
        }
        header += count;
    }
    if (length > input->length - header) {
        return false;
    }
    *tag = input->data[0];
    *contents = Span{input->data + header, length};
    input->data += header + length;
    input->length -= header + length;
    return true;
}

struct AttributeName {
    const char* name;
    uint8_t oid[9];
    uint32_t oidLength;
};

constexpr AttributeName ATTRIBUTE_NAMES[] = {
    {"CN", {0x55, 0x04, 0x03}, 3},
    {"C", {0x55, 0x04, 0x06}, 3},
    {"L", {0x55, 0x04, 0x07}, 3},
    {"ST", {0x55, 0x04, 0x08}, 3},
    {"O", {0x55, 0x04, 0x0A}, 3},
    {"OU", {0x55, 0x04, 0x0B}, 3},
    {"emailAddress", {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x01}, 9},
};

bool appendAttributeType(Span oid, std::string* out) {
    for (const AttributeName& known : ATTRIBUTE_NAMES) {
        if (oid.length == known.oidLength && std::memcmp(oid.data, known.oid, oid.length) == 0) {
            out->append(known.name);
            return true;
        }
    }
    if (oid.length == 0 || (oid.data[oid.length - 1] & 0x80) != 0) {
        return false;
    }
    uint64_t arc = 0;
    bool first = true;
    for (uint32_t i = 0; i < oid.length; ++i) {
        if (arc > (UINT64_MAX >> 7)) {
            return false;
        }
        arc = (arc << 7) | (oid.data[i] & 0x7F);
        if ((oid.data[i] & 0x80) != 0) {
            continue;
        }
        if (first) {
            // The first byte group carries two arcs: 40 * first + second.
            const uint64_t top = arc < 80 ? arc / 40 : 2;
            out->append(std::to_string(top));
            arc -= top * 40;
            first = false;
        }
        out->push_back('.');
        out->append(std::to_string(arc));
        arc = 0;
    }
    return true;
}

void appendValue(Span value, std::string* out) {
    for (uint32_t i = 0; i < value.length; ++i) {
        const uint8_t byte = value.data[i];
        if (byte >= 0x20 && byte <= 0x7E && byte != '\\') {
            out->push_back(static_cast<char>(byte));
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof(escaped), "\\x%02X", byte);
            out->append(escaped);
        }
    }
}

// SET { SEQUENCE { type, value } ... } per relative name, in stored order;
// the attributes of a multi-valued one are joined by " + ".
bool appendName(Span name, std::string* out) {
    while (name.length > 0) {
        uint8_t tag = 0;
        Span relativeName{};
        if (!readElement(&name, &tag, &relativeName) || tag != 0x31 || relativeName.length == 0) {
            return false;
        }
        bool firstAttribute = true;
        while (relativeName.length > 0) {
            Span attribute{};
            Span type{};
            Span value{};
            if (!readElement(&relativeName, &tag, &attribute) || tag != 0x30 ||
                !readElement(&attribute, &tag, &type) || tag != 0x06 ||
                !readElement(&attribute, &tag, &value) || attribute.length != 0) {
                return false;
            }
            if (!out->empty()) {
                out->append(firstAttribute ? ", " : " + ");
            }
            firstAttribute = false;
            if (!appendAttributeType(type, out)) {
                return false;
            }
            out->push_back('=');
            appendValue(value, out);
        }
    }
    return true;
}

std::string nameText(const uint8_t* name, uint32_t length) {
    std::string text;
    if (length == 0) {
        return "(empty)";
    }
    if (length > vc::CERTIFICATE_NAME_MAX || !appendName(Span{name, length}, &text)) {
        return "(malformed name)";
    }
    return text;
}

// Upper-case hex, whole bytes, no leading zero bytes; zero is "00".
std::string bigNumHex(const vc::BigNum& value) {
    std::string hex;
    for (uint32_t i = std::min(value.length, vc::BIGNUM_MAX_WORDS); i-- > 0;) {
        char word[9];
        std::snprintf(word, sizeof(word), "%08X", value.words[i]);
        hex.append(word);
    }
    const std::size_t firstDigit = hex.find_first_not_of('0');
    hex.erase(0, firstDigit == std::string::npos ? hex.size() : firstDigit & ~std::size_t{1});
    return hex.empty() ? "00" : hex;
}

uint32_t bitLength(const vc::BigNum& value) {
    const uint32_t length = std::min(value.length, vc::BIGNUM_MAX_WORDS);
    if (length == 0) {
        return 0;
    }
    return (length - 1) * 32 + static_cast<uint32_t>(std::bit_width(value.words[length - 1]));
}

std::string exponentText(const vc::BigNum& exponent) {
    if (exponent.length > 2) {
        return "0x" + bigNumHex(exponent);
    }
    uint64_t value = 0;
    for (uint32_t i = 0; i < exponent.length; ++i) {
        value |= static_cast<uint64_t>(exponent.words[i]) << (32 * i);
    }
    return std::to_string(value);
}

// CCYYMMDDhhmm as YYYY-MM-DD hh:mm UTC.
std::string timeText(const char (&time)[13]) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.4s-%.2s-%.2s %.2s:%.2s UTC", time, time + 4, time + 6,
                  time + 8, time + 10);
    return text;
}

std::string md5Fingerprint(const std::vector<uint8_t>& der) {
    vc::Md5Context context;
    vc::md5Init(&context);
    vc::md5Update(&context, der.data(), static_cast<uint32_t>(der.size()));
    uint8_t digest[16];
    vc::md5Final(digest, &context);
    std::string text;
    for (const uint8_t byte : digest) {
        char hex[4];
        std::snprintf(hex, sizeof(hex), text.empty() ? "%02X" : ":%02X", byte);
        text.append(hex);
    }
    return text;
}

void printCertificate(const char* path, const vc::Certificate& certificate,
                      const std::vector<uint8_t>& der) {
    std::printf("%s\n", path);
    std::printf("  version:     %u\n", certificate.version);
    std::printf("  serial:      %s\n", bigNumHex(certificate.serialNumber).c_str());
    std::printf("  subject:     %s\n",
                nameText(certificate.subject, certificate.subjectLength).c_str());
    std::printf("  issuer:      %s\n",
                nameText(certificate.issuer, certificate.issuerLength).c_str());
    std::printf("  not before:  %s\n", timeText(certificate.notBefore).c_str());
    std::printf("  not after:   %s\n", timeText(certificate.notAfter).c_str());
    std::printf("  modulus:     %u bits\n", bitLength(certificate.publicKey.n));
    std::printf("  exponent:    %s\n", exponentText(certificate.publicKey.e).c_str());
    // The reader refuses every other signature algorithm.
    std::printf("  signature:   md5WithRSAEncryption\n");
    std::printf("  MD5:         %s\n", md5Fingerprint(der).c_str());
}

// "name VALUE" at argv[*index]: the value, with *index moved onto it.
const char* optionValue(int argc, char** argv, int* index, const char* name) {
    if (std::strcmp(argv[*index], name) != 0 || *index + 1 >= argc) {
        return nullptr;
    }
    ++*index;
    return argv[*index];
}

}  // namespace

int certCommand(int argc, char** argv) {
    if (argc < 1) {
        return USAGE_ERROR;
    }
    int status = 0;
    vc::Certificate certificate{};
    std::vector<uint8_t> der;
    for (int i = 0; i < argc; ++i) {
        if (loadCertificate(argv[i], VC_CERTIFICATE_BAD, &certificate, &der)) {
            printCertificate(argv[i], certificate, der);
        } else {
            status = 1;
        }
    }
    return status;
}

int keyCommand(int argc, char** argv) {
    const char* keyPath = nullptr;
    const char* passPhrasePath = nullptr;
    const char* certificatePath = nullptr;
    for (int i = 0; i < argc; ++i) {
        if (const char* value = optionValue(argc, argv, &i, "--pass-phrase-file")) {
            passPhrasePath = value;
        } else if (const char* path = optionValue(argc, argv, &i, "--cert")) {
            certificatePath = path;
        } else if (keyPath == nullptr && argv[i][0] != '-') {
            keyPath = argv[i];
        } else {
            return USAGE_ERROR;
        }
    }
    if (keyPath == nullptr) {
        return USAGE_ERROR;
    }
    FileText passPhrase;
    if (passPhrasePath != nullptr && !readFile(passPhrasePath, &passPhrase)) {
        return 1;
    }
    vc::Certificate certificate{};
    std::vector<uint8_t> der;
    if (certificatePath != nullptr &&
        !loadCertificate(certificatePath, VC_CERTIFICATE_BAD, &certificate, &der)) {
        return 1;
    }
    FileText text;
    if (!readFile(keyPath, &text)) {
        return 1;
    }
    uint32_t bodyLength = 0;
    const char* body =
        vc::pemFindBody(text.bytes.data(), text.length, "RSA PRIVATE KEY", &bodyLength);
    constexpr char ENCRYPTED_HEADER[] = "Proc-Type: 4,ENCRYPTED";
    const bool encrypted = body != nullptr && bodyLength >= sizeof(ENCRYPTED_HEADER) - 1 &&
                           std::memcmp(body, ENCRYPTED_HEADER, sizeof(ENCRYPTED_HEADER) - 1) == 0;

    std::vector<uint8_t> scratch(derRoom(text.length));
    vc::RsaPrivateKey key{};
    uint32_t decodedLength = 0;
    const vc::CryptoStatus loaded =
        vc::privateKeyLoad(text.bytes.data(), text.length,
                           passPhrasePath != nullptr ? passPhrase.bytes.data() : nullptr,
                           firstLineLength(passPhrase), scratch.data(), &decodedLength, &key);
    vc::secureWipe(scratch.data(), scratch.size());

    int status = 0;
    if (loaded == vc::CRYPTO_NO_PASSPHRASE || loaded == vc::CRYPTO_BAD_DECRYPT) {
        reportStatus(keyPath, VC_PASSPHRASE_BAD, loaded);
        status = 1;
    } else if (loaded != vc::CRYPTO_OK) {
        reportStatus(keyPath, VC_PRIVATE_KEY_BAD, loaded);
        status = 1;
    } else {
        std::printf("%s\n", keyPath);
        std::printf("  modulus:     %u bits\n", bitLength(key.n));
        std::printf("  encrypted:   %s\n", encrypted ? "yes" : "no");
        if (certificatePath != nullptr) {
            const vc::CryptoStatus match = vc::keyMatchesCertificate(&certificate, &key);
            if (match == vc::CRYPTO_OK) {
                std::printf("  certificate: %s matches\n", certificatePath);
            } else {
                reportStatus(keyPath, VC_KEY_CERT_MISMATCH, match);
                status = 1;
            }
        }
    }
    vc::secureWipeObject(key);
    return status;
}

bool summariseCertificate(const uint8_t* der, uint32_t length, CertificateSummary* out) {
    vc::Certificate certificate{};
    if (vc::certificateFromDer(der, length, &certificate) != vc::CRYPTO_OK) {
        return false;
    }
    out->subject = nameText(certificate.subject, certificate.subjectLength);
    out->issuer = nameText(certificate.issuer, certificate.issuerLength);
    out->notBefore = timeText(certificate.notBefore);
    out->notAfter = timeText(certificate.notAfter);
    return true;
}

int verifyCommand(int argc, char** argv) {
    std::vector<const char*> caPaths;
    const char* serviceName = nullptr;
    const char* peerPath = nullptr;
    for (int i = 0; i < argc; ++i) {
        if (const char* path = optionValue(argc, argv, &i, "--ca")) {
            caPaths.push_back(path);
        } else if (const char* name = optionValue(argc, argv, &i, "--name")) {
            serviceName = name;
        } else if (peerPath == nullptr && argv[i][0] != '-') {
            peerPath = argv[i];
        } else {
            return USAGE_ERROR;
        }
    }
    if (caPaths.empty() || peerPath == nullptr) {
        return USAGE_ERROR;
    }
    std::vector<vc::Certificate> caCertificates(caPaths.size());
    std::vector<uint8_t> der;
    for (std::size_t i = 0; i < caPaths.size(); ++i) {
        if (!loadCertificate(caPaths[i], VC_CA_CERTIFICATES_BAD, &caCertificates[i], &der)) {
            return 1;
        }
    }
    vc::Certificate peer{};
    if (!loadCertificate(peerPath, VC_CERTIFICATE_BAD, &peer, &der)) {
        return 1;
    }
    uint32_t flags = vc::certificateVerify(&peer, caCertificates.data(),
                                           static_cast<int32_t>(caCertificates.size()));
    if (serviceName != nullptr &&
        vc::certificateMatchesServiceName(&peer, serviceName) != vc::CRYPTO_OK) {
        flags |= VERIFY_NAME_MISMATCH;
    }

    std::printf("%s: %s\n", peerPath, flags == 0 ? "ok" : verifyFlagNames(flags).c_str());
    return flags == 0 ? 0 : 1;
}

}  // namespace vctool
