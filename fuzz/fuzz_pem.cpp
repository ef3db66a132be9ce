// PEM armour over arbitrary text: a body that is found must lie inside the
// text, and decoding it must stay within the (length * 3) / 4 bytes every
// caller allots for a text of that length. Both buffers are exact-size heap
// blocks so that a step past either end is an ASan report.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "pki/pem.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > UINT32_MAX) {
        return 0;
    }
    const auto textLength = static_cast<uint32_t>(size);
    const std::unique_ptr<char[]> text(new char[size]);
    std::memcpy(text.get(), data, size);
    const uintptr_t textStart = reinterpret_cast<uintptr_t>(text.get());

    const uint64_t room = std::max<uint64_t>(1, (static_cast<uint64_t>(textLength) * 3) / 4);
    const std::unique_ptr<uint8_t[]> der(new uint8_t[room]);
    for (const char* label : {"CERTIFICATE", "RSA PRIVATE KEY"}) {
        uint32_t bodyLength = 0xFFFFFFFF;
        const char* body = vc::pemFindBody(text.get(), textLength, label, &bodyLength);
        if (body == nullptr) {
            if (bodyLength != 0xFFFFFFFF) {
                std::abort();  // no block: the length is left alone
            }
            continue;
        }
        const uintptr_t bodyStart = reinterpret_cast<uintptr_t>(body);
        if (bodyStart < textStart || bodyLength > textLength ||
            bodyStart - textStart > textLength - bodyLength) {
            std::abort();
        }
        uint32_t decodedLength = 0;
        if (vc::base64Decode(body, bodyLength, der.get(), &decodedLength) == vc::CRYPTO_OK &&
            decodedLength > room) {
            std::abort();
        }
    }
    return 0;
}
