// The JSON text reader: strict RFC 8259 text in, Python objects out, built
// while the text is read.
#pragma once

#include "deserialize/key_cache.h"
#include "ffi/python.h"

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

// Filled by read_document() on failure only; the caller zeroes it first.
struct ReadError {
  ReadErrorCategory category;
  const char* message;  // NUL-terminated ASCII with static lifetime; null for Memory
  size_t position;      // byte offset into the text: at a token's first byte or right after an ASCII byte
};

// The buffers the reads keep from one call to the next (reader.cpp).
struct ReaderBuffers;

// What the reads of one interpreter share: its key cache and its kept
// buffers, that interpreter's memory. Zeroed when made; release_read_cache
// frees what it holds.
struct ReadCache {
  KeyCache keys;
  ReaderBuffers* buffers;  // null until the first read
};

void release_read_cache(ReadCache& cache) noexcept;

// Reads the document in the `len` bytes at `data`: well-formed UTF-8,
// followed by a zero byte at data[len], and not written; `ascii` when every
// byte is below 0x80 (its strings then need no decoding). Returns the Python
// object it holds (new reference). On invalid text returns null with
// `error` filled and no exception set; when memory runs out, returns null
// with MemoryError set and the category Memory. Either way everything built
// so far is released. Runs no Python code and must not be entered again
// while it runs (the interpreter lock is held throughout) with the same cache.
PyObject* read_document(const uint8_t* data, size_t len, bool ascii, ReadError* error, ReadCache& cache) noexcept;

}  // namespace quibex
