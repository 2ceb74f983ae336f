// The growing bytes object that dumps writes into and returns.
#pragma once

#include "assertion.h"
#include "serialize/error.h"

#include <atomic>
#include <cstdint>
#include <cstring>

namespace quibex {

// Reservations, each named by what it covers.
//
// Bytes reserved beyond a text's own length for the stores its writer makes
// past the count: the escaper's whole vector blocks, the indentation's
// 16-byte runs of spaces.
inline constexpr uint64_t kStoreSlack = 32;
// A bracket, or one value text of bounded length with its stores past the
// count: a literal (one 8-byte store), an integer (21 bytes), a float (24),
// a quoted date/time (42) or UUID (38). One size serves them all.
inline constexpr uint64_t kBoundedValueRoom = 128;
// "[]" or "{}" of an empty container.
inline constexpr uint64_t kEmptyPairRoom = 2 + kStoreSlack;

// Writers reserve their worst case once, then store through write_ptr()
// without checks and advance by what they count. Bytes stored past `length`
// inside a reservation are scratch for the next write.
//
// The spare byte: reserve(n) makes one byte writable beyond the n, so every
// write that counts no more than it reserved leaves room for one separator
// stored without reserving (put_spare_byte: the compact layout's ',' and ':'
// and the final line feed); the next write reserves again. Checked builds
// hold both halves of that promise: advance() fails a write that counts
// past its reservation, and after a spare byte anything but a new
// reservation fails.
//
// A plain copyable record: container writers keep a copy in registers while
// they walk (see LocalLayout), so nothing here takes the buffer's address.
struct OutputBuffer {
  uint64_t capacity;     // writable data bytes; equals ob_size while writing
  uint64_t length;       // bytes of JSON written so far
  PyBytesObject* bytes;  // owned; null once growth has failed
#ifdef QUIBEX_ASSERTIONS
  uint64_t reserved_end = 0;  // length + n at the last reserve(n)

  // Whether the k bytes from write_ptr() lie inside the last reservation.
  bool within_reservation(uint64_t k) const noexcept { return length + k <= reserved_end; }
#endif

  // Makes at least n bytes writable beyond `length`, and the spare byte
  // after them (capacity > length + n).
  [[nodiscard, gnu::always_inline]] DumpResult reserve(uint64_t n) noexcept {
#ifdef QUIBEX_ASSERTIONS
    reserved_end = length + n;
#endif
    if (length + n >= capacity) [[unlikely]]
      return grow(length + n);
    return kDumpOk;
  }
  [[gnu::always_inline]] uint8_t* write_ptr() const noexcept {
    return reinterpret_cast<uint8_t*>(bytes->ob_sval) + length;
  }
  [[gnu::always_inline]] void advance(uint64_t k) noexcept {
    QUIBEX_ASSERT(within_reservation(k));  // a writer counts no more than it reserved
    length += k;
  }

  // Stores up to 8 bytes (all 8 are stored; `len` are counted).
  [[gnu::always_inline]] void put8(const char (&word)[9], uint64_t len) noexcept {
    QUIBEX_ASSERT(within_reservation(8));
    std::memcpy(write_ptr(), word, 8);
    advance(len);
  }
  [[gnu::always_inline]] void put_byte(uint8_t b) noexcept {
    QUIBEX_ASSERT(within_reservation(1));
    *write_ptr() = b;
    advance(1);
  }

  // One byte without reserving: the spare byte that the last reservation
  // left. It ends that reservation: the next write reserves again.
  [[gnu::always_inline]] void put_spare_byte(uint8_t b) noexcept {
    QUIBEX_ASSERT(within_reservation(0) && length < capacity);
    *write_ptr() = b;
#ifdef QUIBEX_ASSERTIONS
    reserved_end = length;
#endif
    length += 1;
  }

  [[nodiscard, gnu::always_inline]] DumpResult write_null() noexcept {
    QUIBEX_TRY(reserve(kBoundedValueRoom));
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

  // The capacity a dumps call starts with: the length of the text the last
  // call finished, and an eighth more, within kMinStartCapacity and
  // kMaxStartCapacity. Calls that write documents of about the same size,
  // the usual case, then grow the buffer rarely or never (each growth
  // copies what was written); one that writes much less than the last
  // allocates more than it needs once and is shrunk by finish().
  static uint64_t start_capacity() noexcept {
    const uint64_t last = last_finished_length.load(std::memory_order_relaxed);
    const uint64_t want = last + last / 8;
    return want < kMinStartCapacity ? kMinStartCapacity : want > kMaxStartCapacity ? kMaxStartCapacity : want;
  }
  static constexpr uint64_t kMinStartCapacity = 1024;
  static constexpr uint64_t kMaxStartCapacity = uint64_t{4} << 20;
  // Set by finish(); one value for the process, which threads in
  // interpreters with a GIL each may store at once (any of their lengths
  // will do).
  static inline std::atomic<uint64_t> last_finished_length = 0;

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
