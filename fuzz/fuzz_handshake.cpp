// Arbitrary bytes from a peer, fed to a server connection the way a host
// would: call, drop what was consumed, call again. The connection must end
// with a result code, never a crash or a read outside the input.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "api/allocator.h"
#include "api/objects.h"
#include "veilcastnet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto* context = static_cast<vc::Context*>(vc::allocateZeroed(sizeof(vc::Context)));
    context->isServer = 1;
    context->cipherMask = 3;
    context->caCount = 1;
    context->tag = vc::CONTEXT_TAG;
    VcConnection* connection = nullptr;
    if (vcCreateConnection(reinterpret_cast<VcContext*>(context), nullptr, 0, &connection) !=
        VC_OK) {
        vcDestroyContext(reinterpret_cast<VcContext*>(context));
        return 0;
    }
    std::vector<uint8_t> input(data, data + size);
    static uint8_t output[32768];
    uint32_t inputLength = static_cast<uint32_t>(size);
    bool alive = true;
    for (int step = 0; step < 16 && alive; ++step) {
        uint32_t outputLength = 0;
        const int32_t result =
            vcHandshake(input.data(), &inputLength, output, &outputLength, connection);
        if (outputLength > sizeof(output) || inputLength > size) {
            __builtin_trap();
        }
        alive = result == VC_SEND_DATA || result == VC_RECEIVE_MORE_DATA || result == VC_OK;
        if (result != VC_SEND_DATA) {
            break;
        }
    }
    if (alive) {
        vcDestroyConnection(connection);
    }
    vcDestroyContext(reinterpret_cast<VcContext*>(context));
    return 0;
}
