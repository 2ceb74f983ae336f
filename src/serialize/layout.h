// The two layouts of dumps output. Container writers are templates over the
// layout, so the compact and indented twins share one body and differ only
// in these primitives.
#pragma once

#include "serialize/output_buffer.h"

#include <cstring>

namespace quibex {

// No whitespace. Separators are stored into the slack of the previous write,
// which always reserved at least 30 bytes more than it used.
struct CompactLayout {
  OutputBuffer& out;

  [[nodiscard]] DumpResult begin(char c) noexcept {
    QUIBEX_TRY(out.reserve(128));
    out.put_byte(static_cast<uint8_t>(c));
    return kDumpOk;
  }
  [[nodiscard]] DumpResult element_prefix(bool first) noexcept {
    if (!first) out.put_byte(',');
    return kDumpOk;
  }
  [[nodiscard]] DumpResult key_separator() noexcept {
    out.put_byte(':');
    return kDumpOk;
  }
  void after_element() noexcept {}
  [[nodiscard]] DumpResult end(char c) noexcept { return begin(c); }
};

// OPT_INDENT_2: two spaces per level. `has_value` is one flag for the whole
// call: begin clears it, the enclosing container's after_element sets it.
struct IndentWriter {
  OutputBuffer& out;
  uint64_t indent;
  bool has_value;

  [[nodiscard]] DumpResult begin(char c) noexcept {
    indent += 1;
    has_value = false;
    QUIBEX_TRY(out.reserve(128));
    out.put_byte(static_cast<uint8_t>(c));
    return kDumpOk;
  }
  [[nodiscard]] DumpResult element_prefix(bool first) noexcept {
    QUIBEX_TRY(out.reserve(2 * indent + 32));
    if (!first) out.put_byte(',');
    out.put_byte('\n');
    put_spaces();
    return kDumpOk;
  }
  [[nodiscard]] DumpResult key_separator() noexcept {
    QUIBEX_TRY(out.reserve(128));
    out.put_byte(':');
    out.put_byte(' ');
    return kDumpOk;
  }
  void after_element() noexcept { has_value = true; }
  [[nodiscard]] DumpResult end(char c) noexcept {
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
  void put_spaces() noexcept {
    std::memset(out.write_ptr(), ' ', 2 * indent);
    out.advance(2 * indent);
  }
};

// An empty list or dict met as an element: "[]" or "{}" after its prefix,
// without begin and end.
template <class L>
[[nodiscard]] DumpResult write_empty_element(L& layout, bool first, const char (&text)[3]) noexcept {
  QUIBEX_TRY(layout.element_prefix(first));
  QUIBEX_TRY(layout.out.reserve(34));
  std::memcpy(layout.out.write_ptr(), text, 2);
  layout.out.advance(2);
  return kDumpOk;
}

}  // namespace quibex
