// The DER reader shared by certificates and private keys: each step checks
// that a byte exists before it looks at it, consumes what it read and
// shrinks the remaining count. No step reads outside its cursor's range.
#pragma once

#include <cstdint>

#include "bignum/bignum.h"

namespace vc {

struct DerCursor {
    const uint8_t* data;
    uint32_t remaining;
};

// The two AlgorithmIdentifiers the reader knows, NULL parameters included.
constexpr int32_t ALGORITHM_MD5_WITH_RSA = 8001;
constexpr int32_t ALGORITHM_RSA = 8002;
constexpr uint32_t ALGORITHM_ID_LENGTH = 15;

// Consumes count bytes; the caller has checked that they remain.
inline void derAdvance(DerCursor* cursor, uint32_t count) noexcept {
    cursor->data += count;
    cursor->remaining -= count;
}

// A length field, or -1: indefinite, truncated, or above 0x7FFFFFFF. The
// value is not compared with what remains; that is the caller's task.
int32_t derReadLength(DerCursor* cursor) noexcept;
// The steps below return 1 on success and 0 on failure.
int derExpectTag(DerCursor* cursor, uint8_t tag) noexcept;
// A length field and that many content bytes.
int derSkipValue(DerCursor* cursor) noexcept;
// A non-negative INTEGER of at most 1024 significant bytes; empty refused.
int derReadInteger(DerCursor* cursor, BigNum* out) noexcept;
// A UTCTime as CCYYMMDDhhmm and NUL; seconds are accepted and dropped.
int derReadUtcTime(DerCursor* cursor, char out[13]) noexcept;
// Consumes 15 bytes and returns ALGORITHM_MD5_WITH_RSA or ALGORITHM_RSA when
// they are one of the two encodings; otherwise 0 and the cursor unchanged.
int32_t derReadAlgorithm(DerCursor* cursor) noexcept;

}  // namespace vc
