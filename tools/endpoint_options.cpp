#include "endpoint_options.h"

#include <cstdlib>
#include <cstring>

namespace vcoptions {
namespace {

// rc4, des, both, or a mask from 1 to 3.
bool parseCiphers(EndpointOptions* options, const char* value) {
    struct Named {
        const char* name;
        uint32_t mask;
    };
    constexpr Named NAMES[] = {
        {"rc4", VC_CIPHER_RC4_128}, {"des", VC_CIPHER_DES_EDE3_CBC}, {"both", BOTH_SUITES}};
    for (const Named& named : NAMES) {
        if (std::strcmp(value, named.name) == 0) {
            options->ciphers = named.mask;
            return true;
        }
    }
    char* end = nullptr;
    const unsigned long number = std::strtoul(value, &end, 0);
    options->ciphers = static_cast<uint32_t>(number);
    return *value != '\0' && *end == '\0' && number >= 1 && number <= BOTH_SUITES;
}

// server, or auth-client for a server that asks for a client certificate.
bool parseRole(EndpointOptions* options, const char* value) {
    const bool authClient = std::strcmp(value, "auth-client") == 0;
    options->role = authClient ? uint32_t{ROLE_SERVER_AUTH_CLIENT} : uint32_t{ROLE_SERVER};
    return authClient || std::strcmp(value, "server") == 0;
}

using O = EndpointOptions;
constexpr OptionRule RULES[] = {
    {"--cert", true, true, [](O* o, const char* v) { return o->certificate = v, true; }, ""},
    {"--key", true, true, [](O* o, const char* v) { return o->key = v, true; }, ""},
    {"--pass-phrase-file", true, true,
     [](O* o, const char* v) { return o->passPhraseFile = v, true; }, ""},
    {"--ca", true, true, [](O* o, const char* v) { return o->cas.push_back(v), true; }, ""},
    {"--ciphers", true, true, parseCiphers, "rc4, des, both or a mask from 1 to 3"},
    {"--role", true, false, parseRole, "auth-client or server"},
    {"--name", false, true, [](O* o, const char* v) { return o->name = v, true; }, ""},
    {"--host", true, true, [](O* o, const char* v) { return o->host = v, true; }, ""},
    {"--port", true, true, [](O* o, const char* v) { return o->port = v, true; }, ""},
    {"--seed", true, true, [](O* o, const char* v) { return o->seed = v, true; }, ""},
};

}  // namespace

const OptionRule* findOptionRule(const EndpointOptions& options, const char* name) {
    for (const OptionRule& rule : RULES) {
        if (std::strcmp(name, rule.name) == 0 && (options.server ? rule.server : rule.client)) {
            return &rule;
        }
    }
    return nullptr;
}

const char* combinationProblem(EndpointOptions* options, const char* withoutCa) {
    if (options->server && (options->certificate.empty() || options->key.empty())) {
        return "a server needs --cert and --key";
    }
    if (options->certificate.empty() != options->key.empty()) {
        return "--cert and --key go together";
    }
    if (options->gather && !options->seed.empty()) {
        return "--seed and --gather exclude each other";
    }
    if (options->cas.empty()) {
        // The library wants trusted CAs in every context, a server's too.
        return withoutCa;
    }
    if (!options->server && options->host.empty()) {
        options->host = "localhost";
    }
    if (!options->server && options->name.empty()) {
        options->name = options->host;
    }
    return nullptr;
}

}  // namespace vcoptions
