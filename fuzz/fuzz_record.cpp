// Records on a channel with known keys. A sending channel of the other role
// shares the receiver's randoms and master secret, so the input can carry
// genuine records (sealed by that peer, which must open to exactly what was
// sealed), genuine records with one byte of the body changed (which must be
// refused), and raw bytes as a record. After a refusal the connection is
// over, as it is for a host, so the run ends there.
//
// Input: a first byte choosing the suite (bit 0), the receiver's role
// (bit 1) and which triple-DES decryption kernels are barred (bits 2 and
// up, by their bit in the kernel mask: the portable path always remains),
// then chunks: a mode byte (0 genuine, 1 changed, else raw), two
// bytes of length, that many bytes (the payload, or the raw record).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "crypto/des.h"
#include "protocol/channel.h"
#include "protocol/record.h"
#include "support.h"
#include "veilcastnet.h"

using fuzzsupport::Reader;

namespace {

void makeChannel(vc::Channel* channel, uint32_t isServer, uint32_t suite) {
    static const uint8_t masterSecret[24] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12,
                                             13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24};
    static const uint8_t iv[8] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7};
    vc::Credentials credentials{};
    credentials.isServer = isServer;
    credentials.cipherMask = 1u << suite;
    vc::channelInit(channel, &credentials, "peer.example", 0);
    channel->suite = suite;
    for (uint8_t i = 0; i < 32; ++i) {
        channel->clientRandom[i] = i;
        channel->serverRandom[i] = static_cast<uint8_t>(0x80 | i);
    }
    vc::deriveKeys(channel, masterSecret, iv);
    channel->state = vc::HandshakeState::Complete;
}

// A record sealed by the sender: exactly the bytes on the wire.
std::vector<uint8_t> sealed(vc::Channel* sender, const uint8_t* payload, size_t length) {
    std::vector<uint8_t> wire(vc::RECORD_HEADER + length + 8);
    uint32_t taken = 0;
    uint32_t written = 0;
    const int32_t result =
        vc::recordSealData(payload, static_cast<uint32_t>(length), wire.data(),
                           static_cast<uint32_t>(wire.size()), sender, &taken, &written);
    FUZZ_REQUIRE(result == VC_SEND_DATA && taken == length && written <= wire.size());
    wire.resize(written);
    return wire;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::resetRandomPool();
    Reader in(data, size);
    const uint8_t setup = in.byte();
    const uint32_t suite = setup & 1u;
    const uint32_t receiverIsServer = (setup >> 1) & 1u;
    vc::desAllowKernels(~static_cast<uint32_t>(setup >> 2) & vc::DES_KERNELS_ALL);
    static vc::Channel receiver;
    static vc::Channel sender;
    makeChannel(&receiver, receiverIsServer, suite);
    makeChannel(&sender, receiverIsServer ^ 1u, suite);

    while (in.left() > 0) {
        const uint8_t mode = in.byte();
        size_t length = 0;
        const uint8_t* chunk = in.take(in.u16(), &length);
        std::vector<uint8_t> wire = mode <= 1 ? sealed(&sender, chunk, length)
                                              : std::vector<uint8_t>(chunk, chunk + length);
        bool changed = false;
        if (mode == 1 && wire.size() > 2) {
            // Which byte of the body, and how, from the payload's first byte.
            const size_t at = 2 + (length > 0 ? chunk[0] : 0) % (wire.size() - 2);
            wire[at] ^= static_cast<uint8_t>(length > 1 ? chunk[1] | 1 : 1);
            changed = true;
        }
        auto wireLength = static_cast<uint32_t>(wire.size());
        std::vector<uint8_t> output(wire.size());
        uint32_t outputLength = 0;
        const int32_t result = vc::recordOpenData(wire.empty() ? nullptr : wire.data(), &wireLength,
                                                  output.data(), &outputLength, &receiver);
        if (mode == 0) {
            FUZZ_REQUIRE(result == VC_OK && wireLength == 0 && outputLength == length);
            FUZZ_REQUIRE(length == 0 || std::memcmp(output.data(), chunk, length) == 0);
            continue;
        }
        if (changed) {
            FUZZ_REQUIRE(result == VC_DECRYPTION_FAILED);
        }
        if (result == VC_OK) {
            FUZZ_REQUIRE(outputLength + vc::RECORD_HEADER <= wire.size());
            // What was consumed is zeroed: only what followed the record stays.
            for (uint32_t i = wireLength; i < wire.size(); ++i) {
                FUZZ_REQUIRE(wire[i] == 0);
            }
            continue;
        }
        FUZZ_REQUIRE(outputLength == 0);
        if (result == VC_DECRYPTION_FAILED) {
            break;  // the host destroys the connection
        }
        FUZZ_REQUIRE(result == VC_RECEIVE_MORE_DATA && wireLength == wire.size());
    }
    vc::channelWipe(&receiver);
    vc::channelWipe(&sender);
    return 0;
}
