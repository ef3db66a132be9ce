// Arbitrary bytes from a peer, fed to a server channel the way a host
// would: call, drop what was consumed, call again. The channel must end
// with a result code, never a crash or a read outside the input.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "crypto/random_pool.h"
#include "protocol/channel.h"
#include "protocol/handshake.h"
#include "veilcastnet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool seeded = [] {
        uint8_t seed[255];
        for (int i = 0; i < 255; ++i) {
            seed[i] = static_cast<uint8_t>(i);
        }
        return vc::vcSeedCallback(seed, sizeof seed) < 0;
    }();
    (void)seeded;
    // A server without a usable key: every step before the key exchange
    // is reached, and the key exchange itself fails cleanly.
    static uint8_t certificate[64] = {0x30};
    vc::Credentials credentials{};
    credentials.ownCertificate = certificate;
    credentials.ownCertificateLength = sizeof(certificate);
    credentials.caCount = 0;
    credentials.isServer = 1;
    credentials.cipherMask = 3;
    vc::Channel channel;
    vc::channelInit(&channel, &credentials, "servicename unbestimmt", 0);
    std::vector<uint8_t> input(data, data + size);
    static uint8_t output[32768];
    auto inputLength = static_cast<uint32_t>(size);
    for (int step = 0; step < 16; ++step) {
        uint32_t outputLength = 0;
        const int32_t result = vc::handshakeStep(&channel, &credentials, input.data(), &inputLength,
                                                 output, &outputLength);
        if (outputLength > sizeof(output) || inputLength > size) {
            __builtin_trap();
        }
        if (result != VC_SEND_DATA) {
            break;
        }
    }
    vc::channelWipe(&channel);
    return 0;
}
