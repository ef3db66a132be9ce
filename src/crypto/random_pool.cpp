// The process-wide random generator. Seed bytes and output both pass through
// MD5 into a 255-byte ring; no output is ever produced from an unseeded pool,
// and every MD5 state and digest copy is wiped before it goes out of scope.
#include "crypto/random_pool.h"

#include <array>
#include <cstdint>
#include <cstring>

#include "crypto/md5.h"
#include "support/bytes.h"
#include "support/platform.h"
#include "support/secure_wipe.h"

namespace vc {
namespace {

// floor(32 * log2 i) is the index of the top bit of i^32. For i < 64 the
// power stays below 2^192, so seven 32-bit limbs hold it exactly and no
// floating point is involved.
constexpr uint8_t floorThirtyTwoLog2(uint32_t i) {
    if (i == 0) {
        return 0;
    }
    uint32_t limbs[7] = {1, 0, 0, 0, 0, 0, 0};
    for (int power = 0; power < 32; ++power) {
        uint64_t carry = 0;
        for (uint32_t& limb : limbs) {
            const uint64_t product = static_cast<uint64_t>(limb) * i + carry;
            limb = static_cast<uint32_t>(product);
            carry = product >> 32;
        }
    }
    int top = 6;
    while (limbs[top] == 0) {
        --top;
    }
    int bit = 31;
    while ((limbs[top] >> bit) == 0) {
        --bit;
    }
    return static_cast<uint8_t>(32 * top + bit);
}

constexpr std::array<uint8_t, 64> makeLog2Table() {
    std::array<uint8_t, 64> table{};
    for (uint32_t i = 0; i < 64; ++i) {
        table[i] = floorThirtyTwoLog2(i);
    }
    return table;
}

}  // namespace

extern const std::array<uint8_t, 64> log2Table;
constexpr std::array<uint8_t, 64> log2Table = makeLog2Table();

static_assert(log2Table[0] == 0 && log2Table[1] == 0 && log2Table[2] == 32);
static_assert(log2Table[3] == 50 && log2Table[4] == 64 && log2Table[5] == 74);
static_assert(log2Table[6] == 82 && log2Table[7] == 89 && log2Table[8] == 96);
static_assert(log2Table[60] == 189 && log2Table[61] == 189 && log2Table[62] == 190);
static_assert(log2Table[63] == 191 && log2Table[32] == 160);

namespace {

constexpr uint32_t RING_SIZE = 255;  // ring[255] is never used and stays 0
constexpr uint32_t SEED_CHUNK = 16;
constexpr uint32_t OUTPUT_CHUNK = 8;
constexpr uint32_t SEEDED_BITS = 1024;
// Every digest of the pool hashes one MD5 block's worth: at most the 16
// state bytes, a ring window and a seed chunk.
static_assert(16 + 2 * SEED_CHUNK <= MD5_SHORT_MAX && 16 + OUTPUT_CHUNK <= MD5_SHORT_MAX);

RandomPool pool;

// Appends the n ring bytes from ringPos on, wrapping past position 254.
uint32_t appendRingWindow(uint8_t* message, uint32_t at, uint32_t n) noexcept {
    const uint32_t first = n < RING_SIZE - pool.ringPos ? n : RING_SIZE - pool.ringPos;
    std::memcpy(message + at, pool.ring + pool.ringPos, first);
    std::memcpy(message + at + first, pool.ring, n - first);
    return at + n;
}

// 32 * log2(v), rounded down at the table's precision; halving keeps the
// index inside the table and each halving adds back one whole bit (32).
uint32_t fixedLog2(uint32_t v) noexcept {
    uint32_t halvings = 0;
    while (v > 63) {
        v >>= 1;
        ++halvings;
    }
    return log2Table[v] + 32 * halvings;
}

// Progress towards seeding, or -1 once seeded.
int32_t seedProgress() noexcept {
    const uint32_t bits = randomEstimateBits(pool);
    if (bits >= SEEDED_BITS && pool.ringWraps >= 1) {
        pool.seeded = 1;
    }
    if (pool.seeded != 0) {
        return -1;
    }
    uint32_t entropyPercent = bits * 100 / SEEDED_BITS;
    entropyPercent = entropyPercent < 100 ? entropyPercent : 100;
    uint32_t fillPercent = (pool.ringWraps * RING_SIZE + pool.ringPos) * 100 / RING_SIZE;
    fillPercent = fillPercent < 100 ? fillPercent : 100;
    return static_cast<int32_t>(entropyPercent < fillPercent ? entropyPercent : fillPercent);
}

void absorbChunk(const uint8_t* seed, uint32_t n) noexcept {
    uint8_t message[MD5_SHORT_MAX];
    std::memcpy(message, pool.digestState, sizeof(pool.digestState));
    const uint32_t length = appendRingWindow(message, sizeof(pool.digestState), n);
    std::memcpy(message + length, seed, n);
    md5Short(message, length + n, pool.digestState);
    secureWipe(message, sizeof message);
    for (uint32_t i = 0; i < n; ++i) {
        ++pool.byteHistogram[seed[i]];
        pool.ring[pool.ringPos] ^= pool.digestState[i];
        if (++pool.ringPos == RING_SIZE) {
            pool.ringPos = 0;
            ++pool.ringWraps;
        }
    }
    pool.seedTotal += n;
}

void produceChunk(uint8_t* out, uint32_t n, uint32_t threadId) noexcept {
    uint8_t message[8 + OUTPUT_CHUNK + 8];
    std::memcpy(message, pool.digestState + 8, 8);
    const uint32_t length = appendRingWindow(message, 8, n);
    storeLe32(message + length, threadId);
    storeLe32(message + length + 4, platformTimeSeconds());
    md5Short(message, length + 8, pool.digestState);
    secureWipe(message, sizeof message);
    for (uint32_t i = 0; i < n; ++i) {
        // Output does not count towards ringWraps: only seeding fills the ring.
        pool.ring[pool.ringPos] ^= pool.digestState[i];
        if (++pool.ringPos == RING_SIZE) {
            pool.ringPos = 0;
        }
        out[i] = pool.digestState[8 + i];
    }
}

// Runs after every draw, even an empty one, so two draws never leave the
// same state behind even with the same thread id in the same second.
void refreshAfterOutput() noexcept {
    uint8_t message[4 + sizeof(pool.digestState)];
    storeLe32(message, pool.outputCounter);
    std::memcpy(message + 4, pool.digestState, sizeof(pool.digestState));
    md5Short(message, sizeof message, pool.digestState);
    secureWipe(message, sizeof message);
    ++pool.outputCounter;
}

}  // namespace

// The arithmetic is 32-bit on purpose: the products stay in range for
// megabytes of seed material, far more than any gatherer supplies, and
// wider types would change nothing within that range.
uint32_t randomEstimateBits(const RandomPool& state) {
    const uint32_t total = state.seedTotal;
    // 32 * N * H(seed bytes); never negative because L is monotone and
    // every counter is at most the total.
    uint32_t estimate = fixedLog2(total) * total;
    for (const uint32_t count : state.byteHistogram) {
        if (count != 0) {
            estimate -= fixedLog2(count) * count;
        }
    }
    // A sixteenth of a bit per byte covers the table's rounding.
    const uint32_t deduction = 2 * total;
    estimate = estimate > deduction ? estimate - deduction : 0;
    return estimate >> 5;
}

void randomPoolClear() {
    PlatformLockGuard guard(PLATFORM_LOCK_RANDOM_POOL);
    secureWipeObject(pool);
}

int32_t vcSeedCallback(const uint8_t* data, uint32_t count) {
    // The callback cannot fail; a missing buffer simply adds nothing.
    if (data == nullptr) {
        count = 0;
    }
    PlatformLockGuard guard(PLATFORM_LOCK_RANDOM_POOL);
    for (uint32_t offset = 0; offset < count;) {
        const uint32_t n = count - offset < SEED_CHUNK ? count - offset : SEED_CHUNK;
        absorbChunk(data + offset, n);
        offset += n;
    }
    return seedProgress();
}

int32_t randomIsUnseeded() {
    PlatformLockGuard guard(PLATFORM_LOCK_RANDOM_POOL);
    return pool.seeded == 0 ? 1 : 0;
}

int32_t randomBytes(uint8_t* out, uint32_t count) {
    if (out == nullptr && count != 0) {
        return 1;
    }
    const uint32_t threadId = platformThreadId();
    PlatformLockGuard guard(PLATFORM_LOCK_RANDOM_POOL);
    if (pool.seeded == 0) {
        return 1;
    }
    for (uint32_t offset = 0; offset < count;) {
        const uint32_t n = count - offset < OUTPUT_CHUNK ? count - offset : OUTPUT_CHUNK;
        produceChunk(out + offset, n, threadId);
        offset += n;
    }
    refreshAfterOutput();
    return 0;
}

RandomPool randomPoolSnapshot() {
    PlatformLockGuard guard(PLATFORM_LOCK_RANDOM_POOL);
    return pool;
}

void randomPoolRestore(const RandomPool& snapshot) {
    PlatformLockGuard guard(PLATFORM_LOCK_RANDOM_POOL);
    pool = snapshot;
}

}  // namespace vc
