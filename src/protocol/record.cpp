// Record sealing and opening, done in place in the host's buffers: no
// allocation and no copy beyond the one into or out of the record.
#include "protocol/record.h"

#include <cstring>

#include "crypto/md5.h"
#include "crypto/random_pool.h"
#include "crypto/rc4_md5.h"
#include "support/bytes.h"
#include "support/constant_time.h"
#include "support/secure_wipe.h"

namespace vc {
namespace {

constexpr uint32_t MAC_LENGTH = 16;
// Lengths of 65534 and above are never produced by a sealing side.
constexpr uint32_t RECORD_LENGTH_LIMIT = 65534;
constexpr uint32_t SEAL_CAPACITY_MAX = 65535;
static_assert(CIPHER_SUITES[SUITE_RC4].keyLength <= sizeof(RecordState::macSecret) &&
              CIPHER_SUITES[SUITE_DES_EDE3_CBC].keyLength <= sizeof(RecordState::macSecret));

// MD5 over the MAC secret, the padding count, payload and padding, and the
// sequence number (big-endian), which then moves on.
void recordMac(RecordState* state, const uint8_t* data, uint32_t length, uint8_t mac[16]) noexcept {
    const uint32_t sequence = state->sequence++;
    uint8_t sequenceBytes[4];
    storeBe32(sequenceBytes, sequence);
    Md5Context md5;
    const WipeOnExit wipeMd5(md5);
    md5Init(&md5);
    md5Update(&md5, state->macSecret, state->suite->keyLength);
    md5Update(&md5, data, length);
    md5Update(&md5, sequenceBytes, sizeof(sequenceBytes));
    md5Final(mac, &md5);
}

void rc4Record(RecordState* state, uint8_t* data, uint32_t length, int /*encrypt*/) noexcept {
    rc4Crypt(data, length, &state->rc4);
}

// RC4 records take their MAC and keystream in one pass over the record
// (the MAC secret is as long as the MAC). RC4 has no padding.
static_assert(CIPHER_SUITES[SUITE_RC4].keyLength == RC4_MD5_MAC_LENGTH &&
              CIPHER_SUITES[SUITE_RC4].blockSize == 1 && MAC_LENGTH == RC4_MD5_MAC_LENGTH);

void sealRc4Record(uint8_t* record, uint32_t length, RecordState* state) noexcept {
    uint8_t sequenceBytes[4];
    storeBe32(sequenceBytes, state->sequence++);
    rc4Md5Seal(record, length, state->macSecret, sequenceBytes, &state->rc4);
}

int32_t openRc4Record(uint8_t* body, uint32_t length, RecordState* state) noexcept {
    uint8_t sequenceBytes[4];
    storeBe32(sequenceBytes, state->sequence++);
    uint8_t mac[16];
    const WipeOnExit wipeMac(mac);
    rc4Md5Open(body, length, state->macSecret, sequenceBytes, &state->rc4, mac);
    if (ctMemEqual(mac, body, MAC_LENGTH) == 0) {
        return OPEN_MAC_MISMATCH;
    }
    if (body[MAC_LENGTH] != 0) {
        return OPEN_BAD_PADDING;
    }
    return static_cast<int32_t>(length - MAC_LENGTH - 1);
}

void desEde3CbcRecord(RecordState* state, uint8_t* data, uint32_t length, int encrypt) noexcept {
    desEde3CbcCrypt(data, data, static_cast<int32_t>(length), &state->des[0], &state->des[1],
                    &state->des[2], state->iv, encrypt);
}

// One half keyed from its slice of the key material: the slice is both the
// cipher key and the MAC secret.
void keyRecordState(RecordState* state, uint32_t suite, const uint8_t* key,
                    const uint8_t* iv) noexcept {
    state->sequence = 0;
    state->suite = &CIPHER_SUITES[suite];
    std::memcpy(state->macSecret, key, state->suite->keyLength);
    if (suite == SUITE_RC4) {
        rc4SetKey(key, state->suite->keyLength, &state->rc4);
        state->cipher = rc4Record;
        return;
    }
    for (uint32_t i = 0; i < 3; ++i) {
        desSetKey(key + 8 * i, &state->des[i]);
    }
    std::memcpy(state->iv, iv, sizeof(state->iv));
    state->cipher = desEde3CbcRecord;
}

}  // namespace

void deriveKeys(Channel* channel, const uint8_t* masterSecret, const uint8_t* iv) noexcept {
    const uint32_t keyLength = CIPHER_SUITES[channel->suite].keyLength;
    Md5Context md5;
    const WipeOnExit wipeMd5(md5);
    for (uint32_t i = 0; i < 3; ++i) {
        const uint8_t label = static_cast<uint8_t>('0' + i);
        md5Init(&md5);
        md5Update(&md5, masterSecret, keyLength);
        md5Update(&md5, &label, 1);
        md5Update(&md5, channel->clientRandom, sizeof(channel->clientRandom));
        md5Update(&md5, channel->serverRandom, sizeof(channel->serverRandom));
        md5Final(channel->keyMaterial + 16 * i, &md5);
    }
    // The first slice protects what the server sends, the second what the
    // client sends.
    const uint8_t* serverToClient = channel->keyMaterial;
    const uint8_t* clientToServer = channel->keyMaterial + keyLength;
    const bool server = channel->isServer != 0;
    keyRecordState(&channel->write, channel->suite, server ? serverToClient : clientToServer, iv);
    keyRecordState(&channel->read, channel->suite, server ? clientToServer : serverToClient, iv);
}

uint32_t sealRecord(uint8_t* payload, uint32_t length, RecordState* state) noexcept {
    const uint32_t blockSize = state->suite->blockSize;
    uint32_t recordLength = MAC_LENGTH + length + 1;
    const uint32_t padding = (blockSize - recordLength % blockSize) % blockSize;
    recordLength += padding;
    if (padding > 0) {
        // Zero first: should the pool refuse, no stale byte of the host's
        // buffer goes out as padding.
        std::memset(payload + length, 0, padding);
        randomBytes(payload + length, padding);
    }
    payload[-1] = static_cast<uint8_t>(padding);
    uint8_t* record = payload - 1 - MAC_LENGTH;
    if (state->cipher == rc4Record) {
        sealRc4Record(record, recordLength, state);
        return recordLength;
    }
    recordMac(state, payload - 1, 1 + length + padding, record);
    state->cipher(state, record, recordLength, 1);
    return recordLength;
}

int32_t openRecord(uint8_t* body, uint32_t length, RecordState* state) noexcept {
    const uint32_t blockSize = state->suite->blockSize;
    if (length < MAC_LENGTH + 1) {
        return OPEN_TOO_SHORT;
    }
    if (length % blockSize != 0) {
        return OPEN_NOT_BLOCK_MULTIPLE;
    }
    if (state->cipher == rc4Record) {
        return openRc4Record(body, length, state);
    }
    state->cipher(state, body, length, 0);
    uint8_t mac[16];
    const WipeOnExit wipeMac(mac);
    recordMac(state, body + MAC_LENGTH, length - MAC_LENGTH, mac);
    if (ctMemEqual(mac, body, MAC_LENGTH) == 0) {
        return OPEN_MAC_MISMATCH;
    }
    const uint32_t padding = body[MAC_LENGTH];
    if (padding >= blockSize) {
        return OPEN_BAD_PADDING;
    }
    return static_cast<int32_t>(length - padding - MAC_LENGTH - 1);
}

void consumeInput(uint8_t* buffer, uint32_t total, uint32_t count) noexcept {
    if (total > count) {
        std::memmove(buffer, buffer + count, total - count);
    }
    secureWipe(buffer + (total - count), count);
}

int32_t recordSealData(const uint8_t* data, uint32_t offered, uint8_t* output, uint32_t capacity,
                       Channel* channel, uint32_t* taken, uint32_t* written) noexcept {
    const CipherSuite& suite = *channel->write.suite;
    const uint32_t usable = capacity < SEAL_CAPACITY_MAX ? capacity : SEAL_CAPACITY_MAX;
    // The largest payload whose record, padding included, fits: usable minus
    // the header and whatever padding the block size forces.
    const int64_t room = static_cast<int64_t>(usable) -
                         (usable >= 2 ? (usable - 2) % suite.blockSize : 0) - RECORD_HEADER;
    if (output == nullptr || room < 0) {
        return VC_NO_MEMORY;
    }
    const uint32_t length =
        data == nullptr ? 0 : (offered < room ? offered : static_cast<uint32_t>(room));
    if (length > 0) {
        std::memcpy(output + RECORD_HEADER, data, length);
    }
    const uint32_t recordLength = sealRecord(output + RECORD_HEADER, length, &channel->write);
    storeBe16(output, static_cast<uint16_t>(recordLength));
    *taken = length;
    *written = recordLength + 2;
    return VC_SEND_DATA;
}

int32_t recordOpenData(uint8_t* input, uint32_t* inputLength, uint8_t* output,
                       uint32_t* outputLength, Channel* channel) noexcept {
    if (input == nullptr || inputLength == nullptr || *inputLength < 2) {
        return VC_RECEIVE_MORE_DATA;
    }
    const uint32_t length = loadBe16(input);
    if (length >= RECORD_LENGTH_LIMIT) {
        return VC_DECRYPTION_FAILED;
    }
    if (length > *inputLength - 2) {
        return VC_RECEIVE_MORE_DATA;
    }
    const int32_t opened = openRecord(input + 2, length, &channel->read);
    if (opened < 0) {
        return VC_DECRYPTION_FAILED;
    }
    if (opened > 0) {
        std::memcpy(output, input + RECORD_HEADER, static_cast<uint32_t>(opened));
    }
    *outputLength = static_cast<uint32_t>(opened);
    consumeInput(input, *inputLength, length + 2);
    *inputLength -= length + 2;
    return VC_OK;
}

}  // namespace vc
