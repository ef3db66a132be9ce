// What the big-number tests share without an oracle: records written word
// by word, their comparison, and every exponentiation engine run side by
// side. Test support only; never part of the library.
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

// The public entry point and every engine, each engine on work storage that
// starts dirty and must be all zeros afterwards.
struct Engines {
    std::unique_ptr<vc::ModExpPlainWork> plain = std::make_unique<vc::ModExpPlainWork>();
    std::unique_ptr<vc::ModExpWork32> limb32 = std::make_unique<vc::ModExpWork32>();
#if defined(__SIZEOF_INT128__)
    std::unique_ptr<vc::ModExpWork64> limb64 = std::make_unique<vc::ModExpWork64>();
#endif

    ::testing::AssertionResult check(const BigNum& base, const BigNum& exponent, const BigNum& n,
                                     const BigNum& want) {
        BigNum out;
        vc::bigNumModExp(&base, &exponent, &n, &out);
        ::testing::AssertionResult r = sameValue(out, want) << " [bigNumModExp]";
        const auto engine = [&](const char* name, auto function, auto* work) {
            if (r) {
                std::memset(&out, 0x3C, sizeof out);
                std::memset(work, 0xA5, sizeof *work);
                function(&base, &exponent, &n, &out, work);
                const auto* bytes = reinterpret_cast<const uint8_t*>(work);
                r = std::all_of(bytes, bytes + sizeof *work, [](uint8_t b) { return b == 0; })
                        ? sameValue(out, want) << " [" << name << "]"
                        : ::testing::AssertionFailure()
                              << "work storage not wiped [" << name << "]";
            }
        };
        engine("plain", vc::bigNumModExpPlain, plain.get());
        engine("32-bit limbs", vc::bigNumModExpInterleaved32, limb32.get());
#if defined(__SIZEOF_INT128__)
        engine("64-bit limbs", vc::bigNumModExpInterleaved64, limb64.get());
#endif
        return r;
    }
};

}  // namespace vctest
