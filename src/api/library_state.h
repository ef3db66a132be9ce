// Process-wide start-up state.
#pragma once

#include <atomic>
#include <cstdint>

namespace vc {

// 1 after a successful vcInitialize, 0 after vcTerminate.
extern std::atomic<int32_t> libraryInitialized;

}  // namespace vc
