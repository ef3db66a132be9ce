// Big-number conversion and comparison.
#include "bignum/bignum.h"

namespace vc {

int bigNumEqual(const BigNum* a, const BigNum* b) noexcept {
    if (a->length != b->length) {
        return 0;
    }
    for (uint32_t i = 0; i < a->length; ++i) {
        if (a->words[i] != b->words[i]) {
            return 0;
        }
    }
    return 1;
}

}  // namespace vc
