#include "deserialize/reader/string.h"

#include "deserialize/reader/char_class.h"
#include "typeref/cpu.h"
#include "word_bytes.h"

#include "ffi/python.h"

#if QUIBEX_X86
#include <emmintrin.h>
#endif

#include <cstring>

namespace quibex {
namespace {

// Blocks of text scanned for a string stop byte ('"', '\\', 00..1F) at once.
// Non-ASCII bytes never stop a scan: the text is well-formed UTF-8, so
// continuation bytes are never taken for a quote, backslash or control byte.
#if QUIBEX_X86
constexpr size_t kBlock = 16;
using Block = __m128i;
inline Block load_block(const uint8_t* p) noexcept { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void store_block(uint8_t* p, Block v) noexcept { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
// Non-zero when the block holds a stop byte; the lowest set bit is that of
// the first one's index.
inline unsigned stop_mask(Block v) noexcept {
  const __m128i quote = _mm_cmpeq_epi8(v, _mm_set1_epi8('"'));
  const __m128i backslash = _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'));
  const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x1F)), v);
  return static_cast<unsigned>(
      _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(quote, backslash), control)));
}
inline size_t first_stop(unsigned mask) noexcept { return static_cast<size_t>(__builtin_ctz(mask)); }
// Non-zero when the block holds a byte of 0x80 or above: one bit per such
// byte, in the places stop_mask gives its bytes.
inline unsigned high_mask(Block v) noexcept { return static_cast<unsigned>(_mm_movemask_epi8(v)); }
#else
constexpr size_t kBlock = 8;
using Block = uint64_t;
inline Block load_block(const uint8_t* p) noexcept { return word_bytes::load_le64(p); }
inline void store_block(uint8_t* p, Block v) noexcept { word_bytes::store_le64(p, v); }
inline uint64_t stop_mask(Block v) noexcept { return word_bytes::string_stop_flags(v); }
inline size_t first_stop(uint64_t mask) noexcept { return word_bytes::first_byte_index(mask); }
inline uint64_t high_mask(Block v) noexcept { return v & word_bytes::kHighBits; }
#endif

bool is_stop(uint8_t c) noexcept { return (kCharClass[c] & kCharStringStop) != 0; }

// The first stop byte at or after p; with kSeeHigh, also whether a byte
// before it is 0x80 or above (in *high). Block loads stay before copy_end;
// the zero byte after the text ends the byte loop.
template <bool kSeeHigh>
[[gnu::always_inline]] inline const uint8_t* find_stop(const uint8_t* p, const uint8_t* copy_end, bool* high) noexcept {
  decltype(high_mask(Block{})) seen = 0;
  for (; copy_end - p >= static_cast<ptrdiff_t>(kBlock); p += kBlock) {
    const Block block = load_block(p);
    const auto mask = stop_mask(block);
    if (mask != 0) {
      // Only the bytes before the first stop count: the bits below its bit.
      if (kSeeHigh) *high = (seen | (high_mask(block) & ((mask & (0 - mask)) - 1))) != 0;
      return p + first_stop(mask);
    }
    if (kSeeHigh) seen |= high_mask(block);
  }
  uint8_t any = 0;
  for (; !is_stop(*p); ++p) {
    if (kSeeHigh) any |= *p;
  }
  if (kSeeHigh) *high = seen != 0 || any >= 0x80;
  return p;
}

// Value of the four hexadecimal digits at p; negative when one is not a hex digit.
inline int32_t hex4(const uint8_t* p) noexcept {
  return (kHexValue[p[0]] * 4096) | (kHexValue[p[1]] * 256) | (kHexValue[p[2]] * 16) |
         kHexValue[p[3]];
}

uint8_t* write_utf8(uint8_t* dst, uint32_t cp) noexcept {
  if (cp < 0x80) {
    *dst++ = static_cast<uint8_t>(cp);
  } else if (cp < 0x800) {
    *dst++ = static_cast<uint8_t>(0xC0 | (cp >> 6));
    *dst++ = static_cast<uint8_t>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *dst++ = static_cast<uint8_t>(0xE0 | (cp >> 12));
    *dst++ = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
    *dst++ = static_cast<uint8_t>(0x80 | (cp & 0x3F));
  } else {
    *dst++ = static_cast<uint8_t>(0xF0 | (cp >> 18));
    *dst++ = static_cast<uint8_t>(0x80 | ((cp >> 12) & 0x3F));
    *dst++ = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
    *dst++ = static_cast<uint8_t>(0x80 | (cp & 0x3F));
  }
  return dst;
}

// Indexed by the byte after a backslash: the byte it stands for; 0 when the
// escape is not a one-byte escape.
constexpr std::array<uint8_t, 256> kSimpleEscape = [] {
  std::array<uint8_t, 256> t{};
  t['"'] = '"';
  t['\\'] = '\\';
  t['/'] = '/';
  t['b'] = '\b';
  t['f'] = '\f';
  t['n'] = '\n';
  t['r'] = '\r';
  t['t'] = '\t';
  return t;
}();
static_assert(kSimpleEscape['n'] == 0x0A && kSimpleEscape['u'] == 0);

// Makes room for at least `room` more bytes after `dst` in the scratch,
// moving `dst` along when the scratch moves. False when memory is short.
[[gnu::noinline]] bool grow_scratch(StringScratch* scratch, uint8_t*& dst, size_t room) noexcept {
  const size_t used = static_cast<size_t>(dst - scratch->data);
  size_t capacity = scratch->capacity < 4096 ? 4096 : scratch->capacity;
  while (capacity - used < room) {
    if (capacity > PY_SSIZE_T_MAX / 2) return false;
    capacity *= 2;
  }
  auto* grown = static_cast<uint8_t*>(PyMem_Realloc(scratch->data, capacity));
  if (grown == nullptr) return false;
  scratch->data = grown;
  scratch->capacity = capacity;
  dst = grown + used;
  return true;
}

// Whether `room` bytes are free after `dst`, making them so if need be.
[[gnu::always_inline]] inline bool reserve(StringScratch* scratch, uint8_t*& dst, size_t room) noexcept {
  return static_cast<size_t>(scratch->data + scratch->capacity - dst) >= room || grow_scratch(scratch, dst, room);
}

// Bytes of scratch room each step below writes at most: one block, or the
// four UTF-8 bytes of an escape.
constexpr size_t kStepRoom = 16;
static_assert(kStepRoom >= kBlock && kStepRoom >= 4);

// Copying mode, from the first backslash at `src` of the string starting at
// `begin`: the bytes before it, then every escape as its UTF-8 bytes and the
// plain runs between them, go into the scratch.
[[gnu::noinline]] const uint8_t* read_escaped(const uint8_t* begin, const uint8_t* src, const uint8_t* copy_end,
                                              DocValue* v, StringScratch* scratch, StringError* error) noexcept {
  uint8_t* dst = scratch->data;
  uint32_t wide = 0;  // bit 7 set when an escape stands for U+0080 or above
  const auto prefix = static_cast<size_t>(src - begin);
  if (!reserve(scratch, dst, prefix + kStepRoom)) {
    *error = {nullptr, src};
    return nullptr;
  }
  if (prefix != 0) std::memcpy(dst, begin, prefix);
  dst += prefix;
  for (;;) {
    // src is at a stop byte.
    if (*src == '"') break;
    if (*src != '\\') {
      *error = {"unexpected control character in string", src};
      return nullptr;
    }
    if (const uint8_t simple = kSimpleEscape[src[1]]; simple != 0) {
      *dst++ = simple;
      src += 2;
    } else if (src[1] == 'u') {
      // Four hex digits must be readable; a shorter rest is not an escape.
      int32_t cp = copy_end - src >= 6 ? hex4(src + 2) : -1;
      if (cp < 0) {
        *error = {"invalid escaped sequence in string", src};
        return nullptr;
      }
      if (cp >= 0xDC00 && cp <= 0xDFFF) {
        *error = {"invalid high surrogate in string", src};
        return nullptr;
      }
      if (cp >= 0xD800 && cp <= 0xDBFF) {
        if (src[6] != '\\' || src[7] != 'u') {
          *error = {"no low surrogate in string", src + 6};
          return nullptr;
        }
        const int32_t low = copy_end - src >= 12 ? hex4(src + 8) : -1;
        if (low < 0) {
          *error = {"invalid escaped sequence in string", src + 6};
          return nullptr;
        }
        if (low < 0xDC00 || low > 0xDFFF) {
          *error = {"invalid low surrogate in string", src + 6};
          return nullptr;
        }
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        src += 6;
      }
      wide |= static_cast<uint32_t>(cp);
      dst = write_utf8(dst, static_cast<uint32_t>(cp));
      src += 6;
    } else {
      *error = {"invalid escaped character in string", src + 1};
      return nullptr;
    }
    // Copy the plain run up to the next stop byte. A whole block is stored
    // only when it holds no stop byte. Escapes often come in runs (text
    // escaped as \u sequences), so a backslash right away takes no block.
    for (;;) {
      if (!reserve(scratch, dst, kStepRoom)) {
        *error = {nullptr, src};
        return nullptr;
      }
      if (*src == '\\') break;
      if (copy_end - src < static_cast<ptrdiff_t>(kBlock)) {
        while (!is_stop(*src)) *dst++ = *src++;
        break;
      }
      const Block block = load_block(src);
      const auto mask = stop_mask(block);
      if (mask == 0) {
        store_block(dst, block);
        src += kBlock;
        dst += kBlock;
        continue;
      }
      for (const uint8_t* run_end = src + first_stop(mask); src < run_end;) *dst++ = *src++;
      break;
    }
  }
  v->tag = (wide >= 0x80 ? kTagWideString : kTagString) | (static_cast<uint64_t>(dst - scratch->data) << kTagCountShift);
  v->payload.str = scratch->data;
  return src + 1;
}

template <bool kSeeAscii>
const uint8_t* read_string_as(const uint8_t* p, const uint8_t* readable_end, DocValue* v, StringScratch* scratch,
                              StringError* error) noexcept {
  const uint8_t* const begin = p;
  bool high = true;
  p = find_stop<kSeeAscii>(p, readable_end, &high);
  if (*p != '"') return read_escaped(begin, p, readable_end, v, scratch, error);
  v->tag = (high ? kTagString : kTagAsciiString) | (static_cast<uint64_t>(p - begin) << kTagCountShift);
  v->payload.str = begin;
  return p + 1;
}

}  // namespace

const uint8_t* read_string(const uint8_t* p, const uint8_t* readable_end, DocValue* v, StringScratch* scratch,
                           StringError* error, bool see_ascii) noexcept {
  return see_ascii ? read_string_as<true>(p, readable_end, v, scratch, error)
                   : read_string_as<false>(p, readable_end, v, scratch, error);
}

}  // namespace quibex
