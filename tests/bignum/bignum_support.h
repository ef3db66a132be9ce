// What the big-number tests share without an oracle: records written word
// by word, their comparison, edge operands, and every exponentiation engine
// run side by side on dirty work storage. Test support only; never part of the library.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bignum/bignum.h"
#include "bignum/bignum_internal.h"

namespace vctest {

using vc::BigNum;

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

// A record in the notation of wordsOf, for failure messages.
inline std::string textOf(const BigNum& x) {
    std::string out = x.length == 0 ? "-" : "";
    for (uint32_t i = std::min<uint32_t>(x.length, std::size(x.words)); i-- > 0;) {
        char word[10];
        std::snprintf(word, sizeof word, out.empty() ? "%X" : ":%X", x.words[i]);
        out += word;
    }
    return out;
}

// Equal values, and got normalised (its top word in use is non-zero).
// Compared here word by word, not with bigNumEqual, which is under test.
inline ::testing::AssertionResult sameValue(const BigNum& got, const BigNum& want) {
    if (got.length == want.length && std::memcmp(got.words, want.words, 4 * got.length) == 0 &&
        (got.length == 0 || got.words[got.length - 1] != 0)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "got " << textOf(got) << " (length " << got.length << "), want " << textOf(want);
}

// n - 1 for an odd n: an edge operand.
inline BigNum minusOne(BigNum n) {
    n.words[0] -= 1;
    vc::bigNumNormalise(&n);
    return n;
}

// Runs engine(args..., &out, work) on work storage that starts dirty: the
// result must be want and the storage all zeros afterwards.
template <typename Work, typename Engine, typename... Args>
::testing::AssertionResult onDirtyWork(const char* name, const BigNum& want, Engine engine,
                                       const Args*... args) {
    auto work = std::make_unique<Work>();
    std::memset(work.get(), 0xA5, sizeof(Work));
    BigNum out;
    std::memset(&out, 0x3C, sizeof out);
    engine(args..., &out, work.get());
    const auto* bytes = reinterpret_cast<const uint8_t*>(work.get());
    if (!std::all_of(bytes, bytes + sizeof(Work), [](uint8_t b) { return b == 0; })) {
        return ::testing::AssertionFailure() << "work storage not wiped [" << name << "]";
    }
    return sameValue(out, want) << " [" << name << "]";
}

// The k limbs of 32 or 64 bits, least significant first, that the kernels
// and the pair engine take; and back, normalised.
template <typename Limb>
std::vector<Limb> limbsOf(const BigNum& x, uint32_t k) {
    constexpr uint32_t per = sizeof(Limb) / 4;
    std::vector<Limb> out(k, 0);
    for (uint32_t i = 0; i < x.length && i < per * k; ++i) {
        out[i / per] |= Limb{x.words[i]} << (32 * (i % per));
    }
    return out;
}

template <typename Limb>
BigNum valueOf(const std::vector<Limb>& limbs) {
    constexpr uint32_t per = sizeof(Limb) / 4;
    BigNum out = fromWords({});
    out.length = static_cast<uint32_t>(per * limbs.size());
    for (uint32_t i = 0; i < out.length; ++i) {
        out.words[i] = static_cast<uint32_t>(limbs[i / per] >> (32 * (i % per)));
    }
    vc::bigNumNormalise(&out);
    return out;
}

// Leaves every processor kernel allowed again, whatever a test narrowed.
struct KernelChoice {
    explicit KernelChoice(uint32_t mask) { vc::bigNumAllowKernels(mask); }
    ~KernelChoice() { vc::bigNumAllowKernels(vc::BIGNUM_KERNELS_ALL); }
    KernelChoice(const KernelChoice&) = delete;
    KernelChoice& operator=(const KernelChoice&) = delete;
};

// Which engines allEngines runs besides the public entry point.
enum EngineSet : uint32_t {
    PLAIN = 1,
    INTERLEAVED_32 = 2,
    INTERLEAVED_64 = 4,
    SHORT_EXPONENT = 8,
    CONSTANT_TIME = 16,
    ALL_ENGINES = 31
};

// The entry point and every engine of the set that takes these operands,
// each on its own dirty storage: the short-exponent ones for non-zero
// exponents of one or two words (as the entry point picks them), the
// constant-time ones for an odd n, a base below it and an exponent no
// longer than it.
inline ::testing::AssertionResult allEngines(const BigNum& base, const BigNum& exponent,
                                             const BigNum& n, const BigNum& want,
                                             uint32_t set = ALL_ENGINES) {
    BigNum out;
    vc::bigNumModExp(&base, &exponent, &n, &out);
    ::testing::AssertionResult r = sameValue(out, want) << " [bigNumModExp]";
    const auto also = [&r](const ::testing::AssertionResult& next) { r = r ? next : r; };
    BigNum e = exponent;
    vc::bigNumNormalise(&e);
    if ((set & PLAIN) != 0) {
        also(onDirtyWork<vc::ModExpPlainWork>("plain", want, vc::bigNumModExpPlain, &base,
                                              &exponent, &n));
    }
    if ((set & INTERLEAVED_32) != 0) {
        also(onDirtyWork<vc::ModExpWork32>("32-bit limbs", want, vc::bigNumModExpInterleaved32,
                                           &base, &exponent, &n));
    }
#if defined(__SIZEOF_INT128__)
    if ((set & INTERLEAVED_64) != 0) {
        also(onDirtyWork<vc::ModExpWork64>("64-bit limbs", want, vc::bigNumModExpInterleaved64,
                                           &base, &exponent, &n));
    }
#endif
    if ((set & SHORT_EXPONENT) != 0 && e.length >= 1 && exponent.length <= 2) {
        also(onDirtyWork<vc::ModExpShortWork<uint32_t>>(
            "short, 32-bit limbs", want, vc::bigNumModExpShort32, &base, &exponent, &n));
#if defined(__SIZEOF_INT128__)
        also(onDirtyWork<vc::ModExpShortWork<uint64_t>>(
            "short, 64-bit limbs", want, vc::bigNumModExpShort64, &base, &exponent, &n));
#endif
    }
    BigNum difference;  // a borrow: base < n
    if ((set & CONSTANT_TIME) != 0 && (n.words[0] & 1) != 0 &&
        vc::bigNumSub(&base, &n, &difference) != 0 && e.length <= n.length) {
        vc::bigNumModExpSecret(&base, &e, &n, &out);
        also(sameValue(out, want) << " [bigNumModExpSecret]");
        also(onDirtyWork<vc::ModExpSecretWork32>("secret, 32-bit limbs", want,
                                                 vc::bigNumModExpSecret32, &base, &e, &n));
#if defined(__SIZEOF_INT128__)
        also(onDirtyWork<vc::ModExpSecretWork64>("secret, 64-bit limbs", want,
                                                 vc::bigNumModExpSecret64, &base, &e, &n));
#endif
    }
    return r;
}

}  // namespace vctest
