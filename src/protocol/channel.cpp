// Construction and teardown of a channel record.
#include "protocol/channel.h"

#include <cstring>

#include "support/allocator.h"
#include "support/secure_wipe.h"

namespace vc {

void channelInit(Channel* channel, const Credentials* credentials, const char* serviceName,
                 uint32_t userValue) noexcept {
    std::memset(channel, 0, sizeof(*channel));
    channel->serviceName = serviceName;
    channel->userValue = userValue;
    channel->state = HandshakeState::Start;
    channel->isServer = credentials->isServer;
    channel->cipherMask = credentials->cipherMask;
}

void channelWipe(Channel* channel) noexcept {
    if (channel->peerCertificate != nullptr) {
        secureWipe(channel->peerCertificate, channel->peerCertificateLength);
        release(channel->peerCertificate);
    }
    secureWipeObject(*channel);
}

}  // namespace vc
