// The command line of the TCP endpoints, vctool's server and client and
// vchost's: one option table for both programs, so that either reads a
// command line as the other does. Portable, since vchost is also built for
// Windows; each program keeps its own wording of what it refuses.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "veilcastnet.h"

namespace vcoptions {

constexpr uint32_t BOTH_SUITES = VC_CIPHER_RC4_128 | VC_CIPHER_DES_EDE3_CBC;

struct EndpointOptions {
    bool server = false;
    std::string host;
    std::string port = "4433";
    std::string certificate;
    std::string key;
    std::string passPhraseFile;
    std::vector<std::string> cas;
    std::string name;
    std::string seed;
    bool gather = false;  // vctool only: seed through the library's window instead
    // vctool only: seconds allowed to connect, to finish the handshake and
    // for any idle stretch; 0 for the defaults (30 s, 30 s, no idle limit).
    double timeoutSeconds = 0;
    uint32_t ciphers = BOTH_SUITES;
    uint32_t role = ROLE_SERVER;
};

// An option of the table: each takes a value; `server`/`client` say where it
// is allowed.
struct OptionRule {
    const char* name;
    bool server;
    bool client;
    bool (*apply)(EndpointOptions*, const char*);
    const char* expected;  // what apply accepts, for when it refuses a value
};

// The rule for the option on this side of the connection, or null.
const OptionRule* findOptionRule(const EndpointOptions& options, const char* name);

// Why the options cannot work together, or null; withoutCa is the reason
// when no --ca was given. When they can, the client's host and service
// name are filled in where they were left out.
const char* combinationProblem(EndpointOptions* options, const char* withoutCa);

}  // namespace vcoptions
