// The parsed document: fixed-size value records in document order, the header
// placed before them, and the allocator record the reader takes its memory from.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quibex {

// Record kinds (tag bits 0-2). Kinds 0 and 1 are never produced.
enum class DocKind : uint8_t { Null = 2, Bool = 3, Number = 4, String = 5, Array = 6, Object = 7 };

// Record subkinds (tag bits 3-4) of Bool and Number.
enum class DocSubkind : uint8_t { False = 0, True = 1, Unsigned = 0, Signed = 1, Real = 2 };

constexpr uint64_t make_tag(DocKind kind, DocSubkind subkind = DocSubkind::False) noexcept {
  return static_cast<uint64_t>(kind) | (static_cast<uint64_t>(subkind) << 3);
}

// The tag low byte of every record kind the reader writes.
inline constexpr uint64_t kTagNull = make_tag(DocKind::Null);
inline constexpr uint64_t kTagFalse = make_tag(DocKind::Bool, DocSubkind::False);
inline constexpr uint64_t kTagTrue = make_tag(DocKind::Bool, DocSubkind::True);
inline constexpr uint64_t kTagUnsigned = make_tag(DocKind::Number, DocSubkind::Unsigned);
inline constexpr uint64_t kTagSigned = make_tag(DocKind::Number, DocSubkind::Signed);
inline constexpr uint64_t kTagReal = make_tag(DocKind::Number, DocSubkind::Real);
inline constexpr uint64_t kTagString = make_tag(DocKind::String);
inline constexpr uint64_t kTagArray = make_tag(DocKind::Array);
inline constexpr uint64_t kTagObject = make_tag(DocKind::Object);
static_assert(kTagTrue == 0x0B && kTagSigned == 0x0C && kTagReal == 0x14);

inline constexpr unsigned kTagCountShift = 8;  // the count lives in tag bits 8-63

// One value: 16 bytes. The payload is read by kind:
//   Number Unsigned: u; Signed: i; Real: f (a binary64);
//   String: str, pointing at `count()` bytes of well-formed UTF-8 that may hold
//           NUL bytes and are not reliably NUL-terminated;
//   Array, Object: distance, the byte distance from this record to the record
//           that follows the container's last descendant (16 for an empty one);
//   Null, Bool: not written.
struct DocValue {
  uint64_t tag;
  union {
    uint64_t u;
    int64_t i;
    double f;
    const uint8_t* str;
    uint64_t distance;
  } payload;

  DocKind kind() const noexcept { return static_cast<DocKind>(tag & 7); }
  DocSubkind subkind() const noexcept { return static_cast<DocSubkind>((tag >> 3) & 3); }
  // String byte length, Array element count, Object member (pair) count.
  uint64_t count() const noexcept { return tag >> kTagCountShift; }
  // Array and Object are the only kinds with tag bits 1 and 2 both set.
  bool is_container() const noexcept { return (~tag & 6) == 0; }

  // The first child of a container (its first element or first key).
  const DocValue* first_child() const noexcept { return this + 1; }
  // The record after this one and all its descendants. Children of an Array
  // are its elements; children of an Object alternate key (a String), value.
  const DocValue* next_sibling() const noexcept {
    return is_container() ? reinterpret_cast<const DocValue*>(
                                reinterpret_cast<const uint8_t*>(this) + payload.distance)
                          : this + 1;
  }
};
static_assert(sizeof(DocValue) == 16);

// Where the reader takes memory from: three routines and their context.
// reallocate is only used to grow a block; it returns null (leaving the block
// as it was) when it cannot.
struct ArenaAllocator {
  void* (*allocate)(void* context, size_t size);
  void* (*reallocate)(void* context, void* pointer, size_t old_size, size_t new_size);
  void (*release)(void* context, void* pointer);
  void* context;
};
static_assert(sizeof(ArenaAllocator) == 32);

// Precedes the root record; occupies the first four record slots of the
// record array.
struct DocHeader {
  DocValue* root;             // the record right after this header
  ArenaAllocator allocator;   // the allocator the record array and string pool came from
  uint64_t bytes_read;        // text offset past the root value and the whitespace consumed after it
  uint64_t value_count;       // number of records, the root included
  uint8_t* string_pool;       // the reader's copy of the text; String payloads point into it
};
static_assert(sizeof(DocHeader) == 4 * sizeof(DocValue));

}  // namespace quibex
