// Handshake engine. Message framing is checked here; the messages
// themselves are not built or read yet, so every step that needs one ends
// the connection as an unexpected message.
#include "protocol/handshake.h"

namespace vc {
namespace {

constexpr uint32_t HANDSHAKE_LENGTH_MAX = 32766;

}  // namespace

int32_t handshakeStep(uint8_t* input, uint32_t* inputLength, uint8_t*, uint32_t*,
                      Connection* connection) {
    if (!connection->isServer && connection->state == 1) {
        return VC_CONNECTION_CLOSED;
    }
    if (input == nullptr || inputLength == nullptr || *inputLength < 2) {
        return VC_RECEIVE_MORE_DATA;
    }
    const uint32_t length = (static_cast<uint32_t>(input[0]) << 8) | input[1];
    if (length > HANDSHAKE_LENGTH_MAX) {
        return VC_CONNECTION_CLOSED;
    }
    if (length > *inputLength - 2) {
        return VC_RECEIVE_MORE_DATA;
    }
    return VC_CONNECTION_CLOSED;
}

}  // namespace vc
