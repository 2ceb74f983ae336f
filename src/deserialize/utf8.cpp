#include "deserialize/utf8.h"

#if QUIBEX_X86
#include <immintrin.h>
#elif QUIBEX_NEON
#include <arm_neon.h>
#endif

#include <array>
#include <cstring>

namespace quibex {
namespace {

// ---------------------------------------------------------------------------
// Scalar validation

constexpr uint64_t kHighBits = 0x8080808080808080;

// Classes of the second byte of a multi-byte sequence.
enum : uint8_t { k80to8F = 1, k90to9F = 2, kA0toBF = 4, kAnyContinuation = 7 };

// Class bit of each byte value as a second byte; 0 for a non-continuation byte.
constexpr std::array<uint8_t, 256> kSecondClass = [] {
  std::array<uint8_t, 256> t{};
  for (int b = 0x80; b <= 0x8F; ++b) t[b] = k80to8F;
  for (int b = 0x90; b <= 0x9F; ++b) t[b] = k90to9F;
  for (int b = 0xA0; b <= 0xBF; ++b) t[b] = kA0toBF;
  return t;
}();

struct Lead {
  uint8_t length;  // bytes in the sequence; 0 when the byte starts none
  uint8_t second;  // classes allowed for the second byte
};

// Sequence shape per first byte; C0, C1, F5..FF and continuation bytes start
// nothing. The narrowed second-byte ranges exclude overlong forms (E0, F0),
// surrogates (ED) and code points above U+10FFFF (F4).
constexpr std::array<Lead, 256> kLead = [] {
  std::array<Lead, 256> t{};
  for (int b = 0xC2; b <= 0xDF; ++b) t[b] = {2, kAnyContinuation};
  for (int b = 0xE0; b <= 0xEF; ++b) t[b] = {3, kAnyContinuation};
  for (int b = 0xF0; b <= 0xF4; ++b) t[b] = {4, kAnyContinuation};
  t[0xE0].second = kA0toBF;
  t[0xED].second = k80to8F | k90to9F;
  t[0xF0].second = k90to9F | kA0toBF;
  t[0xF4].second = k80to8F;
  return t;
}();
static_assert(kLead[0xC1].length == 0 && kLead[0xF5].length == 0 && kLead[0xBF].length == 0);
static_assert((kSecondClass[0xA0] & kLead[0xED].second) == 0 && (kSecondClass[0x90] & kLead[0xF4].second) == 0);

// Offset of the first byte at or after i with its high bit set, or n.
size_t skip_ascii(const uint8_t* s, size_t i, size_t n) noexcept {
  for (; i < n && (reinterpret_cast<uintptr_t>(s + i) & 7) != 0; ++i) {
    if (s[i] >= 0x80) return i;
  }
  for (; n - i >= 16; i += 16) {
    uint64_t a, b;
    std::memcpy(&a, s + i, 8);
    std::memcpy(&b, s + i + 8, 8);
    if (((a | b) & kHighBits) != 0) {
      if ((a & kHighBits) != 0) return i + __builtin_ctzll(a & kHighBits) / 8;
      return i + 8 + __builtin_ctzll(b & kHighBits) / 8;
    }
  }
  while (i < n && s[i] < 0x80) ++i;
  return i;
}

// ---------------------------------------------------------------------------
// Vector validation (AVX2, NEON): the lookup algorithm of Keiser and Lemire,
// "Validating UTF-8 in less than one instruction per byte" (2021). Each byte
// is classified by three nibble lookups (high and low nibble of the previous
// byte, high nibble of the current one); the ANDed result is non-zero at
// every error except where a byte must be the second or third continuation
// of a 3- or 4-byte sequence, which is marked by bit 0x80 alone and checked
// against the bytes two and three back.

// The three lookups, indexed by the nibble named.
alignas(16) constexpr uint8_t kByPrevHigh[16] = {0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02,
                                                 0x80, 0x80, 0x80, 0x80, 0x21, 0x01, 0x15, 0x49};
alignas(16) constexpr uint8_t kByPrevLow[16] = {0xE7, 0xA3, 0x83, 0x83, 0x8B, 0xCB, 0xCB, 0xCB,
                                                0xCB, 0xCB, 0xCB, 0xCB, 0xCB, 0xDB, 0xCB, 0xCB};
alignas(16) constexpr uint8_t kByCurrentHigh[16] = {0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01,
                                                    0xE6, 0xAE, 0xBA, 0xBA, 0x01, 0x01, 0x01, 0x01};

#if QUIBEX_X86
#define QUIBEX_AVX2 QUIBEX_TARGET_AVX2, gnu::always_inline

// A lookup repeated for both 128-bit lanes.
[[QUIBEX_AVX2]] inline __m256i nibble_table(const uint8_t (&t)[16]) noexcept {
  return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(t)));
}

// The 32 bytes ending N bytes before the end of `input`, the earlier ones
// taken from the end of `previous`.
template <int N>
[[QUIBEX_AVX2]] inline __m256i shifted_back(__m256i input, __m256i previous) noexcept {
  return _mm256_alignr_epi8(input, _mm256_permute2x128_si256(previous, input, 0x21), 16 - N);
}

[[QUIBEX_AVX2]] inline __m256i high_nibbles(__m256i v) noexcept {
  return _mm256_and_si256(_mm256_srli_epi16(v, 4), _mm256_set1_epi8(0x0F));
}

// Non-zero bytes where `input` (preceded by `previous`) is not well-formed.
[[QUIBEX_AVX2]] inline __m256i check_32(__m256i input, __m256i previous) noexcept {
  const __m256i prev1 = shifted_back<1>(input, previous);
  const __m256i by_prev_high = _mm256_shuffle_epi8(nibble_table(kByPrevHigh), high_nibbles(prev1));
  const __m256i by_prev_low =
      _mm256_shuffle_epi8(nibble_table(kByPrevLow), _mm256_and_si256(prev1, _mm256_set1_epi8(0x0F)));
  const __m256i by_current_high = _mm256_shuffle_epi8(nibble_table(kByCurrentHigh), high_nibbles(input));
  const __m256i special = _mm256_and_si256(_mm256_and_si256(by_prev_high, by_prev_low), by_current_high);
  // Bit 0x80 survives the saturating subtraction only for a byte >= E0 two
  // back (third byte of a 3- or 4-byte sequence) or >= F0 three back.
  const __m256i third = _mm256_subs_epu8(shifted_back<2>(input, previous), _mm256_set1_epi8(0xE0 - 0x80));
  const __m256i fourth = _mm256_subs_epu8(shifted_back<3>(input, previous), _mm256_set1_epi8(0xF0 - 0x80));
  const __m256i must_continue = _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(char(0x80)));
  return _mm256_xor_si256(must_continue, special);
}

struct Avx2State {
  __m256i error;
  __m256i previous;    // the last 32 bytes seen
  __m256i incomplete;  // non-zero when `previous` ends inside a sequence
};

// Checks one 64-byte block.
[[QUIBEX_AVX2]] inline void check_64(Avx2State& st, const uint8_t* p) noexcept {
  const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
  if (_mm256_movemask_epi8(_mm256_or_si256(a, b)) == 0) {
    // All ASCII: valid unless the previous block left a sequence open.
    st.error = _mm256_or_si256(st.error, st.incomplete);
    st.incomplete = _mm256_setzero_si256();
  } else {
    st.error = _mm256_or_si256(st.error, _mm256_or_si256(check_32(a, st.previous), check_32(b, a)));
    // Saturating subtraction leaves a non-zero byte when the last byte is
    // >= C0, the second-to-last >= E0 or the third-to-last >= F0.
    const __m256i limits = _mm256_setr_epi8(
        char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF),
        char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF),
        char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF),
        char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xFF), char(0xEF), char(0xDF), char(0xBF));
    st.incomplete = _mm256_subs_epu8(b, limits);
  }
  st.previous = b;
}

#undef QUIBEX_AVX2

#elif QUIBEX_NEON

// Non-zero bytes where `input` (preceded by `previous`) is not well-formed.
inline uint8x16_t check_16(uint8x16_t input, uint8x16_t previous) noexcept {
  const uint8x16_t prev1 = vextq_u8(previous, input, 15);
  const uint8x16_t by_prev_high = vqtbl1q_u8(vld1q_u8(kByPrevHigh), vshrq_n_u8(prev1, 4));
  const uint8x16_t by_prev_low = vqtbl1q_u8(vld1q_u8(kByPrevLow), vandq_u8(prev1, vdupq_n_u8(0x0F)));
  const uint8x16_t by_current_high = vqtbl1q_u8(vld1q_u8(kByCurrentHigh), vshrq_n_u8(input, 4));
  const uint8x16_t special = vandq_u8(vandq_u8(by_prev_high, by_prev_low), by_current_high);
  const uint8x16_t third = vqsubq_u8(vextq_u8(previous, input, 14), vdupq_n_u8(0xE0 - 0x80));
  const uint8x16_t fourth = vqsubq_u8(vextq_u8(previous, input, 13), vdupq_n_u8(0xF0 - 0x80));
  const uint8x16_t must_continue = vandq_u8(vorrq_u8(third, fourth), vdupq_n_u8(0x80));
  return veorq_u8(must_continue, special);
}

struct NeonState {
  uint8x16_t error;
  uint8x16_t previous;    // the last 16 bytes seen
  uint8x16_t incomplete;  // non-zero when `previous` ends inside a sequence
};

// Checks one 64-byte block.
inline void check_64(NeonState& st, const uint8_t* p) noexcept {
  const uint8x16x4_t v = vld1q_u8_x4(p);
  if (vmaxvq_u8(vorrq_u8(vorrq_u8(v.val[0], v.val[1]), vorrq_u8(v.val[2], v.val[3]))) < 0x80) {
    st.error = vorrq_u8(st.error, st.incomplete);
    st.incomplete = vdupq_n_u8(0);
  } else {
    const uint8x16_t e = vorrq_u8(vorrq_u8(check_16(v.val[0], st.previous), check_16(v.val[1], v.val[0])),
                                  vorrq_u8(check_16(v.val[2], v.val[1]), check_16(v.val[3], v.val[2])));
    st.error = vorrq_u8(st.error, e);
    // Non-zero when the last byte is >= C0, the second-to-last >= E0 or the
    // third-to-last >= F0.
    static constexpr uint8_t kLimits[16] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                            0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xEF, 0xDF, 0xBF};
    st.incomplete = vqsubq_u8(v.val[3], vld1q_u8(kLimits));
  }
  st.previous = v.val[3];
}

#endif

}  // namespace

size_t validate_utf8_scalar(const uint8_t* s, size_t n) noexcept {
  size_t i = 0;
  for (;;) {
    i = skip_ascii(s, i, n);
    if (i == n) return n;
    // s[i] has its high bit set: decode sequences until the next ASCII byte.
    do {
      const Lead lead = kLead[s[i]];
      if (lead.length == 0 || n - i < lead.length) return i;
      if ((kSecondClass[s[i + 1]] & lead.second) == 0) return i;
      for (size_t k = 2; k < lead.length; ++k) {
        if ((s[i + k] & 0xC0) != 0x80) return i;
      }
      i += lead.length;
    } while (i < n && s[i] >= 0x80);
  }
}

bool validate_utf8_portable(const uint8_t* s, size_t n) noexcept { return validate_utf8_scalar(s, n) == n; }

#if QUIBEX_X86
[[QUIBEX_TARGET_AVX2]] bool validate_utf8_avx2(const uint8_t* s, size_t n) noexcept {
  Avx2State st{_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256()};
  size_t i = 0;
  for (; n - i >= 64; i += 64) check_64(st, s + i);
  if (i < n) {
    // The zero padding makes a sequence cut off by the end an error.
    alignas(32) uint8_t tail[64] = {};
    std::memcpy(tail, s + i, n - i);
    check_64(st, tail);
  }
  const __m256i error = _mm256_or_si256(st.error, st.incomplete);
  return _mm256_testz_si256(error, error) != 0;
}

#elif QUIBEX_NEON
bool validate_utf8_neon(const uint8_t* s, size_t n) noexcept {
  NeonState st{vdupq_n_u8(0), vdupq_n_u8(0), vdupq_n_u8(0)};
  size_t i = 0;
  for (; n - i >= 64; i += 64) check_64(st, s + i);
  if (i < n) {
    uint8_t tail[64] = {};
    std::memcpy(tail, s + i, n - i);
    check_64(st, tail);
  }
  return vmaxvq_u8(vorrq_u8(st.error, st.incomplete)) == 0;
}
#endif

}  // namespace quibex
