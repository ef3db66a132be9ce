// The DER reading steps. Each tests that a byte remains before it reads it,
// so no input of any length or content is read outside its range.
#include "pki/der.h"

#include <cstring>

namespace vc {
namespace {

// 30 0D 06 09 <OID> 05 00: the AlgorithmIdentifier SEQUENCE with its NULL
// parameters, for OIDs 1.2.840.113549.1.1.4 and 1.2.840.113549.1.1.1.
constexpr uint8_t MD5_WITH_RSA_ENCODING[ALGORITHM_ID_LENGTH] = {
    0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x04, 0x05, 0x00};
constexpr uint8_t RSA_ENCODING[ALGORITHM_ID_LENGTH] = {
    0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01, 0x05, 0x00};

constexpr uint8_t TAG_INTEGER = 0x02;
constexpr uint8_t TAG_UTC_TIME = 0x17;
// A BigNum holds 256 words: 8,192 bits.
constexpr uint32_t INTEGER_MAX_BYTES = 1024;

bool isDigit(uint8_t c) noexcept {
    return c >= '0' && c <= '9';
}

}  // namespace

int32_t derReadLength(DerCursor* cursor) noexcept {
    if (cursor->remaining == 0) {
        return -1;
    }
    const uint8_t first = cursor->data[0];
    derAdvance(cursor, 1);
    if (first == 0x80) {
        return -1;  // indefinite length
    }
    if (first < 0x80) {
        return first;
    }
    const uint32_t count = first & 0x7Fu;
    if (cursor->remaining < count) {
        return -1;
    }
    // Leading zero bytes and non-minimal forms are accepted; the value may
    // not pass 0x7FFFFFFF.
    uint32_t value = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (value > 0x7FFFFFu) {
            return -1;
        }
        value = (value << 8) | cursor->data[i];
    }
    derAdvance(cursor, count);
    return static_cast<int32_t>(value);
}

int derExpectTag(DerCursor* cursor, uint8_t tag) noexcept {
    if (cursor->remaining == 0 || cursor->data[0] != tag) {
        return 0;
    }
    derAdvance(cursor, 1);
    return 1;
}

int derSkipValue(DerCursor* cursor) noexcept {
    const int32_t length = derReadLength(cursor);
    if (length < 0 || static_cast<uint32_t>(length) > cursor->remaining) {
        return 0;
    }
    derAdvance(cursor, static_cast<uint32_t>(length));
    return 1;
}

int derReadInteger(DerCursor* cursor, BigNum* out) noexcept {
    if (!derExpectTag(cursor, TAG_INTEGER) || cursor->remaining == 0) {
        return 0;
    }
    const int32_t signedLength = derReadLength(cursor);
    if (signedLength < 0 || static_cast<uint32_t>(signedLength) > cursor->remaining) {
        return 0;
    }
    auto length = static_cast<uint32_t>(signedLength);
    // An empty INTEGER has no first byte to test: malformed like the rest.
    if (length == 0 || (cursor->data[0] & 0x80u) != 0) {
        return 0;  // negative numbers are refused
    }
    if (cursor->data[0] == 0x00) {
        derAdvance(cursor, 1);
        --length;
    }
    if (length > INTEGER_MAX_BYTES) {
        return 0;
    }
    bigNumFromBytes(cursor->data, length, out);
    derAdvance(cursor, length);
    return 1;
}

int derReadUtcTime(DerCursor* cursor, char out[13]) noexcept {
    out[12] = '\0';
    if (!derExpectTag(cursor, TAG_UTC_TIME) || cursor->remaining == 0) {
        return 0;
    }
    const int32_t length = derReadLength(cursor);
    if (length < 11 || static_cast<uint32_t>(length) > cursor->remaining) {
        return 0;
    }
    const uint8_t* value = cursor->data;
    // Two-digit years 00 to 49 are 2000 to 2049, 50 to 99 are 1950 to 1999.
    out[0] = value[0] < '5' ? '2' : '1';
    out[1] = value[0] < '5' ? '0' : '9';
    for (uint32_t i = 0; i < 10; ++i) {
        if (!isDigit(value[i])) {
            return 0;
        }
        out[2 + i] = static_cast<char>(value[i]);
    }
    // No time-zone offsets; seconds are allowed and dropped.
    if (value[10] == 'Z') {
        if (length != 11) {
            return 0;
        }
    } else if (length != 13 || !isDigit(value[10]) || !isDigit(value[11]) || value[12] != 'Z') {
        return 0;
    }
    derAdvance(cursor, static_cast<uint32_t>(length));
    return 1;
}

int32_t derReadAlgorithm(DerCursor* cursor) noexcept {
    if (cursor->remaining < ALGORITHM_ID_LENGTH) {
        return 0;
    }
    int32_t algorithm = 0;
    if (std::memcmp(cursor->data, MD5_WITH_RSA_ENCODING, ALGORITHM_ID_LENGTH) == 0) {
        algorithm = ALGORITHM_MD5_WITH_RSA;
    } else if (std::memcmp(cursor->data, RSA_ENCODING, ALGORITHM_ID_LENGTH) == 0) {
        algorithm = ALGORITHM_RSA;
    } else {
        return 0;
    }
    derAdvance(cursor, ALGORITHM_ID_LENGTH);
    return algorithm;
}

}  // namespace vc
