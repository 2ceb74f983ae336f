#include "deserialize/reader/string.h"

#include "deserialize/reader/char_class.h"
#include "typeref/cpu.h"
#include "word_bytes.h"

#include "deserialize/build_str.h"
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

// Makes room for at least `room` more bytes after `used` bytes of the
// scratch. False when memory is short.
[[gnu::noinline]] bool grow_scratch(StringScratch* scratch, size_t used, size_t room) noexcept {
  size_t capacity = scratch->capacity < 4096 ? 4096 : scratch->capacity;
  while (capacity - used < room) {
    if (capacity > PY_SSIZE_T_MAX / 2) return false;
    capacity *= 2;
  }
  auto* grown = static_cast<uint8_t*>(PyMem_Realloc(scratch->data, capacity));
  if (grown == nullptr) return false;
  scratch->data = grown;
  scratch->capacity = capacity;
  return true;
}

// Characters each step below writes at most: one block, or one escape.
constexpr size_t kStepRoom = 16;
static_assert(kStepRoom >= kBlock);

// Writes an unescaped string into the scratch as UTF-8 bytes: what keys are
// looked up by.
class Utf8Writer {
 public:
  Utf8Writer(StringScratch* scratch, size_t /*prefix*/) noexcept : scratch_(scratch), dst_(scratch->data) {}

  // Whether room for `chars` more characters (the bytes of a run, or one
  // escape) is free, making it so if need be.
  [[gnu::always_inline]] bool reserve(size_t chars) noexcept {
    const size_t room = chars;
    const auto used = static_cast<size_t>(dst_ - scratch_->data);
    if (scratch_->capacity - used >= room) return true;
    if (!grow_scratch(scratch_, used, room)) return false;
    dst_ = scratch_->data + used;
    return true;
  }
  void escape(uint32_t cp) noexcept {
    wide_ |= cp;
    dst_ = write_utf8(dst_, cp);
  }
  void ascii(uint8_t c) noexcept { *dst_++ = c; }
  // The text from src to end, which holds no stop byte.
  void run(const uint8_t* src, const uint8_t* end) noexcept {
    const auto n = static_cast<size_t>(end - src);
    if (n != 0) std::memcpy(dst_, src, n);
    dst_ += n;
  }
  // The block at src, which holds no stop byte; returns the byte after
  // what was written.
  const uint8_t* block(const uint8_t* src, Block b) noexcept {
    store_block(dst_, b);
    dst_ += kBlock;
    return src + kBlock;
  }
  // The string written, as a String value (a WideString when an escape
  // stands for U+0080 or above). Always true.
  bool finish(DocValue* v) noexcept {
    v->tag = (wide_ >= 0x80 ? kTagWideString : kTagString) |
             (static_cast<uint64_t>(dst_ - scratch_->data) << kTagCountShift);
    v->payload.str = scratch_->data;
    return true;
  }

 private:
  StringScratch* scratch_;
  uint8_t* dst_;
  uint32_t wide_ = 0;  // the OR of the escaped code points
};

// Writes an unescaped string into the scratch as code points, 32 bits each,
// and then makes its str from them: escapes need no UTF-8 form on the way.
class CodePointWriter {
 public:
  // Strings whose code points would take more scratch than this are left
  // to Utf8Writer, so that the scratch stays within a few times the text.
  static constexpr size_t kMaxBytes = size_t{1} << 20;
  // So are strings mostly of plain text, which Utf8Writer copies a block at
  // a time and the str then takes as it is: more plain bytes than this
  // allowance and so many per escape.
  static constexpr size_t kPlainAllowance = 64;
  static constexpr size_t kPlainPerEscape = 8;
  bool declined;

  // `prefix`: the bytes before the first escape.
  CodePointWriter(StringScratch* scratch, size_t prefix) noexcept
      : declined(prefix > kPlainAllowance), scratch_(scratch), dst_(reinterpret_cast<uint32_t*>(scratch->data)) {}

  // As Utf8Writer's, but false also, with `declined` set, past kMaxBytes or
  // the allowance of plain text.
  [[gnu::always_inline]] bool reserve(size_t chars) noexcept {
    if (declined || plain_ > kPlainAllowance + kPlainPerEscape * escapes_) {
      declined = true;
      return false;
    }
    const size_t room = chars * sizeof(uint32_t);
    const auto used = static_cast<size_t>(reinterpret_cast<uint8_t*>(dst_) - scratch_->data);
    if (scratch_->capacity - used >= room) return true;
    if (used + room > kMaxBytes) {
      declined = true;
      return false;
    }
    if (!grow_scratch(scratch_, used, room)) return false;
    dst_ = reinterpret_cast<uint32_t*>(scratch_->data + used);
    return true;
  }
  void escape(uint32_t cp) noexcept {
    bound_ |= cp;
    *dst_++ = cp;
    ++escapes_;
  }
  void ascii(uint8_t c) noexcept {
    *dst_++ = c;
    ++escapes_;
  }
  // ASCII a block at a time while the run has blocks of it.
  void run(const uint8_t* src, const uint8_t* end) noexcept {
    plain_ += static_cast<size_t>(end - src);
    while (src < end) {
      if (*src < 0x80 && end - src >= static_cast<ptrdiff_t>(kBlock)) {
        const Block b = load_block(src);
        if (high_mask(b) == 0) {
          widen(src);
          src += kBlock;
          continue;
        }
      }
      src = decode(src);
    }
  }
  // Whole characters: the last one may end past the block.
  const uint8_t* block(const uint8_t* src, Block b) noexcept {
    plain_ += kBlock;
    if (high_mask(b) == 0) {
      widen(src);
      return src + kBlock;
    }
    for (const uint8_t* const end = src + kBlock; src < end;) src = decode(src);
    return src;
  }
  // The str of the code points written; false with MemoryError set when
  // memory is short.
  bool finish(DocValue* v) noexcept {
    const auto* begin = reinterpret_cast<const uint32_t*>(scratch_->data);
    PyObject* str = build_str_code_points(begin, static_cast<size_t>(dst_ - begin), bound_);
    if (str == nullptr) return false;
    v->tag = kTagBuiltString;
    v->payload.obj = str;
    return true;
  }

 private:
  // The kBlock ASCII bytes at s.
  void widen(const uint8_t* s) noexcept {
    for (size_t i = 0; i < kBlock; ++i) dst_[i] = s[i];
    dst_ += kBlock;
  }
  // One character of well-formed UTF-8 at s; returns the byte after it.
  const uint8_t* decode(const uint8_t* s) noexcept {
    const Utf8Char c = decode_utf8_char(s);
    bound_ |= c.cp;
    *dst_++ = c.cp;
    return s + c.length;
  }

  StringScratch* scratch_;
  uint32_t* dst_;
  uint32_t bound_ = 0;  // the OR of the code points decoded (ASCII widened a block at a time left out)
  size_t plain_ = 0;    // bytes of plain text written
  size_t escapes_ = 0;  // escapes written
};

inline bool out_declined(const Utf8Writer&) noexcept { return false; }
inline bool out_declined(const CodePointWriter& out) noexcept { return out.declined; }

// Copying mode, from the first backslash at `src` of the string starting at
// `begin`: the text before it, then every escape and the plain runs between
// them, go to the writer.
template <typename Writer>
[[gnu::noinline]] const uint8_t* read_escaped(const uint8_t* begin, const uint8_t* src, const uint8_t* copy_end,
                                              DocValue* v, StringScratch* scratch, StringError* error) noexcept {
  Writer out(scratch, static_cast<size_t>(src - begin));
  // Out of memory, or the writer declined the string: null `at`.
  const auto no_room = [&] {
    *error = {nullptr, out_declined(out) ? nullptr : src};
    return nullptr;
  };
  if (!out.reserve(static_cast<size_t>(src - begin) + kStepRoom)) return no_room();
  out.run(begin, src);
  for (;;) {
    // src is at a stop byte.
    if (*src == '"') break;
    if (*src != '\\') {
      *error = {"unexpected control character in string", src};
      return nullptr;
    }
    if (const uint8_t simple = kSimpleEscape[src[1]]; simple != 0) {
      out.ascii(simple);
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
      out.escape(static_cast<uint32_t>(cp));
      src += 6;
    } else {
      *error = {"invalid escaped character in string", src + 1};
      return nullptr;
    }
    // Copy the plain run up to the next stop byte. A whole block is stored
    // only when it holds no stop byte. Escapes often come in runs (text
    // escaped as \u sequences), so a backslash right away takes no block.
    for (;;) {
      if (!out.reserve(kStepRoom)) return no_room();
      if (*src == '\\') break;
      if (copy_end - src < static_cast<ptrdiff_t>(kBlock)) {
        const uint8_t* run_end = src;
        while (!is_stop(*run_end)) ++run_end;
        out.run(src, run_end);
        src = run_end;
        break;
      }
      const Block block = load_block(src);
      const auto mask = stop_mask(block);
      if (mask == 0) {
        src = out.block(src, block);
        continue;
      }
      const uint8_t* const run_end = src + first_stop(mask);
      out.run(src, run_end);
      src = run_end;
      break;
    }
  }
  if (!out.finish(v)) {
    *error = {nullptr, src};
    return nullptr;
  }
  return src + 1;
}

template <bool kSeeAscii, bool kBuild>
const uint8_t* read_string_as(const uint8_t* p, const uint8_t* readable_end, DocValue* v, StringScratch* scratch,
                              StringError* error) noexcept {
  const uint8_t* const begin = p;
  bool high = true;
  p = find_stop<kSeeAscii>(p, readable_end, &high);
  if (*p != '"') {
    if (kBuild) {
      const uint8_t* after = read_escaped<CodePointWriter>(begin, p, readable_end, v, scratch, error);
      if (after != nullptr || error->message != nullptr || error->at != nullptr) return after;
    }
    return read_escaped<Utf8Writer>(begin, p, readable_end, v, scratch, error);
  }
  v->tag = (high ? kTagString : kTagAsciiString) | (static_cast<uint64_t>(p - begin) << kTagCountShift);
  v->payload.str = begin;
  return p + 1;
}

}  // namespace

const uint8_t* read_string(const uint8_t* p, const uint8_t* readable_end, DocValue* v, StringScratch* scratch,
                           StringError* error, bool see_ascii) noexcept {
  return see_ascii ? read_string_as<true, true>(p, readable_end, v, scratch, error)
                   : read_string_as<false, true>(p, readable_end, v, scratch, error);
}

const uint8_t* read_key_string(const uint8_t* p, const uint8_t* readable_end, DocValue* v, StringScratch* scratch,
                               StringError* error) noexcept {
  return read_string_as<false, false>(p, readable_end, v, scratch, error);
}

}  // namespace quibex
