// The registry must offer every kernel the processor can run: a detection
// slip would otherwise leave a kernel untested and unused without a sound.
#include "convert/kernels.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace camsnap {
namespace {

// The feature flags the kernel reports for the first processor.
std::set<std::string> cpuinfo_flags() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("flags", 0) != 0) continue;
        std::istringstream words(line.substr(line.find(':') + 1));
        std::set<std::string> flags;
        for (std::string w; words >> w;) flags.insert(w);
        return flags;
    }
    return {};
}

struct Expectation {
    const char *kernel;
    std::set<std::string> needs;  // /proc/cpuinfo flags
};

void PrintTo(const Expectation &e, std::ostream *os) { *os << e.kernel; }

class KernelRegistryTest : public testing::TestWithParam<Expectation> {};

TEST_P(KernelRegistryTest, OfferedExactlyWhenTheCpuHasTheFlags) {
    const std::set<std::string> flags = cpuinfo_flags();
    if (flags.empty()) GTEST_SKIP() << "no /proc/cpuinfo flags line";
    bool has_all = true;
    for (const std::string &f : GetParam().needs) has_all = has_all && flags.count(f) > 0;
#if !defined(__x86_64__)
    if (GetParam().needs.size() > 0) has_all = false;
#endif
    EXPECT_EQ(find_yu12_rgb_kernel(GetParam().kernel) != nullptr, has_all) << GetParam().kernel;
}

INSTANTIATE_TEST_SUITE_P(
    Kernels, KernelRegistryTest,
    testing::Values(Expectation{"scalar", {}}, Expectation{"sse41", {"ssse3", "sse4_1"}},
                    Expectation{"avx2", {"avx2"}},
                    Expectation{"avx512", {"avx2", "avx512f", "avx512bw", "avx512vl", "avx512vbmi"}}),
    [](const testing::TestParamInfo<Expectation> &info) {
        return std::string(info.param.kernel);
    });

#if defined(__aarch64__)
TEST(KernelRegistry, NeonIsOfferedAndPreferredOnAarch64) {
    EXPECT_STREQ(yu12_rgb_best_kernel().name, "neon");
}
#endif

TEST(KernelRegistry, ProductionCopyUsesTheLastKernel) {
    EXPECT_EQ(&yu12_rgb_best_kernel(), &yu12_rgb_kernels().back());
    EXPECT_STREQ(yu12_rgb_kernels().front().name, "scalar");
}

}  // namespace
}  // namespace camsnap
