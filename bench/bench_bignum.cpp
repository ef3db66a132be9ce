// Modular exponentiation and its CRT form beside OpenSSL's Montgomery
// exponentiation on the same numbers, so the ratio is what gets read. Sizes
// are those of RSA: 512- and 1024-bit halves with full exponents (private
// keys of 1024 and 2048 bits) and a 2048-bit modulus with e = 65537.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "bignum/bignum.h"
#include "bignum/bignum_internal.h"
#include "support/openssl_bignum.h"

namespace {

using vc::BigNum;
using vctest::fromBn;

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

// One engine on its own work storage, on the same operands.
template <typename Work,
          void (*Engine)(const BigNum*, const BigNum*, const BigNum*, BigNum*, Work*) noexcept>
void modExpEngine(benchmark::State& state) {
    const Operands o = makeOperands(static_cast<uint32_t>(state.range(0)), state.range(1) != 0);
    auto work = std::make_unique<Work>();
    BigNum out;
    for (auto _ : state) {
        Engine(&o.base, &o.exponent, &o.n, &out, work.get());
        benchmark::DoNotOptimize(out);
    }
}

void modExpOpenSsl(benchmark::State& state) {
    const Operands o = makeOperands(static_cast<uint32_t>(state.range(0)), state.range(1) != 0);
    vctest::Bn n = vctest::toBn(o.n);
    vctest::Bn base = vctest::toBn(o.base);
    vctest::Bn exponent = vctest::toBn(o.exponent);
    vctest::Bn out(BN_new());
    vctest::BnCtx ctx(BN_CTX_new());
    BN_MONT_CTX* mont = BN_MONT_CTX_new();
    BN_MONT_CTX_set(mont, n.get(), ctx.get());
    for (auto _ : state) {
        // The secret-exponent routine for full exponents, as a private key
        // would use; the plain one for the public exponent.
        if (state.range(1) != 0) {
            BN_mod_exp_mont(out.get(), base.get(), exponent.get(), n.get(), ctx.get(), mont);
        } else {
            BN_mod_exp_mont_consttime(out.get(), base.get(), exponent.get(), n.get(), ctx.get(),
                                      mont);
        }
        benchmark::DoNotOptimize(out.get());
    }
    BN_MONT_CTX_free(mont);
}

void modExpArgs(benchmark::internal::Benchmark* b) {
    b->Args({512, 0})->Args({1024, 0})->Args({2048, 1});
}

BENCHMARK(modExpVeilcastnet)->Apply(modExpArgs)->Unit(benchmark::kMicrosecond);
BENCHMARK(modExpEngine<vc::ModExpWork32, vc::bigNumModExpInterleaved32>)
    ->Name("modExp32Veilcastnet")
    ->Apply(modExpArgs)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(modExpEngine<vc::ModExpShortWork<uint32_t>, vc::bigNumModExpShort32>)
    ->Name("modExpShort32Veilcastnet")
    ->Args({2048, 1})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(modExpEngine<vc::ModExpPlainWork, vc::bigNumModExpPlain>)
    ->Name("modExpPlainVeilcastnet")
    ->Apply(modExpArgs)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(modExpOpenSsl)->Apply(modExpArgs)->Unit(benchmark::kMicrosecond);

// --- CRT on the test keys -------------------------------------------------

// The key's CRT members and c = n / 2, a full-size value below n.
struct CrtKey {
    vctest::TestKey test;
    BigNum c;
};

bool loadKey(int bits, CrtKey* key) {
    if (!vctest::loadTestKey(bits, &key->test)) {
        return false;
    }
    vctest::Bn c = vctest::toBn(key->test.key.n);
    BN_rshift1(c.get(), c.get());
    key->c = fromBn(c.get());
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
        const vc::RsaPrivateKey& k = key.test.key;
        vc::bigNumModExpCrt(&key.c, &k.dP, &k.dQ, &k.p, &k.q, &k.qInv, &out);
        benchmark::DoNotOptimize(out);
    }
}

// The raw private-key operation (no padding), which is OpenSSL's CRT
// exponentiation with blinding turned off.
void crtOpenSsl(benchmark::State& state) {
    CrtKey key;
    if (!loadKey(static_cast<int>(state.range(0)), &key)) {
        state.SkipWithError("test key not found");
        return;
    }
    RSA* rsa = key.test.rsa.get();
    RSA_blinding_off(rsa);
    const int k = RSA_size(rsa);
    std::vector<uint8_t> in(static_cast<size_t>(k));
    std::vector<uint8_t> out(static_cast<size_t>(k));
    vc::bigNumToBytes(in.data(), static_cast<uint32_t>(k), &key.c);
    for (auto _ : state) {
        RSA_private_decrypt(k, in.data(), out.data(), rsa, RSA_NO_PADDING);
        benchmark::DoNotOptimize(out.data());
    }
}

BENCHMARK(crtVeilcastnet)->Arg(1024)->Arg(2048)->Arg(4096)->Unit(benchmark::kMicrosecond);

// The 32-bit-limb engines the i686 builds use, called directly so that the
// 64-bit build measures them too: the constant-time engine on a half of a
// private key and its CRT form on the test keys.
void crt32Veilcastnet(benchmark::State& state) {
    CrtKey key;
    if (!loadKey(static_cast<int>(state.range(0)), &key)) {
        state.SkipWithError("test key not found");
        return;
    }
    auto work = std::make_unique<vc::ModExpSecretWork32>();
    BigNum out;
    for (auto _ : state) {
        const vc::RsaPrivateKey& k = key.test.key;
        vc::bigNumModExpCrt32(&key.c, &k.dP, &k.dQ, &k.p, &k.q, &k.qInv, &out, work.get());
        benchmark::DoNotOptimize(out);
    }
}

BENCHMARK(modExpEngine<vc::ModExpSecretWork32, vc::bigNumModExpSecret32>)
    ->Name("modExpSecret32Veilcastnet")
    ->Args({512, 0})
    ->Args({1024, 0})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(crt32Veilcastnet)->Arg(1024)->Arg(2048)->Unit(benchmark::kMicrosecond);
BENCHMARK(crtOpenSsl)->Arg(1024)->Arg(2048)->Arg(4096)->Unit(benchmark::kMicrosecond);

#if defined(__SIZEOF_INT128__)
// --- One Montgomery product ----------------------------------------------

// The kernels the engines use on k 64-bit limbs: range(1) 0 the portable
// ones, 1 those chosen for this processor; range(2) 1 for the squaring.
void montKernel(benchmark::State& state) {
    const uint32_t k = static_cast<uint32_t>(state.range(0));
    const Operands o = makeOperands(64 * k, false);
    const vc::MontKernels64 kernels = vc::bigNumMontKernels64(k, state.range(1) != 0);
    uint64_t n[64];
    uint64_t a[64];
    uint64_t b[64];
    uint64_t t[66];
    uint64_t m[64];
    for (uint32_t i = 0; i < k; ++i) {
        n[i] = o.n.words[2 * i] | uint64_t{o.n.words[2 * i + 1]} << 32;
        a[i] = o.base.words[2 * i] | uint64_t{o.base.words[2 * i + 1]} << 32;
        b[i] = o.exponent.words[2 * i] | uint64_t{o.exponent.words[2 * i + 1]} << 32;
    }
    b[k - 1] &= 0x7FFFFFFFFFFFFFFFu;  // below n, whose top bit is set
    uint64_t nPrime = n[0];
    for (int i = 0; i < 5; ++i) {
        nPrime *= 2 - n[0] * nPrime;
    }
    nPrime = 0 - nPrime;
    for (auto _ : state) {
        if (state.range(2) != 0) {
            kernels.square(a, a, n, nPrime, k, t, m);
        } else {
            kernels.mul(a, a, b, n, nPrime, k, t, m);
        }
        benchmark::DoNotOptimize(a);
    }
}

// OpenSSL's Montgomery product on the same sizes.
void montKernelOpenSsl(benchmark::State& state) {
    const uint32_t k = static_cast<uint32_t>(state.range(0));
    const Operands o = makeOperands(64 * k, false);
    vctest::BnCtx ctx(BN_CTX_new());
    BN_MONT_CTX* mont = BN_MONT_CTX_new();
    vctest::Bn n = vctest::toBn(o.n);
    BN_MONT_CTX_set(mont, n.get(), ctx.get());
    vctest::Bn a = vctest::toBn(o.base);
    vctest::Bn b = vctest::toBn(o.base);
    for (auto _ : state) {
        BN_mod_mul_montgomery(a.get(), a.get(), state.range(2) != 0 ? a.get() : b.get(), mont,
                              ctx.get());
        benchmark::DoNotOptimize(a.get());
    }
    BN_MONT_CTX_free(mont);
}

void montKernelArgs(benchmark::internal::Benchmark* b) {
    for (int64_t k : {8, 16, 32}) {
        for (int64_t square : {0, 1}) {
            b->Args({k, 0, square})->Args({k, 1, square});
        }
    }
}

BENCHMARK(montKernel)->Apply(montKernelArgs)->Unit(benchmark::kNanosecond);
BENCHMARK(montKernelOpenSsl)->ArgsProduct({{8, 16, 32}, {0}, {0, 1}})->Unit(benchmark::kNanosecond);
#endif

}  // namespace
