// Record throughput on a connection pair whose handshake is complete: each
// iteration seals 16 KiB of payload on the client and opens the record on
// the server, and counts the 16 KiB once. Beside it, OpenSSL does the same
// work on the same buffers through EVP: the payload copied behind the
// record header, MD5 over MAC secret, padding count, payload, padding and
// sequence number, then RC4 or DES-EDE3-CBC over MAC and body; opening
// decrypts in place, recomputes and compares the MAC and copies the payload
// out. Our opening also wipes the consumed record in the input buffer,
// which OpenSSL's side does not.
#include <benchmark/benchmark.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <openssl/rand.h>

#include <cstdint>
#include <cstring>
#include <memory>

#include "channel_pair.h"

namespace {

constexpr uint32_t PAYLOAD_BYTES = 16 * 1024;
// A sealed record needs 2 + 16 + 1 bytes in front of the payload and up to
// 7 padding bytes behind it.
constexpr uint32_t RECORD_ROOM = PAYLOAD_BYTES + 64;
// vcOpenRecord's output must hold the largest payload a record can carry.
constexpr uint32_t OPENED_ROOM = 65536;
constexpr uint32_t MAC_OFFSET = 2;
constexpr uint32_t PADDING_COUNT_OFFSET = 18;
constexpr uint32_t PAYLOAD_OFFSET = 19;

// The same three buffers for both sides, allocated once per benchmark.
struct RecordBuffers {
    vcbench::AlignedBytes payload = vcbench::AlignedBytes(PAYLOAD_BYTES);
    vcbench::AlignedBytes record = vcbench::AlignedBytes(RECORD_ROOM);
    vcbench::AlignedBytes opened = vcbench::AlignedBytes(OPENED_ROOM);

    RecordBuffers() {
        for (std::size_t i = 0; i < payload.size(); ++i) {
            payload[i] = static_cast<uint8_t>(i * 131 + 7);
        }
    }
    bool roundTripped() const {
        return std::memcmp(opened.data(), payload.data(), PAYLOAD_BYTES) == 0;
    }
};

void reportRecords(benchmark::State& state, uint32_t recordLength) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * PAYLOAD_BYTES);
    state.counters["record_bytes"] = recordLength;
}

void recordVeilcastnet(benchmark::State& state, uint32_t cipherMask) {
    if (!vcbench::libraryReady()) {
        state.SkipWithError("vcInitialize failed");
        return;
    }
    const vcbench::ContextPair contexts("server.pem", "server.key", cipherMask);
    vcbench::HandshakeBuffers handshakeBuffers;
    VcConnection* client = nullptr;
    VcConnection* server = nullptr;
    if (!contexts.ok() ||
        !vcbench::handshake(contexts, "server.example", &handshakeBuffers, &client, &server)) {
        state.SkipWithError("no connection pair");
        return;
    }
    RecordBuffers buffers;
    uint32_t sealedLength = 0;
    for (auto _ : state) {
        uint32_t taken = PAYLOAD_BYTES;
        uint32_t recordLength = RECORD_ROOM;
        if (vcSealRecord(buffers.payload.data(), &taken, buffers.record.data(), &recordLength,
                         client) != VC_SEND_DATA ||
            taken != PAYLOAD_BYTES) {
            state.SkipWithError("seal failed");
            break;
        }
        sealedLength = recordLength;
        uint32_t openedLength = 0;
        const int32_t result = vcOpenRecord(buffers.record.data(), &recordLength,
                                            buffers.opened.data(), &openedLength, server);
        if (result != VC_OK || openedLength != PAYLOAD_BYTES || recordLength != 0) {
            if (result == VC_DECRYPTION_FAILED) {
                server = nullptr;  // the library has destroyed it
            }
            state.SkipWithError("open failed");
            break;
        }
        benchmark::ClobberMemory();
    }
    if (!state.error_occurred() && !buffers.roundTripped()) {
        state.SkipWithError("payload changed on the way");
    }
    vcDestroyConnection(client);
    vcDestroyConnection(server);
    reportRecords(state, sealedLength);
}

struct CipherFree {
    void operator()(EVP_CIPHER* cipher) const { EVP_CIPHER_free(cipher); }
};
struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
struct MdFree {
    void operator()(EVP_MD* md) const { EVP_MD_free(md); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

// RC4 lives in OpenSSL's legacy provider; loading it stops the default
// provider from loading by itself, so both are loaded, once.
bool providersLoaded() {
    static const bool loaded = OSSL_PROVIDER_load(nullptr, "legacy") != nullptr &&
                               OSSL_PROVIDER_load(nullptr, "default") != nullptr;
    return loaded;
}

// OpenSSL's side of a record benchmark, whichever record Direction builds
// (made from args): each iteration seals the payload and opens the record
// again.
template <typename Direction, typename... Args>
void runOpenSslRecords(benchmark::State& state, const char* setupError, Args... args) {
    if (!providersLoaded()) {
        state.SkipWithError("OpenSSL providers not loaded");
        return;
    }
    Direction direction(args...);
    if (!direction.ok()) {
        state.SkipWithError(setupError);
        return;
    }
    RecordBuffers buffers;
    uint32_t sealedLength = 0;
    for (auto _ : state) {
        sealedLength = direction.seal(buffers.payload.data(), PAYLOAD_BYTES, buffers.record.data());
        if (sealedLength == 0 ||
            direction.open(buffers.record.data(), buffers.opened.data()) != PAYLOAD_BYTES) {
            state.SkipWithError("record round trip failed");
            break;
        }
        benchmark::ClobberMemory();
    }
    if (!state.error_occurred() && !buffers.roundTripped()) {
        state.SkipWithError("payload changed on the way");
    }
    reportRecords(state, sealedLength);
}

constexpr uint8_t KEY[24] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef,
                             0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef, 0x01,
                             0x45, 0x67, 0x89, 0xab, 0xcd, 0xef, 0x01, 0x23};
constexpr uint8_t IV[8] = {0x12, 0x34, 0x56, 0x78, 0x90, 0xab, 0xcd, 0xef};

// One direction of a channel in OpenSSL terms: the sealing and the opening
// cipher state, both keyed alike, the key doubling as MAC secret, and a
// sequence number for each end.
class OpenSslDirection {
  public:
    OpenSslDirection(const char* cipherName, uint32_t keyLength, uint32_t blockSize)
        : cipher_(EVP_CIPHER_fetch(nullptr, cipherName, nullptr)),
          md5_(EVP_MD_fetch(nullptr, "MD5", nullptr)),
          seal_(EVP_CIPHER_CTX_new()),
          open_(EVP_CIPHER_CTX_new()),
          md_(EVP_MD_CTX_new()),
          keyLength_(keyLength),
          blockSize_(blockSize) {
        ok_ = cipher_ != nullptr && md5_ != nullptr && seal_ != nullptr && open_ != nullptr &&
              md_ != nullptr &&
              EVP_EncryptInit_ex2(seal_.get(), cipher_.get(), KEY, IV, nullptr) == 1 &&
              EVP_DecryptInit_ex2(open_.get(), cipher_.get(), KEY, IV, nullptr) == 1 &&
              EVP_CIPHER_CTX_get_key_length(seal_.get()) == static_cast<int>(keyLength) &&
              EVP_CIPHER_CTX_set_padding(seal_.get(), 0) == 1 &&
              EVP_CIPHER_CTX_set_padding(open_.get(), 0) == 1;
    }

    bool ok() const { return ok_; }

    // Seals length payload bytes into record; answers the record's length
    // with its length field, 0 on failure.
    uint32_t seal(const uint8_t* payload, uint32_t length, uint8_t* record) {
        std::memcpy(record + PAYLOAD_OFFSET, payload, length);
        const uint32_t padding = (blockSize_ - (16 + 1 + length) % blockSize_) % blockSize_;
        if (padding > 0 && RAND_bytes(record + PAYLOAD_OFFSET + length, padding) != 1) {
            return 0;
        }
        record[PADDING_COUNT_OFFSET] = static_cast<uint8_t>(padding);
        const uint32_t body = 16 + 1 + length + padding;
        int written = 0;
        if (!mac(record + PADDING_COUNT_OFFSET, 1 + length + padding, sendSequence_++,
                 record + MAC_OFFSET) ||
            EVP_EncryptUpdate(seal_.get(), record + MAC_OFFSET, &written, record + MAC_OFFSET,
                              static_cast<int>(body)) != 1 ||
            written != static_cast<int>(body)) {
            return 0;
        }
        record[0] = static_cast<uint8_t>(body >> 8);
        record[1] = static_cast<uint8_t>(body);
        return body + 2;
    }

    // Opens a record in place and copies its payload to out; answers the
    // payload length, -1 on failure.
    int64_t open(uint8_t* record, uint8_t* out) {
        const uint32_t body = (static_cast<uint32_t>(record[0]) << 8) | record[1];
        int written = 0;
        uint8_t expected[16];
        if (body < 17 || body % blockSize_ != 0 ||
            EVP_DecryptUpdate(open_.get(), record + MAC_OFFSET, &written, record + MAC_OFFSET,
                              static_cast<int>(body)) != 1 ||
            written != static_cast<int>(body) ||
            !mac(record + PADDING_COUNT_OFFSET, body - 16, receiveSequence_++, expected) ||
            CRYPTO_memcmp(expected, record + MAC_OFFSET, 16) != 0 ||
            record[PADDING_COUNT_OFFSET] >= blockSize_) {
            return -1;
        }
        const uint32_t length = body - 17 - record[PADDING_COUNT_OFFSET];
        std::memcpy(out, record + PAYLOAD_OFFSET, length);
        return length;
    }

  private:
    bool mac(const uint8_t* data, uint32_t length, uint32_t sequence, uint8_t* out) {
        const uint8_t sequenceBytes[4] = {
            static_cast<uint8_t>(sequence >> 24), static_cast<uint8_t>(sequence >> 16),
            static_cast<uint8_t>(sequence >> 8), static_cast<uint8_t>(sequence)};
        unsigned int outLength = 0;
        return EVP_DigestInit_ex2(md_.get(), md5_.get(), nullptr) == 1 &&
               EVP_DigestUpdate(md_.get(), KEY, keyLength_) == 1 &&
               EVP_DigestUpdate(md_.get(), data, length) == 1 &&
               EVP_DigestUpdate(md_.get(), sequenceBytes, sizeof sequenceBytes) == 1 &&
               EVP_DigestFinal_ex(md_.get(), out, &outLength) == 1 && outLength == 16;
    }

    std::unique_ptr<EVP_CIPHER, CipherFree> cipher_;
    std::unique_ptr<EVP_MD, MdFree> md5_;
    std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> seal_;
    std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> open_;
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> md_;
    uint32_t keyLength_;
    uint32_t blockSize_;
    uint32_t sendSequence_ = 0;
    uint32_t receiveSequence_ = 0;
    bool ok_ = false;
};

void recordOpenSsl(benchmark::State& state, const char* cipherName, uint32_t keyLength,
                   uint32_t blockSize) {
    runOpenSslRecords<OpenSslDirection>(state, "OpenSSL cipher not set up", cipherName, keyLength,
                                        blockSize);
}

}  // namespace

BENCHMARK_CAPTURE(recordVeilcastnet, rc4, VC_CIPHER_RC4_128)->Name("record-rc4/veilcastnet");
BENCHMARK_CAPTURE(recordOpenSsl, rc4, "RC4", 16, 1)->Name("record-rc4/openssl");
BENCHMARK_CAPTURE(recordVeilcastnet, des_ede3_cbc, VC_CIPHER_DES_EDE3_CBC)
    ->Name("record-des-ede3-cbc/veilcastnet");
BENCHMARK_CAPTURE(recordOpenSsl, des_ede3_cbc, "DES-EDE3-CBC", 24, 8)
    ->Name("record-des-ede3-cbc/openssl");

// record-rc4-stitched: our RC4 record (MAC and keystream in one pass) beside
// OpenSSL's stitched RC4-HMAC-MD5 cipher in its record mode, each sealing
// and opening 16 KiB records in the same buffers. OpenSSL's record is the
// padding count and payload with the MAC behind them, 16 + 1 + 16 KiB
// encrypted as ours is, its MAC HMAC-MD5 over a 13-byte header (sequence
// number, type, version, length) and the data; opening decrypts in place,
// checks the MAC and copies the payload out.
namespace {

constexpr uint32_t STITCHED_MAC_LENGTH = 16;
constexpr uint32_t STITCHED_BODY_OFFSET = 2;
constexpr uint32_t STITCHED_PAYLOAD_OFFSET = 3;

class OpenSslStitchedDirection {
  public:
    OpenSslStitchedDirection()
        : cipher_(EVP_CIPHER_fetch(nullptr, "RC4-HMAC-MD5", nullptr)),
          seal_(EVP_CIPHER_CTX_new()),
          open_(EVP_CIPHER_CTX_new()) {
        ok_ = cipher_ != nullptr && seal_ != nullptr && open_ != nullptr &&
              EVP_EncryptInit_ex2(seal_.get(), cipher_.get(), KEY, nullptr, nullptr) == 1 &&
              EVP_DecryptInit_ex2(open_.get(), cipher_.get(), KEY, nullptr, nullptr) == 1 &&
              EVP_CIPHER_CTX_get_key_length(seal_.get()) == 16 && setMacKey(seal_.get()) &&
              setMacKey(open_.get());
    }

    bool ok() const { return ok_; }

    uint32_t seal(const uint8_t* payload, uint32_t length, uint8_t* record) {
        std::memcpy(record + STITCHED_PAYLOAD_OFFSET, payload, length);
        record[STITCHED_BODY_OFFSET] = 0;
        const uint32_t plain = 1 + length;
        const uint32_t body = plain + STITCHED_MAC_LENGTH;
        int written = 0;
        if (!header(seal_.get(), sendSequence_++, plain) ||
            EVP_EncryptUpdate(seal_.get(), record + STITCHED_BODY_OFFSET, &written,
                              record + STITCHED_BODY_OFFSET, static_cast<int>(body)) != 1 ||
            written != static_cast<int>(body)) {
            return 0;
        }
        record[0] = static_cast<uint8_t>(body >> 8);
        record[1] = static_cast<uint8_t>(body);
        return body + 2;
    }

    int64_t open(uint8_t* record, uint8_t* out) {
        const uint32_t body = (static_cast<uint32_t>(record[0]) << 8) | record[1];
        int written = 0;
        if (body < STITCHED_MAC_LENGTH + 1 || !header(open_.get(), receiveSequence_++, body) ||
            EVP_DecryptUpdate(open_.get(), record + STITCHED_BODY_OFFSET, &written,
                              record + STITCHED_BODY_OFFSET, static_cast<int>(body)) != 1 ||
            record[STITCHED_BODY_OFFSET] != 0) {
            return -1;
        }
        const uint32_t length = body - STITCHED_MAC_LENGTH - 1;
        std::memcpy(out, record + STITCHED_PAYLOAD_OFFSET, length);
        return length;
    }

  private:
    static bool setMacKey(EVP_CIPHER_CTX* ctx) {
        return EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_MAC_KEY, 16, const_cast<uint8_t*>(KEY)) >
               0;
    }

    // The record header the MAC covers; OpenSSL answers the MAC length. An
    // opening side gives the length with the MAC, which OpenSSL takes off.
    static bool header(EVP_CIPHER_CTX* ctx, uint64_t sequence, uint32_t length) {
        uint8_t aad[13];
        for (int i = 0; i < 8; ++i) {
            aad[i] = static_cast<uint8_t>(sequence >> (56 - 8 * i));
        }
        aad[8] = 23;
        aad[9] = 3;
        aad[10] = 3;
        aad[11] = static_cast<uint8_t>(length >> 8);
        aad[12] = static_cast<uint8_t>(length);
        return EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_TLS1_AAD, sizeof aad, aad) ==
               static_cast<int>(STITCHED_MAC_LENGTH);
    }

    std::unique_ptr<EVP_CIPHER, CipherFree> cipher_;
    std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> seal_;
    std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> open_;
    uint64_t sendSequence_ = 0;
    uint64_t receiveSequence_ = 0;
    bool ok_ = false;
};

void recordStitchedOpenSsl(benchmark::State& state) {
    runOpenSslRecords<OpenSslStitchedDirection>(state, "OpenSSL stitched cipher not set up");
}

}  // namespace

BENCHMARK_CAPTURE(recordVeilcastnet, rc4_stitched, VC_CIPHER_RC4_128)
    ->Name("record-rc4-stitched/veilcastnet");
BENCHMARK(recordStitchedOpenSsl)->Name("record-rc4-stitched/openssl");
