// Record layer for application data on a completed connection.
#pragma once

#include <cstdint>

#include "api/objects.h"

namespace vc {

// Both return an ErrorCode; the interface has already checked the handle and
// that the handshake is complete.
int32_t recordSealData(const uint8_t* data, uint32_t* dataLength, uint8_t* output,
                       uint32_t* outputLength, uint32_t capacity, Connection* connection);
int32_t recordOpenData(uint8_t* input, uint32_t* inputLength, uint8_t* output,
                       uint32_t* outputLength, Connection* connection);

}  // namespace vc
