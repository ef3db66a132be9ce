// Record layer. Sealing and opening are not in this build yet; no
// connection can complete its handshake, so these are not reached.
#include "protocol/record.h"

namespace vc {

int32_t recordSealData(const uint8_t*, uint32_t*, uint8_t*, uint32_t*, uint32_t, Connection*) {
    return VC_HANDSHAKE_IN_PROGRESS;
}

int32_t recordOpenData(uint8_t*, uint32_t*, uint8_t*, uint32_t*, Connection*) {
    return VC_HANDSHAKE_IN_PROGRESS;
}

}  // namespace vc
