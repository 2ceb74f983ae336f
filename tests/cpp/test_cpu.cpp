#include "typeref/cpu.h"

#include <gtest/gtest.h>

namespace quibex {
namespace {

TEST(CpuFeatures, ProbeIsCachedWithMarkerBit) {
  const uint64_t first = cpu_features();
  EXPECT_NE(first & CPU_PROBED, 0u);
  EXPECT_EQ(CpuFeatures, first);
  EXPECT_EQ(probe_cpu_features(), first);
  // AVX-512 selection implies the other features it relies on.
  if (first & CPU_AVX512VL) {
    EXPECT_NE(first & CPU_AVX2, 0u);
    EXPECT_NE(first & CPU_F16C, 0u);
  }
}

}  // namespace
}  // namespace quibex
