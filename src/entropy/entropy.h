// Start-up entropy: either the 512 bytes of a seed file, or the
// mouse-and-keyboard window. Returns 0 when the generator was satisfied.
#pragma once

#include <cstdint>

#include "crypto/random_pool.h"

namespace vc {

int32_t entropyGather(void* parentWindow, void* instance, void* bitmap, const char* promptText,
                      const char* seedFilePath, SeedCallback callback);

// Clears the random pool and gathers entropy into it; 0 on success, 1 on
// failure.
int32_t randomInitialize(void* parentWindow, void* instance, void* bitmap, const char* promptText,
                         const char* seedFilePath);

}  // namespace vc
