// Private decryption against a plain reading of the type 2 block: the input
// is the block itself (EM), encrypted here with the public exponent and
// then decrypted by rsaPrivateDecrypt, whose verdict and data must be those
// of the reference check below. The key is the committed 512-bit one (a
// longer key changes nothing here but the time a run takes), used with its
// CRT members or with d alone.
//
// Input: a byte choosing the path (bit 1: without the CRT members), then
// the block, cut or zero-filled to k bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "bignum/rsa.h"
#include "pki/private_key.h"
#include "reference_bignum.h"
#include "support.h"

using fuzzsupport::Reader;

namespace {

vc::RsaPrivateKey loadKey(const char* name) {
    const std::string text = fuzzsupport::credential(name);
    std::vector<uint8_t> scratch(text.size());
    uint32_t decodedLength = 0;
    vc::RsaPrivateKey key{};
    FUZZ_REQUIRE(vc::privateKeyLoad(text.data(), static_cast<uint32_t>(text.size()), nullptr, 0,
                                    scratch.data(), &decodedLength, &key) == vc::CRYPTO_OK);
    return key;
}

uint32_t byteLength(const vc::BigNum& n) {
    return static_cast<uint32_t>((reference::bitLength(reference::fromBigNum(n)) + 7) / 8);
}

// 00 02, at least eight non-zero bytes, a zero, the data (possibly none).
bool referenceOpen(const std::vector<uint8_t>& em, std::vector<uint8_t>* data) {
    if (em.size() < 11 || em[0] != 0x00 || em[1] != 0x02) {
        return false;
    }
    size_t separator = 2;
    while (separator < em.size() && em[separator] != 0) {
        ++separator;
    }
    if (separator == em.size() || separator < 10) {
        return false;
    }
    data->assign(em.begin() + static_cast<std::ptrdiff_t>(separator) + 1, em.end());
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const vc::RsaPrivateKey fullKey = loadKey("rsa512.key");
    Reader in(data, size);
    const uint8_t setup = in.byte();
    static vc::RsaPrivateKey key;
    key = fullKey;
    if ((setup & 2u) != 0) {
        key.p.length = key.q.length = key.dP.length = key.dQ.length = key.qInv.length = 0;
    }
    const uint32_t k = byteLength(key.n);
    std::vector<uint8_t> em(k, 0);
    size_t taken = 0;
    const uint8_t* block = in.take(k, &taken);
    std::memcpy(em.data(), block, taken);

    static vc::BigNum m, c;
    vc::bigNumFromBytes(em.data(), k, &m);
    vc::BigNum difference;
    if (m.length == 0 || vc::bigNumSub(&key.n, &m, &difference) != 0) {
        return 0;  // not a residue in [1, n): no ciphertext has it as its block
    }
    vc::bigNumModExp(&m, &key.e, &key.n, &c);
    std::vector<uint8_t> ciphertext(k);
    vc::bigNumToBytes(ciphertext.data(), k, &c);

    std::vector<uint8_t> out(k - 11);
    uint32_t outLength = 0xFFFFFFFF;
    const vc::CryptoStatus status =
        vc::rsaPrivateDecrypt(ciphertext.data(), k, &key, out.data(), &outLength);
    std::vector<uint8_t> want;
    const bool valid = referenceOpen(em, &want);
    if (c.length == 0) {
        FUZZ_REQUIRE(status == vc::CRYPTO_BLOCK_REFUSED);  // a zero ciphertext is refused
        return 0;
    }
    FUZZ_REQUIRE((status == vc::CRYPTO_OK) == valid);
    if (valid) {
        FUZZ_REQUIRE(outLength == want.size());
        FUZZ_REQUIRE(want.empty() || std::memcmp(out.data(), want.data(), want.size()) == 0);
    } else {
        FUZZ_REQUIRE(status == vc::CRYPTO_BLOCK_REFUSED && outLength == 0xFFFFFFFF);
    }
    return 0;
}
