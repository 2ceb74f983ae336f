#include "typeref/cpu.h"

#if QUIBEX_X86
#include <cpuid.h>
#endif

namespace quibex {

uint64_t CpuFeatures = 0;

namespace {

#if QUIBEX_X86
CpuidWords read_cpuid_words() noexcept {
  CpuidWords w{};
  unsigned eax, ebx, ecx, edx;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx)) w.leaf1_ecx = ecx;
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) w.leaf7_ebx = ebx;
  if (w.leaf1_ecx & (1u << 27)) {  // OSXSAVE: XGETBV is enabled
    uint32_t lo, hi;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    w.xcr0 = (uint64_t{hi} << 32) | lo;
  }
  return w;
}
#else
CpuidWords read_cpuid_words() noexcept { return {}; }
#endif

}  // namespace

uint64_t probe_cpu_features() noexcept {
  const uint64_t features = cpu_features_of(read_cpuid_words());
  CpuFeatures = features;
  return features;
}

}  // namespace quibex
