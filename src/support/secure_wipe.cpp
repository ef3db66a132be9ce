// Zeroing that survives dead-store elimination: the store goes through a
// volatile function pointer, so the compiler cannot prove it has no effect.
#include "support/secure_wipe.h"

#include <cstring>

namespace vc {
namespace {

void* (*volatile memsetVolatile)(void*, int, std::size_t) = std::memset;

}  // namespace

void secureWipe(void* data, std::size_t length) noexcept {
    if (data != nullptr && length != 0) {
        memsetVolatile(data, 0, length);
    }
}

}  // namespace vc
