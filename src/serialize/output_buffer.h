// The growing bytes object that dumps writes into and returns.
#pragma once

#include "serialize/error.h"

#include <cstdint>
#include <cstring>

namespace quibex {

// Writers reserve their worst case once, then store through write_ptr()
// without checks and advance by what they count. Bytes stored past `length`
// inside a reservation are scratch for the next write.
struct OutputBuffer {
  uint64_t capacity;     // writable data bytes; equals ob_size while writing
  uint64_t length;       // bytes of JSON written so far
  PyBytesObject* bytes;  // owned; null once growth has failed

  // Makes at least n bytes writable beyond `length` (capacity > length + n).
  [[nodiscard]] DumpResult reserve(uint64_t n) noexcept {
    if (length + n >= capacity) [[unlikely]]
      return grow(length + n);
    return kDumpOk;
  }
  uint8_t* write_ptr() noexcept {
    return reinterpret_cast<uint8_t*>(bytes->ob_sval) + length;
  }
  void advance(uint64_t k) noexcept { length += k; }

  // Stores up to 8 bytes (all 8 are stored; `len` are counted).
  void put8(const char (&word)[9], uint64_t len) noexcept {
    std::memcpy(write_ptr(), word, 8);
    advance(len);
  }
  void put_byte(uint8_t b) noexcept { *write_ptr() = b; advance(1); }

  [[nodiscard]] DumpResult write_null() noexcept {
    QUIBEX_TRY(reserve(128));
    put8("null\0\0\0\0", 4);
    return kDumpOk;
  }

  // Doubles the capacity until it exceeds `needed`; on failure the object is
  // gone (_PyBytes_Resize released it) and MemoryError is pending.
  [[gnu::cold]] DumpResult grow(uint64_t needed) noexcept;
};

}  // namespace quibex
