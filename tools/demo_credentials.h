// The demonstration's credentials and the RSA keys `vctool speed` times,
// compiled in from the committed test files (see embed.cmake) by base name,
// so both commands run from any directory.
#pragma once

#include <cstddef>

namespace vctool {

struct EmbeddedFile {
    const char* name;
    const unsigned char* bytes;
    std::size_t size;
};

extern const EmbeddedFile DEMO_CREDENTIALS[];
extern const unsigned DEMO_CREDENTIAL_COUNT;

}  // namespace vctool
