// The process-wide random generator: seed bytes are mixed into a 255-byte
// ring through MD5 and counted in a histogram; output is refused until the
// estimated entropy reaches 1024 bits and the ring has wrapped once.
#pragma once

#include <array>
#include <cstdint>

namespace vc {

struct RandomPool {
    uint8_t ring[256];            // positions 0..254 in use; the last stays 0
    uint32_t ringPos;             // 0..254
    uint32_t ringWraps;           // wraps while seeding (output does not count)
    uint8_t digestState[16];      // last digest; bytes 8..15 feed the output
    uint32_t outputCounter;       // completed randomBytes calls, mod 2^32
    uint32_t seedTotal;           // seed bytes received
    uint32_t byteHistogram[256];  // occurrences of each seed byte value
    uint8_t seeded;               // 1 once the entropy goal was reached
};

// Signature of the seed callback the entropy gatherer feeds.
using SeedCallback = int32_t (*)(const uint8_t* data, uint32_t count);

// Wipes the pool back to its unseeded start (under its lock). The pool never
// asks for seed material itself: the entropy gatherer, which sits above it,
// feeds it through vcSeedCallback.
void randomPoolClear();

// Mixes seed bytes in; -1 once seeded, else progress 0..100.
int32_t vcSeedCallback(const uint8_t* data, uint32_t count);

// 1 while the pool is not seeded, else 0.
int32_t randomIsUnseeded();

// 0 when count bytes were written; 1 (nothing written) when unseeded.
int32_t randomBytes(uint8_t* out, uint32_t count);

// For tests: a snapshot of the pool (taken under its lock).
RandomPool randomPoolSnapshot();

// For tests: puts a snapshot back (under the lock), so a test that clears or
// seeds the pool can leave the process as it found it.
void randomPoolRestore(const RandomPool& pool);

// The entropy estimate of a pool's seed material, in bits, before the
// seeding decision; exposed so tests can check it on a snapshot.
uint32_t randomEstimateBits(const RandomPool& pool);

// floor(32 * log2 i) for i = 1..63, entry 0 = 0: the fixed-point logarithm
// behind the entropy estimate.
extern const std::array<uint8_t, 64> log2Table;

}  // namespace vc
