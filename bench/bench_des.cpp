// Triple-DES CBC throughput over 16 KiB buffers, beside OpenSSL in the same
// run: encryption against DES_ede3_cbc_encrypt, decryption against the EVP
// des-ede3-cbc cipher (what a program using OpenSSL would call). Keys are
// scheduled once; each iteration continues the chain through the IV, as a
// connection does.
#include <benchmark/benchmark.h>
#include <openssl/des.h>
#include <openssl/evp.h>

#include <cstring>

#include "crypto/des.h"
#include "throughput.h"

namespace {

constexpr uint8_t KEYS[24] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef,
                              0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef, 0x01,
                              0x45, 0x67, 0x89, 0xab, 0xcd, 0xef, 0x01, 0x23};
constexpr uint8_t IV[8] = {0x12, 0x34, 0x56, 0x78, 0x90, 0xab, 0xcd, 0xef};

// Encrypts (encrypt 1) or decrypts (0) the buffer over and over.
void desEde3CbcVeilcastnet(benchmark::State& state, int32_t encrypt) {
    struct Keys {
        vc::DesKeySchedule k[3];
        uint8_t iv[8];
    };
    Keys* keys = vcbench::placedState<Keys>();
    vc::DesKeySchedule* k = keys->k;
    for (int i = 0; i < 3; ++i) {
        vc::desSetKey(KEYS + 8 * i, &k[i]);
    }
    std::memcpy(keys->iv, IV, sizeof keys->iv);
    vcbench::runOverBuffer(state, [k, keys, encrypt](uint8_t* data, std::size_t length) {
        vc::desEde3CbcCrypt(data, data, static_cast<int32_t>(length), &k[0], &k[1], &k[2], keys->iv,
                            encrypt);
    });
}

void desEde3CbcOpenSsl(benchmark::State& state) {
    struct Keys {
        DES_key_schedule k[3];
        DES_cblock iv;
    };
    Keys* keys = vcbench::placedState<Keys>();
    DES_key_schedule* k = keys->k;
    for (int i = 0; i < 3; ++i) {
        DES_cblock key;
        std::memcpy(key, KEYS + 8 * i, 8);
        DES_set_key_unchecked(&key, &k[i]);
    }
    std::memcpy(keys->iv, IV, sizeof keys->iv);
    vcbench::runOverBuffer(state, [k, keys](uint8_t* data, std::size_t length) {
        DES_ede3_cbc_encrypt(data, data, static_cast<long>(length), &k[0], &k[1], &k[2], &keys->iv,
                             DES_ENCRYPT);
    });
}

void desEde3CbcDecryptOpenSsl(benchmark::State& state) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (ctx == nullptr || EVP_DecryptInit_ex(ctx, EVP_des_ede3_cbc(), nullptr, KEYS, IV) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx, 0) != 1) {
        EVP_CIPHER_CTX_free(ctx);
        state.SkipWithError("OpenSSL cipher not set up");
        return;
    }
    bool failed = false;
    vcbench::runOverBuffer(state, [ctx, &failed](uint8_t* data, std::size_t length) {
        int written = 0;
        failed |= EVP_DecryptUpdate(ctx, data, &written, data, static_cast<int>(length)) != 1 ||
                  written != static_cast<int>(length);
    });
    if (failed) {
        state.SkipWithError("OpenSSL decryption failed");
    }
    EVP_CIPHER_CTX_free(ctx);
}

}  // namespace

BENCHMARK_CAPTURE(desEde3CbcVeilcastnet, decrypt, 0)->Name("des-ede3-cbc-decrypt/veilcastnet");
BENCHMARK(desEde3CbcDecryptOpenSsl)->Name("des-ede3-cbc-decrypt/openssl");
BENCHMARK_CAPTURE(desEde3CbcVeilcastnet, encrypt, 1)->Name("des-ede3-cbc/veilcastnet");
BENCHMARK(desEde3CbcOpenSsl)->Name("des-ede3-cbc/openssl");
