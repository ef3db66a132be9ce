// Seeding, credential files and contexts for the transport commands.
#include "setup.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/random.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "credentials.h"
#include "crypto/random_pool.h"
#include "file_io.h"
#include "support/secure_wipe.h"

namespace vctool {
namespace {

constexpr std::size_t SEED_BYTES = 512;
// No credential comes near this.
constexpr std::size_t FILE_MAX = 1 << 20;

bool fillFromOs(uint8_t* out, std::size_t length) {
    std::size_t filled = 0;
    while (filled < length) {
        const ssize_t got = getrandom(out + filled, length - filled, 0);
        if (got < 0 && errno != EINTR) {
            std::fprintf(stderr, "vctool: getrandom: %s\n", std::strerror(errno));
            return false;
        }
        filled += got > 0 ? static_cast<std::size_t>(got) : 0;
    }
    return true;
}

bool writeSeed(const std::string& path, const uint8_t* seed) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0) {
        std::fprintf(stderr, "vctool: %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    const bool written = write(fd, seed, SEED_BYTES) == static_cast<ssize_t>(SEED_BYTES);
    const bool closed = close(fd) == 0;
    if (!written || !closed) {
        std::fprintf(stderr, "vctool: %s: cannot write the seed\n", path.c_str());
    }
    return written && closed;
}

// 512 bytes from the seeded generator in place of the seed file's.
bool renewSeedFile(const std::string& path) {
    std::array<uint8_t, SEED_BYTES> seed{};
    std::string error = path + ": the generator gave nothing";
    const bool renewed = vc::randomBytes(seed.data(), seed.size()) == 0 &&
                         vcfile::replaceContents(path, seed.data(), seed.size(), &error);
    vc::secureWipe(seed.data(), seed.size());
    if (!renewed) {
        std::fprintf(stderr, "vctool: %s\n", error.c_str());
    }
    return renewed;
}

std::string firstLine(const std::string& text) {
    return text.substr(0, text.find_first_of("\r\n"));
}

PemInput pemInput(const std::string& text) {
    return PemInput{text.data(), static_cast<uint32_t>(text.size())};
}

}  // namespace

int32_t initialiseFromOs() {
    std::error_code error;
    const std::string directoryTemplate =
        (std::filesystem::temp_directory_path(error) / "vctool-seed-XXXXXX").string();
    std::vector<char> directory(directoryTemplate.begin(), directoryTemplate.end());
    directory.push_back('\0');
    if (error || mkdtemp(directory.data()) == nullptr) {
        std::fprintf(stderr, "vctool: cannot make a temporary directory for the seed file\n");
        return VC_INITIALIZATION_FAILED;
    }
    const std::string path = std::string(directory.data()) + "/seed.bin";
    std::array<uint8_t, SEED_BYTES> seed{};
    int32_t result = VC_INITIALIZATION_FAILED;
    if (fillFromOs(seed.data(), seed.size()) && writeSeed(path, seed.data())) {
        result = vcInitialize(nullptr, nullptr, nullptr, nullptr, path.c_str());
    }
    // The seed has done its work; nothing of it stays behind.
    std::memset(seed.data(), 0, seed.size());
    std::filesystem::remove_all(directory.data(), error);
    return result;
}

int32_t initialiseFromFile(const std::string& path) {
    // The real path: the library wants it absolute, and the renewal must
    // replace the file a link points to, not the link.
    std::error_code error;
    const std::string real = std::filesystem::canonical(path, error).string();
    if (error) {
        std::fprintf(stderr, "vctool: %s: %s\n", path.c_str(), error.message().c_str());
        return VC_INITIALIZATION_FAILED;
    }
    std::string problem;
    const int lock = vcfile::lockSeedFile(real, &problem);
    if (lock < 0) {
        std::fprintf(stderr, "vctool: %s\n", problem.c_str());
        return VC_INITIALIZATION_FAILED;
    }
    int32_t result = vcInitialize(nullptr, nullptr, nullptr, nullptr, real.c_str());
    if (result == VC_OK && !renewSeedFile(real)) {
        // Going on would leave the next start from this file the same generator.
        vcTerminate();
        result = VC_INITIALIZATION_FAILED;
    }
    close(lock);
    return result;
}

int32_t initialiseFromWindow() {
    return vcInitialize(nullptr, nullptr, nullptr, nullptr, nullptr);
}

int openRegularFile(const std::string& path) {
    std::string error;
    const int fd = vcfile::openRegular(path, &error);
    if (fd < 0) {
        std::fprintf(stderr, "vctool: %s\n", error.c_str());
    }
    return fd;
}

bool readWholeFile(const std::string& path, std::string* out) {
    std::string error;
    if (!vcfile::readRegular(path, FILE_MAX, out, &error)) {
        std::fprintf(stderr, "vctool: %s\n", error.c_str());
        return false;
    }
    return true;
}

void wipeString(std::string* text) {
    volatile char* bytes = text->data();
    for (std::size_t i = 0; i < text->size(); ++i) {
        bytes[i] = 0;
    }
    text->clear();
}

void wipeTexts(CredentialTexts* texts) {
    wipeString(&texts->key);
    wipeString(&texts->passPhrase);
}

int32_t createContext(const CredentialTexts& texts, CertificateCallback callback,
                      uint32_t cipherMask, uint32_t role, VcContext** context) {
    const PemInput certificate = pemInput(texts.certificate);
    std::string passPhrase = firstLine(texts.passPhrase);
    const PemKeyInput key = {texts.key.data(), static_cast<uint32_t>(texts.key.size()),
                             passPhrase.data(), static_cast<uint32_t>(passPhrase.size())};
    std::vector<PemInput> cas;
    for (const std::string& ca : texts.caCertificates) {
        cas.push_back(pemInput(ca));
    }
    const bool own = !texts.certificate.empty();
    const int32_t result = vcCreateContext(
        own ? &certificate : nullptr, own ? &key : nullptr, cas.empty() ? nullptr : cas.data(),
        static_cast<int32_t>(cas.size()), callback, cipherMask, role, context);
    wipeString(&passPhrase);
    return result;
}

std::string suiteName(uint32_t cipherMask) {
    if (cipherMask == VC_CIPHER_RC4_128) {
        return "RC4-128";
    }
    if (cipherMask == VC_CIPHER_DES_EDE3_CBC) {
        return "triple-DES-CBC";
    }
    if (cipherMask == (VC_CIPHER_RC4_128 | VC_CIPHER_DES_EDE3_CBC)) {
        return "RC4-128 or triple-DES-CBC";
    }
    char text[32];
    std::snprintf(text, sizeof(text), "cipher mask 0x%X", cipherMask);
    return text;
}

std::string verifyFlagNames(uint32_t flags) {
    struct FlagName {
        uint32_t flag;
        const char* name;
    };
    constexpr FlagName NAMES[] = {
        {VERIFY_UNREADABLE, "VERIFY_UNREADABLE"},
        {VERIFY_ISSUER_UNKNOWN, "VERIFY_ISSUER_UNKNOWN"},
        {VERIFY_SIGNATURE_BAD, "VERIFY_SIGNATURE_BAD"},
        {VERIFY_PERIOD, "VERIFY_PERIOD"},
        {VERIFY_CA_PERIOD, "VERIFY_CA_PERIOD"},
        {VERIFY_NAME_MISMATCH, "VERIFY_NAME_MISMATCH"},
    };
    std::string text;
    for (const FlagName& entry : NAMES) {
        if ((flags & entry.flag) != 0) {
            if (!text.empty()) {
                text += ' ';
            }
            text += entry.name;
            flags &= ~entry.flag;
        }
    }
    if (flags != 0) {
        char rest[24];
        std::snprintf(rest, sizeof(rest), "%s0x%X", text.empty() ? "" : " ", flags);
        text += rest;
    }
    return text.empty() ? "none" : text;
}

std::string fingerprintText(const uint8_t* md5) {
    std::string text;
    for (int i = 0; i < 16; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof(hex), i == 0 ? "%02X" : ":%02X", md5[i]);
        text += hex;
    }
    return text;
}

std::vector<std::string> describePeerCertificate(const uint8_t* der, uint32_t length,
                                                 uint32_t verifyFlags, uint32_t cipherMask,
                                                 const uint8_t* md5) {
    std::vector<std::string> lines;
    CertificateSummary summary;
    if (summariseCertificate(der, length, &summary)) {
        lines.push_back("subject   " + summary.subject);
        lines.push_back("issuer    " + summary.issuer);
        lines.push_back("validity  " + summary.notBefore + " to " + summary.notAfter);
    } else {
        lines.push_back("subject   (unreadable, " + std::to_string(length) + " bytes of DER)");
    }
    lines.push_back("MD5       " + fingerprintText(md5));
    lines.push_back("verify    " + verifyFlagNames(verifyFlags));
    lines.push_back("suite     " + suiteName(cipherMask));
    return lines;
}

std::string resultText(int32_t code) {
    return std::to_string(code) + " (" + vcErrorText(code) + ")";
}

}  // namespace vctool
