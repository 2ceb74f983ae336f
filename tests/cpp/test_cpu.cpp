#include "typeref/cpu.h"

#include <gtest/gtest.h>

namespace quibex {
namespace {

// CPUID and XCR0 bits, named as the processor manuals name them.
constexpr uint32_t kFma = 1u << 12, kPopcnt = 1u << 23, kOsxsave = 1u << 27, kAvx = 1u << 28, kF16c = 1u << 29;
constexpr uint32_t kAvx2 = 1u << 5, kBmi2 = 1u << 8, kAvx512F = 1u << 16, kAvx512BW = 1u << 30,
                   kAvx512VL = 1u << 31;
constexpr uint64_t kYmmState = 0x07, kZmmState = 0xE7;  // x87/SSE/AVX, and opmask/ZMM on top

constexpr uint32_t kLeaf1All = kFma | kPopcnt | kOsxsave | kAvx | kF16c;
constexpr uint32_t kLeaf7All = kAvx2 | kBmi2 | kAvx512F | kAvx512BW | kAvx512VL;

struct ProbeCase {
  CpuidWords words;
  bool avx2, avx512, f16c;
  const char* why;
};
const ProbeCase kProbeCases[] = {
    {{0, 0, 0}, false, false, false, "nothing beyond SSE2"},
    {{kLeaf1All, kLeaf7All, kZmmState}, true, true, true, "everything, all register state saved"},
    {{kLeaf1All, kAvx2, kYmmState}, true, false, true, "an AVX2 machine"},
    {{kLeaf1All, kLeaf7All, kYmmState}, true, false, true, "AVX-512 without the ZMM state (system disabled it)"},
    {{kLeaf1All & ~kOsxsave, kLeaf7All, kZmmState}, false, false, false, "XGETBV not enabled: no XCR0 state counts"},
    {{kLeaf1All, kLeaf7All, 0x03}, false, false, false, "AVX state not saved: no YMM code at all"},
    {{kLeaf1All & ~kPopcnt, kLeaf7All, kZmmState}, false, false, true, "POPCNT missing (the wide targets use it)"},
    {{kLeaf1All & ~kAvx, kLeaf7All, kZmmState}, false, false, false, "AVX missing"},
    {{kLeaf1All & ~kFma, kLeaf7All, kZmmState}, true, false, true, "FMA missing, which AVX-512 code may use"},
    {{kLeaf1All & ~kF16c, kLeaf7All, kZmmState}, true, false, false, "F16C missing"},
    {{kLeaf1All, kLeaf7All & ~kBmi2, kZmmState}, true, false, true, "BMI2 missing"},
    {{kLeaf1All, kLeaf7All & ~kAvx512BW, kZmmState}, true, false, true, "AVX512BW missing"},
    {{kLeaf1All, kLeaf7All & ~kAvx512VL, kZmmState}, true, false, true, "AVX512VL missing"},
    {{kLeaf1All, kLeaf7All & ~kAvx2, kZmmState}, false, false, true, "AVX2 missing"},
    {{kLeaf1All, kLeaf7All, 0xE3}, false, false, false, "ZMM bits without the AVX bit of XCR0"},
};

TEST(CpuFeatures, GatesFromProcessorWords) {
  for (const ProbeCase& c : kProbeCases) {
    SCOPED_TRACE(c.why);
    const uint64_t f = cpu_features_of(c.words);
    EXPECT_NE(f & kCpuProbed, 0u);
    EXPECT_EQ((f & kNeedsAvx2) == kNeedsAvx2, c.avx2);
    EXPECT_EQ((f & kNeedsAvx512) == kNeedsAvx512, c.avx512);
    EXPECT_EQ((f & kNeedsF16c) == kNeedsF16c, c.f16c);
  }
}

TEST(CpuFeatures, ProbeIsCachedWithMarkerBit) {
  const uint64_t first = cpu_features();
  EXPECT_NE(first & kCpuProbed, 0u);
  EXPECT_EQ(CpuFeatures, first);
  EXPECT_EQ(probe_cpu_features(), first);
#if !QUIBEX_X86
  EXPECT_EQ(first, kCpuProbed);  // nothing is gated at run time here
#endif
}

TEST(CpuFeatures, SelectionTakesTheWidestRunnableVariant) {
  using Fn = int (*)();
  constexpr Variant<Fn> kList[] = {
      {"portable", 0, [] { return 0; }},
      {"needs-all", ~uint64_t{0}, [] { return 1; }},
      {"needs-probe-bit", kCpuProbed, [] { return 2; }},
  };
  EXPECT_EQ(select_variant(kList)(), 2);
}

}  // namespace
}  // namespace quibex
