// Processor variants: the instruction sets a build may use, the feature
// bits that gate the run-time selected ones, and the probe that finds them.
#pragma once

#include <cstddef>
#include <cstdint>

// The vector instructions every processor of the build's architecture has:
// SSE2 on x86-64, NEON on little-endian ARM64; neither elsewhere, or when
// the build defines QUIBEX_PORTABLE_ONLY (which leaves only the portable
// variants, to test them on any machine).
#if !defined(QUIBEX_PORTABLE_ONLY) && defined(__x86_64__)
#define QUIBEX_X86 1
#elif !defined(QUIBEX_PORTABLE_ONLY) && defined(__aarch64__) && defined(__ARM_NEON) && \
    __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define QUIBEX_NEON 1
#endif

namespace quibex {

// One bit per instruction set or operating-system register state that the
// probe found. Only x86-64 variants are gated at run time; elsewhere the
// word holds kCpuProbed alone.
inline constexpr uint64_t kCpuPopcnt = uint64_t{1} << 0;
inline constexpr uint64_t kCpuFma = uint64_t{1} << 1;
inline constexpr uint64_t kCpuF16c = uint64_t{1} << 2;
inline constexpr uint64_t kCpuAvx = uint64_t{1} << 3;
inline constexpr uint64_t kCpuAvx2 = uint64_t{1} << 4;
inline constexpr uint64_t kCpuBmi2 = uint64_t{1} << 5;
inline constexpr uint64_t kCpuAvx512F = uint64_t{1} << 6;
inline constexpr uint64_t kCpuAvx512BW = uint64_t{1} << 7;
inline constexpr uint64_t kCpuAvx512VL = uint64_t{1} << 8;
inline constexpr uint64_t kOsYmmState = uint64_t{1} << 9;   // the system saves the SSE and AVX registers
inline constexpr uint64_t kOsZmmState = uint64_t{1} << 10;  // ... and the opmask and 512-bit registers
inline constexpr uint64_t kCpuProbed = uint64_t{1} << 63;   // set in every probed word

// Each target attribute of the x86-64 variants, and the bits that must all
// be present to run code built with it. A target also lets the compiler use
// what it implies (AVX-512 implies AVX2, FMA and F16C), so the gates
// include those.
#define QUIBEX_TARGET_AVX2 gnu::target("avx2,popcnt")
inline constexpr uint64_t kNeedsAvx2 = kCpuAvx | kCpuAvx2 | kCpuPopcnt | kOsYmmState;
#define QUIBEX_TARGET_AVX512 gnu::target("avx512f,avx512bw,avx512vl,bmi2,popcnt")
inline constexpr uint64_t kNeedsAvx512 =
    kNeedsAvx2 | kCpuFma | kCpuF16c | kCpuAvx512F | kCpuAvx512BW | kCpuAvx512VL | kCpuBmi2 | kOsZmmState;
#define QUIBEX_TARGET_F16C gnu::target("f16c")
inline constexpr uint64_t kNeedsF16c = kCpuAvx | kCpuF16c | kOsYmmState;

// The processor words the probe reads: CPUID leaf 1 ECX, leaf 7 (subleaf 0)
// EBX, zero when the processor has no leaf 7, and XCR0, zero when CPUID
// says the system does not enable XGETBV.
struct CpuidWords {
  uint32_t leaf1_ecx;
  uint32_t leaf7_ebx;
  uint64_t xcr0;
};

// The CPUID bit each instruction-set feature is read from, by feature:
// leaf 1 ECX or leaf 7 EBX, and the bit's index there.
struct CpuidBit {
  uint64_t feature;
  bool leaf7;
  int bit;
};
inline constexpr CpuidBit kCpuidBits[] = {
    {kCpuFma, false, 12},     {kCpuPopcnt, false, 23},   {kCpuAvx, false, 28},
    {kCpuF16c, false, 29},    {kCpuAvx2, true, 5},       {kCpuBmi2, true, 8},
    {kCpuAvx512F, true, 16},  {kCpuAvx512BW, true, 30},  {kCpuAvx512VL, true, 31},
};

// The feature word of those processor words. XCR0 counts only with CPUID's
// OSXSAVE (leaf 1 ECX bit 27); its bits 1-2 are the SSE and AVX state, 5-7
// the opmask and ZMM state.
constexpr uint64_t cpu_features_of(CpuidWords w) noexcept {
  uint64_t features = kCpuProbed;
  for (const CpuidBit& b : kCpuidBits) {
    if ((((b.leaf7 ? w.leaf7_ebx : w.leaf1_ecx) >> b.bit) & 1) != 0) features |= b.feature;
  }
  const uint64_t xcr0 = ((w.leaf1_ecx >> 27) & 1) != 0 ? w.xcr0 : 0;
  if ((xcr0 & 0x06) == 0x06) {
    features |= kOsYmmState;
    if ((xcr0 & 0xE0) == 0xE0) features |= kOsZmmState;
  }
  return features;
}

// 0 until the first probe. Concurrent first probes store the same value.
extern uint64_t CpuFeatures;

uint64_t probe_cpu_features() noexcept;

// The feature word, probing on first use.
inline uint64_t cpu_features() noexcept {
  const uint64_t f = CpuFeatures;
  return f != 0 ? f : probe_cpu_features();
}

// Whether the processor runs code that needs all of `needs`.
inline bool cpu_has(uint64_t needs) noexcept { return (cpu_features() & needs) == needs; }

// One variant of a routine: its name for the tests, the feature bits it
// needs (0 for none) and its entry point.
template <class Fn>
struct Variant {
  const char* name;
  uint64_t needs;
  Fn fn;
};

// The last variant of the list (ordered from the portable one, which needs
// nothing, to the widest) that the processor runs.
template <class Fn, size_t N>
Fn select_variant(const Variant<Fn> (&list)[N]) noexcept {
  static_assert(N > 0);
  Fn fn = list[0].fn;
  for (const Variant<Fn>& v : list) {
    if (cpu_has(v.needs)) fn = v.fn;
  }
  return fn;
}

}  // namespace quibex
