// Start-up entropy: hands the generator either the first 512 bytes of a seed
// file or, through a window, the user's mouse and keyboard events. The seed
// bytes are secret and are wiped before this returns; nothing is allocated.
#include "entropy/entropy.h"

#include <cstdint>

#include "entropy/window_system.h"
#include "support/platform.h"
#include "support/secure_wipe.h"

namespace vc {
namespace {

constexpr uint32_t SEED_FILE_BYTES = 512;

// Only absolute paths are accepted, so the seed never depends on the host's
// current directory: a leading separator, or a drive letter (any character
// will do) followed by a colon and a separator.
bool seedPathIsAbsolute(const char* path) noexcept {
    const auto isSeparator = [](char c) { return c == '\\' || c == '/'; };
    if (isSeparator(path[0])) {
        return true;
    }
    // Short-circuiting keeps every read inside the string.
    return path[0] != '\0' && path[1] == ':' && isSeparator(path[2]);
}

int32_t gatherFromSeedFile(const char* seedFilePath, SeedCallback callback) noexcept {
    if (!seedPathIsAbsolute(seedFilePath)) {
        return 1;
    }
    uint8_t seed[SEED_FILE_BYTES];
    uint32_t bytesRead = 0;
    int32_t result = 1;
    if (platformReadFilePrefix(seedFilePath, seed, SEED_FILE_BYTES, &bytesRead) == 0 &&
        bytesRead == SEED_FILE_BYTES) {
        // A file that does not satisfy the generator on its own is refused:
        // there is no way to ask it for more.
        result = callback(seed, SEED_FILE_BYTES) < 0 ? 0 : 1;
    }
    secureWipe(seed, sizeof(seed));
    return result;
}

}  // namespace

int32_t entropyGather(void* parentWindow, void* instance, void* bitmap, const char* promptText,
                      const char* seedFilePath, SeedCallback callback) {
    if (callback == nullptr) {
        return 1;
    }
    if (seedFilePath != nullptr) {
        return gatherFromSeedFile(seedFilePath, callback);
    }
    // Without a window system (no display, say) only a seed file can start
    // the library.
    WindowSystem* system = windowSystemAcquire();
    if (system == nullptr) {
        return 1;
    }
    const int32_t result =
        entropyGatherWindow(*system, parentWindow, instance, bitmap, promptText, callback);
    windowSystemRelease(system);
    return result;
}

int32_t randomInitialize(void* parentWindow, void* instance, void* bitmap, const char* promptText,
                         const char* seedFilePath) {
    randomPoolClear();
    // The pool's lock is not held here: the gatherer re-enters through the
    // callback.
    const int32_t gathered =
        entropyGather(parentWindow, instance, bitmap, promptText, seedFilePath, vcSeedCallback);
    return gathered != 0 ? 1 : 0;
}

}  // namespace vc
