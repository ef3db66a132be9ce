// Modular exponentiation and its CRT form beside OpenSSL's Montgomery
// exponentiation on the same numbers, so the ratio is what gets read. Sizes
// are those of RSA: 512- and 1024-bit halves with full exponents (private
// keys of 1024 and 2048 bits) and a 2048-bit modulus with e = 65537.
#include <benchmark/benchmark.h>
#include <openssl/bn.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bignum/bignum.h"
#include "bignum/bignum_internal.h"

namespace {

using vc::BigNum;

BigNum fromBn(const BIGNUM* b) {
    BigNum x;
    std::memset(&x, 0, sizeof x);
    std::vector<uint8_t> bytes(static_cast<size_t>(BN_num_bytes(b)) + 1);
    const int n = BN_bn2bin(b, bytes.data());
    vc::bigNumFromBytes(bytes.data(), static_cast<uint32_t>(n), &x);
    return x;
}

BIGNUM* toBn(const BigNum& x) {
    std::vector<uint8_t> bytes(4 * x.length + 1);
    vc::bigNumToBytes(bytes.data(), 4 * x.length, &x);
    return BN_bin2bn(bytes.data(), static_cast<int>(4 * x.length), nullptr);
}

// An odd modulus with its top bit set, a base below it and an exponent of
// the same size (or 65537), all from a fixed seed.
struct Operands {
    BigNum n;
    BigNum base;
    BigNum exponent;
};

Operands makeOperands(uint32_t bits, bool shortExponent) {
    std::mt19937 rng(bits * 7 + (shortExponent ? 1 : 0));
    Operands o;
    const uint32_t words = bits / 32;
    o.n.length = o.base.length = o.exponent.length = words;
    for (uint32_t i = 0; i < words; ++i) {
        o.n.words[i] = rng();
        o.base.words[i] = rng();
        o.exponent.words[i] = rng();
    }
    o.n.words[0] |= 1;
    o.n.words[words - 1] |= 0x80000000u;
    o.base.words[words - 1] &= 0x7FFFFFFFu;
    o.exponent.words[words - 1] |= 0x80000000u;
    if (shortExponent) {
        o.exponent.words[0] = 65537;
        o.exponent.length = 1;
    }
    return o;
}

void modExpVeilcastnet(benchmark::State& state) {
    const Operands o = makeOperands(static_cast<uint32_t>(state.range(0)), state.range(1) != 0);
    BigNum out;
    for (auto _ : state) {
        vc::bigNumModExp(&o.base, &o.exponent, &o.n, &out);
        benchmark::DoNotOptimize(out);
    }
}

void modExpPlainVeilcastnet(benchmark::State& state) {
    const Operands o = makeOperands(static_cast<uint32_t>(state.range(0)), state.range(1) != 0);
    auto work = std::make_unique<vc::ModExpPlainWork>();
    BigNum out;
    for (auto _ : state) {
        vc::bigNumModExpPlain(&o.base, &o.exponent, &o.n, &out, work.get());
        benchmark::DoNotOptimize(out);
    }
}

void modExp32Veilcastnet(benchmark::State& state) {
    const Operands o = makeOperands(static_cast<uint32_t>(state.range(0)), state.range(1) != 0);
    auto work = std::make_unique<vc::ModExpWork32>();
    BigNum out;
    for (auto _ : state) {
        vc::bigNumModExpInterleaved32(&o.base, &o.exponent, &o.n, &out, work.get());
        benchmark::DoNotOptimize(out);
    }
}

void modExpOpenSsl(benchmark::State& state) {
    const Operands o = makeOperands(static_cast<uint32_t>(state.range(0)), state.range(1) != 0);
    BIGNUM* n = toBn(o.n);
    BIGNUM* base = toBn(o.base);
    BIGNUM* exponent = toBn(o.exponent);
    BIGNUM* out = BN_new();
    BN_CTX* ctx = BN_CTX_new();
    BN_MONT_CTX* mont = BN_MONT_CTX_new();
    BN_MONT_CTX_set(mont, n, ctx);
    for (auto _ : state) {
        // The secret-exponent routine for full exponents, as a private key
        // would use; the plain one for the public exponent.
        if (state.range(1) != 0) {
            BN_mod_exp_mont(out, base, exponent, n, ctx, mont);
        } else {
            BN_mod_exp_mont_consttime(out, base, exponent, n, ctx, mont);
        }
        benchmark::DoNotOptimize(out);
    }
    BN_MONT_CTX_free(mont);
    BN_CTX_free(ctx);
    BN_free(out);
    BN_free(exponent);
    BN_free(base);
    BN_free(n);
}

void modExpArgs(benchmark::internal::Benchmark* b) {
    b->Args({512, 0})->Args({1024, 0})->Args({2048, 1});
}

BENCHMARK(modExpVeilcastnet)->Apply(modExpArgs)->Unit(benchmark::kMicrosecond);
BENCHMARK(modExp32Veilcastnet)->Apply(modExpArgs)->Unit(benchmark::kMicrosecond);
BENCHMARK(modExpPlainVeilcastnet)->Apply(modExpArgs)->Unit(benchmark::kMicrosecond);
BENCHMARK(modExpOpenSsl)->Apply(modExpArgs)->Unit(benchmark::kMicrosecond);

// --- CRT on the test keys -------------------------------------------------

struct CrtKey {
    BigNum p, q, dP, dQ, qInv, c;
    RSA* rsa = nullptr;
};

bool loadKey(int bits, CrtKey* key) {
    const std::string path =
        std::string(VC_TEST_DATA_DIR) + "/keys/rsa-" + std::to_string(bits) + ".pem";
    FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr) {
        return false;
    }
    key->rsa = PEM_read_RSAPrivateKey(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    if (key->rsa == nullptr) {
        return false;
    }
    const BIGNUM *p, *q, *dP, *dQ, *qInv, *n;
    RSA_get0_factors(key->rsa, &p, &q);
    RSA_get0_crt_params(key->rsa, &dP, &dQ, &qInv);
    RSA_get0_key(key->rsa, &n, nullptr, nullptr);
    key->p = fromBn(p);
    key->q = fromBn(q);
    key->dP = fromBn(dP);
    key->dQ = fromBn(dQ);
    key->qInv = fromBn(qInv);
    BIGNUM* c = BN_new();
    BN_rshift1(c, n);
    key->c = fromBn(c);
    BN_free(c);
    return true;
}

void crtVeilcastnet(benchmark::State& state) {
    CrtKey key;
    if (!loadKey(static_cast<int>(state.range(0)), &key)) {
        state.SkipWithError("test key not found");
        return;
    }
    BigNum out;
    for (auto _ : state) {
        vc::bigNumModExpCrt(&key.c, &key.dP, &key.dQ, &key.p, &key.q, &key.qInv, &out);
        benchmark::DoNotOptimize(out);
    }
    RSA_free(key.rsa);
}

// The raw private-key operation (no padding), which is OpenSSL's CRT
// exponentiation with blinding turned off.
void crtOpenSsl(benchmark::State& state) {
    CrtKey key;
    if (!loadKey(static_cast<int>(state.range(0)), &key)) {
        state.SkipWithError("test key not found");
        return;
    }
    RSA_blinding_off(key.rsa);
    const int k = RSA_size(key.rsa);
    std::vector<uint8_t> in(static_cast<size_t>(k));
    std::vector<uint8_t> out(static_cast<size_t>(k));
    vc::bigNumToBytes(in.data(), static_cast<uint32_t>(k), &key.c);
    for (auto _ : state) {
        RSA_private_decrypt(k, in.data(), out.data(), key.rsa, RSA_NO_PADDING);
        benchmark::DoNotOptimize(out.data());
    }
    RSA_free(key.rsa);
}

BENCHMARK(crtVeilcastnet)->Arg(1024)->Arg(2048)->Unit(benchmark::kMicrosecond);
BENCHMARK(crtOpenSsl)->Arg(1024)->Arg(2048)->Unit(benchmark::kMicrosecond);

}  // namespace
