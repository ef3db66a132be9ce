// RC4 records with their MD5 MAC in one pass. A record is
//
//   [16-byte MAC | body], length bytes in all, encrypted as one piece,
//
// and its MAC is MD5(secret || body || suffix) with a 16-byte secret and a
// 4-byte suffix (the sequence number). Because the secret is as long as the
// MAC it stands in for, MD5 block k of that message is bytes 64k..64k+63 of
// the record with the secret in front: each block is hashed while the
// keystream for a neighbouring block is drawn, and the two dependency
// chains, MD5's rounds and RC4's index walk, fill each other's stalls.
// Results are exactly those of md5 over the message and rc4Crypt over the
// record in turn, keystream for the MAC first.
#pragma once

#include <cstdint>

#include "crypto/rc4.h"

namespace vc {

constexpr uint32_t RC4_MD5_MAC_LENGTH = 16;

// Seals in place: takes length >= 16 bytes whose body (from byte 16) is the
// plaintext, writes the MAC into the first 16 bytes and encrypts all of it.
void rc4Md5Seal(uint8_t* record, uint32_t length, const uint8_t secret[16], const uint8_t suffix[4],
                Rc4State* state) noexcept;

// Opens in place: decrypts the length >= 16 bytes of a record and writes
// the MAC its decrypted body should carry to mac, for the caller's
// constant-time comparison with the first 16 decrypted bytes.
void rc4Md5Open(uint8_t* record, uint32_t length, const uint8_t secret[16], const uint8_t suffix[4],
                Rc4State* state, uint8_t mac[16]) noexcept;

}  // namespace vc
