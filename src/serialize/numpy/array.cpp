#include "serialize/numpy/array.h"

#include "serialize/dispatch.h"
#include "serialize/numpy/items.h"
#include "typeref/registry.h"

#include <algorithm>
#include <concepts>
#include <type_traits>

namespace quibex {
namespace {

using ffi::load_unaligned;

// Item kinds: each reads one item of kSize bytes at src. The infallible ones
// store its text at dst through put (kItemTextRoom bytes of room) and return
// the end; Datetime64 writes through the buffer and may fail.
struct BoolItem {
  static constexpr size_t kSize = 1;
  uint8_t* put(uint8_t* dst, const uint8_t* src) const noexcept { return put_bool_text(dst, *src); }
};

template <class T>
struct IntItem {
  static constexpr size_t kSize = sizeof(T);
  uint8_t* put(uint8_t* dst, const uint8_t* src) const noexcept {
    const T v = load_unaligned<T>(src);
    if constexpr (std::is_same_v<T, int64_t>) return put_i64_text(dst, v);
    else if constexpr (std::is_same_v<T, uint64_t>) return put_u64_text(dst, v);
    else if constexpr (std::is_signed_v<T>) return put_i32_text(dst, v);
    else return put_u32_text(dst, v);
  }
};

struct Float16Item {
  static constexpr size_t kSize = 2;
  uint8_t* put(uint8_t* dst, const uint8_t* src) const noexcept {
    return put_f16_text(dst, load_unaligned<uint16_t>(src));
  }
};

struct Float32Item {
  static constexpr size_t kSize = 4;
  uint8_t* put(uint8_t* dst, const uint8_t* src) const noexcept {
    return put_f32_text(dst, load_unaligned<float>(src));
  }
};

struct Float64Item {
  static constexpr size_t kSize = 8;
  uint8_t* put(uint8_t* dst, const uint8_t* src) const noexcept {
    return put_f64_text(dst, load_unaligned<double>(src));
  }
};

struct Datetime64Item {
  static constexpr size_t kSize = 8;
  const DatetimeDescr* descr;
  OptionSet options;
  DumpResult write(OutputBuffer& out, const uint8_t* src) const noexcept {
    return write_datetime64_item(out, load_unaligned<int64_t>(src), *descr, options);
  }
};

template <class Item>
concept TextItem = requires(const Item item, uint8_t* dst, const uint8_t* src) {
  { item.put(dst, src) } -> std::same_as<uint8_t*>;
};

// One item through the buffer, with the reservation of a value writer.
template <class Item>
DumpResult write_item(OutputBuffer& out, const Item& item, const uint8_t* src) noexcept {
  if constexpr (TextItem<Item>) return write_value_text(out, [&](uint8_t* p) noexcept { return item.put(p, src); });
  else return item.write(out, src);
}

// Compact rows of text items are written through a local cursor: one
// reservation covers a run of kRunItems items with their commas, and the
// buffer's length is updated once per run.
constexpr uint64_t kRunItems = 64;
constexpr uint64_t kRunRoom = kRunItems * (1 + kItemTextRoom);

// Writes the n > 0 items of a row from `row` on, after "[" and before "]".
template <class Item>
DumpResult write_compact_row_items(OutputBuffer& out, const Item& item, const uint8_t* row, uint64_t n) noexcept {
  for (uint64_t j = 0; j < n;) {
    const uint64_t stop = std::min(n, j + kRunItems);
    QUIBEX_TRY(out.reserve(kRunRoom));
    uint8_t* const start = out.write_ptr();
    uint8_t* p = start;
    if (j == 0) p = item.put(p, row), j = 1;
    for (; j < stop; ++j) {
      *p++ = ',';
      p = item.put(p, row + j * Item::kSize);
    }
    out.advance(static_cast<uint64_t>(p - start));
  }
  return kDumpOk;
}

// The walk over the dimensions of an open array. The array is C-contiguous,
// so one index of dimension d spans the items of all later dimensions:
// `block` holds those byte counts, computed from the shape alone, and every
// address read lies inside the extent of the array's own data.
template <class L, class Item>
struct ArrayWalk {
  L& layout;
  Item item;
  const Py_ssize_t* shape;
  int nd;
  uint64_t block[ffi::kNumpyMaxDims];

  // Writes dimension d of the sub-array at `base`; shape[d] > 0.
  DumpResult dimension(int d, const uint8_t* base) noexcept {
    const auto n = static_cast<uint64_t>(shape[d]);
    QUIBEX_TRY(layout.begin('['));
    if (d == nd - 1) {
      if constexpr (std::is_same_v<L, CompactLayout> && TextItem<Item>) {
        QUIBEX_TRY(write_compact_row_items(layout.out, item, base, n));
      } else {
        for (uint64_t j = 0; j < n; ++j) {
          QUIBEX_TRY(layout.element_prefix(j == 0));
          QUIBEX_TRY(write_item(layout.out, item, base + j * Item::kSize));
          layout.after_element();
        }
      }
    } else if (shape[d + 1] == 0) {
      for (uint64_t i = 0; i < n; ++i) {
        QUIBEX_TRY(write_empty_element(layout, i == 0, "[]"));
        layout.after_element();
      }
    } else {
      for (uint64_t i = 0; i < n; ++i) {
        QUIBEX_TRY(layout.element_prefix(i == 0));
        QUIBEX_TRY(dimension(d + 1, base + i * block[d]));
        layout.after_element();
      }
    }
    return layout.end(']');
  }
};

template <class L, class Item>
DumpResult walk_array(const ffi::PyArrayInterface& ai, L& layout, Item item) noexcept {
  if (ai.shape[0] == 0) return write_empty_pair(layout.out, "[]");
  ArrayWalk<L, Item> walk{layout, item, ai.shape, ai.nd, {}};
  // Products that wrap (possible only past a zero extent) are never used:
  // no item below a zero extent is read.
  uint64_t span = Item::kSize;
  for (int d = ai.nd - 1; d >= 0; --d) {
    walk.block[d] = span;
    span *= static_cast<uint64_t>(ai.shape[d]);
  }
  return walk.dimension(0, static_cast<const uint8_t*>(ai.data));
}

template <class L>
DumpResult write_open_array(const OpenArray& a, L& layout) noexcept {
  const ffi::PyArrayInterface& ai = *a.interface;
  switch (a.kind) {
    case ItemKind::Bool: return walk_array(ai, layout, BoolItem{});
    case ItemKind::Datetime64: return walk_array(ai, layout, Datetime64Item{&a.datetime, a.options});
    case ItemKind::Float16: return walk_array(ai, layout, Float16Item{});
    case ItemKind::Float32: return walk_array(ai, layout, Float32Item{});
    case ItemKind::Float64: return walk_array(ai, layout, Float64Item{});
    case ItemKind::Int8: return walk_array(ai, layout, IntItem<int8_t>{});
    case ItemKind::Int16: return walk_array(ai, layout, IntItem<int16_t>{});
    case ItemKind::Int32: return walk_array(ai, layout, IntItem<int32_t>{});
    case ItemKind::Int64: return walk_array(ai, layout, IntItem<int64_t>{});
    case ItemKind::UInt8: return walk_array(ai, layout, IntItem<uint8_t>{});
    case ItemKind::UInt16: return walk_array(ai, layout, IntItem<uint16_t>{});
    case ItemKind::UInt32: return walk_array(ai, layout, IntItem<uint32_t>{});
    case ItemKind::UInt64: return walk_array(ai, layout, IntItem<uint64_t>{});
  }
  return kDumpOk;
}

// The item kind of a dtype kind letter and item size; false if unsupported.
bool item_kind(char typekind, int itemsize, ItemKind* kind) noexcept {
  switch (typekind) {
    case 'b':
      *kind = ItemKind::Bool;
      return itemsize == 1;
    case 'M':
      *kind = ItemKind::Datetime64;
      return itemsize == 8;
    case 'f':
      switch (itemsize) {
        case 2: *kind = ItemKind::Float16; return true;
        case 4: *kind = ItemKind::Float32; return true;
        case 8: *kind = ItemKind::Float64; return true;
      }
      return false;
    case 'i':
      switch (itemsize) {
        case 1: *kind = ItemKind::Int8; return true;
        case 2: *kind = ItemKind::Int16; return true;
        case 4: *kind = ItemKind::Int32; return true;
        case 8: *kind = ItemKind::Int64; return true;
      }
      return false;
    case 'u':
      switch (itemsize) {
        case 1: *kind = ItemKind::UInt8; return true;
        case 2: *kind = ItemKind::UInt16; return true;
        case 4: *kind = ItemKind::UInt32; return true;
        case 8: *kind = ItemKind::UInt64; return true;
      }
      return false;
  }
  return false;
}

}  // namespace

NumpyArrayError open_numpy_array(PyObject* array, OptionSet options, OpenArray* out, const TypeRegistry& r) noexcept {
  Owned capsule = Owned::steal(PyObject_GetAttr(array, r.array_struct_name));
  if (!capsule || !PyCapsule_CheckExact(capsule.get())) return NumpyArrayError::Malformed;
  const auto* ai = static_cast<const ffi::PyArrayInterface*>(
      PyCapsule_GetPointer(capsule.get(), PyCapsule_GetName(capsule.get())));
  if (ai == nullptr || ai->two != 2) return NumpyArrayError::Malformed;
  // numpy gives a structured array's interface no flags at all, contiguous or
  // not: its void items are unsupported whatever the layout.
  if (ai->typekind == 'V') return NumpyArrayError::UnsupportedDatatype;
  if (!(ai->flags & ffi::NPY_ARRAY_C_CONTIGUOUS)) return NumpyArrayError::NotContiguous;
  if (!(ai->flags & ffi::NPY_ARRAY_NOTSWAPPED)) return NumpyArrayError::NotNativeEndian;
  if (ai->nd == 0) return NumpyArrayError::UnsupportedDatatype;
  // A shape numpy cannot make would send the walk outside the array.
  if (ai->nd < 0 || ai->nd > ffi::kNumpyMaxDims || ai->shape == nullptr) return NumpyArrayError::Malformed;
  for (int d = 0; d < ai->nd; ++d) {
    if (ai->shape[d] < 0) return NumpyArrayError::Malformed;
  }
  ItemKind kind;
  if (!item_kind(ai->typekind, ai->itemsize, &kind)) return NumpyArrayError::UnsupportedDatatype;
  // The unit is read now but checked at the first item: an empty array
  // of an unsupported unit is still written.
  if (kind == ItemKind::Datetime64) out->datetime = read_datetime_unit(array, r.dtype_name, r.descr_name);
  out->capsule = std::move(capsule);
  out->interface = ai;
  out->kind = kind;
  out->options = options;
  return NumpyArrayError::None;
}

template <class L>
DumpResult write_numpy_array(const SerializerFrame& frame, L& layout) noexcept {
  OpenArray array;
  DumpErrorKind error = DumpErrorKind::NumpyMalformed;
  bool to_default = false;  // whether a given default receives the array instead
  switch (open_numpy_array(frame.obj, state::options(frame.state), &array, *layout.types)) {
    case NumpyArrayError::None:
      return write_open_array(array, layout);
    case NumpyArrayError::Malformed:
      break;
    case NumpyArrayError::NotContiguous:
      error = DumpErrorKind::NumpyNotCContiguous;
      to_default = true;
      break;
    case NumpyArrayError::NotNativeEndian:
      error = DumpErrorKind::NumpyNotNativeEndian;
      break;
    case NumpyArrayError::UnsupportedDatatype:
      error = DumpErrorKind::NumpyUnsupportedDatatype;
      to_default = true;
      break;
  }
  if (to_default && frame.default_ != nullptr) return serialize_default(frame, layout);
  return make_dump_error(error);
}

template DumpResult write_numpy_array<CompactLayout>(const SerializerFrame&, CompactLayout&) noexcept;
template DumpResult write_numpy_array<IndentWriter>(const SerializerFrame&, IndentWriter&) noexcept;

}  // namespace quibex
