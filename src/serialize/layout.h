// The two layouts of dumps output. Container writers are templates over the
// layout, so the compact and indented twins share one body and differ only
// in these primitives. A layout holds the whole writer state of a dumps
// call (the output buffer, and the indentation when indented), by value.
#pragma once

#include "serialize/output_buffer.h"

#include <cstring>

namespace quibex {

// No whitespace. Separators are stored into the slack of the previous write,
// which always reserved at least 30 bytes more than it used.
struct CompactLayout {
  OutputBuffer out;

  [[nodiscard, gnu::always_inline]] DumpResult begin(char c) noexcept {
    QUIBEX_TRY(out.reserve(128));
    out.put_byte(static_cast<uint8_t>(c));
    return kDumpOk;
  }
  [[nodiscard, gnu::always_inline]] DumpResult element_prefix(bool first) noexcept {
    if (!first) out.put_byte(',');
    return kDumpOk;
  }
  [[nodiscard, gnu::always_inline]] DumpResult key_separator() noexcept {
    out.put_byte(':');
    return kDumpOk;
  }
  [[gnu::always_inline]] void after_element() noexcept {}
  [[nodiscard, gnu::always_inline]] DumpResult end(char c) noexcept { return begin(c); }
};

// OPT_INDENT_2: two spaces per level. `has_value` is one flag for the whole
// call: begin clears it, the enclosing container's after_element sets it.
struct IndentWriter {
  OutputBuffer out;
  uint64_t indent;
  bool has_value;

  [[nodiscard, gnu::always_inline]] DumpResult begin(char c) noexcept {
    indent += 1;
    has_value = false;
    QUIBEX_TRY(out.reserve(128));
    out.put_byte(static_cast<uint8_t>(c));
    return kDumpOk;
  }
  [[nodiscard, gnu::always_inline]] DumpResult element_prefix(bool first) noexcept {
    QUIBEX_TRY(out.reserve(2 * indent + 32));
    if (!first) out.put_byte(',');
    out.put_byte('\n');
    put_spaces();
    return kDumpOk;
  }
  [[nodiscard, gnu::always_inline]] DumpResult key_separator() noexcept {
    QUIBEX_TRY(out.reserve(128));
    out.put_byte(':');
    out.put_byte(' ');
    return kDumpOk;
  }
  [[gnu::always_inline]] void after_element() noexcept { has_value = true; }
  [[nodiscard, gnu::always_inline]] DumpResult end(char c) noexcept {
    indent -= 1;
    QUIBEX_TRY(out.reserve(2 * indent + 32));
    if (has_value) {
      out.put_byte('\n');
      put_spaces();
    }
    out.put_byte(static_cast<uint8_t>(c));
    return kDumpOk;
  }

 private:
  // 2 * indent spaces, after the line feed that follows a reservation of
  // 2 * indent + 32. Up to 16 levels deep they are two 16-byte stores,
  // which that reservation covers whenever indent >= 1 (a line feed, a
  // comma and 32 bytes); deeper, and at the root, a fill.
  [[gnu::always_inline]] void put_spaces() noexcept {
    const uint64_t n = 2 * indent;
    uint8_t* p = out.write_ptr();
    if (n - 1 < 32) [[likely]] {
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
// scope, on every path.
template <class L>
class LocalLayout {
 public:
  explicit LocalLayout(L& shared) noexcept : shared_(shared), local_(shared) {}
  LocalLayout(const LocalLayout&) = delete;
  LocalLayout& operator=(const LocalLayout&) = delete;
  ~LocalLayout() { shared_ = local_; }

  L* operator->() noexcept { return &local_; }

  // Runs f(shared layout) -> DumpResult with the shared layout current.
  template <class F>
  [[gnu::always_inline]] DumpResult call(F&& f) noexcept {
    shared_ = local_;
    const DumpResult result = f(shared_);
    local_ = shared_;
    return result;
  }

 private:
  L& shared_;
  L local_;
};

// "[]" or "{}" where an empty list, tuple or dict is met.
[[nodiscard, gnu::always_inline]] inline DumpResult write_empty_pair(OutputBuffer& out,
                                                                    const char (&text)[3]) noexcept {
  QUIBEX_TRY(out.reserve(34));
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
