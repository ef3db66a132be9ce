// RSA block handling with keys and blocks taken from the input: every key
// and every block must end in a status code, and a successful opening must
// fit the room the caller was promised (k - 11 bytes).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "bignum/rsa.h"

namespace {

// Reads a length-prefixed slice (2 bytes of length) into a number.
bool takeNumber(const uint8_t*& data, size_t& size, vc::BigNum* out) {
    if (size < 2) {
        return false;
    }
    size_t length = (static_cast<size_t>(data[0]) << 8) | data[1];
    data += 2;
    size -= 2;
    if (length > size) {
        length = size;
    }
    vc::bigNumFromBytes(data, static_cast<uint32_t>(length), out);
    data += length;
    size -= length;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static vc::RsaPrivateKey key;
    std::memset(&key, 0, sizeof(key));
    vc::BigNum* members[] = {&key.n, &key.e, &key.d, &key.p, &key.q, &key.dP, &key.dQ, &key.qInv};
    for (vc::BigNum* member : members) {
        if (!takeNumber(data, size, member)) {
            return 0;
        }
    }
    // The key operations' work grows with the cube of the modulus length;
    // keep each run short so the fuzzer explores shapes, not big numbers.
    if (key.n.length > 40 && key.n.length <= 128) {
        return 0;
    }
    static uint8_t out[512 + 16];
    uint32_t outLength = 0xFFFFFFFF;
    const uint32_t blockLength = static_cast<uint32_t>(size);
    const vc::CryptoStatus opened = vc::rsaPrivateDecrypt(data, blockLength, &key, out, &outLength);
    if (opened == vc::CRYPTO_OK) {
        if (outLength + 11 > blockLength) {
            std::abort();
        }
    } else if (outLength != 0xFFFFFFFF) {
        std::abort();  // failures leave the length alone
    }
    const auto* publicKey = reinterpret_cast<const vc::RsaPublicKey*>(&key);
    outLength = 0xFFFFFFFF;
    const vc::CryptoStatus recovered =
        vc::rsaPublicRecover(data, blockLength, publicKey, out, &outLength);
    if (recovered == vc::CRYPTO_OK && outLength + 11 > blockLength) {
        std::abort();
    }
    return 0;
}
