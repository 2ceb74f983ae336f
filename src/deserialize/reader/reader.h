// The JSON text reader: strict RFC 8259 text in, a document of DocValue
// records out. It creates no Python objects.
#pragma once

#include "deserialize/reader/doc.h"

#include <cstddef>
#include <cstdint>

namespace quibex {

// Why a read failed; selects which end-of-input rules apply.
enum class ReadErrorCategory : uint32_t {
  None = 0,
  Memory = 2,
  Empty = 3,
  ContentAfter = 4,
  UnexpectedEnd = 5,
  UnexpectedCharacter = 6,
  Structure = 7,
  Number = 9,
  String = 10,
  Literal = 11,
  Depth = 14,
};

// Filled by read() on failure only; the caller zeroes it first.
struct ReadError {
  ReadErrorCategory category;
  const char* message;  // NUL-terminated ASCII with static lifetime
  size_t position;      // byte offset into the text: at a token's first byte or right after an ASCII byte
};

// Parses the `len` bytes at `data` (well-formed UTF-8, not written) into a
// document whose records and string pool live in memory from `allocator`
// (the system allocator when null). Returns the header, or null with `error`
// filled in after releasing everything it allocated. Records that outgrow
// the allocator continue in system memory and move back into the allocator
// once the text is read, so an arena sized as loads sizes it
// ((len / 2 × 24 + 4344) rounded down to 4096) reads every valid text, and
// reports the real error of every invalid one.
DocHeader* read(const uint8_t* data, size_t len, const ArenaAllocator* allocator,
                ReadError* error) noexcept;

// Releases the record array and the string pool of a document through the
// allocator it was read with. Needed only for allocators that are not
// released as a whole (the system allocator); loads releases its arena block.
void release_document(DocHeader* doc) noexcept;

}  // namespace quibex
