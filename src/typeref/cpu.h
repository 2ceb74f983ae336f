// Processor feature probe, cached in one process-wide word.
#pragma once

#include <cstdint>

namespace quibex {

enum : uint64_t {
  CPU_AVX2 = 1u << 0,
  CPU_AVX512VL = 1u << 1,  // with FMA, F16C and the opmask/ZMM register state
  CPU_F16C = 1u << 2,
  CPU_PROBED = uint64_t{1} << 63,  // set in every probed word
};

// 0 until the first probe. Concurrent first probes store the same value.
extern uint64_t CpuFeatures;

uint64_t probe_cpu_features() noexcept;

// The feature word, probing on first use.
inline uint64_t cpu_features() noexcept {
  const uint64_t f = CpuFeatures;
  return f != 0 ? f : probe_cpu_features();
}

}  // namespace quibex
