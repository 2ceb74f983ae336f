// The growing bytes object that dumps writes into and returns.
#pragma once

#include "serialize/error.h"

#include <cstdint>
#include <cstring>

namespace quibex {

// Writers reserve their worst case once, then store through write_ptr()
// without checks and advance by what they count. Bytes stored past `length`
// inside a reservation are scratch for the next write.
//
// A plain copyable record: container writers keep a copy in registers while
// they walk (see LocalLayout), so nothing here takes the buffer's address.
struct OutputBuffer {
  uint64_t capacity;     // writable data bytes; equals ob_size while writing
  uint64_t length;       // bytes of JSON written so far
  PyBytesObject* bytes;  // owned; null once growth has failed

  // Makes at least n bytes writable beyond `length` (capacity > length + n).
  [[nodiscard, gnu::always_inline]] DumpResult reserve(uint64_t n) noexcept {
    if (length + n >= capacity) [[unlikely]]
      return grow(length + n);
    return kDumpOk;
  }
  [[gnu::always_inline]] uint8_t* write_ptr() const noexcept {
    return reinterpret_cast<uint8_t*>(bytes->ob_sval) + length;
  }
  [[gnu::always_inline]] void advance(uint64_t k) noexcept { length += k; }

  // Stores up to 8 bytes (all 8 are stored; `len` are counted).
  [[gnu::always_inline]] void put8(const char (&word)[9], uint64_t len) noexcept {
    std::memcpy(write_ptr(), word, 8);
    advance(len);
  }
  [[gnu::always_inline]] void put_byte(uint8_t b) noexcept { *write_ptr() = b; advance(1); }

  [[nodiscard, gnu::always_inline]] DumpResult write_null() noexcept {
    QUIBEX_TRY(reserve(128));
    put8("null\0\0\0\0", 4);
    return kDumpOk;
  }

  // Ends the JSON text and hands over the bytes object (new reference), or
  // null with MemoryError set and the object released. The object's size
  // becomes the text's length, and its block is shrunk to fit when the text
  // fills less than a quarter of it and more than kShrinkSlack bytes are
  // unused. Growth by doubling leaves at most about half a block unused;
  // a quarter is reached only through the worst-case reservations (a long
  // str reserves eight bytes per byte), whose waste can be most of it.
  // Shrinking every block would cost ordinary documents time: a block
  // returned smaller keeps the allocator mapping and faulting in fresh
  // memory for the next large buffer.
  [[nodiscard]] PyObject* finish() noexcept;
  static constexpr uint64_t kShrinkSlack = 4096;

  // Doubles the capacity until it exceeds `needed`; on failure the object is
  // gone (_PyBytes_Resize released it), `bytes` is null and MemoryError is
  // pending.
  [[nodiscard, gnu::always_inline]] DumpResult grow(uint64_t needed) noexcept {
    const Grown g = grow_bytes(bytes, capacity, needed);
    bytes = g.bytes;
    capacity = g.capacity;
    if (g.bytes == nullptr) [[unlikely]]
      return make_dump_error(DumpErrorKind::OutOfMemory);
    return kDumpOk;
  }

 private:
  struct Grown {
    PyBytesObject* bytes;  // null on failure
    uint64_t capacity;
  };
  // Takes and returns values, not the buffer, so that a copy held in
  // registers stays there.
  [[gnu::cold]] static Grown grow_bytes(PyBytesObject* bytes, uint64_t capacity, uint64_t needed) noexcept;
};

}  // namespace quibex
