// The values the transport endpoints accept for --ciphers and --role,
// shared by vctool and vchost so that both read a command line alike.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "veilcastnet.h"

namespace vcoptions {

constexpr uint32_t BOTH_SUITES = VC_CIPHER_RC4_128 | VC_CIPHER_DES_EDE3_CBC;

// rc4, des, both, or a mask from 1 to 3.
inline bool parseCipherMask(const char* value, uint32_t* mask) {
    struct Named {
        const char* name;
        uint32_t mask;
    };
    constexpr Named NAMES[] = {
        {"rc4", VC_CIPHER_RC4_128}, {"des", VC_CIPHER_DES_EDE3_CBC}, {"both", BOTH_SUITES}};
    for (const Named& named : NAMES) {
        if (std::strcmp(value, named.name) == 0) {
            *mask = named.mask;
            return true;
        }
    }
    char* end = nullptr;
    const unsigned long number = std::strtoul(value, &end, 0);
    *mask = static_cast<uint32_t>(number);
    return *value != '\0' && *end == '\0' && number >= 1 && number <= BOTH_SUITES;
}

// server, or auth-client for a server that asks for a client certificate.
inline bool parseServerRole(const char* value, uint32_t* role) {
    const bool authClient = std::strcmp(value, "auth-client") == 0;
    *role = authClient ? uint32_t{ROLE_SERVER_AUTH_CLIENT} : uint32_t{ROLE_SERVER};
    return authClient || std::strcmp(value, "server") == 0;
}

}  // namespace vcoptions
