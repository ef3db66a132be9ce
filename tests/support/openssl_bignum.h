// OpenSSL's BIGNUM and RSA as the oracle for the big-number and RSA tests
// and benchmarks: conversions that never go through the conversions under
// test, random operands with the word patterns that break carry logic, and
// the committed test keys. Test support only; never part of the library.
#pragma once

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bignum/bignum.h"
#include "bignum/rsa.h"

namespace vctest {

using vc::BigNum;

struct BnFree {
    void operator()(BIGNUM* b) const { BN_free(b); }
};
struct BnCtxFree {
    void operator()(BN_CTX* c) const { BN_CTX_free(c); }
};
struct RsaFree {
    void operator()(RSA* r) const { RSA_free(r); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;
using BnCtx = std::unique_ptr<BN_CTX, BnCtxFree>;
using Rsa = std::unique_ptr<RSA, RsaFree>;

// Words least significant first, length exactly as given (so a test can
// build a record that is not normalised on purpose). Everything above the
// length is garbage that no operation may read as part of the value.
inline BigNum fromWords(std::initializer_list<uint32_t> words) {
    BigNum x;
    std::memset(&x, 0x5A, sizeof x);
    uint32_t i = 0;
    for (uint32_t w : words) {
        x.words[i++] = w;
    }
    x.length = i;
    return x;
}

// A record as the data files write it: hex words, most significant first,
// joined by ':', with "w*n" for n copies of w and "-" for no words at all.
// Leading zero words are kept, as in fromWords.
inline BigNum wordsOf(const std::string& text) {
    std::vector<uint32_t> words;
    std::istringstream in(text == "-" ? "" : text);
    for (std::string word; std::getline(in, word, ':');) {
        const size_t star = word.find('*');
        const size_t count = star == std::string::npos ? 1 : std::stoul(word.substr(star + 1));
        words.insert(words.end(), count, std::stoul(word.substr(0, star), nullptr, 16));
    }
    BigNum x = fromWords({});
    std::reverse_copy(words.begin(), words.end(), x.words);
    x.length = static_cast<uint32_t>(words.size());
    return x;
}

// Both directions go through bytes assembled word by word here, never
// through bigNumFromBytes / bigNumToBytes, which are under test.
inline Bn toBn(const BigNum& x) {
    std::vector<uint8_t> bytes(4 * x.length + 1);
    for (uint32_t i = 0; i < x.length; ++i) {
        const uint32_t w = x.words[x.length - 1 - i];
        for (uint32_t b = 0; b < 4; ++b) {
            bytes[4 * i + b] = static_cast<uint8_t>(w >> (24 - 8 * b));
        }
    }
    return Bn(BN_bin2bn(bytes.data(), static_cast<int>(4 * x.length), nullptr));
}

inline BigNum fromBn(const BIGNUM* b) {
    BigNum x;
    std::memset(&x, 0xA5, sizeof x);
    const int n = BN_num_bytes(b);
    std::vector<uint8_t> bytes(static_cast<size_t>(n) + 4);
    BN_bn2bin(b, bytes.data());
    uint32_t words = 0;
    for (int end = n; end > 0; end -= 4) {
        uint32_t w = 0;
        for (int k = (end >= 4 ? end - 4 : 0); k < end; ++k) {
            w = (w << 8) | bytes[static_cast<size_t>(k)];
        }
        x.words[words++] = w;
    }
    x.length = words;
    return x;
}

// Equal values, and got normalised (its top word in use is non-zero).
// Compared here word by word, not with bigNumEqual, which is under test.
inline ::testing::AssertionResult sameValue(const BigNum& got, const BigNum& want) {
    if (got.length == want.length && std::memcmp(got.words, want.words, 4 * got.length) == 0 &&
        (got.length == 0 || got.words[got.length - 1] != 0)) {
        return ::testing::AssertionSuccess();
    }
    char* g = BN_bn2hex(toBn(got).get());
    char* w = BN_bn2hex(toBn(want).get());
    auto failure = ::testing::AssertionFailure()
                   << "got " << g << " (length " << got.length << "), want " << w;
    OPENSSL_free(g);
    OPENSSL_free(w);
    return failure;
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
    BIO* bio = BIO_new_file(path.c_str(), "r");
    if (bio == nullptr) {
        return false;
    }
    out->rsa.reset(PEM_read_bio_RSAPrivateKey(bio, nullptr, nullptr, nullptr));
    BIO_free(bio);
    if (out->rsa == nullptr) {
        return false;
    }
    const BIGNUM *n, *e, *d, *p, *q, *dP, *dQ, *qInv;
    RSA_get0_key(out->rsa.get(), &n, &e, &d);
    RSA_get0_factors(out->rsa.get(), &p, &q);
    RSA_get0_crt_params(out->rsa.get(), &dP, &dQ, &qInv);
    vc::RsaPrivateKey& key = out->key;
    const BIGNUM* parts[] = {n, e, d, p, q, dP, dQ, qInv};
    BigNum* members[] = {&key.n, &key.e, &key.d, &key.p, &key.q, &key.dP, &key.dQ, &key.qInv};
    for (size_t i = 0; i < 8; ++i) {
        *members[i] = fromBn(parts[i]);
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
