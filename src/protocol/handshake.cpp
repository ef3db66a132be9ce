// The handshake state machine: framing (plain before the key exchange,
// sealed records after it), the order of messages for each role, and the
// reply built in place in the host's output buffer.
#include "protocol/handshake.h"

#include <cstring>

#include "protocol/messages.h"
#include "protocol/record.h"
#include "support/bytes.h"
#include "support/secure_wipe.h"

namespace vc {
namespace {

// Where a message starts inside a buffer: after the length field, and
// after the MAC and padding count too once records are sealed.
constexpr uint32_t PLAIN_OFFSET = 2;
constexpr uint32_t SEALED_OFFSET = RECORD_HEADER;

using State = HandshakeState;

int32_t serverStep(Channel* channel, const Credentials* credentials, const uint8_t* message,
                   uint32_t length, uint8_t* reply, uint32_t* replyLength) noexcept {
    int32_t result = VC_CONNECTION_CLOSED;
    switch (channel->state) {
        case State::Start:
            result = readClientHello(channel, message, length);
            if (result == VC_OK) {
                result = buildServerHello(channel, credentials, reply, replyLength);
                channel->state = State::ServerAwaitKeyExchange;
            }
            break;
        case State::ServerAwaitKeyExchange: {
            uint8_t masterSecret[24];
            uint8_t iv[8];
            const WipeOnExit wipeSecret(masterSecret);
            const WipeOnExit wipeIv(iv);
            result = readKeyExchange(channel, credentials, message, length, masterSecret, iv);
            if (result == VC_OK) {
                channel->encryptionOn = 1;
                deriveKeys(channel, masterSecret, iv);
                *replyLength = buildEcho(SERVER_VERIFY, channel->clientRandom, reply);
                channel->state = State::ServerAwaitClientFinished;
            }
            break;
        }
        case State::ServerAwaitClientFinished:
            result = readEcho(CLIENT_FINISHED, channel->serverRandom, message, length);
            if (result == VC_OK && credentials->requestClientCertificate != 0) {
                result = buildCertificateRequest(channel, reply, replyLength);
                channel->state = State::ServerAwaitClientCertificate;
            } else if (result == VC_OK) {
                result = buildServerFinished(reply, replyLength);
                channel->state = State::Complete;
            }
            break;
        case State::ServerAwaitClientCertificate:
            result = readClientCertificate(channel, credentials, message, length);
            if (result == VC_OK) {
                result = buildServerFinished(reply, replyLength);
                channel->state = State::Complete;
            }
            break;
        default:
            break;
    }
    return result;
}

int32_t clientStep(Channel* channel, const Credentials* credentials, const uint8_t* message,
                   uint32_t length, uint8_t* reply, uint32_t* replyLength) noexcept {
    int32_t result = VC_CONNECTION_CLOSED;
    switch (channel->state) {
        case State::ClientAwaitServerHello: {
            Certificate server;
            result = readServerHello(channel, credentials, message, length, &server);
            if (result == VC_OK) {
                result = buildKeyExchange(channel, &server, reply, replyLength);
                channel->state = State::ClientAwaitServerVerify;
            }
            break;
        }
        case State::ClientAwaitServerVerify:
            result = readEcho(SERVER_VERIFY, channel->clientRandom, message, length);
            if (result == VC_OK) {
                *replyLength = buildEcho(CLIENT_FINISHED, channel->serverRandom, reply);
                channel->state = State::ClientAwaitFinishOrRequest;
            }
            break;
        case State::ClientAwaitFinishOrRequest:
            if (isServerFinished(message, length)) {
                result = VC_OK;
                channel->state = State::Complete;
                break;
            }
            result = readCertificateRequest(channel, credentials, message, length);
            if (result == VC_OK) {
                result = buildClientCertificate(channel, credentials, reply, replyLength);
                channel->state = State::ClientAwaitFinished;
            }
            break;
        case State::ClientAwaitFinished:
            if (isServerFinished(message, length)) {
                result = VC_OK;
                channel->state = State::Complete;
            }
            break;
        default:
            break;
    }
    return result;
}

// Whether this step answers the message: every server step does, a client
// step all but the one that takes SERVER_FINISHED. A message that fits no
// step is refused by the step itself.
bool stepReplies(const Channel* channel, const uint8_t* message, uint32_t length) noexcept {
    return channel->isServer != 0 || channel->state == State::ClientAwaitServerHello ||
           channel->state == State::ClientAwaitServerVerify ||
           (channel->state == State::ClientAwaitFinishOrRequest &&
            !isServerFinished(message, length));
}

// The 2-byte length in front of a handshake message; lengths are capped
// well below 65536.
void putLength(uint8_t* out, uint32_t length) noexcept {
    storeBe16(out, static_cast<uint16_t>(length));
}

}  // namespace

int32_t handshakeStep(Channel* channel, const Credentials* credentials, uint8_t* input,
                      uint32_t* inputLength, uint8_t* output, uint32_t* outputLength) noexcept {
    *outputLength = 0;
    if (channel->state == State::Complete) {
        return VC_OK;
    }
    if (channel->isServer == 0 && channel->state == State::Start) {
        // The client speaks first and does not look at its input.
        if (output == nullptr) {
            return VC_CONNECTION_CLOSED;
        }
        uint32_t length = 0;
        const int32_t result = buildClientHello(channel, output + PLAIN_OFFSET, &length);
        if (result != VC_OK) {
            return result;
        }
        putLength(output, length);
        *outputLength = length + PLAIN_OFFSET;
        channel->state = State::ClientAwaitServerHello;
        return VC_SEND_DATA;
    }
    if (input == nullptr || inputLength == nullptr || *inputLength < 2) {
        return VC_RECEIVE_MORE_DATA;
    }
    const uint32_t recordLength = loadBe16(input);
    if (recordLength > HANDSHAKE_LENGTH_MAX) {
        return VC_CONNECTION_CLOSED;
    }
    if (recordLength > *inputLength - 2) {
        return VC_RECEIVE_MORE_DATA;
    }
    uint32_t messageLength = recordLength;
    uint32_t offset = PLAIN_OFFSET;
    if (channel->encryptionOn != 0) {
        const int32_t opened = openRecord(input + 2, recordLength, &channel->read);
        if (opened < 0) {
            return VC_DECRYPTION_FAILED;
        }
        messageLength = static_cast<uint32_t>(opened);
        offset = SEALED_OFFSET;
    }
    // A host that gave no output buffer is refused only when a reply is due.
    if (output == nullptr && stepReplies(channel, input + offset, messageLength)) {
        return VC_CONNECTION_CLOSED;
    }
    uint8_t* reply = output != nullptr ? output + offset : nullptr;
    uint32_t replyLength = 0;
    const int32_t result =
        channel->isServer != 0
            ? serverStep(channel, credentials, input + offset, messageLength, reply, &replyLength)
            : clientStep(channel, credentials, input + offset, messageLength, reply, &replyLength);
    if (result != VC_OK) {
        return result;
    }
    if (replyLength > 0) {
        uint32_t sent = replyLength;
        if (channel->encryptionOn != 0) {
            if (offset == PLAIN_OFFSET) {
                // The server turns encryption on while reading the plain key
                // exchange: its SERVER_VERIFY moves to where a sealed
                // payload starts.
                std::memmove(output + SEALED_OFFSET, reply, replyLength);
                reply = output + SEALED_OFFSET;
            }
            sent = sealRecord(reply, replyLength, &channel->write);
        }
        putLength(output, sent);
        *outputLength = sent + 2;
    }
    consumeInput(input, *inputLength, recordLength + 2);
    *inputLength -= recordLength + 2;
    if (channel->isServer == 0 && channel->state == State::ClientAwaitServerVerify) {
        // The key exchange went out in plain; everything after it is sealed.
        channel->encryptionOn = 1;
    }
    if (channel->isServer == 0 && channel->state == State::Complete) {
        return VC_OK;
    }
    return VC_SEND_DATA;
}

}  // namespace vc
