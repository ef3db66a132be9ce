// RSA operations per second on the committed test keys, each beside OpenSSL's
// PKCS#1 v1.5 equivalent on the same key and block in the same run: private
// decryption with the CRT members, and public recovery with e = 65537.
#include <benchmark/benchmark.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bignum/bignum.h"
#include "bignum/rsa.h"

namespace {

using Bytes = std::vector<uint8_t>;

vc::BigNum toBigNum(const BIGNUM* bn) {
    vc::BigNum out{};
    Bytes bytes(static_cast<size_t>(BN_num_bytes(bn)));
    BN_bn2bin(bn, bytes.data());
    vc::bigNumFromBytes(bytes.data(), static_cast<uint32_t>(bytes.size()), &out);
    return out;
}

// One key in both forms, plus a PKCS#1 v1.5 cipher block and signature made
// by OpenSSL, so both sides work on identical input.
struct BenchKey {
    RSA* rsa = nullptr;
    vc::RsaPrivateKey key{};
    Bytes cipher;
    Bytes signature;
    ~BenchKey() { RSA_free(rsa); }
};

bool loadKey(int bits, BenchKey* out) {
    const std::string path =
        std::string(VC_TEST_DATA_DIR) + "/keys/rsa-" + std::to_string(bits) + ".pem";
    BIO* bio = BIO_new_file(path.c_str(), "r");
    if (bio == nullptr) {
        return false;
    }
    out->rsa = PEM_read_bio_RSAPrivateKey(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    if (out->rsa == nullptr) {
        return false;
    }
    const BIGNUM *n, *e, *d, *p, *q, *dP, *dQ, *qInv;
    RSA_get0_key(out->rsa, &n, &e, &d);
    RSA_get0_factors(out->rsa, &p, &q);
    RSA_get0_crt_params(out->rsa, &dP, &dQ, &qInv);
    out->key.n = toBigNum(n);
    out->key.e = toBigNum(e);
    out->key.d = toBigNum(d);
    out->key.p = toBigNum(p);
    out->key.q = toBigNum(q);
    out->key.dP = toBigNum(dP);
    out->key.dQ = toBigNum(dQ);
    out->key.qInv = toBigNum(qInv);

    const size_t k = static_cast<size_t>(RSA_size(out->rsa));
    Bytes message(48);
    for (size_t i = 0; i < message.size(); ++i) {
        message[i] = static_cast<uint8_t>(i * 37 + 11);
    }
    out->cipher.resize(k);
    out->signature.resize(k);
    const int m = static_cast<int>(message.size());
    return RSA_public_encrypt(m, message.data(), out->cipher.data(), out->rsa, RSA_PKCS1_PADDING) ==
               static_cast<int>(k) &&
           RSA_private_encrypt(m, message.data(), out->signature.data(), out->rsa,
                               RSA_PKCS1_PADDING) == static_cast<int>(k);
}

void privateVeilcastnet(benchmark::State& state, int bits) {
    BenchKey key;
    if (!loadKey(bits, &key)) {
        state.SkipWithError("test key not readable");
        return;
    }
    uint8_t out[512];
    uint32_t length = 0;
    for (auto _ : state) {
        const vc::CryptoStatus status = vc::rsaPrivateDecrypt(
            key.cipher.data(), static_cast<uint32_t>(key.cipher.size()), &key.key, out, &length);
        if (status != vc::CRYPTO_OK) {
            state.SkipWithError("decryption refused");
            break;
        }
        benchmark::DoNotOptimize(out);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void privateOpenSsl(benchmark::State& state, int bits) {
    BenchKey key;
    if (!loadKey(bits, &key)) {
        state.SkipWithError("test key not readable");
        return;
    }
    uint8_t out[512];
    for (auto _ : state) {
        if (RSA_private_decrypt(static_cast<int>(key.cipher.size()), key.cipher.data(), out,
                                key.rsa, RSA_PKCS1_PADDING) < 0) {
            state.SkipWithError("decryption refused");
            break;
        }
        benchmark::DoNotOptimize(out);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void publicVeilcastnet(benchmark::State& state, int bits) {
    BenchKey key;
    if (!loadKey(bits, &key)) {
        state.SkipWithError("test key not readable");
        return;
    }
    vc::RsaPublicKey pub{};
    pub.n = key.key.n;
    pub.e = key.key.e;
    uint8_t out[512];
    uint32_t length = 0;
    for (auto _ : state) {
        const vc::CryptoStatus status = vc::rsaPublicRecover(
            key.signature.data(), static_cast<uint32_t>(key.signature.size()), &pub, out, &length);
        if (status != vc::CRYPTO_OK) {
            state.SkipWithError("recovery refused");
            break;
        }
        benchmark::DoNotOptimize(out);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void publicOpenSsl(benchmark::State& state, int bits) {
    BenchKey key;
    if (!loadKey(bits, &key)) {
        state.SkipWithError("test key not readable");
        return;
    }
    uint8_t out[512];
    for (auto _ : state) {
        if (RSA_public_decrypt(static_cast<int>(key.signature.size()), key.signature.data(), out,
                               key.rsa, RSA_PKCS1_PADDING) < 0) {
            state.SkipWithError("recovery refused");
            break;
        }
        benchmark::DoNotOptimize(out);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

}  // namespace

BENCHMARK_CAPTURE(privateVeilcastnet, 1024, 1024)->Name("rsa1024-private/veilcastnet");
BENCHMARK_CAPTURE(privateOpenSsl, 1024, 1024)->Name("rsa1024-private/openssl");
BENCHMARK_CAPTURE(privateVeilcastnet, 2048, 2048)->Name("rsa2048-private/veilcastnet");
BENCHMARK_CAPTURE(privateOpenSsl, 2048, 2048)->Name("rsa2048-private/openssl");
BENCHMARK_CAPTURE(publicVeilcastnet, 2048, 2048)->Name("rsa2048-public/veilcastnet");
BENCHMARK_CAPTURE(publicOpenSsl, 2048, 2048)->Name("rsa2048-public/openssl");
