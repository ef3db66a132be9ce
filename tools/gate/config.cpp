// The gateway's command line and config file: one table of keys read both
// ways, so that a long option and a config line mean the same. A problem
// names its file, line and key, and nothing starts.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>

#include "gate.h"

namespace vcgate {
namespace {

bool parseSeconds(const std::string& text, double* out) {
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    *out = value;
    return !text.empty() && *end == '\0' && errno == 0 && std::isfinite(value) && value > 0 &&
           value <= 1e6;
}

bool parseCount(const std::string& text, uint32_t max, uint32_t* out) {
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text.c_str(), &end, 10);
    *out = static_cast<uint32_t>(value);
    return !text.empty() && text[0] != '-' && *end == '\0' && errno == 0 && value <= max;
}

// host:port, [v6]:port, or :port for every address.
bool parseAddress(const std::string& text, std::string* host, std::string* port) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 == text.size()) {
        return false;
    }
    std::string h = text.substr(0, colon);
    if (h.size() >= 2 && h.front() == '[' && h.back() == ']') {
        h = h.substr(1, h.size() - 2);
    }
    uint32_t number = 0;
    if (!parseCount(text.substr(colon + 1), 65535, &number)) {
        return false;
    }
    *host = h;
    *port = text.substr(colon + 1);
    return true;
}

using Apply = bool (*)(Config*, ServiceConfig*, const std::string&);

struct Key {
    const char* name;
    bool global;
    Apply apply;
    const char* expected;
};

constexpr Key KEYS[] = {
    {"threads", true,
     [](Config* c, ServiceConfig*, const std::string& v) {
         uint32_t n = 0;
         return parseCount(v, 1024, &n) && n > 0 && (c->global.threads = n, true);
     },
     "a number of threads from 1 to 1024"},
    {"seed", true,
     [](Config* c, ServiceConfig*, const std::string& v) { return c->global.seed = v, !v.empty(); },
     "a seed file"},
    {"log", true,
     [](Config* c, ServiceConfig*, const std::string& v) { return c->global.log = v, !v.empty(); },
     "a log file"},
    {"stats", true,
     [](Config* c, ServiceConfig*, const std::string& v) {
         return parseSeconds(v, &c->global.stats);
     },
     "seconds between counter lines"},
    {"grace", true,
     [](Config* c, ServiceConfig*, const std::string& v) {
         return parseSeconds(v, &c->global.grace);
     },
     "seconds"},
    {"mode", false,
     [](Config*, ServiceConfig* s, const std::string& v) {
         s->mode = v == "server" ? Mode::Server : v == "client" ? Mode::Client : Mode::None;
         return s->mode != Mode::None;
     },
     "server or client"},
    {"accept", false,
     [](Config*, ServiceConfig* s, const std::string& v) {
         return parseAddress(v, &s->acceptHost, &s->acceptPort);
     },
     "HOST:PORT"},
    {"connect", false,
     [](Config*, ServiceConfig* s, const std::string& v) {
         return parseAddress(v, &s->connectHost, &s->connectPort) && s->connectPort != "0" &&
                !s->connectHost.empty();
     },
     "HOST:PORT"},
    {"cert", false,
     [](Config*, ServiceConfig* s, const std::string& v) { return s->certificate = v, !v.empty(); },
     "a certificate file"},
    {"key", false,
     [](Config*, ServiceConfig* s, const std::string& v) { return s->key = v, !v.empty(); },
     "a key file"},
    {"pass-phrase-file", false,
     [](Config*, ServiceConfig* s, const std::string& v) {
         return s->passPhraseFile = v, !v.empty();
     },
     "a file"},
    {"ca", false,
     [](Config*, ServiceConfig* s, const std::string& v) {
         return s->cas.push_back(v), !v.empty();
     },
     "a CA certificate file"},
    {"name", false,
     [](Config*, ServiceConfig* s, const std::string& v) { return s->serviceName = v, !v.empty(); },
     "the server certificate's commonName"},
    {"role", false,
     [](Config*, ServiceConfig* s, const std::string& v) {
         s->role = v == "auth-client" ? uint32_t{ROLE_SERVER_AUTH_CLIENT} : uint32_t{ROLE_SERVER};
         return v == "auth-client" || v == "server";
     },
     "auth-client or server"},
    {"ciphers", false,
     [](Config*, ServiceConfig* s, const std::string& v) {
         s->ciphers = v == "rc4" ? 1u : v == "des" ? 2u : v == "both" ? 3u : 0u;
         return s->ciphers != 0;
     },
     "rc4, des or both"},
    {"max-connections", false,
     [](Config*, ServiceConfig* s, const std::string& v) {
         return parseCount(v, 10000000, &s->maxConnections) && s->maxConnections > 0;
     },
     "a number from 1"},
    {"handshake-timeout", false,
     [](Config*, ServiceConfig* s, const std::string& v) {
         return parseSeconds(v, &s->handshakeTimeout);
     },
     "seconds"},
    {"idle-timeout", false,
     [](Config*, ServiceConfig* s, const std::string& v) {
         return parseSeconds(v, &s->idleTimeout);
     },
     "seconds"},
    {"connect-timeout", false,
     [](Config*, ServiceConfig* s, const std::string& v) {
         return parseSeconds(v, &s->connectTimeout);
     },
     "seconds"},
};

const Key* findKey(const std::string& name) {
    for (const Key& key : KEYS) {
        if (name == key.name) {
            return &key;
        }
    }
    return nullptr;
}

void complain(const std::string& place, const std::string& why) {
    std::fprintf(stderr, "vcgate: %s: %s\n", place.c_str(), why.c_str());
}

// Takes one key and value, for the command line (line 0) or a file line.
bool apply(Config* config, ServiceConfig* service, const std::string& name,
           const std::string& value, const std::string& place, int line) {
    const Key* key = findKey(name);
    if (key == nullptr) {
        complain(place, "unknown key");
        return false;
    }
    if (key->global && service != nullptr && line != 0) {
        complain(place, "a global key goes before the first [section]");
        return false;
    }
    if (!key->global && service == nullptr) {
        complain(place, "a service key goes inside a [section]");
        return false;
    }
    if (!key->apply(config, service, value)) {
        complain(place, "'" + value + "' is not " + key->expected);
        return false;
    }
    if (service != nullptr && !key->global) {
        service->lines[name] = line;
    }
    return true;
}

std::string trim(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

bool readConfigFile(const std::string& path, Config* config) {
    std::ifstream file(path);
    if (!file) {
        complain(path, std::strerror(errno));
        return false;
    }
    std::set<std::string> names;
    std::string text;
    ServiceConfig* service = nullptr;
    for (int line = 1; std::getline(file, text); ++line) {
        text = trim(text);
        const std::string at = path + ":" + std::to_string(line);
        if (text.empty() || text[0] == '#' || text[0] == ';') {
            continue;
        }
        if (text[0] == '[') {
            const std::string name = trim(text.substr(1, text.size() - 2));
            if (text.back() != ']' || name.empty() || !names.insert(name).second) {
                complain(at, "[" + name + "]: a section needs a name of its own");
                return false;
            }
            config->services.push_back({});
            service = &config->services.back();
            service->name = name;
            service->line = line;
            continue;
        }
        const std::size_t equals = text.find('=');
        const std::string key = trim(text.substr(0, equals));
        if (equals == std::string::npos) {
            complain(at + ": " + key, "expected KEY = VALUE");
            return false;
        }
        if (!apply(config, service, key, trim(text.substr(equals + 1)), at + ": " + key, line)) {
            return false;
        }
    }
    if (config->services.empty()) {
        complain(path, "no [section], so no service");
        return false;
    }
    return true;
}

// What a service's keys cannot do together, and the key at fault.
bool checkService(const Config& config, ServiceConfig* service) {
    auto problem = [&](const char* key, const char* why) {
        complain(where(config, *service, key), why);
        return false;
    };
    if (service->mode == Mode::None) {
        return problem("mode", "missing: server or client");
    }
    if (service->acceptPort.empty()) {
        return problem("accept", "missing: the HOST:PORT to accept on");
    }
    if (service->connectPort.empty()) {
        return problem("connect", "missing: the HOST:PORT to forward to");
    }
    const bool server = service->mode == Mode::Server;
    if (server && service->certificate.empty()) {
        return problem("cert", "a server needs cert and key");
    }
    if (service->certificate.empty() != service->key.empty()) {
        return problem(service->key.empty() ? "key" : "cert", "cert and key go together");
    }
    if (service->cas.empty()) {
        // The library wants trusted CAs in every context, a server's too.
        return problem("ca", "missing: at least one trusted CA certificate");
    }
    if (!server && service->lines.count("role") != 0) {
        return problem("role", "only a server asks for client certificates");
    }
    if (server && service->lines.count("name") != 0) {
        return problem("name", "only a client checks the server's name");
    }
    if (!server && service->serviceName.empty()) {
        service->serviceName = service->connectHost;
    }
    return true;
}

}  // namespace

std::string where(const Config& config, const ServiceConfig& service, const std::string& key) {
    if (config.source.empty()) {
        return "--" + key;
    }
    const auto line = service.lines.find(key);
    return config.source + ":" +
           std::to_string(line != service.lines.end() ? line->second : service.line) + ": [" +
           service.name + "] " + key;
}

void printUsage() {
    std::printf(
        "usage: vcgate --mode server --accept HOST:PORT --connect HOST:PORT --cert FILE --key "
        "FILE\n"
        "              --ca FILE [--pass-phrase-file FILE] [--role auth-client] [options]\n"
        "       vcgate --mode client --accept HOST:PORT --connect HOST:PORT --ca FILE\n"
        "              [--name NAME] [--cert FILE --key FILE] [options]\n"
        "       vcgate --config FILE [global options]\n"
        "service options: --ciphers rc4|des|both  --max-connections N  --handshake-timeout S\n"
        "                 --idle-timeout S  --connect-timeout S\n"
        "global options:  --threads N  --seed FILE  --log FILE  --stats S  --grace S\n"
        "A config file has global keys first, then one [section] per service with the\n"
        "service options as keys (KEY = VALUE, without the dashes).\n");
}

bool parseCommandLine(int argc, char** argv, Config* config, bool* helpAsked, bool* versionAsked) {
    ServiceConfig single;
    single.name = "vcgate";
    bool anyServiceKey = false;
    std::string configFile;
    // Global options on the command line win over the file's: applied last.
    std::vector<std::pair<std::string, std::string>> globals;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            *helpAsked = true;
            return true;
        }
        if (arg == "--version") {
            *versionAsked = true;
            return true;
        }
        if (arg.rfind("--", 0) != 0) {
            complain(arg, "not an option");
            return false;
        }
        std::string value;
        const std::size_t equals = arg.find('=');
        if (equals != std::string::npos) {
            value = arg.substr(equals + 1);
            arg = arg.substr(0, equals);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            complain(arg, "needs a value");
            return false;
        }
        const std::string name = arg.substr(2);
        if (name == "config") {
            configFile = value;
            continue;
        }
        const Key* key = findKey(name);
        if (key != nullptr && key->global) {
            globals.emplace_back(name, value);
            continue;
        }
        anyServiceKey = true;
        if (!apply(config, &single, name, value, arg, 0)) {
            return false;
        }
    }
    if (!configFile.empty()) {
        if (anyServiceKey) {
            complain("--config", "services come from the file; only global options go beside it");
            return false;
        }
        config->source = configFile;
        if (!readConfigFile(configFile, config)) {
            return false;
        }
    } else {
        config->services.push_back(std::move(single));
    }
    for (const auto& [name, value] : globals) {
        if (!apply(config, nullptr, name, value, "--" + name, 0)) {
            return false;
        }
    }
    for (ServiceConfig& service : config->services) {
        if (!checkService(*config, &service)) {
            return false;
        }
    }
    return true;
}

}  // namespace vcgate
