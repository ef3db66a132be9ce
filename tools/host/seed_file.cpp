#include "seed_file.h"

#include <cstring>

#include "platform.h"

namespace vchost {
namespace {

constexpr std::size_t SEED_BYTES = 512;
// A client hello: its 2-byte length, type, version, cipher mask, and the
// client's 32 random bytes last.
constexpr uint32_t HELLO_LENGTH = 39;
constexpr uint32_t HELLO_RANDOM = 32;

// size bytes from the library's generator. A host reaches the generator
// only through what the library sends, and every client hello carries 32
// bytes fresh from it; hellos that are never sent commit nobody to
// anything.
bool drawFromGenerator(const Library& library, const std::string& ca, uint8_t* out,
                       std::size_t size) {
    const PemInput caInput{ca.data(), static_cast<uint32_t>(ca.size())};
    VcContext* context = nullptr;
    bool drawn = library.createContext(nullptr, nullptr, &caInput, 1, nullptr, VC_CIPHER_RC4_128,
                                       ROLE_CLIENT, &context) == VC_OK;
    for (std::size_t filled = 0; drawn && filled < size; filled += HELLO_RANDOM) {
        VcConnection* connection = nullptr;
        uint8_t hello[HELLO_LENGTH] = {};
        uint32_t none = 0;
        uint32_t length = 0;
        drawn = library.createConnection(context, "seed", 0, &connection) == VC_OK &&
                library.handshake(nullptr, &none, hello, &length, connection) == VC_SEND_DATA &&
                length == HELLO_LENGTH;
        if (drawn) {
            std::memcpy(out + filled, hello + HELLO_LENGTH - HELLO_RANDOM,
                        size - filled < HELLO_RANDOM ? size - filled : HELLO_RANDOM);
        }
        std::memset(hello, 0, sizeof(hello));
        library.destroyConnection(connection);
    }
    library.destroyContext(context);
    return drawn;
}

}  // namespace

int32_t initialiseFromSeedFile(const Library& library, const std::string& path,
                               const std::string& ca, std::string* error) {
    std::string absolute;
    intptr_t held = 0;
    if (!absolutePath(path, &absolute)) {
        *error = "--seed " + path + ": no such file";
        return VC_INITIALIZATION_FAILED;
    }
    if (!holdSeedFile(absolute, &held, error)) {
        return VC_INITIALIZATION_FAILED;
    }
    int32_t result = library.initialize(nullptr, nullptr, nullptr, nullptr, absolute.c_str());
    if (result == VC_OK) {
        uint8_t seed[SEED_BYTES];
        *error = "--seed " + path + ": no bytes from the generator";
        const bool renewed = drawFromGenerator(library, ca, seed, sizeof(seed)) &&
                             replaceFile(absolute, seed, sizeof(seed), error);
        std::memset(seed, 0, sizeof(seed));
        if (!renewed) {
            // Going on would leave the next start from this file the same
            // generator.
            library.terminate();
            result = VC_INITIALIZATION_FAILED;
        }
    }
    releaseSeedFile(held);
    return result;
}

}  // namespace vchost
