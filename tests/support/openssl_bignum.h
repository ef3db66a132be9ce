// OpenSSL's BIGNUM and RSA as the oracle for the big-number and RSA tests
// and benchmarks: conversions that never go through the conversions under
// test, random operands with the word patterns that break carry logic, and
// the committed test keys. Test support only; never part of the library.
#pragma once

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <string>

#include "bignum/bignum.h"
#include "bignum/bignum_support.h"
#include "bignum/rsa.h"
#include "support/test_vectors.h"

namespace vctest {

using vc::BigNum;

using Bn = Owned<BIGNUM, BN_free>;
using BnCtx = Owned<BN_CTX, BN_CTX_free>;
using Rsa = Owned<RSA, RSA_free>;
using EvpKey = Owned<EVP_PKEY, EVP_PKEY_free>;
using Bio = Owned<BIO, BIO_free>;

// Both directions go through OpenSSL's little-endian byte forms of the
// words in memory, never through bigNumFromBytes / bigNumToBytes, which are
// under test.
static_assert(std::endian::native == std::endian::little);

inline Bn toBn(const BigNum& x) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(x.words);
    return Bn(BN_lebin2bn(bytes, static_cast<int>(4 * x.length), nullptr));
}

inline BigNum fromBn(const BIGNUM* b) {
    BigNum x;
    std::memset(&x, 0xA5, sizeof x);
    x.length = static_cast<uint32_t>(BN_num_bytes(b) + 3) / 4;
    BN_bn2lebinpad(b, reinterpret_cast<uint8_t*>(x.words), static_cast<int>(4 * x.length));
    return x;
}

// Exactly len words with a non-zero top word. A quarter each: random words,
// many all-ones words, a mix of 0 / all-ones / 0x80000000, and all ones, the
// shapes on which carries ripple furthest and quotient estimates go wrong.
inline BigNum randomNumber(std::mt19937& rng, uint32_t len) {
    BigNum x;
    std::memset(&x, 0x3C, sizeof x);
    const uint32_t style = rng() % 4;
    for (uint32_t i = 0; i < len; ++i) {
        uint32_t w = rng();
        if (style == 1) {
            w = (rng() % 3 == 0) ? 0xFFFFFFFFu : w;
        } else if (style == 2) {
            const uint32_t pick = rng() % 4;
            w = pick == 0 ? 0 : pick == 1 ? 0xFFFFFFFFu : pick == 2 ? 0x80000000u : w;
        } else if (style == 3) {
            w = 0xFFFFFFFFu;
        }
        x.words[i] = w;
    }
    if (len > 0 && x.words[len - 1] == 0) {
        x.words[len - 1] = 1 + rng() % 0xFFFFu;
    }
    x.length = len;
    return x;
}

inline BigNum randomOddModulus(std::mt19937& rng, uint32_t len) {
    BigNum n = randomNumber(rng, len);
    n.words[0] |= 1;
    return n;
}

// base^exponent mod n, by OpenSSL.
inline BigNum opensslModExp(const BigNum& base, const BigNum& exponent, const BigNum& n) {
    BnCtx ctx(BN_CTX_new());
    Bn out(BN_new());
    BN_mod_exp(out.get(), toBn(base).get(), toBn(exponent).get(), toBn(n).get(), ctx.get());
    return fromBn(out.get());
}

// a b / 2^bits mod n by OpenSSL: the Montgomery product for R = 2^bits.
inline BigNum opensslMontProduct(const BigNum& a, const BigNum& b, const BigNum& n, uint32_t bits) {
    BnCtx ctx(BN_CTX_new());
    Bn r(BN_new());
    BN_set_bit(r.get(), static_cast<int>(bits));
    Bn rInverse(BN_mod_inverse(nullptr, r.get(), toBn(n).get(), ctx.get()));
    Bn out(BN_new());
    BN_mod_mul(out.get(), toBn(a).get(), toBn(b).get(), toBn(n).get(), ctx.get());
    BN_mod_mul(out.get(), out.get(), rInverse.get(), toBn(n).get(), ctx.get());
    return fromBn(out.get());
}

// A random number of `words` words (randomNumber's shapes) reduced mod n.
inline BigNum reducedMod(std::mt19937& rng, const BigNum& n, uint32_t words) {
    BnCtx ctx(BN_CTX_new());
    Bn out(BN_new());
    BN_nnmod(out.get(), toBn(randomNumber(rng, words)).get(), toBn(n).get(), ctx.get());
    return fromBn(out.get());
}

// The members of an RSA private key in their order, and OpenSSL's names
// for them.
inline constexpr BigNum vc::RsaPrivateKey::*KEY_MEMBERS[] = {
    &vc::RsaPrivateKey::n,  &vc::RsaPrivateKey::e,   &vc::RsaPrivateKey::d,
    &vc::RsaPrivateKey::p,  &vc::RsaPrivateKey::q,   &vc::RsaPrivateKey::dP,
    &vc::RsaPrivateKey::dQ, &vc::RsaPrivateKey::qInv};
inline constexpr const char* KEY_PARAMETERS[] = {
    OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_E,           OSSL_PKEY_PARAM_RSA_D,
    OSSL_PKEY_PARAM_RSA_FACTOR1,   OSSL_PKEY_PARAM_RSA_FACTOR2,     OSSL_PKEY_PARAM_RSA_EXPONENT1,
    OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};

// One parameter of an OpenSSL key (a KEY_PARAMETERS name) as a record.
inline BigNum parameterOf(const EVP_PKEY* key, const char* name) {
    BIGNUM* value = nullptr;
    EVP_PKEY_get_bn_param(key, name, &value);
    const Bn owned(value);
    return fromBn(value);
}

// OpenSSL's reading of a PEM private key, with the pass phrase if it needs one.
inline EvpKey opensslKey(const std::string& pem, const char* phrase = nullptr) {
    const Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    return EvpKey(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, const_cast<char*>(phrase)));
}

// One committed key (tests/data/keys/rsa-<bits>.pem) in both forms; k is
// the modulus length in bytes.
struct TestKey {
    Rsa rsa;
    vc::RsaPrivateKey key{};
    uint32_t k = 0;
};

inline bool loadTestKey(int bits, TestKey* out) {
    const std::string path =
        std::string(VC_TEST_DATA_DIR) + "/keys/rsa-" + std::to_string(bits) + ".pem";
    const Bio bio(BIO_new_file(path.c_str(), "r"));
    const EvpKey key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (key == nullptr) {
        return false;
    }
    out->rsa.reset(EVP_PKEY_get1_RSA(key.get()));
    for (size_t i = 0; i < std::size(KEY_MEMBERS); ++i) {
        out->key.*KEY_MEMBERS[i] = parameterOf(key.get(), KEY_PARAMETERS[i]);
    }
    out->k = static_cast<uint32_t>(RSA_size(out->rsa.get()));
    return true;
}

// loadTestKey once per process; later tests share the key.
inline const TestKey& testKey(int bits) {
    static std::map<int, TestKey> cache;
    auto [entry, added] = cache.try_emplace(bits);
    if (added) {
        EXPECT_TRUE(loadTestKey(bits, &entry->second)) << "test key rsa-" << bits;
    }
    return entry->second;
}

inline vc::RsaPublicKey publicOf(const vc::RsaPrivateKey& key) {
    vc::RsaPublicKey out{};
    out.n = key.n;
    out.e = key.e;
    return out;
}

}  // namespace vctest
