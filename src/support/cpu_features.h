// What the processor offers the vector and carry-chain kernels, asked of
// cpuid once per process. A feature counts only when the operating system
// also saves the registers it uses, so a kernel may run wherever its bits
// are set. On processors without cpuid (or compilers without its header)
// no bit is ever set and every caller takes its portable code.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vc {

// One bit per feature. Where each comes from (cpuid leaf, register, bit),
// and which register states the OS must save for it (XCR0, read by xgetbv
// once leaf 1 ECX bit 27, OSXSAVE, shows the OS uses XSAVE):
//   BMI2        leaf 7 EBX bit 8; no state beyond the general registers.
//   ADX         leaf 7 EBX bit 19; likewise.
//   AVX2        leaf 7 EBX bit 5, with leaf 1 ECX bit 28 (AVX); XCR0 bits 1
//               and 2 (SSE and AVX state: xmm and the upper halves of ymm).
//   AVX512F     leaf 7 EBX bit 16; XCR0 bits 1 and 2 and also 5, 6, 7
//               (opmask registers, upper halves of zmm0-15, zmm16-31).
//   AVX512IFMA  leaf 7 EBX bit 21; as AVX512F.
//   AVX512BW    leaf 7 EBX bit 30; as AVX512F.
//   AVX512VL    leaf 7 EBX bit 31; as AVX512F.
//   AVX512VBMI  leaf 7 ECX bit 1; as AVX512F.
// (Leaf 7 means leaf 7 subleaf 0.)
enum CpuFeature : uint32_t {
    CPU_BMI2 = 1u << 0,
    CPU_ADX = 1u << 1,
    CPU_AVX2 = 1u << 2,
    CPU_AVX512F = 1u << 3,
    CPU_AVX512IFMA = 1u << 4,
    CPU_AVX512BW = 1u << 5,
    CPU_AVX512VL = 1u << 6,
    CPU_AVX512VBMI = 1u << 7,
};

// The CpuFeature bits of this processor, found on the first call
// (thread-safely) and kept.
uint32_t cpuFeatures() noexcept;

// Whether the processor has every feature in `features`.
inline bool cpuHas(uint32_t features) noexcept {
    return (cpuFeatures() & features) == features;
}

// The processor's brand string (cpuid leaves 0x80000002-0x80000004), without
// its padding spaces, into out (NUL-terminated, cut to capacity); false,
// with out empty, where the processor gives none.
bool cpuBrand(char* out, std::size_t capacity) noexcept;

}  // namespace vc
