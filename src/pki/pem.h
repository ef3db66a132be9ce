// PEM armour and base64: finds the block of one label in a host's text and
// decodes its body into DER. Strict layout (64-character lines, CR LF or LF,
// '=' only at the very end). Reads nothing outside the given range and
// writes at most 3 bytes for every 4 body bytes; never allocates.
#pragma once

#include <cstdint>

#include "support/status.h"

namespace vc {

// The body of the first block whose BEGIN line carries label: a pointer into
// text and, in *bodyLength, the bytes up to (not including) the END line.
// Null when there is no such block; *bodyLength is then left alone.
const char* pemFindBody(const char* text, uint32_t textLength, const char* label,
                        uint32_t* bodyLength) noexcept;

// *outputLength is 0 on entry and counts the bytes written; both it and the
// output are meaningless after a failure.
CryptoStatus base64Decode(const char* input, uint32_t inputLength, uint8_t* output,
                          uint32_t* outputLength) noexcept;

// The "CERTIFICATE" block of text, decoded into der.
CryptoStatus pemDecodeCertificate(const char* text, uint32_t textLength, uint8_t* der,
                                  uint32_t* derLength) noexcept;

}  // namespace vc
