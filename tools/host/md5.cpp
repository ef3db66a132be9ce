// The host's MD5 is the library's MD5 source compiled into the program, not
// a call into the library under test: what the host reports about data
// stays independent of the loaded DLL or shared object, and the code is the
// one checked against the standard vectors.
#include "md5.h"

#include <cstdio>

namespace vchost {

Md5::Md5() {
    vc::md5Init(&context_);
}

void Md5::update(const uint8_t* data, std::size_t size) {
    // The library's update takes 32-bit lengths.
    while (size > 0) {
        const auto piece = static_cast<uint32_t>(size < 0x40000000u ? size : 0x40000000u);
        vc::md5Update(&context_, data, piece);
        data += piece;
        size -= piece;
    }
}

std::string Md5::hex() {
    uint8_t digest[16];
    vc::md5Final(digest, &context_);
    char text[33];
    for (int i = 0; i < 16; ++i) {
        std::snprintf(text + 2 * i, 3, "%02x", digest[i]);
    }
    return std::string(text, 32);
}

std::string md5Hex(const uint8_t* data, std::size_t size) {
    Md5 md5;
    md5.update(data, size);
    return md5.hex();
}

}  // namespace vchost
