// Arbitrary text as a PEM private key, plain or encrypted, with a pass phrase
// cut from the front of the input (first byte: its length mod 32; a zero
// length with the top bit set stands for no pass phrase at all). Every input
// must end in a status, and a decoded key must fit the (length * 3) / 4
// bytes of scratch callers allot. All buffers are exact-size heap blocks.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "pki/private_key.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > UINT32_MAX) {
        return 0;
    }
    const size_t passPhraseLength = std::min<size_t>(data[0] % 32, size - 1);
    const std::unique_ptr<char[]> passPhrase(new char[passPhraseLength]);
    std::memcpy(passPhrase.get(), data + 1, passPhraseLength);
    const bool noPassPhrase = passPhraseLength == 0 && (data[0] & 0x80) != 0;

    const size_t textLength = size - 1 - passPhraseLength;
    const std::unique_ptr<char[]> text(new char[textLength]);
    std::memcpy(text.get(), data + 1 + passPhraseLength, textLength);

    const uint64_t room = std::max<uint64_t>(1, (static_cast<uint64_t>(textLength) * 3) / 4);
    const std::unique_ptr<uint8_t[]> scratch(new uint8_t[room]);
    static vc::RsaPrivateKey key;
    std::memset(&key, 0, sizeof(key));
    uint32_t decodedLength = 0;
    const vc::CryptoStatus status = vc::privateKeyLoad(
        text.get(), static_cast<uint32_t>(textLength), noPassPhrase ? nullptr : passPhrase.get(),
        static_cast<uint32_t>(passPhraseLength), scratch.get(), &decodedLength, &key);
    if (status == vc::CRYPTO_OK && decodedLength > room) {
        std::abort();
    }
    return 0;
}
