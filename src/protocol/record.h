// The record layer: key derivation, sealing and opening of records in place,
// and the application-data operations behind vcSealRecord and vcOpenRecord.
//
//   offset 0   2 bytes   R, the count of bytes that follow (big-endian)
//          2  16 bytes   MD5 MAC              encrypted as one piece;
//         18   1 byte    padding count P      R is a multiple of the
//         19   N bytes   payload              cipher's block size
//       19+N   P bytes   random padding
#pragma once

#include <cstdint>

#include "crypto/des.h"
#include "crypto/rc4.h"
#include "protocol/channel.h"

namespace vc {

// Both directions' record states from the master secret (the suite's key
// length) and the IV of the key exchange (8 bytes for triple-DES, unused for
// RC4): the key material, then for each half its MAC secret, its cipher
// keyed from the same slice of the key material, the suite's row and cipher
// function, the IV, and a sequence number back at zero. Role and suite are
// decided here once; sealing and opening only follow what a state holds.
void deriveKeys(Channel* channel, const uint8_t* masterSecret, const uint8_t* iv) noexcept;

// Seals the N payload bytes where they lie with a channel's write state:
// the 17 bytes in front receive the MAC and the padding count, up to
// blockSize - 1 random padding bytes go behind. Answers R, the record
// length without its 2-byte length field. The state's sequence number and
// cipher move on; a read state seals what the peer's write state would.
uint32_t sealRecord(uint8_t* payload, uint32_t length, RecordState* state) noexcept;

// Failures of openRecord.
enum : int32_t {
    OPEN_NOT_BLOCK_MULTIPLE = -1,
    OPEN_MAC_MISMATCH = -2,
    OPEN_BAD_PADDING = -3,
    OPEN_TOO_SHORT = -4,
};

// Decrypts the R bytes after a record's length field in place with a
// channel's read state and checks them; the payload then starts 17 bytes
// into body. Answers its length or a negative failure. Once the length has
// passed its checks, the cipher state and sequence number move on whether
// or not the record opens.
int32_t openRecord(uint8_t* body, uint32_t length, RecordState* state) noexcept;

// Removes count bytes from the front of a buffer holding total bytes and
// zeroes the vacated tail, so nothing of a consumed record stays behind.
void consumeInput(uint8_t* buffer, uint32_t total, uint32_t count) noexcept;

// The application-data operations on a channel whose handshake is complete.
// Both return an ErrorCode.
int32_t recordSealData(const uint8_t* data, uint32_t offered, uint8_t* output, uint32_t capacity,
                       Channel* channel, uint32_t* taken, uint32_t* written) noexcept;
// VC_DECRYPTION_FAILED is fatal: the caller destroys the connection.
int32_t recordOpenData(uint8_t* input, uint32_t* inputLength, uint8_t* output,
                       uint32_t* outputLength, Channel* channel) noexcept;

}  // namespace vc
