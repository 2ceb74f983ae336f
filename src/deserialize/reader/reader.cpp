#include "deserialize/reader/reader.h"

#include "deserialize/reader/arena.h"
#include "deserialize/reader/char_class.h"
#include "deserialize/reader/number.h"
#include "deserialize/reader/string.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace quibex {
namespace {

constexpr size_t kSentinelBytes = 4;  // zero bytes after the working copy
constexpr size_t kHeaderSlots = sizeof(DocHeader) / sizeof(DocValue);
constexpr unsigned kMaxDepth = 1023;  // nesting levels below the root
constexpr size_t kMaxEstimate = 0x0FFFFFFFFFFFFFF7u;  // record estimate cap: (n + 8) × 16 fits 64 bits

constexpr const char* kMsgMemory = "memory allocation failed";
constexpr const char* kMsgUnexpectedCharacter = "unexpected character";
constexpr const char* kMsgUnexpectedEnd = "unexpected end of data";

// A failure found while parsing, before the end-of-input rule is applied.
struct Failure {
  ReadErrorCategory category;
  const char* message;
  const uint8_t* at;
};

// State of one read.
struct DocReader {
  const ArenaAllocator* alloc;
  uint8_t* text;            // the working copy
  uint8_t* end;             // text + len: the first sentinel byte
  const uint8_t* copy_end;  // past the last sentinel byte
  DocValue* records;        // the record array, header in its first slots
  size_t capacity;          // of the record array, in slots
  bool records_in_system;   // the record array has outgrown the allocator and lives in malloc memory
};

inline bool is_space(uint8_t c) noexcept { return (kCharClass[c] & kCharSpace) != 0; }

// Past a run of whitespace: spaces eight at a time (indentation), then byte
// by byte; the zero sentinel ends the byte loop.
[[gnu::noinline]] uint8_t* skip_space_run(uint8_t* p, const uint8_t* copy_end) noexcept {
  for (; copy_end - p >= 8; p += 8) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    v ^= 0x2020202020202020u;
    if (v != 0) {
      p += __builtin_ctzll(v) / 8;
      break;
    }
  }
  while (is_space(*p)) ++p;
  return p;
}

// The first byte at or after p that is not whitespace. Compact text has none
// and a single space (after ':' or ',') is common: both take no loop.
[[gnu::always_inline]] inline uint8_t* skip_space(uint8_t* p, const uint8_t* copy_end) noexcept {
  if (!is_space(*p)) return p;
  if (!is_space(p[1])) return p + 1;
  return skip_space_run(p + 2, copy_end);
}

inline uint32_t load32(const uint8_t* p) noexcept {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

constexpr uint32_t word32(const char (&s)[5]) noexcept {
  return static_cast<uint32_t>(static_cast<uint8_t>(s[0])) |
         static_cast<uint32_t>(static_cast<uint8_t>(s[1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(s[2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(s[3])) << 24;
}

// Whether an error of category c at byte offset p is caused by the text
// ending too early (and is then reported as "unexpected end of data").
bool is_truncated_end(const uint8_t* text, size_t len, size_t p, ReadErrorCategory c) noexcept {
  if (p >= len) return true;
  const uint8_t* s = text + p;
  const size_t rest = len - p;
  if (c == ReadErrorCategory::Literal) {
    for (const char* literal : {"true", "false", "null"}) {
      if (rest < std::strlen(literal) && std::memcmp(s, literal, rest) == 0) return true;
    }
    return false;
  }
  if (c == ReadErrorCategory::String && *s == '\\') {
    if (rest == 1) return true;
    if (rest > 5 || s[1] != 'u') return false;
    return std::all_of(s + 2, s + rest, [](uint8_t h) { return kHexValue[h] >= 0; });
  }
  return false;
}

void release_records(DocReader& r) noexcept {
  if (r.records_in_system) {
    std::free(r.records);
  } else if (r.records != nullptr) {
    r.alloc->release(r.alloc->context, r.records);
  }
}

[[gnu::cold]] DocHeader* fail(DocReader& r, ReadError* error, Failure f) noexcept {
  const size_t len = static_cast<size_t>(r.end - r.text);
  size_t position = static_cast<size_t>(f.at - r.text);
  if (is_truncated_end(r.text, len, position, f.category)) {
    f.category = ReadErrorCategory::UnexpectedEnd;
    f.message = kMsgUnexpectedEnd;
    position = len;
  }
  *error = {f.category, f.message, position};
  release_records(r);
  r.alloc->release(r.alloc->context, r.text);
  return nullptr;
}

// Grows the record array by half its capacity, or by less when the
// allocator cannot give that much. When it can give nothing more, the array
// moves to system memory: a text that is invalid further on (say, 1025
// unclosed brackets) may need more records than its arena holds before the
// error is seen, and is then still reported with that error.
[[gnu::noinline]] bool grow_records(DocReader& r) noexcept {
  const size_t capacity = r.capacity;
  if (capacity > SIZE_MAX / sizeof(DocValue) / 2) return false;
  const ArenaAllocator* alloc = r.records_in_system ? &kSystemAllocator : r.alloc;
  for (size_t extra = capacity / 2; extra != 0; extra /= 2) {
    void* grown = alloc->reallocate(alloc->context, r.records, capacity * sizeof(DocValue),
                                    (capacity + extra) * sizeof(DocValue));
    if (grown != nullptr) {
      r.records = static_cast<DocValue*>(grown);
      r.capacity = capacity + extra;
      return true;
    }
  }
  if (alloc == &kSystemAllocator) return false;
  const size_t grown_capacity = capacity + capacity / 2;
  void* moved = std::malloc(grown_capacity * sizeof(DocValue));
  if (moved == nullptr) return false;
  std::memcpy(moved, r.records, capacity * sizeof(DocValue));
  r.alloc->release(r.alloc->context, r.records);
  r.records = static_cast<DocValue*>(moved);
  r.capacity = grown_capacity;
  r.records_in_system = true;
  return true;
}

// grow_records for the reader's working pointers into the record array:
// rebases them when the array moves. False on exhaustion.
[[gnu::noinline]] bool grow_records_at(DocReader& r, DocValue*& val, DocValue*& ctn, DocValue*& limit) noexcept {
  const ptrdiff_t val_at = val - r.records;
  const ptrdiff_t ctn_at = ctn - r.records;
  if (!grow_records(r)) return false;
  val = r.records + val_at;
  ctn = r.records + ctn_at;
  limit = r.records + r.capacity - 2;
  return true;
}

// Reads the string, number or literal at p into *v; returns the pointer past
// it, or null with *f filled.
[[gnu::always_inline]] inline uint8_t* read_scalar(const DocReader& r, uint8_t* p, DocValue* v, Failure* f) noexcept {
  const uint8_t c = *p;
  if (c == '"') {
    StringError e;
    uint8_t* after = read_string(p + 1, r.copy_end, v, &e);
    if (after == nullptr) *f = {ReadErrorCategory::String, e.message, e.at};
    return after;
  }
  if (kCharClass[c] & kCharNumberStart) {
    NumberError e;
    const uint8_t* after = read_number(p, r.copy_end, v, &e);
    if (after == nullptr) {
      *f = {ReadErrorCategory::Number, e.message, e.at};
      return nullptr;
    }
    return const_cast<uint8_t*>(after);
  }
  // The reads of four bytes stay inside the copy: p is before the sentinels.
  if (c == 't' && load32(p) == word32("true")) {
    v->tag = kTagTrue;
    return p + 4;
  }
  if (c == 'f' && load32(p + 1) == word32("alse")) {
    v->tag = kTagFalse;
    return p + 5;
  }
  if (c == 'n' && load32(p) == word32("null")) {
    v->tag = kTagNull;
    return p + 4;
  }
  if (c == 't' || c == 'f' || c == 'n') {
    *f = {ReadErrorCategory::Literal, "invalid literal", p};
  } else {
    *f = {ReadErrorCategory::UnexpectedCharacter, kMsgUnexpectedCharacter, p};
  }
  return nullptr;
}

// Completes the header; a record array that outgrew the allocator comes back
// into it when it fits (it always does in an arena sized as loads sizes it:
// a valid text holds at most one record per two bytes).
DocHeader* finish(DocReader& r, const uint8_t* cur, const DocValue* next_free,
                  ReadError* error) noexcept {
  if (r.records_in_system) {
    const ptrdiff_t used = next_free - r.records;
    void* back = r.alloc->allocate(r.alloc->context, static_cast<size_t>(used) * sizeof(DocValue));
    if (back == nullptr) return fail(r, error, {ReadErrorCategory::Memory, kMsgMemory, cur});
    std::memcpy(back, r.records, static_cast<size_t>(used) * sizeof(DocValue));
    std::free(r.records);
    r.records = static_cast<DocValue*>(back);
    next_free = r.records + used;
    r.records_in_system = false;
  }
  DocHeader* header = reinterpret_cast<DocHeader*>(r.records);
  header->root = r.records + kHeaderSlots;
  header->allocator = *r.alloc;
  header->bytes_read = static_cast<uint64_t>(cur - r.text);
  header->value_count = static_cast<uint64_t>(next_free - header->root);
  header->string_pool = r.text;
  return header;
}

DocHeader* read_single_value(DocReader& r, uint8_t* cur, ReadError* error) noexcept {
  r.capacity = kHeaderSlots + 1;
  r.records = static_cast<DocValue*>(
      r.alloc->allocate(r.alloc->context, r.capacity * sizeof(DocValue)));
  if (r.records == nullptr) return fail(r, error, {ReadErrorCategory::Memory, kMsgMemory, cur});
  DocValue* root = r.records + kHeaderSlots;
  Failure f;
  cur = read_scalar(r, cur, root, &f);
  if (cur == nullptr) return fail(r, error, f);
  cur = skip_space(cur, r.copy_end);
  if (cur != r.end) {
    return fail(r, error,
                {ReadErrorCategory::ContentAfter, "unexpected content after document", cur});
  }
  return finish(r, cur, root + 1, error);
}

// The comma before the closing bracket at `bracket`.
const uint8_t* comma_before(const uint8_t* bracket) noexcept {
  while (*bracket != ',') --bracket;
  return bracket;
}

// Containers are read with an explicit state machine. While a container is
// open its record holds, in the payload, the byte distance back to its parent
// (0 for the root) and, in the tag count, its running child count as of the
// last nested container opened in it; the current container's running count
// is kept in ctn_len.
DocHeader* read_container(DocReader& r, uint8_t* cur, ReadError* error) noexcept {
  const size_t rest = static_cast<size_t>(r.end - cur);
  const bool indented = is_space(cur[1]) && is_space(cur[2]);
  const size_t estimate = std::min(indented ? rest / 16 : rest / 6, kMaxEstimate);
  r.capacity = estimate + 8;
  r.records = static_cast<DocValue*>(
      r.alloc->allocate(r.alloc->context, r.capacity * sizeof(DocValue)));
  if (r.records == nullptr) return fail(r, error, {ReadErrorCategory::Memory, kMsgMemory, cur});

  DocValue* val = r.records + kHeaderSlots;  // the next free slot
  DocValue* limit = r.records + r.capacity - 2;  // a record may be written below it
  DocValue* ctn = val;                           // the innermost open container
  uint64_t ctn_len = 0;
  unsigned depth = 0;
  Failure f;

  // Makes sure a record can be written at val (rebasing the pointers when the
  // record array moves); yields false on exhaustion. The growth itself is
  // out of line: the test is all that runs per record.
  auto reserve = [&r, &val, &limit, &ctn]() noexcept {
    return val < limit || grow_records_at(r, val, ctn, limit);
  };

  ctn->tag = *cur == '[' ? kTagArray : kTagObject;
  ctn->payload.distance = 0;
  ++val;
  if (*cur++ == '{') goto object_begin;

array_begin:  // after '['
  cur = skip_space(cur, r.copy_end);
  if (*cur == ']') goto close;
  goto array_value;

array_next:  // after ','
  cur = skip_space(cur, r.copy_end);
  if (*cur == ']') goto trailing_comma;

array_value:
  ++ctn_len;
  if (*cur == '[' || *cur == '{') goto open;
  if (!reserve()) goto out_of_memory;
  cur = read_scalar(r, cur, val, &f);
  if (cur == nullptr) return fail(r, error, f);
  ++val;

array_end:
  cur = skip_space(cur, r.copy_end);
  if (*cur == ',') {
    ++cur;
    goto array_next;
  }
  if (*cur == ']') goto close;
  goto unexpected_character;

object_begin:  // after '{'
  cur = skip_space(cur, r.copy_end);
  if (*cur == '}') goto close;
  goto object_key;

object_next:  // after ','
  cur = skip_space(cur, r.copy_end);
  if (*cur == '}') goto trailing_comma;

object_key:
  if (*cur != '"') goto unexpected_character;
  if (!reserve()) goto out_of_memory;
  {
    StringError e;
    cur = read_string(cur + 1, r.copy_end, val, &e);
    if (cur == nullptr) return fail(r, error, {ReadErrorCategory::String, e.message, e.at});
  }
  ++val;
  ++ctn_len;
  cur = skip_space(cur, r.copy_end);
  if (*cur != ':') goto unexpected_character;
  cur = skip_space(cur + 1, r.copy_end);
  ++ctn_len;
  if (*cur == '[' || *cur == '{') goto open;
  if (!reserve()) goto out_of_memory;
  cur = read_scalar(r, cur, val, &f);
  if (cur == nullptr) return fail(r, error, f);
  ++val;

object_end:
  cur = skip_space(cur, r.copy_end);
  if (*cur == ',') {
    ++cur;
    goto object_next;
  }
  if (*cur == '}') goto close;
  goto unexpected_character;

open:  // cur at '[' or '{', already counted in ctn_len
  if (++depth > kMaxDepth) {
    return fail(r, error,
                {ReadErrorCategory::Depth, "array and object recursion depth exceeded", cur + 1});
  }
  if (!reserve()) goto out_of_memory;
  ctn->tag = (ctn->tag & 0xFF) | (ctn_len << kTagCountShift);
  val->tag = *cur == '[' ? kTagArray : kTagObject;
  val->payload.distance = static_cast<uint64_t>(val - ctn) * sizeof(DocValue);
  ctn = val++;
  ctn_len = 0;
  if (*cur++ == '[') goto array_begin;
  goto object_begin;

close: {  // cur at the closing bracket of ctn
  ++cur;
  const uint64_t parent_distance = ctn->payload.distance;
  const uint64_t kind = ctn->tag & 0xFF;
  const uint64_t count = kind == kTagObject ? ctn_len / 2 : ctn_len;
  ctn->tag = kind | (count << kTagCountShift);
  ctn->payload.distance = static_cast<uint64_t>(val - ctn) * sizeof(DocValue);
  if (parent_distance == 0) goto done;
  ctn -= parent_distance / sizeof(DocValue);
  --depth;
  ctn_len = ctn->tag >> kTagCountShift;
  if ((ctn->tag & 0xFF) == kTagArray) goto array_end;
  goto object_end;
}

done:
  cur = skip_space(cur, r.copy_end);
  if (cur != r.end) {
    return fail(r, error,
                {ReadErrorCategory::ContentAfter, "unexpected content after document", cur});
  }
  return finish(r, cur, val, error);

trailing_comma:
  return fail(r, error,
              {ReadErrorCategory::Structure, "trailing comma is not allowed", comma_before(cur)});

unexpected_character:
  return fail(r, error, {ReadErrorCategory::UnexpectedCharacter, kMsgUnexpectedCharacter, cur});

out_of_memory:
  return fail(r, error, {ReadErrorCategory::Memory, kMsgMemory, cur});
}

}  // namespace

DocHeader* read(const uint8_t* data, size_t len, const ArenaAllocator* allocator,
                ReadError* error) noexcept {
  if (allocator == nullptr) allocator = &kSystemAllocator;
  uint8_t* text = len <= SIZE_MAX - kSentinelBytes
                      ? static_cast<uint8_t*>(allocator->allocate(allocator->context, len + kSentinelBytes))
                      : nullptr;
  if (text == nullptr) {
    *error = {ReadErrorCategory::Memory, kMsgMemory, 0};
    return nullptr;
  }
  if (len != 0) std::memcpy(text, data, len);
  std::memset(text + len, 0, kSentinelBytes);
  DocReader r = {allocator, text, text + len, text + len + kSentinelBytes, nullptr, 0, false};

  uint8_t* cur = skip_space(text, r.copy_end);
  if (cur == r.end) {
    *error = {ReadErrorCategory::Empty, "input data is empty", 0};
    allocator->release(allocator->context, text);
    return nullptr;
  }
  if (*cur == '[' || *cur == '{') return read_container(r, cur, error);
  return read_single_value(r, cur, error);
}

void release_document(DocHeader* doc) noexcept {
  const ArenaAllocator allocator = doc->allocator;
  uint8_t* const pool = doc->string_pool;
  allocator.release(allocator.context, doc);  // the record array starts with the header
  allocator.release(allocator.context, pool);
}

}  // namespace quibex
