// RSA operations per second on the committed test keys, each beside OpenSSL's
// PKCS#1 v1.5 equivalent on the same key and block in the same run: private
// decryption with the CRT members, and public recovery with e = 65537.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "bignum/rsa.h"
#include "crypto/random_pool.h"
#include "support/openssl_bignum.h"

namespace {

using Bytes = std::vector<uint8_t>;

// One key in both forms, plus a PKCS#1 v1.5 cipher block and signature made
// by OpenSSL, so both sides work on identical input.
struct BenchKey {
    vctest::TestKey test;
    vc::RsaPublicKey pub{};
    Bytes cipher;
    Bytes signature;
};

// The private operations are blinded only with a seeded pool, as in a real
// process; 255 distinct bytes reach the entropy goal.
void seedPoolOnce() {
    static const bool seeded = [] {
        uint8_t seed[255];
        for (uint32_t i = 0; i < sizeof seed; ++i) {
            seed[i] = static_cast<uint8_t>(i);
        }
        return vc::vcSeedCallback(seed, sizeof seed) == -1;
    }();
    (void)seeded;
}

bool loadKey(int bits, BenchKey* out) {
    seedPoolOnce();
    if (!vctest::loadTestKey(bits, &out->test)) {
        return false;
    }
    out->pub = vctest::publicOf(out->test.key);
    Bytes message(48);
    for (size_t i = 0; i < message.size(); ++i) {
        message[i] = static_cast<uint8_t>(i * 37 + 11);
    }
    RSA* rsa = out->test.rsa.get();
    const int k = static_cast<int>(out->test.k);
    const int m = static_cast<int>(message.size());
    out->cipher.resize(out->test.k);
    out->signature.resize(out->test.k);
    return RSA_public_encrypt(m, message.data(), out->cipher.data(), rsa, RSA_PKCS1_PADDING) == k &&
           RSA_private_encrypt(m, message.data(), out->signature.data(), rsa, RSA_PKCS1_PADDING) ==
               k;
}

// Times operation(key, out), which returns false if the block was refused.
template <typename Operation>
void runOperation(benchmark::State& state, int bits, Operation operation) {
    BenchKey key;
    if (!loadKey(bits, &key)) {
        state.SkipWithError("test key not readable");
        return;
    }
    uint8_t out[512];
    for (auto _ : state) {
        if (!operation(key, out)) {
            state.SkipWithError("block refused");
            break;
        }
        benchmark::DoNotOptimize(out);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void privateVeilcastnet(benchmark::State& state, int bits) {
    runOperation(state, bits, [](const BenchKey& key, uint8_t* out) {
        uint32_t length = 0;
        return vc::rsaPrivateDecrypt(key.cipher.data(), key.test.k, &key.test.key, out, &length) ==
               vc::CRYPTO_OK;
    });
}

void privateOpenSsl(benchmark::State& state, int bits) {
    runOperation(state, bits, [](const BenchKey& key, uint8_t* out) {
        return RSA_private_decrypt(static_cast<int>(key.test.k), key.cipher.data(), out,
                                   key.test.rsa.get(), RSA_PKCS1_PADDING) >= 0;
    });
}

void publicVeilcastnet(benchmark::State& state, int bits) {
    runOperation(state, bits, [](const BenchKey& key, uint8_t* out) {
        uint32_t length = 0;
        return vc::rsaPublicRecover(key.signature.data(), key.test.k, &key.pub, out, &length) ==
               vc::CRYPTO_OK;
    });
}

void publicOpenSsl(benchmark::State& state, int bits) {
    runOperation(state, bits, [](const BenchKey& key, uint8_t* out) {
        return RSA_public_decrypt(static_cast<int>(key.test.k), key.signature.data(), out,
                                  key.test.rsa.get(), RSA_PKCS1_PADDING) >= 0;
    });
}

}  // namespace

BENCHMARK_CAPTURE(privateVeilcastnet, 1024, 1024)->Name("rsa1024-private/veilcastnet");
BENCHMARK_CAPTURE(privateOpenSsl, 1024, 1024)->Name("rsa1024-private/openssl");
BENCHMARK_CAPTURE(privateVeilcastnet, 2048, 2048)->Name("rsa2048-private/veilcastnet");
BENCHMARK_CAPTURE(privateOpenSsl, 2048, 2048)->Name("rsa2048-private/openssl");
BENCHMARK_CAPTURE(publicVeilcastnet, 2048, 2048)->Name("rsa2048-public/veilcastnet");
BENCHMARK_CAPTURE(publicOpenSsl, 2048, 2048)->Name("rsa2048-public/openssl");
BENCHMARK_CAPTURE(privateVeilcastnet, 4096, 4096)->Name("rsa4096-private/veilcastnet");
BENCHMARK_CAPTURE(privateOpenSsl, 4096, 4096)->Name("rsa4096-private/openssl");
BENCHMARK_CAPTURE(publicVeilcastnet, 4096, 4096)->Name("rsa4096-public/veilcastnet");
BENCHMARK_CAPTURE(publicOpenSsl, 4096, 4096)->Name("rsa4096-public/openssl");
