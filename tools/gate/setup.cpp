// The gateway's start-up pieces: seeding the library, reading a service's
// credential files into a context, naming a peer certificate's subject, and
// the log. Key and pass-phrase texts are wiped once the context has them.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "gate.h"

namespace vcgate {
namespace {

constexpr std::size_t SEED_BYTES = 512;
constexpr std::streamoff FILE_MAX = 1 << 20;  // no credential comes near this

void wipe(std::string* text) {
    volatile char* bytes = text->data();
    for (std::size_t i = 0; i < text->size(); ++i) {
        bytes[i] = 0;
    }
    text->clear();
}

void wipe(uint8_t* bytes, std::size_t length) {
    volatile uint8_t* v = bytes;
    for (std::size_t i = 0; i < length; ++i) {
        v[i] = 0;
    }
}

bool fillFromOs(uint8_t* out, std::size_t length) {
    std::size_t filled = 0;
    while (filled < length) {
        const ssize_t got = getrandom(out + filled, length - filled, 0);
        if (got < 0 && errno != EINTR) {
            std::fprintf(stderr, "vcgate: getrandom: %s\n", std::strerror(errno));
            return false;
        }
        filled += got > 0 ? static_cast<std::size_t>(got) : 0;
    }
    return true;
}

// Writes the bytes to a new file beside path and renames it over path, so
// that a crash leaves either the old seed or the new one, never half.
bool replaceFile(const std::string& path, const uint8_t* bytes, std::size_t length) {
    const std::string temporary = path + ".new";
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        std::fprintf(stderr, "vcgate: %s: %s\n", temporary.c_str(), std::strerror(errno));
        return false;
    }
    const bool written = write(fd, bytes, length) == static_cast<ssize_t>(length);
    const bool synced = fsync(fd) == 0;
    const bool closed = close(fd) == 0;
    if (!written || !synced || !closed || rename(temporary.c_str(), path.c_str()) != 0) {
        std::fprintf(stderr, "vcgate: %s: cannot replace the seed: %s\n", path.c_str(),
                     std::strerror(errno));
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool readFile(const std::string& path, std::string* out, std::string* why) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) {
        *why = path + ": not a regular file";
        return false;
    }
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    const std::streamoff size = file ? std::streamoff(file.tellg()) : -1;
    if (size < 0 || size > FILE_MAX) {
        *why = path + ": " + (file ? "over 1 MiB" : std::strerror(errno));
        return false;
    }
    // Read into a buffer of the final size, so no copy of a key is left
    // behind in a released one.
    out->assign(static_cast<std::size_t>(size), '\0');
    file.seekg(0);
    if (!file.read(out->data(), size)) {
        *why = path + ": read error";
        return false;
    }
    return true;
}

// DER walking for the subject: a tag, a length and the content's range.
struct Der {
    const uint8_t* at;
    const uint8_t* end;

    bool next(uint8_t* tag, Der* content) {
        if (end - at < 2) {
            return false;
        }
        *tag = at[0];
        std::size_t length = at[1];
        const uint8_t* p = at + 2;
        if (length & 0x80) {
            const std::size_t count = length & 0x7F;
            if (count == 0 || count > 3 || static_cast<std::size_t>(end - p) < count) {
                return false;
            }
            length = 0;
            for (std::size_t i = 0; i < count; ++i) {
                length = length << 8 | *p++;
            }
        }
        if (static_cast<std::size_t>(end - p) < length) {
            return false;
        }
        *content = {p, p + length};
        at = p + length;
        return true;
    }
};

std::string attributeName(const Der& oid) {
    static const struct {
        uint8_t last;
        const char* name;
    } NAMES[] = {{3, "CN"}, {6, "C"}, {7, "L"}, {8, "ST"}, {10, "O"}, {11, "OU"}};
    // 2.5.4.x is 55 04 x.
    if (oid.end - oid.at == 3 && oid.at[0] == 0x55 && oid.at[1] == 0x04) {
        for (const auto& entry : NAMES) {
            if (entry.last == oid.at[2]) {
                return entry.name;
            }
        }
    }
    return "OID";
}

}  // namespace

bool seedLibrary(const GlobalConfig& global) {
    if (!global.seed.empty()) {
        std::error_code error;
        const std::string absolute = std::filesystem::absolute(global.seed, error).string();
        struct stat info {};
        if (error || lstat(absolute.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
            std::fprintf(stderr, "vcgate: %s: not a regular file\n", global.seed.c_str());
            return false;
        }
        if (!vn::Result(vcInitialize(nullptr, nullptr, nullptr, nullptr, absolute.c_str())).ok()) {
            std::fprintf(stderr, "vcgate: %s: the library refused the seed\n", global.seed.c_str());
            return false;
        }
        return true;
    }
    // The library reads its seed from a file only: a private directory holds
    // fresh operating-system bytes for the moment it takes to read them.
    std::error_code error;
    std::string directory =
        (std::filesystem::temp_directory_path(error) / "vcgate-seed-XXXXXX").string();
    if (error || mkdtemp(directory.data()) == nullptr) {
        std::fprintf(stderr, "vcgate: cannot make a private directory for the seed\n");
        return false;
    }
    const std::string path = directory + "/seed";
    std::array<uint8_t, SEED_BYTES> seed{};
    bool seeded = false;
    if (fillFromOs(seed.data(), seed.size()) && replaceFile(path, seed.data(), seed.size())) {
        seeded = vn::initializeFromSeedFile(path.c_str()).ok();
    }
    wipe(seed.data(), seed.size());
    std::filesystem::remove_all(directory, error);
    if (!seeded) {
        std::fprintf(stderr, "vcgate: the library refused the operating system's seed\n");
    }
    return seeded;
}

bool refreshSeedFile(const std::string& path, const vn::Context& probe) {
    // The public interface shows pool bytes in one place: the 32-byte random
    // of a client's hello (after the 2-byte length, type, version and
    // mask). Sixteen hellos give a full seed; operating-system bytes mixed
    // in keep it good should either source be weak.
    std::array<uint8_t, SEED_BYTES> seed{};
    std::array<uint8_t, vn::HANDSHAKE_OUTPUT_SIZE> output{};
    if (!fillFromOs(seed.data(), seed.size())) {
        return false;
    }
    constexpr std::size_t RANDOM_AT = 7, RANDOM_BYTES = 32;
    for (std::size_t filled = 0; filled < SEED_BYTES; filled += RANDOM_BYTES) {
        auto [result, connection] = vn::Connection::create(probe, "seed");
        const vn::HandshakeStep step = result.ok()
                                           ? connection.handshake({}, output)
                                           : vn::HandshakeStep{vn::Progress::Failed, result, {}, 0};
        if (step.progress != vn::Progress::Send || step.toSend.size() < RANDOM_AT + RANDOM_BYTES) {
            std::fprintf(stderr, "vcgate: %s: cannot draw from the pool\n", path.c_str());
            wipe(seed.data(), seed.size());
            return false;
        }
        for (std::size_t i = 0; i < RANDOM_BYTES; ++i) {
            seed[filled + i] ^= step.toSend[RANDOM_AT + i];
        }
    }
    const bool replaced = replaceFile(path, seed.data(), seed.size());
    wipe(seed.data(), seed.size());
    wipe(output.data(), output.size());
    return replaced;
}

vn::Context loadContext(const Config& config, const ServiceConfig& service, std::string* why) {
    std::string certificate, key, passPhrase;
    std::vector<std::string> cas(service.cas.size());
    auto read = [&](const std::string& file, const char* setting, std::string* out) {
        if (file.empty() || readFile(file, out, why)) {
            return true;
        }
        *why = where(config, service, setting) + ": " + *why;
        return false;
    };
    bool ok = read(service.certificate, "cert", &certificate) && read(service.key, "key", &key) &&
              read(service.passPhraseFile, "pass-phrase-file", &passPhrase);
    for (std::size_t i = 0; ok && i < cas.size(); ++i) {
        ok = read(service.cas[i], "ca", &cas[i]);
    }
    vn::Context context;
    if (ok) {
        // Only the pass phrase's first line counts, as vctool reads it.
        passPhrase.resize(std::min(passPhrase.size(), passPhrase.find_first_of("\r\n")));
        const std::vector<std::string_view> caViews(cas.begin(), cas.end());
        vn::ContextSettings settings;
        settings.role = service.mode == Mode::Client ? vn::Role::Client : vn::Role(service.role);
        if (!certificate.empty()) {
            settings.certificate = certificate;
            settings.privateKey = vn::PrivateKeyText{key, passPhrase};
        }
        settings.caCertificates = caViews;
        settings.callback = certificateSeen;
        settings.cipherMask = service.ciphers;
        auto created = vn::Context::create(settings);
        if (!created.result.ok()) {
            // The codes name the credential at fault; say which of ours.
            const int32_t code = created.result.code();
            const char* setting =
                code == VC_CA_CERTIFICATES_BAD || code == VC_NO_CA_CERTIFICATES ? "ca"
                : code == VC_PASSPHRASE_BAD                                     ? "pass-phrase-file"
                : code == VC_PRIVATE_KEY_BAD || code == VC_KEY_CERT_MISMATCH    ? "key"
                                                                                : "cert";
            *why = where(config, service, setting) + ": " + created.result.text();
        }
        context = std::move(created.value);
    }
    wipe(&key);
    wipe(&passPhrase);
    return context;
}

vn::Context probeContext(const ServiceConfig& service) {
    std::string ca, why;
    if (service.cas.empty() || !readFile(service.cas.front(), &ca, &why)) {
        return {};
    }
    const std::string_view cas[] = {ca};
    vn::ContextSettings settings;
    settings.caCertificates = cas;
    return vn::Context::create(settings).value;
}

std::string subjectText(const uint8_t* der, std::size_t length) {
    // Certificate { TBSCertificate { [0] version?, serial, signature,
    // issuer, validity, subject, ... } ... }
    Der whole{der, der + length}, certificate, tbs, item;
    uint8_t tag = 0;
    if (!whole.next(&tag, &certificate) || !certificate.next(&tag, &tbs)) {
        return "(unreadable)";
    }
    int index = 0;
    Der subject{nullptr, nullptr};
    while (tbs.next(&tag, &item)) {
        if (index == 0 && tag == 0xA0) {
            continue;  // the version, present from v2 on
        }
        if (index++ == 4) {
            subject = item;
            break;
        }
    }
    std::string text;
    Der set, attribute, oid, value;
    while (subject.at != nullptr && subject.next(&tag, &set)) {
        while (set.next(&tag, &attribute)) {
            if (!attribute.next(&tag, &oid) || !attribute.next(&tag, &value)) {
                return "(unreadable)";
            }
            text += (text.empty() ? "" : ", ") + attributeName(oid) + "=";
            for (const uint8_t* p = value.at; p < value.end; ++p) {
                // Keep the log line one line, and its quoting intact.
                if (*p < 0x20 || *p == 0x7F || *p == '"' || *p == '\\') {
                    char escaped[8];
                    std::snprintf(escaped, sizeof(escaped), "\\x%02X", *p);
                    text += escaped;
                } else {
                    text += static_cast<char>(*p);
                }
            }
        }
    }
    return subject.at == nullptr ? "(unreadable)" : text;
}

namespace {
std::mutex logMutex;
int logFd = STDERR_FILENO;
}  // namespace

bool reopenLog(const std::string& path) {
    if (path.empty()) {
        return true;
    }
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
    if (fd < 0) {
        logLine("vcgate: " + path + ": " + std::strerror(errno) + "; logging goes on as before");
        return false;
    }
    std::lock_guard<std::mutex> lock(logMutex);
    if (logFd != STDERR_FILENO) {
        close(logFd);
    }
    logFd = fd;
    return true;
}

void logLine(const std::string& line) {
    const std::string whole = line + "\n";
    std::lock_guard<std::mutex> lock(logMutex);
    std::size_t done = 0;
    while (done < whole.size()) {
        const ssize_t n = write(logFd, whole.data() + done, whole.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

std::string timestamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const long millis = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[96];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
    return text;
}

}  // namespace vcgate
