// Placeholder until the platform's window back end lands: no window system,
// so start-up without a seed file fails.
#include "entropy/window_system.h"

namespace vc {

WindowSystem* windowSystemAcquire() noexcept {
    return nullptr;
}

void windowSystemRelease(WindowSystem*) noexcept {}

}  // namespace vc
