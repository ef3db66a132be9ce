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

// One direction of a channel: the sending one seals, the receiving one
// opens. Built from the channel's role and suite in one place, so sealing
// and opening never branch on either.
struct RecordDirection {
    const CipherSuite* suite;
    uint32_t suiteIndex;
    const uint8_t* macSecret;  // suite->keyLength bytes; also the cipher key
    uint32_t* sequence;
    Rc4State* rc4;
    DesKeySchedule* des;  // three schedules
    uint8_t* iv;
};

RecordDirection sendingDirection(Channel* channel) noexcept;
RecordDirection receivingDirection(Channel* channel) noexcept;

// Key material, MAC secrets, cipher states and IVs of both directions from
// the master secret (the suite's key length) and the IV of the key exchange
// (8 bytes for triple-DES, unused for RC4); both sequence numbers restart.
void deriveKeys(Channel* channel, const uint8_t* masterSecret, const uint8_t* iv) noexcept;

// Seals the N payload bytes where they lie: the 17 bytes in front receive
// the MAC and the padding count, up to blockSize - 1 random padding bytes
// go behind. Answers R, the record length without its 2-byte length field.
uint32_t sealRecord(uint8_t* payload, uint32_t length, const RecordDirection& direction) noexcept;

// Failures of openRecord.
enum : int32_t {
    OPEN_NOT_BLOCK_MULTIPLE = -1,
    OPEN_MAC_MISMATCH = -2,
    OPEN_BAD_PADDING = -3,
    OPEN_TOO_SHORT = -4,
};

// Decrypts the R bytes after a record's length field in place and checks
// them; the payload then starts 17 bytes into body. Answers its length or a
// negative failure. The cipher state and sequence number move on either way.
int32_t openRecord(uint8_t* body, uint32_t length, const RecordDirection& direction) noexcept;

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
