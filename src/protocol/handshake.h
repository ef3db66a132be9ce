// The handshake engine behind vcHandshake: one message in, at most one
// message out per call.
#pragma once

#include <cstdint>

#include "protocol/channel.h"

namespace vc {

// Longest handshake message or sealed record the engine accepts.
constexpr uint32_t HANDSHAKE_LENGTH_MAX = 32766;

// One step on a channel with the credentials of its context. Returns an
// ErrorCode: 17 with *outputLength bytes to send, 16 for more input, 0 once
// complete; anything else ends the channel and the caller destroys it.
// The reply is built in place in output, which must hold the longest
// message this channel can send (32768 bytes always suffice). A null output
// is refused with 18 only in a step that has a reply to write.
int32_t handshakeStep(Channel* channel, const Credentials* credentials, uint8_t* input,
                      uint32_t* inputLength, uint8_t* output, uint32_t* outputLength) noexcept;

}  // namespace vc
