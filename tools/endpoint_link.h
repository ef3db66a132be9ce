// The network half of vctool server and vctool client, on the asio adapter:
// accepting and connecting under time limits, the handshake, and the relay
// between the standard streams and the peer. Diagnostics go to standard
// error, so the data streams stay clean.
#pragma once

#include <cstdint>

#include "endpoint_options.h"
#include "veilcastnet.h"

namespace vctool {

// The certificate callback of both endpoints: describes each peer
// certificate on standard error and accepts the clean ones.
int32_t VC_API reportCertificate(const uint8_t* der, uint32_t derLength, uint32_t userValue,
                                 uint32_t verifyFlags, uint32_t cipherMask, const uint8_t* md5);

// Both take the context over and answer the exit status. The server
// accepts clients until one completes its handshake, then relays with it;
// the client connects, runs the handshake and relays.
int serve(const vcoptions::EndpointOptions& options, VcContext* context);
int connectAndConverse(const vcoptions::EndpointOptions& options, VcContext* context);

}  // namespace vctool
