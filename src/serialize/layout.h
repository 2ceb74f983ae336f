// The two layouts of dumps output. Container writers are templates over the
// layout, so the compact and indented twins share one body and differ only
// in these primitives. A layout holds the whole writer state of a dumps
// call (the output buffer, the interpreter's registry, and the indentation
// when indented), by value.
#pragma once

#include "assertion.h"
#include "serialize/output_buffer.h"
#include "typeref/registry.h"

#include <cstring>

namespace quibex {

// No whitespace. Each separator is the spare byte left by the write before
// it (a value before ',', a key before ':'), and the write after it
// reserves again.
struct CompactLayout {
  OutputBuffer out;
  TypeRegistry* types;  // of the interpreter of the call's module; fixed for the call

  // Takes what the writes change from `from`, the same call's layout.
  [[gnu::always_inline]] void take_writes(const CompactLayout& from) noexcept { out = from.out; }

  [[nodiscard, gnu::always_inline]] DumpResult begin(char c) noexcept {
    QUIBEX_TRY(out.reserve(kBoundedValueRoom));
    out.put_byte(static_cast<uint8_t>(c));
    return kDumpOk;
  }
  [[nodiscard, gnu::always_inline]] DumpResult element_prefix(bool first) noexcept {
    if (!first) out.put_spare_byte(',');
    return kDumpOk;
  }
  [[nodiscard, gnu::always_inline]] DumpResult key_separator() noexcept {
    out.put_spare_byte(':');
    return kDumpOk;
  }
  [[gnu::always_inline]] void after_element() noexcept {}
  [[nodiscard, gnu::always_inline]] DumpResult end(char c) noexcept { return begin(c); }
};

// OPT_INDENT_2: two spaces per level. `has_value` is one flag for the whole
// call: begin clears it, the enclosing container's after_element sets it.
struct IndentWriter {
  OutputBuffer out;
  TypeRegistry* types;  // of the interpreter of the call's module; fixed for the call
  uint64_t indent;
  bool has_value;

  [[gnu::always_inline]] void take_writes(const IndentWriter& from) noexcept {
    out = from.out;
    indent = from.indent;
    has_value = from.has_value;
  }

  [[nodiscard, gnu::always_inline]] DumpResult begin(char c) noexcept {
    indent += 1;
    has_value = false;
    QUIBEX_TRY(out.reserve(kBoundedValueRoom));
    out.put_byte(static_cast<uint8_t>(c));
    return kDumpOk;
  }
  [[nodiscard, gnu::always_inline]] DumpResult element_prefix(bool first) noexcept {
    QUIBEX_TRY(out.reserve(line_room()));
    if (!first) out.put_byte(',');
    out.put_byte('\n');
    put_spaces();
    return kDumpOk;
  }
  [[nodiscard, gnu::always_inline]] DumpResult key_separator() noexcept {
    QUIBEX_TRY(out.reserve(kBoundedValueRoom));
    out.put_byte(':');
    out.put_byte(' ');
    return kDumpOk;
  }
  [[gnu::always_inline]] void after_element() noexcept { has_value = true; }
  [[nodiscard, gnu::always_inline]] DumpResult end(char c) noexcept {
    indent -= 1;
    QUIBEX_TRY(out.reserve(line_room()));
    if (has_value) {
      out.put_byte('\n');
      put_spaces();
    }
    out.put_byte(static_cast<uint8_t>(c));
    return kDumpOk;
  }

 private:
  // A new line: a comma, a line feed and 2 * indent spaces, with the slack
  // that put_spaces stores past them.
  uint64_t line_room() const noexcept { return 2 * indent + kStoreSlack; }

  // 2 * indent spaces, after the line feed that follows a reservation of
  // line_room(). Up to 16 levels deep they are two 16-byte stores, which
  // that reservation covers whenever indent >= 1 (a line feed, a comma and
  // 32 bytes); deeper, and at the root, a fill.
  [[gnu::always_inline]] void put_spaces() noexcept {
    const uint64_t n = 2 * indent;
    uint8_t* p = out.write_ptr();
    if (n - 1 < 32) [[likely]] {
      QUIBEX_ASSERT(out.within_reservation(32));
      std::memset(p, ' ', 32);  // a fixed size: two vector stores
    } else {
      std::memset(p, ' ', n);
    }
    out.advance(n);
  }
};

// A container writer's own copy of the layout. Bytes go out through
// pointers that may alias any memory, so a layout reached through a
// reference would be reloaded after every store; a copy whose address never
// leaves the writer stays in registers. Every out-of-line call that writes
// goes through call(), which hands it the shared layout brought up to date
// and takes the result back; the copy is written back when it goes out of
// scope, on every path. Only what the writes change goes back and forth
// (take_writes): the registry pointer, fixed for the call, is read from the
// shared layout, so the copy's is never loaded and holds no register.
//
// While the copy lives, nothing may write through the shared layout (the
// writer's own `layout` parameter) but call(): handing the copy back would
// discard that write, or leave a buffer that write had grown and freed.
// Checked builds compare the shared buffer, at each hand-back, with the
// state the copy was taken from.
template <class L>
class LocalLayout {
 public:
  explicit LocalLayout(L& shared) noexcept : shared_(shared), local_(shared) { mark_taken(); }
  LocalLayout(const LocalLayout&) = delete;
  LocalLayout& operator=(const LocalLayout&) = delete;
  ~LocalLayout() { hand_back(); }

  L* operator->() noexcept { return &local_; }

  // Runs f(shared layout) -> DumpResult with the shared layout current.
  template <class F>
  [[gnu::always_inline]] DumpResult call(F&& f) noexcept {
    hand_back();
    const DumpResult result = f(shared_);
    local_.take_writes(shared_);
    mark_taken();
    return result;
  }

 private:
  [[gnu::always_inline]] void hand_back() noexcept {
    QUIBEX_ASSERT(shared_.out.length == taken_length_ && shared_.out.bytes == taken_bytes_);
    shared_.take_writes(local_);
  }

  L& shared_;
  L local_;
#ifdef QUIBEX_ASSERTIONS
  uint64_t taken_length_;        // the shared buffer when the copy was last taken
  PyBytesObject* taken_bytes_;
  void mark_taken() noexcept {
    taken_length_ = shared_.out.length;
    taken_bytes_ = shared_.out.bytes;
  }
#else
  void mark_taken() noexcept {}
#endif
};

// "[]" or "{}" where an empty list, tuple or dict is met.
[[nodiscard, gnu::always_inline]] inline DumpResult write_empty_pair(OutputBuffer& out,
                                                                    const char (&text)[3]) noexcept {
  QUIBEX_TRY(out.reserve(kEmptyPairRoom));
  std::memcpy(out.write_ptr(), text, 2);
  out.advance(2);
  return kDumpOk;
}

// An empty list or dict met as an element: "[]" or "{}" after its prefix,
// without begin and end.
template <class L>
[[nodiscard]] DumpResult write_empty_element(L& layout, bool first, const char (&text)[3]) noexcept {
  QUIBEX_TRY(layout.element_prefix(first));
  return write_empty_pair(layout.out, text);
}

}  // namespace quibex
