// Which processor-specific kernels the engines may use, and which engine the
// private operations run on for each length of prime. All that cpuid shows
// is allowed, unless a test narrows the choice to run the portable kernels
// on a processor that has the fast ones. Among the allowed engines the
// choice is made by timing them: cpuid names the instructions, not how
// fast they run (AVX-512 at full width on one processor, as two 256-bit
// halves on another).
#include <atomic>

#include "bignum/bignum_internal.h"
#include "bignum/mont_kernels.h"

namespace vc {
namespace {

std::atomic<uint32_t> allowedKernels{BIGNUM_KERNELS_ALL};

constexpr uint32_t MAX_WORDS = 128;
// Each engine is timed this many times, round by round so that a burst of
// load elsewhere falls on every engine alike; the best time counts.
constexpr uint32_t ROUNDS = 3;
constexpr uint32_t RUNOFF_ROUNDS = 6;

// Per kind ([0] private operations, [1] public ones), mask and length: 0
// until measured, then READY | engine << 1. Each mask has its own, so that
// tests and fuzzing, which narrow the mask and widen it again, measure
// each combination once rather than at every change.
constexpr uint32_t READY = 1;
constexpr uint32_t MASKS = BIGNUM_KERNELS_ALL + 1;
std::atomic<uint32_t> decided[2][MASKS][MAX_WORDS + 1];
// The times of the latest measurement per kind and length, and 1 + the
// mask it was made under (0: none yet). Written and read under the lock.
uint64_t times[2][MAX_WORDS + 1][BIGNUM_ENGINE_COUNT];
uint32_t timesMask[2][MAX_WORDS + 1];
// Held while measuring: each length is measured by one thread, the others
// wait for its answer rather than time the engines against it.
std::atomic<uint32_t> measuring{0};

void lock() noexcept {
    for (;;) {
        if (measuring.load(std::memory_order_relaxed) == 0 &&
            measuring.exchange(1, std::memory_order_acquire) == 0) {
            return;
        }
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
}

void unlock() noexcept {
    measuring.store(0, std::memory_order_release);
}

// Whether an engine is worth timing for the length. On 64-bit builds the
// 32-bit vector engines are not where an IFMA engine serves: every
// processor with IFMA has the AVX-512F they need, and IFMA's 52-bit
// products beat their 32-bit ones by far (on the Zen 4 where this was
// measured, by 3 to 5 times at every size IFMA serves). Where it does not,
// as on processors with AVX2 or AVX-512F but no IFMA, they are timed.
bool candidate(uint32_t engine, uint32_t words, bool publicOp) noexcept {
    if (!bigNumEngineUsable(engine, words, publicOp)) {
        return false;
    }
#if defined(__SIZEOF_INT128__)
    if (engine == BIGNUM_ENGINE_VEC32 || engine == BIGNUM_ENGINE_VEC32_WIDE) {
        return !bigNumEngineUsable(BIGNUM_ENGINE_IFMA, words, publicOp) &&
               !bigNumEngineUsable(BIGNUM_ENGINE_IFMA256, words, publicOp);
    }
#endif
    return true;
}

// Times every candidate engine for the length and records the fastest; the
// portable engine always runs, so there is one.
uint32_t measure(uint32_t kind, uint32_t words, uint32_t mask) noexcept {
    const bool publicOp = kind != 0;
    uint64_t best[BIGNUM_ENGINE_COUNT] = {};
    for (uint32_t round = 0; round < ROUNDS; ++round) {
        for (uint32_t e = 0; e < BIGNUM_ENGINE_COUNT; ++e) {
            if (candidate(e, words, publicOp)) {
                // At least 1, so that 0 keeps meaning "not timed".
                const uint64_t t = bigNumTimeEngine(e, words, publicOp) | 1u;
                best[e] = round == 0 || t < best[e] ? t : best[e];
            }
        }
    }
    // The two fastest, and while they are within an eighth of each other
    // (a preempted round can swap them) more rounds between those two.
    uint32_t chosen = BIGNUM_ENGINE_PORTABLE;
    uint32_t second = BIGNUM_ENGINE_COUNT;
    const auto rank = [&] {
        chosen = BIGNUM_ENGINE_PORTABLE;
        second = BIGNUM_ENGINE_COUNT;
        for (uint32_t e = 1; e < BIGNUM_ENGINE_COUNT; ++e) {
            if (best[e] == 0) {
                continue;
            }
            if (best[e] < best[chosen]) {
                second = chosen;
                chosen = e;
            } else if (second == BIGNUM_ENGINE_COUNT || best[e] < best[second]) {
                second = e;
            }
        }
    };
    rank();
    for (uint32_t round = 0; round < RUNOFF_ROUNDS && second != BIGNUM_ENGINE_COUNT &&
                             best[second] - best[chosen] < best[chosen] / 8;
         ++round) {
        const uint32_t pair[2] = {chosen, second};
        for (const uint32_t e : pair) {
            const uint64_t t = bigNumTimeEngine(e, words, publicOp) | 1u;
            best[e] = t < best[e] ? t : best[e];
        }
        rank();
    }
    for (uint32_t e = 0; e < BIGNUM_ENGINE_COUNT; ++e) {
        times[kind][words][e] = best[e];
    }
    timesMask[kind][words] = mask + 1;
    // A choice once made stays: a measurement repeated for a report only
    // changes the times.
    std::atomic<uint32_t>& slot = decided[kind][mask][words];
    uint32_t state = slot.load(std::memory_order_relaxed);
    if ((state & READY) == 0) {
        state = READY | chosen << 1;
        slot.store(state, std::memory_order_release);
    }
    return state;
}

uint32_t engineFor(uint32_t kind, uint32_t words, BigNumEngineTimes* report) noexcept {
    if (words == 0 || words > MAX_WORDS) {
        return BIGNUM_ENGINE_PORTABLE;
    }
    const uint32_t mask = bigNumAllowedKernels() & BIGNUM_KERNELS_ALL;
    uint32_t state = decided[kind][mask][words].load(std::memory_order_acquire);
    if ((state & READY) == 0 || report != nullptr) {
        lock();
        state = decided[kind][mask][words].load(std::memory_order_relaxed);
        if ((state & READY) == 0 || (report != nullptr && timesMask[kind][words] != mask + 1)) {
            state = measure(kind, words, mask);
        }
        if (report != nullptr) {
            for (uint32_t e = 0; e < BIGNUM_ENGINE_COUNT; ++e) {
                report->nanoseconds[e] = times[kind][words][e];
            }
            report->chosen = (state >> 1) & 0x7Fu;
        }
        unlock();
    }
    return (state >> 1) & 0x7Fu;
}

}  // namespace

void bigNumAllowKernels(uint32_t mask) noexcept {
    allowedKernels.store(mask, std::memory_order_relaxed);
}

bool bigNumKernelAllowed(uint32_t kernel) noexcept {
    return (allowedKernels.load(std::memory_order_relaxed) & kernel) != 0;
}

uint32_t bigNumAllowedKernels() noexcept {
    return allowedKernels.load(std::memory_order_relaxed);
}

const char* bigNumEngineName(uint32_t engine) noexcept {
    static const char* const names[BIGNUM_ENGINE_COUNT] = {"portable",   "adx",  "vec32",
                                                           "vec32-wide", "ifma", "ifma256"};
    return engine < BIGNUM_ENGINE_COUNT ? names[engine] : "none";
}

bool bigNumEngineUsable(uint32_t engine, uint32_t words, bool publicOp) noexcept {
    MontKernels32 vec;
#if defined(__SIZEOF_INT128__)
    constexpr bool NATIVE32 = false;
#else
    constexpr bool NATIVE32 = true;
#endif
    if (publicOp &&
        (engine == BIGNUM_ENGINE_VEC32 || engine == BIGNUM_ENGINE_VEC32_WIDE) != NATIVE32 &&
        engine != BIGNUM_ENGINE_PORTABLE) {
        return false;
    }
    switch (engine) {
        case BIGNUM_ENGINE_PORTABLE:
            return true;
        case BIGNUM_ENGINE_ADX:
#if VC_MONT_ADX
            return montAdxAvailable();
#else
            return false;
#endif
        case BIGNUM_ENGINE_VEC32:
        case BIGNUM_ENGINE_VEC32_WIDE:
            return montVec32KernelsOf(words, engine == BIGNUM_ENGINE_VEC32_WIDE, &vec);
        case BIGNUM_ENGINE_IFMA:
        case BIGNUM_ENGINE_IFMA256:
            return bigNumIfmaServes((words + 1) / 2, engine);
        default:
            return false;
    }
}

uint32_t bigNumPrivateEngine(uint32_t words, BigNumEngineTimes* report) noexcept {
    return engineFor(0, words, report);
}

uint32_t bigNumPublicEngine(uint32_t words, BigNumEngineTimes* report) noexcept {
    return engineFor(1, words, report);
}

}  // namespace vc
