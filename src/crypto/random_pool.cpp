// Random generator: not seeded in this build yet.
#include "crypto/random_pool.h"

namespace vc {

int32_t randomInitialize(void*, void*, void*, const char*, const char*) {
    return 1;
}
int32_t vcSeedCallback(const uint8_t*, uint32_t) {
    return 0;
}
int32_t randomIsUnseeded() {
    return 1;
}
int32_t randomBytes(uint8_t*, uint32_t) {
    return 1;
}
RandomPool randomPoolSnapshot() {
    return RandomPool{};
}

}  // namespace vc
