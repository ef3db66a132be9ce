// Timing leakage check for the RSA private operation, in the manner of a
// fixed-versus-fixed leakage test: two classes of inputs are timed in a
// random interleaving and Welch's t statistic of the two timing samples is
// reported, over all samples and over the samples below a few percentiles
// (the long tail is mostly interrupts and page faults). |t| above about 5
// means the two classes are told apart with very high confidence; below
// that the measurement found no difference. A diagnostic, not a test: its
// verdict depends on the machine and on how busy it is.
//
// On a shared host the noise is not steady: spells of load lasting seconds
// slow every sample they cover, and with one class drawn at random per
// sample such a spell lands unevenly on the two and moves Welch's t by
// more than a real difference of a few nanoseconds would. So the samples
// are taken in pairs, one of each class back to back in a random order,
// and a second statistic is the one-sample t of the differences within
// pairs: a spell slows both members of a pair alike and cancels there.
//
//   vctiming [samples per check [key bits]]   (default 200000, 1024)
#include <openssl/rsa.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "bignum/bignum.h"
#include "bignum/rsa.h"
#include "support/openssl_bignum.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Welch {
    double n[2] = {0, 0};
    double mean[2] = {0, 0};
    double m2[2] = {0, 0};

    void add(int cls, double x) {
        n[cls] += 1;
        const double delta = x - mean[cls];
        mean[cls] += delta / n[cls];
        m2[cls] += delta * (x - mean[cls]);
    }
    double t() const {
        if (n[0] < 2 || n[1] < 2) {
            return 0;
        }
        const double v0 = m2[0] / (n[0] - 1);
        const double v1 = m2[1] / (n[1] - 1);
        return (mean[0] - mean[1]) / std::sqrt(v0 / n[0] + v1 / n[1]);
    }
};

// Student's t of the mean of paired differences against 0.
struct Paired {
    double n = 0;
    double mean = 0;
    double m2 = 0;

    void add(double d) {
        n += 1;
        const double delta = d - mean;
        mean += delta / n;
        m2 += delta * (d - mean);
    }
    double t() const {
        if (n < 2 || m2 == 0) {
            return 0;
        }
        return mean / std::sqrt(m2 / (n - 1) / n);
    }
};

// Runs operation(cls) samples times, in pairs of one sample of each class
// in a random order, and prints |t| overall and for the samples under the
// 99th, 90th and 50th percentiles of all timings: Welch's over the two
// samples, and the paired one over the pairs whose both members are under
// the cut.
template <typename Operation>
void check(const char* name, long samples, Operation operation) {
    std::mt19937_64 rng(12345);
    const size_t pairs = static_cast<size_t>(samples / 2);
    // times[2 i + c]: pair i's sample of class c.
    std::vector<double> times(2 * pairs);
    for (long i = 0; i < samples / 100 + 10; ++i) {
        operation(static_cast<int>(rng() & 1));  // warm-up
    }
    for (size_t i = 0; i < pairs; ++i) {
        const int first = static_cast<int>(rng() & 1);
        for (int j = 0; j < 2; ++j) {
            const int cls = first ^ j;
            const auto start = std::chrono::steady_clock::now();
            operation(cls);
            const auto stop = std::chrono::steady_clock::now();
            times[2 * i + static_cast<size_t>(cls)] =
                std::chrono::duration<double, std::nano>(stop - start).count();
        }
    }
    std::vector<double> sorted = times;
    std::sort(sorted.begin(), sorted.end());
    const double cuts[] = {1.0, 0.99, 0.90, 0.50};
    std::printf("%-44s samples %zu  median %.1f us\n", name, times.size(),
                sorted[sorted.size() / 2] / 1000.0);
    double worst[2] = {0, 0};
    char line[2][160];
    int used[2] = {0, 0};
    for (double cut : cuts) {
        const double limit = sorted[std::min(
            sorted.size() - 1, static_cast<size_t>(cut * static_cast<double>(sorted.size())))];
        auto under = [&](double x) { return cut == 1.0 || x < limit; };
        Welch w;
        Paired p;
        for (size_t i = 0; i < pairs; ++i) {
            const double t0 = times[2 * i];
            const double t1 = times[2 * i + 1];
            for (int c = 0; c < 2; ++c) {
                if (under(c == 0 ? t0 : t1)) {
                    w.add(c, c == 0 ? t0 : t1);
                }
            }
            if (under(t0) && under(t1)) {
                p.add(t0 - t1);
            }
        }
        const double t[2] = {std::fabs(w.t()), std::fabs(p.t())};
        for (int k = 0; k < 2; ++k) {
            worst[k] = std::max(worst[k], t[k]);
            used[k] +=
                std::snprintf(line[k] + used[k], sizeof line[k] - static_cast<size_t>(used[k]),
                              " |t|@%g=%.2f", cut * 100, t[k]);
        }
    }
    std::printf("    welch %s  max |t| %.2f\n    paired%s  max |t| %.2f\n", line[0], worst[0],
                line[1], worst[1]);
    std::fflush(stdout);
}

// A raw RSA image of the k-byte block em under the public key.
Bytes rawEncrypt(RSA* rsa, const Bytes& em) {
    Bytes out(em.size());
    RSA_public_encrypt(static_cast<int>(em.size()), em.data(), out.data(), rsa, RSA_NO_PADDING);
    return out;
}

// k-byte blocks 00 02 || non-zero padding || 00 || data, and two kinds of
// malformed block: a wrong block type, and padding with no separator.
Bytes makeBlock(std::mt19937& rng, uint32_t k, int kind) {
    Bytes em(k);
    for (uint32_t i = 2; i < k; ++i) {
        em[i] = static_cast<uint8_t>(1 + rng() % 255);
    }
    em[0] = 0;
    em[1] = kind == 1 ? 0x01 : 0x02;
    if (kind == 0) {
        em[k - 49] = 0;
    }
    return em;
}

}  // namespace

int main(int argc, char** argv) {
    const long samples = argc > 1 ? std::atol(argv[1]) : 200000;
    // Each key size may run on another engine (the one measured fastest for
    // its primes), so each is checked on its own.
    const int bits = argc > 2 ? std::atoi(argv[2]) : 1024;
    vctest::TestKey key;
    if (!vctest::loadTestKey(bits, &key)) {
        std::fprintf(stderr, "test key not readable\n");
        return 1;
    }
    const vc::RsaPrivateKey& k = key.key;

    // 1. The CRT exponentiation with two secret exponent pairs of the same
    //    length as the real ones: all bits set against only the top and
    //    bottom bits set.
    {
        vc::BigNum dense[2];
        vc::BigNum sparse[2];
        for (int i = 0; i < 2; ++i) {
            const vc::BigNum& d = i == 0 ? k.dP : k.dQ;
            dense[i] = d;
            sparse[i] = d;
            for (uint32_t w = 0; w < d.length; ++w) {
                dense[i].words[w] = 0xFFFFFFFFu;
                sparse[i].words[w] = 0;
            }
            const uint32_t top = d.words[d.length - 1];
            uint32_t bit = 0x80000000u;
            while ((top & bit) == 0) {
                bit >>= 1;
            }
            dense[i].words[d.length - 1] = bit | (bit - 1);
            sparse[i].words[d.length - 1] = bit;
            sparse[i].words[0] |= 1;
        }
        vctest::Bn c = vctest::toBn(k.n);
        BN_rshift1(c.get(), c.get());
        const vc::BigNum base = vctest::fromBn(c.get());
        vc::BigNum out;
        check("crt exponent: dense vs sparse", samples, [&](int cls) {
            const vc::BigNum* e = cls == 0 ? dense : sparse;
            vc::bigNumModExpCrt(&base, &e[0], &e[1], &k.p, &k.q, &k.qInv, &out);
        });
    }

    // 2. Private decryption of well-formed against malformed blocks, and of
    //    two kinds of malformed block; 256 blocks of each kind.
    {
        std::mt19937 rng(7);
        // A fourth set of the second kind: timing it against the second
        // measures the check's own floor, two classes that differ only in
        // which blocks and which memory they use.
        std::vector<Bytes> blocks[4];
        for (int set = 0; set < 4; ++set) {
            const int kind = set == 3 ? 1 : set;
            for (int i = 0; i < 256; ++i) {
                blocks[set].push_back(rawEncrypt(key.rsa.get(), makeBlock(rng, key.k, kind)));
            }
        }
        uint8_t out[512];
        uint32_t length = 0;
        std::mt19937 pick(99);
        auto decrypt = [&](int kind) {
            const Bytes& c = blocks[kind][pick() & 255];
            return vc::rsaPrivateDecrypt(c.data(), key.k, &k, out, &length);
        };
        check("decrypt: well-formed vs wrong block type", samples,
              [&](int cls) { decrypt(cls == 0 ? 0 : 1); });
        check("decrypt: wrong block type vs no separator", samples,
              [&](int cls) { decrypt(cls == 0 ? 1 : 2); });
        check("decrypt: wrong block type, two sets (floor)", samples,
              [&](int cls) { decrypt(cls == 0 ? 1 : 3); });
    }
    return 0;
}
