// The two records the host holds as opaque handles. Each begins with a tag
// that is written last when the object is complete and cleared first when
// it is torn down, so a handle to a dying object fails the check.
#pragma once

#include <cstdint>

#include "protocol/channel.h"
#include "veilcastnet.h"

namespace vc {

constexpr uint32_t CONTEXT_TAG = 0x12345678;
constexpr uint32_t CONNECTION_TAG = 0x87654321;
constexpr uint32_t OWN_CERTIFICATE_MAX = 32000;

struct Context {
    uint32_t tag;
    Credentials credentials;  // holds the private key: wiping the record wipes it
};

struct Connection {
    uint32_t tag;
    Context* context;  // not owned; must outlive the connection
    Channel channel;   // its serviceName is owned by the connection
};

// Null when the handle is null or does not carry the live tag of its kind.
inline Context* liveContext(VcContext* handle) noexcept {
    auto* context = reinterpret_cast<Context*>(handle);
    return context != nullptr && context->tag == CONTEXT_TAG ? context : nullptr;
}

inline Connection* liveConnection(VcConnection* handle) noexcept {
    auto* connection = reinterpret_cast<Connection*>(handle);
    return connection != nullptr && connection->tag == CONNECTION_TAG ? connection : nullptr;
}

// Teardown shared by the exported destroy operations and by the operations
// that must destroy a connection on a fatal result.
void contextTeardown(Context* context) noexcept;
void connectionTeardown(Connection* connection) noexcept;

}  // namespace vc
