// Private-key reading. The key reader is not in this build yet: every key
// is refused as malformed.
#include "pki/private_key.h"

namespace vc {

CryptoStatus privateKeyLoad(const char*, uint32_t, const char*, uint32_t, uint8_t*, uint32_t*,
                            RsaPrivateKey*) {
    return CRYPTO_DER_FORMAT;
}

}  // namespace vc
