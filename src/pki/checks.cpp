// Certificate checks.
#include "pki/checks.h"

namespace vc {

CryptoStatus keyMatchesCertificate(const Certificate* certificate, const RsaPrivateKey* key) {
    if (bigNumEqual(&certificate->publicKey.n, &key->n) &&
        bigNumEqual(&certificate->publicKey.e, &key->e)) {
        return CRYPTO_OK;
    }
    return CRYPTO_MISMATCH;
}

}  // namespace vc
