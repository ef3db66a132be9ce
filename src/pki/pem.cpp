// PEM armour and base64 decoding. Every byte is looked at only after its
// position has been checked against the range; nothing is allocated.
#include "pki/pem.h"

#include <array>
#include <cstring>

namespace vc {
namespace {

constexpr char BEGIN_MARKER[] = "-----BEGIN ";  // 11 bytes, ends in one space
constexpr char END_MARKER[] = "-----END ";      // 9 bytes
constexpr char DASHES[] = "-----";
constexpr uint32_t BEGIN_LENGTH = sizeof(BEGIN_MARKER) - 1;
constexpr uint32_t END_LENGTH = sizeof(END_MARKER) - 1;
constexpr uint32_t DASHES_LENGTH = sizeof(DASHES) - 1;

constexpr uint8_t INVALID = 0xFF;

// RFC 4648's standard alphabet; every other byte, '=' included, is invalid
// (top bit set), so four values can be tested at once by OR-ing them.
constexpr std::array<uint8_t, 256> makeDecodeTable() {
    std::array<uint8_t, 256> table{};
    for (auto& entry : table) {
        entry = INVALID;
    }
    constexpr char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (uint8_t value = 0; value < 64; ++value) {
        table[static_cast<uint8_t>(ALPHABET[value])] = value;
    }
    return table;
}

constexpr std::array<uint8_t, 256> DECODE = makeDecodeTable();
static_assert(DECODE['A'] == 0 && DECODE['a'] == 26 && DECODE['0'] == 52);
static_assert(DECODE['+'] == 62 && DECODE['/'] == 63 && DECODE['='] == INVALID);

uint8_t decodeChar(char c) noexcept {
    return DECODE[static_cast<uint8_t>(c)];
}

bool matches(const char* at, const char* literal, uint32_t length) noexcept {
    return std::memcmp(at, literal, length) == 0;
}

// "<marker><label>-----" at p; the caller has checked that the bytes exist.
bool markerLine(const char* p, const char* marker, uint32_t markerLength, const char* label,
                uint32_t labelLength) noexcept {
    return matches(p, marker, markerLength) && matches(p + markerLength, label, labelLength) &&
           matches(p + markerLength + labelLength, DASHES, DASHES_LENGTH);
}

// Offset of the byte after the next LF at or after pos, or length if none.
uint32_t nextLine(const char* text, uint32_t length, uint32_t pos) noexcept {
    const void* lf = std::memchr(text + pos, '\n', length - pos);
    return lf == nullptr ? length : static_cast<uint32_t>(static_cast<const char*>(lf) - text) + 1;
}

// Four valid values into three bytes; false if any value is invalid.
bool decodeGroup(const char* in, uint8_t* out) noexcept {
    const uint8_t w = decodeChar(in[0]);
    const uint8_t x = decodeChar(in[1]);
    const uint8_t y = decodeChar(in[2]);
    const uint8_t z = decodeChar(in[3]);
    if (((w | x | y | z) & 0x80u) != 0) {
        return false;
    }
    out[0] = static_cast<uint8_t>((w << 2) | (x >> 4));
    out[1] = static_cast<uint8_t>((x << 4) | (y >> 2));
    out[2] = static_cast<uint8_t>((y << 6) | z);
    return true;
}

bool decodeGroups(const char* in, uint32_t groups, uint8_t* out) noexcept {
    for (uint32_t g = 0; g < groups; ++g) {
        if (!decodeGroup(in + 4 * g, out + 3 * g)) {
            return false;
        }
    }
    return true;
}

constexpr uint32_t LINE_CHARS = 64;
constexpr uint32_t LINE_BYTES = 48;

}  // namespace

const char* pemFindBody(const char* text, uint32_t textLength, const char* label,
                        uint32_t* bodyLength) noexcept {
    if (text == nullptr || label == nullptr) {
        return nullptr;
    }
    const auto labelLength = static_cast<uint32_t>(std::strlen(label));
    // BEGIN line: markers, label and at least a CR LF or one LF of a body.
    const uint32_t beginNeed = labelLength + BEGIN_LENGTH + DASHES_LENGTH + 2;
    const uint32_t endNeed = labelLength + END_LENGTH + DASHES_LENGTH + 1;
    if (textLength < beginNeed) {
        return nullptr;
    }
    uint32_t pos = 0;
    uint32_t bodyStart = 0;
    for (;;) {
        const char* line = text + pos;
        if (markerLine(line, BEGIN_MARKER, BEGIN_LENGTH, label, labelLength)) {
            const uint32_t after = BEGIN_LENGTH + labelLength + DASHES_LENGTH;
            // beginNeed bytes remain, so after and after + 1 both exist.
            if (line[after] == '\n') {
                bodyStart = pos + after + 1;
                break;
            }
            if (line[after] == '\r' && line[after + 1] == '\n') {
                bodyStart = pos + after + 2;
                break;
            }
        }
        pos = nextLine(text, textLength, pos);
        if (textLength - pos < beginNeed) {
            return nullptr;
        }
    }
    for (pos = bodyStart; textLength - pos >= endNeed; pos = nextLine(text, textLength, pos)) {
        const char* line = text + pos;
        if (!markerLine(line, END_MARKER, END_LENGTH, label, labelLength)) {
            continue;
        }
        const uint32_t after = END_LENGTH + labelLength + DASHES_LENGTH;
        const bool lf = line[after] == '\n';
        const bool crlf =
            line[after] == '\r' && textLength - pos > after + 1 && line[after + 1] == '\n';
        if (lf || crlf) {
            *bodyLength = pos - bodyStart;
            return text + bodyStart;
        }
    }
    return nullptr;
}

CryptoStatus base64Decode(const char* input, uint32_t inputLength, uint8_t* output,
                          uint32_t* outputLength) noexcept {
    *outputLength = 0;
    uint32_t remaining = inputLength;
    const char* in = input;
    if (remaining == 0) {
        return CRYPTO_OK;
    }
    // Full lines: more than a 64-character line with CR LF remains.
    while (remaining > LINE_CHARS + 2) {
        if (!decodeGroups(in, LINE_CHARS / 4, output + *outputLength)) {
            return CRYPTO_PEM_FORMAT;
        }
        *outputLength += LINE_BYTES;
        if (in[LINE_CHARS] == '\r' && in[LINE_CHARS + 1] == '\n') {
            in += LINE_CHARS + 2;
            remaining -= LINE_CHARS + 2;
        } else if (in[LINE_CHARS] == '\n') {
            in += LINE_CHARS + 1;
            remaining -= LINE_CHARS + 1;
        } else {
            return CRYPTO_PEM_FORMAT;
        }
        if (remaining == 0) {
            return CRYPTO_OK;
        }
    }
    // The last line: its line end is dropped; the byte before a final
    // single byte is not examined, so a last line without a line end loses
    // its last character (and then fails the multiple-of-4 test).
    uint32_t chars = remaining >= 2 && in[remaining - 2] == '\r' ? remaining - 2 : remaining - 1;
    if (chars == 0 || chars % 4 != 0) {
        return CRYPTO_PEM_FORMAT;
    }
    const uint32_t fullGroups = chars / 4 - 1;
    uint8_t* out = output + *outputLength;
    if (!decodeGroups(in, fullGroups, out)) {
        return CRYPTO_PEM_FORMAT;
    }
    *outputLength += 3 * fullGroups;
    out += 3 * fullGroups;
    const char* last = in + 4 * fullGroups;
    const uint8_t w = decodeChar(last[0]);
    const uint8_t x = decodeChar(last[1]);
    if (((w | x) & 0x80u) != 0) {
        return CRYPTO_PEM_FORMAT;
    }
    out[0] = static_cast<uint8_t>((w << 2) | (x >> 4));
    *outputLength += 1;
    if (last[2] == '=') {
        return last[3] == '=' ? CRYPTO_OK : CRYPTO_PEM_FORMAT;
    }
    const uint8_t y = decodeChar(last[2]);
    if ((y & 0x80u) != 0) {
        return CRYPTO_PEM_FORMAT;
    }
    out[1] = static_cast<uint8_t>((x << 4) | (y >> 2));
    *outputLength += 1;
    if (last[3] == '=') {
        return CRYPTO_OK;
    }
    const uint8_t z = decodeChar(last[3]);
    if ((z & 0x80u) != 0) {
        return CRYPTO_PEM_FORMAT;
    }
    out[2] = static_cast<uint8_t>((y << 6) | z);
    *outputLength += 1;
    return CRYPTO_OK;
}

CryptoStatus pemDecodeCertificate(const char* text, uint32_t textLength, uint8_t* der,
                                  uint32_t* derLength) noexcept {
    uint32_t bodyLength = 0;
    const char* body = pemFindBody(text, textLength, "CERTIFICATE", &bodyLength);
    if (body == nullptr) {
        return CRYPTO_PEM_FORMAT;
    }
    return base64Decode(body, bodyLength, der, derLength);
}

}  // namespace vc
