// vcgate: the gateway's configuration, credentials and the pieces main()
// puts together. A service is one accept/connect pair; the gateway runs many
// from one process. Nothing here touches the library's internals: only
// veilcastnet.hpp and the asio adapter.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "veilcastnet.hpp"

namespace vcgate {

namespace vn = veilcastnet;

enum class Mode { None, Server, Client };

// One service as configured. Every key keeps the line it came from, so that
// a problem found after parsing (an unreadable certificate) still points at
// the line that named it.
struct ServiceConfig {
    std::string name;
    int line = 0;  // of the [section]; 0 on the command line
    Mode mode = Mode::None;
    std::string acceptHost, acceptPort;
    std::string connectHost, connectPort;
    std::string certificate, key, passPhraseFile;
    std::vector<std::string> cas;
    std::string serviceName;  // what a client expects of the server's certificate
    uint32_t role = ROLE_SERVER;
    uint32_t ciphers = VC_CIPHER_RC4_128 | VC_CIPHER_DES_EDE3_CBC;
    uint32_t maxConnections = 0;  // 0: only the descriptor limit
    double handshakeTimeout = 10;
    double idleTimeout = 300;
    double connectTimeout = 10;
    std::map<std::string, int> lines;
};

struct GlobalConfig {
    unsigned threads = 0;  // 0: one per core
    std::string seed;      // empty: seed from the operating system
    std::string log;       // empty: standard error
    double stats = 0;      // seconds between counter lines; 0: none
    double grace = 30;     // seconds open connections get after SIGTERM
};

struct Config {
    std::string source;  // the config file, or empty for the command line
    GlobalConfig global;
    std::vector<ServiceConfig> services;
};

// Reads the command line (and the config file it names). On a problem
// prints "vcgate: FILE:LINE: KEY: why" (or "vcgate: --KEY: why") and answers
// false. helpAsked is set for --help, versionAsked for --version.
bool parseCommandLine(int argc, char** argv, Config* config, bool* helpAsked, bool* versionAsked);
void printUsage();

// Where a service's key was set, for messages: "FILE:LINE: key" or "--key".
std::string where(const Config& config, const ServiceConfig& service, const std::string& key);

// Seeds the library: from a fresh operating-system seed, or from the seed
// file, which must be a regular file. False (and a message) on failure.
bool seedLibrary(const GlobalConfig& global);
// Rewrites the seed file (temp file + rename) with bytes drawn from the
// seeded pool, mixed with fresh operating-system bytes, so that no seed is
// ever used twice. probe is any client context.
bool refreshSeedFile(const std::string& path, const vn::Context& probe);

// What a connection learned of its peer's certificate during the handshake.
struct PeerCertificate {
    uint32_t cipherMask = 0;  // the agreed suite bit; 0 when no callback came
    std::string subject;
    std::string md5;
};

// The certificate callback of every context: userValue selects the slot of
// the connection whose handshake is running (see relay.cpp).
int32_t VC_API certificateSeen(const uint8_t* der, uint32_t derLength, uint32_t userValue,
                               uint32_t verifyFlags, uint32_t cipherMask, const uint8_t* md5);

// A service's context, made from its files. On failure *why says what and
// where, and the context is empty.
vn::Context loadContext(const Config& config, const ServiceConfig& service, std::string* why);
// A client context trusting the first service's first CA, for drawing the
// pool's bytes through hello randoms.
vn::Context probeContext(const ServiceConfig& service);

// "C=DE, O=..., CN=..." of a DER certificate; "(unreadable)" when it does not parse.
std::string subjectText(const uint8_t* der, std::size_t length);

// One line to the log (standard error or the --log file), whole, from any
// thread. reopenLog answers false (and keeps the old file) when it cannot open.
void logLine(const std::string& line);
bool reopenLog(const std::string& path);
std::string timestamp();

}  // namespace vcgate
