// The two records the host holds through handles. A handle is a slot of
// the handle table (api/handles.h), never the record's address, so a stale
// or twice-destroyed handle is recognised without reading the memory its
// record occupied. Each record still begins with a tag, written last when
// the object is complete and cleared first when it is torn down.
#pragma once

#include <cstdint>

#include "api/handles.h"
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
    uintptr_t handle;         // closed by the operations that end the connection
    uintptr_t contextHandle;  // looked up on every handshake step: the context may be gone
    Channel channel;          // its serviceName is owned by the connection
};

// Null unless the handle is live and of its kind.
inline Context* liveContext(VcContext* handle) noexcept {
    auto* context = static_cast<Context*>(
        handleObject(reinterpret_cast<uintptr_t>(handle), HandleKind::Context));
    return context != nullptr && context->tag == CONTEXT_TAG ? context : nullptr;
}

inline Connection* liveConnection(VcConnection* handle) noexcept {
    auto* connection = static_cast<Connection*>(
        handleObject(reinterpret_cast<uintptr_t>(handle), HandleKind::Connection));
    return connection != nullptr && connection->tag == CONNECTION_TAG ? connection : nullptr;
}

// Teardown shared by the exported destroy operations and by the operations
// that must destroy a connection on a fatal result. The caller closes the
// handle first and tears the record down only if the close handed it the
// object, so no record is torn down twice.
void contextTeardown(Context* context) noexcept;
void connectionTeardown(Connection* connection) noexcept;

}  // namespace vc
