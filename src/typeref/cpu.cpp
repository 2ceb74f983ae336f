#include "typeref/cpu.h"

#include <cpuid.h>

namespace quibex {

uint64_t CpuFeatures = 0;

namespace {

uint64_t read_xcr0() noexcept {
  uint32_t lo, hi;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return (uint64_t{hi} << 32) | lo;
}

}  // namespace

uint64_t probe_cpu_features() noexcept {
  uint64_t features = CPU_PROBED;
  unsigned eax, ebx, ecx, edx;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx)) {
    const bool f16c = ecx & (1u << 29);
    const bool fma = ecx & (1u << 12);
    if (f16c) features |= CPU_F16C;
    const bool osxsave = (ecx & (1u << 26)) && (ecx & (1u << 27));
    const uint64_t xcr0 = osxsave ? read_xcr0() : 0;
    const bool avx_state = (xcr0 & 0x6) == 0x6;            // SSE and AVX registers
    const bool avx512_state = avx_state && (xcr0 & 0xE0) == 0xE0;  // opmask, ZMM upper halves
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) {
      if (avx_state && (ebx & (1u << 5))) features |= CPU_AVX2;
      // The AVX-512 routines also use AVX512F, AVX512BW and BMI2 instructions;
      // every processor with AVX512VL has them, but a missing one must never
      // select code that would fault.
      constexpr unsigned kAvx512Bits = (1u << 31) | (1u << 30) | (1u << 16) | (1u << 8);
      if (avx512_state && (ebx & kAvx512Bits) == kAvx512Bits && fma && f16c) features |= CPU_AVX512VL;
    }
  }
  CpuFeatures = features;
  return features;
}

}  // namespace quibex
