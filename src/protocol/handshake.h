// The handshake engine behind vcHandshake: one step per call, after the
// interface has checked the connection and its context.
#pragma once

#include <cstdint>

#include "api/objects.h"

namespace vc {

// Returns an ErrorCode. The caller destroys the connection on any result
// other than 0, 16, 17 and 25.
int32_t handshakeStep(uint8_t* input, uint32_t* inputLength, uint8_t* output,
                      uint32_t* outputLength, Connection* connection);

}  // namespace vc
