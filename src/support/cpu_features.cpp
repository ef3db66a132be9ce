// The one place the library asks cpuid and xgetbv (see cpu_features.h).
#include "support/cpu_features.h"

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define VC_CPUID 1
#include <cpuid.h>
#else
#define VC_CPUID 0
#endif

namespace vc {
namespace {

#if VC_CPUID

constexpr uint32_t bit(unsigned n) {
    return 1u << n;
}

uint32_t detect() noexcept {
    unsigned a = 0;
    unsigned b = 0;
    unsigned c = 0;
    unsigned d = 0;
    if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) {
        return 0;  // no leaf 7: none of these features
    }
    const uint32_t leaf7b = b;
    const uint32_t leaf7c = c;
    uint32_t features = 0;
    if ((leaf7b & bit(8)) != 0) {
        features |= CPU_BMI2;
    }
    if ((leaf7b & bit(19)) != 0) {
        features |= CPU_ADX;
    }
    // The vector features need the OS to save their registers, which only
    // XCR0 tells, and xgetbv may be asked only when OSXSAVE is set.
    if (__get_cpuid(1, &a, &b, &c, &d) == 0 || (c & bit(27)) == 0) {
        return features;
    }
    const bool avx = (c & bit(28)) != 0;
    uint32_t xcr0 = 0;
    uint32_t xcr0High = 0;
    __asm__ volatile("xgetbv" : "=a"(xcr0), "=d"(xcr0High) : "c"(0));
    constexpr uint32_t YMM_STATE = bit(1) | bit(2);
    constexpr uint32_t ZMM_STATE = YMM_STATE | bit(5) | bit(6) | bit(7);
    if ((xcr0 & YMM_STATE) == YMM_STATE && avx && (leaf7b & bit(5)) != 0) {
        features |= CPU_AVX2;
    }
    if ((xcr0 & ZMM_STATE) == ZMM_STATE) {
        constexpr struct {
            uint32_t feature;
            bool inEcx;
            unsigned bit;
        } AVX512[] = {
            {CPU_AVX512F, false, 16},  {CPU_AVX512IFMA, false, 21}, {CPU_AVX512BW, false, 30},
            {CPU_AVX512VL, false, 31}, {CPU_AVX512VBMI, true, 1},
        };
        for (const auto& f : AVX512) {
            if (((f.inEcx ? leaf7c : leaf7b) & bit(f.bit)) != 0) {
                features |= f.feature;
            }
        }
    }
    return features;
}

#else

uint32_t detect() noexcept {
    return 0;
}

#endif

}  // namespace

uint32_t cpuFeatures() noexcept {
    static const uint32_t features = detect();
    return features;
}

bool cpuBrand(char* out, std::size_t capacity) noexcept {
    if (capacity == 0) {
        return false;
    }
    out[0] = '\0';
#if VC_CPUID
    // unsigned in one compiler's header, int in the other's.
    if (static_cast<unsigned>(__get_cpuid_max(0x80000000u, nullptr)) < 0x80000004u) {
        return false;
    }
    unsigned regs[12] = {};
    for (unsigned i = 0; i < 3; ++i) {
        __get_cpuid(0x80000002u + i, &regs[4 * i], &regs[4 * i + 1], &regs[4 * i + 2],
                    &regs[4 * i + 3]);
    }
    // Four characters a register, lowest byte first; NUL-padded at the end
    // and on some processors space-padded at the start.
    char name[sizeof regs + 1] = {};
    for (std::size_t i = 0; i < sizeof regs; ++i) {
        name[i] = static_cast<char>((regs[i / 4] >> (8 * (i % 4))) & 0xffu);
    }
    std::size_t begin = 0;
    while (name[begin] == ' ') {
        ++begin;
    }
    std::size_t end = begin;
    while (name[end] != '\0') {
        ++end;
    }
    while (end > begin && name[end - 1] == ' ') {
        --end;
    }
    std::size_t length = 0;
    for (; begin + length < end && length + 1 < capacity; ++length) {
        out[length] = name[begin + length];
    }
    out[length] = '\0';
    return length != 0;
#else
    return false;
#endif
}

}  // namespace vc
