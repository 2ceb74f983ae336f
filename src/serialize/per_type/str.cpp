// The string escapers, side by side: 8-byte words (portable), 16-byte SSE2
// or NEON blocks (the x86-64 and ARM64 defaults) and 32-byte AVX-512 blocks
// with mask registers. All copy whole blocks first and then patch the escapes in
// source order, each with one 8-byte table store, so their outputs agree
// byte for byte.
#include "serialize/per_type/str.h"

#if QUIBEX_X86
#include <immintrin.h>
#elif QUIBEX_NEON
#include <arm_neon.h>
#endif

#include <array>
#include <cstring>

namespace quibex {
namespace {

// One escape: its text in the low-order bytes (memory order), its length in
// the most significant byte.
constexpr uint64_t escape_word(const char* text, uint64_t len) noexcept {
  uint64_t w = len << 56;
  for (uint64_t k = 0; k < len; ++k) w |= uint64_t{static_cast<uint8_t>(text[k])} << (8 * k);
  return w;
}

constexpr std::array<uint64_t, 96> make_escape_table() noexcept {
  constexpr char kHex[] = "0123456789abcdef";
  std::array<uint64_t, 96> t{};
  for (int b = 0; b < 0x20; ++b) {
    const char text[6] = {'\\', 'u', '0', '0', kHex[b >> 4], kHex[b & 15]};
    t[b] = escape_word(text, 6);
  }
  t['\b'] = escape_word("\\b", 2);
  t['\t'] = escape_word("\\t", 2);
  t['\n'] = escape_word("\\n", 2);
  t['\f'] = escape_word("\\f", 2);
  t['\r'] = escape_word("\\r", 2);
  t['"'] = escape_word("\\\"", 2);
  t['\\'] = escape_word("\\\\", 2);
  return t;
}

// Escape word for each byte below 0x60; zero where the byte is copied unchanged.
constexpr std::array<uint64_t, 96> ESCAPE_TABLE = make_escape_table();

constexpr uint64_t escape_len(uint64_t word) noexcept { return word >> 56; }
static_assert(escape_len(ESCAPE_TABLE['"']) == 2 && escape_len(ESCAPE_TABLE['\\']) == 2);
static_assert(escape_len(ESCAPE_TABLE[0x1F]) == 6 && escape_len(ESCAPE_TABLE[0x00]) == 6);
static_assert(ESCAPE_TABLE[0x0B] == escape_word("\\u000b", 6) && ESCAPE_TABLE['/'] == 0);

// 1 for each byte value that is escaped (control characters, '"', '\\'), by byte value.
constexpr std::array<uint8_t, 256> NEEDS_ESCAPE = [] {
  std::array<uint8_t, 256> t{};
  for (int b = 0; b < 256; ++b) t[b] = b < 0x20 || b == '"' || b == '\\';
  return t;
}();
static_assert(NEEDS_ESCAPE[0x1F] && !NEEDS_ESCAPE[0x20] && !NEEDS_ESCAPE[0x7F] && !NEEDS_ESCAPE['/']);

// Stores the escape word of byte b at o (all 8 bytes; the caller counts the
// length) and returns the length.
inline size_t put_escape(uint8_t* o, uint8_t b) noexcept {
  const uint64_t word = ESCAPE_TABLE[b];
  std::memcpy(o, &word, 8);
  return escape_len(word);
}

#if QUIBEX_X86
[[QUIBEX_TARGET_AVX512]] inline uint32_t escape_mask_avx512(__m256i v) noexcept {
  return _mm256_cmplt_epu8_mask(v, _mm256_set1_epi8(0x20)) | _mm256_cmpeq_epi8_mask(v, _mm256_set1_epi8('"')) |
         _mm256_cmpeq_epi8_mask(v, _mm256_set1_epi8('\\'));
}
#endif

}  // namespace

DumpResult write_str_subclass(OutputBuffer& out, PyObject* s) noexcept {
  Py_ssize_t size = 0;
  const char* p = PyUnicode_AsUTF8AndSize(s, &size);
  if (p == nullptr) return make_dump_error(DumpErrorKind::InvalidStr);
  return write_escaped(out, {reinterpret_cast<const uint8_t*>(p), static_cast<size_t>(size)});
}

size_t escape_str_portable(uint8_t* dst, const uint8_t* src, size_t n) noexcept {
  uint8_t* o = dst;
  *o++ = '"';
  size_t s = 0;
  // Invariant: src[0, s) is written, escaped, before o. A word is copied
  // whole; its first flagged byte is overwritten by the escape text and the
  // loop restarts right after that byte.
  while (n - s >= 8) {
    std::memcpy(o, src + s, 8);
    const uint64_t flags = word_bytes::string_stop_flags(word_bytes::load_le64(src + s));
    if (flags == 0) {
      s += 8;
      o += 8;
    } else {
      const size_t i = word_bytes::first_byte_index(flags);
      o += i + put_escape(o + i, src[s + i]);
      s += i + 1;
    }
  }
  for (; s < n; ++s) {
    const uint8_t b = src[s];
    *o = b;
    o += NEEDS_ESCAPE[b] ? put_escape(o, b) : 1;
  }
  *o++ = '"';
  return static_cast<size_t>(o - dst);
}

// The 16-byte escaper on either architecture's vectors. B supplies the
// vector type V, load, store, and mask(v): kBits bits per byte, all set for
// a byte that is escaped.
template <class B>
inline size_t escape_blocks16(uint8_t* dst, const uint8_t* src, size_t n) noexcept {
  uint8_t* o = dst;
  *o++ = '"';
  if (n < 16) {
    // Short strings: byte by byte through the flag table, no vector set-up.
    for (size_t s = 0; s < n; ++s) {
      const uint8_t b = src[s];
      *o = b;
      o += NEEDS_ESCAPE[b] ? put_escape(o, b) : 1;
    }
    *o++ = '"';
    return static_cast<size_t>(o - dst);
  }
  size_t s = 0;
  // Invariant: src[0, s) is written, escaped, before o. A block is copied
  // whole; its first flagged byte is overwritten by the escape text and the
  // loop restarts right after that byte.
  while (n - s >= 16) {
    const auto v = B::load(src + s);
    B::store(o, v);
    const uint64_t mask = B::mask(v);
    if (mask == 0) {
      s += 16;
      o += 16;
    } else {
      const size_t i = static_cast<size_t>(__builtin_ctzll(mask)) / B::kBits;
      o += i + put_escape(o + i, src[s + i]);
      s += i + 1;
    }
  }
  // Tail of r < 16 bytes, taken from a copy of the source's last 16 bytes so
  // that no load runs past the source. The filler 'a' after them is never
  // flagged; it only pads the loads that start inside the tail.
  size_t r = n - s;
  alignas(16) uint8_t scratch[32];
  std::memcpy(scratch, src + n - 16, 16);
  std::memset(scratch + 16, 'a', 16);
  const uint8_t* t = scratch + 16 - r;
  const auto v = B::load(t);
  B::store(o, v);
  uint64_t mask = B::mask(v);
  while (mask != 0) {
    const size_t i = static_cast<size_t>(__builtin_ctzll(mask)) / B::kBits;  // below r, so at most 14
    const size_t len = put_escape(o + i, t[i]);
    o += i;
    t += i + 1;
    // The bytes after the escaped one, moved to their place after its text.
    B::store(o + len, B::load(t));
    o += len;
    mask >>= (i + 1) * B::kBits;
    r -= i + 1;
  }
  o += r;
  *o++ = '"';
  return static_cast<size_t>(o - dst);
}

#if QUIBEX_X86
struct Sse2Blocks {
  static constexpr int kBits = 1;
  static __m128i load(const uint8_t* p) noexcept { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
  static void store(uint8_t* p, __m128i v) noexcept { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
  static uint64_t mask(__m128i v) noexcept { return sse2::escape_mask(v); }
};

size_t escape_str_sse2(uint8_t* dst, const uint8_t* src, size_t n) noexcept {
  return escape_blocks16<Sse2Blocks>(dst, src, n);
}

[[QUIBEX_TARGET_AVX512]] size_t escape_str_avx512(uint8_t* dst, const uint8_t* src, size_t n) noexcept {
  uint8_t* o = dst;
  *o++ = '"';
  size_t s = 0;
  // Same invariant and block handling as the 16-byte loop.
  while (n - s >= 32) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + s));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(o), v);
    const uint32_t mask = escape_mask_avx512(v);
    if (mask == 0) {
      s += 32;
      o += 32;
    } else {
      const uint32_t i = static_cast<uint32_t>(__builtin_ctz(mask));
      o += i + put_escape(o + i, src[s + i]);
      s += i + 1;
    }
  }
  // Tail of r < 32 bytes (all of a short string) through masked loads: the
  // lanes past r read as zero without touching memory and are masked out
  // of the flags. Skipped when nothing remains, so that the 32-lane store
  // stays within 8 * n + 32 bytes also for the empty string.
  uint32_t r = static_cast<uint32_t>(n - s);
  if (r != 0) {
    for (;;) {
      const uint32_t live = _bzhi_u32(~0u, r);
      const __m256i v = _mm256_maskz_loadu_epi8(live, src + s);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(o), v);
      const uint32_t mask = escape_mask_avx512(v) & live;
      if (mask == 0) break;
      const uint32_t i = static_cast<uint32_t>(__builtin_ctz(mask));
      o += i + put_escape(o + i, src[s + i]);
      s += i + 1;
      r -= i + 1;
    }
    o += r;
  }
  *o++ = '"';
  return static_cast<size_t>(o - dst);
}

#endif

#if QUIBEX_NEON
struct NeonBlocks {
  static constexpr int kBits = 4;
  static uint8x16_t load(const uint8_t* p) noexcept { return vld1q_u8(p); }
  static void store(uint8_t* p, uint8x16_t v) noexcept { vst1q_u8(p, v); }
  // Four bits per byte: the byte masks narrowed by a shift of each 16-bit
  // lane, the usual stand-in for a movemask.
  static uint64_t mask(uint8x16_t v) noexcept {
    const uint8x16_t flagged = vorrq_u8(vcltq_u8(v, vdupq_n_u8(0x20)),
                                        vorrq_u8(vceqq_u8(v, vdupq_n_u8('"')), vceqq_u8(v, vdupq_n_u8('\\'))));
    return vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(flagged), 4)), 0);
  }
};

size_t escape_str_neon(uint8_t* dst, const uint8_t* src, size_t n) noexcept {
  return escape_blocks16<NeonBlocks>(dst, src, n);
}
#endif

}  // namespace quibex
