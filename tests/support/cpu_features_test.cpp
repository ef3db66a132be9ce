// The processor features against what Linux reports of the same processor
// in /proc/cpuinfo (it clears a vector feature's flag, as we do, when the
// registers are not saved), and the brand string against its "model name".
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "support/cpu_features.h"

namespace {

// The first line of /proc/cpuinfo starting with `key`, from after its
// colon and space; empty where there is none.
std::string cpuinfoField(const std::string& key) {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t colon = line.find(": ");
        if (line.rfind(key, 0) == 0 && colon != std::string::npos) {
            return line.substr(colon + 2);
        }
    }
    return {};
}

// Under an emulator cpuid answers for another processor than the one
// /proc/cpuinfo lists; the test build says so in this variable.
bool emulated() {
    return std::getenv("VC_TEST_EMULATED") != nullptr;
}

bool hasFlag(const std::string& flags, const char* flag) {
    std::istringstream words(flags);
    std::string word;
    while (words >> word) {
        if (word == flag) {
            return true;
        }
    }
    return false;
}

TEST(CpuFeatures, AgreeWithTheKernelsFlags) {
#if !defined(__linux__) || !(defined(__x86_64__) || defined(__i386__))
    GTEST_SKIP() << "needs x86 Linux's /proc/cpuinfo";
#endif
    const std::string flags = cpuinfoField("flags");
    if (flags.empty() || emulated()) {
        GTEST_SKIP() << "no flags line in /proc/cpuinfo, or another processor emulated";
    }
    const struct {
        uint32_t feature;
        const char* flag;
    } TABLE[] = {{vc::CPU_BMI2, "bmi2"},
                 {vc::CPU_ADX, "adx"},
                 {vc::CPU_AVX2, "avx2"},
                 {vc::CPU_AVX512F, "avx512f"},
                 {vc::CPU_AVX512IFMA, "avx512ifma"},
                 {vc::CPU_AVX512BW, "avx512bw"},
                 {vc::CPU_AVX512VL, "avx512vl"},
                 {vc::CPU_AVX512VBMI, "avx512vbmi"}};
    for (const auto& row : TABLE) {
        EXPECT_EQ(vc::cpuHas(row.feature), hasFlag(flags, row.flag)) << row.flag;
    }
    EXPECT_EQ(vc::cpuFeatures(), vc::cpuFeatures());
}

TEST(CpuFeatures, BrandIsTheModelName) {
    const std::string model = cpuinfoField("model name");
    char brand[64];
    const bool have = vc::cpuBrand(brand, sizeof brand);
    if (model.empty() || emulated()) {
        GTEST_SKIP() << "no model name in /proc/cpuinfo, or another processor emulated";
    }
    ASSERT_TRUE(have);
    EXPECT_EQ(std::string(brand), model);
    // Cut to the capacity given, always terminated.
    char shortBrand[5];
    EXPECT_TRUE(vc::cpuBrand(shortBrand, sizeof shortBrand));
    EXPECT_EQ(std::string(shortBrand), model.substr(0, 4));
    EXPECT_FALSE(vc::cpuBrand(shortBrand, 0));
}

}  // namespace
