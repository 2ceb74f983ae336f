#include "serialize/per_type/non_str_keys.h"

#include "number/float_text.h"
#include "number/int_text.h"
#include "serialize/dispatch.h"
#include "serialize/per_type/datetime.h"
#include "serialize/per_type/enum.h"
#include "serialize/per_type/str.h"
#include "serialize/per_type/uuid.h"
#include "support.h"
#include "typeref/registry.h"

#include <cmath>
#include <cstring>

namespace quibex {
namespace {

static_assert(kKeyTextRoom >= kTemporalTextCapacity && kKeyTextRoom >= kUuidTextLen && kKeyTextRoom >= 24);

// Decimal text of an int in -2^63 .. 2^64-1. Magnitudes of up to three
// digits are read from the digits; wider ones and those out of range go
// through the interpreter's conversions, whose OverflowError above the
// range stays pending as the cause.
DumpResult int_key_text(PyObject* key, uint8_t* room, size_t* len) noexcept {
  const ffi::LongDigits d = ffi::long_digits(key);
  if (d.count <= 3) {
    unsigned __int128 m = 0;
    for (size_t i = d.count; i-- > 0;) m = (m << PyLong_SHIFT) | d.digits[i];
    if (!d.negative && m <= UINT64_MAX) {
      *len = write_u64_decimal(static_cast<uint64_t>(m), room);
      return kDumpOk;
    }
    if (d.negative && m <= static_cast<unsigned __int128>(1) << 63) {
      room[0] = '-';
      *len = 1 + write_u64_decimal(static_cast<uint64_t>(m), room + 1);
      return kDumpOk;
    }
  }
  const long long v = PyLong_AsLongLong(key);
  if (v == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    const unsigned long long u = PyLong_AsUnsignedLongLong(key);
    if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred())
      return make_dump_error(DumpErrorKind::DictIntegerKey64Bit);
    *len = write_u64_decimal(u, room);
    return kDumpOk;
  }
  if (v < 0) {
    room[0] = '-';
    *len = 1 + write_u64_decimal(0 - static_cast<uint64_t>(v), room + 1);
  } else {
    *len = write_u64_decimal(static_cast<uint64_t>(v), room);
  }
  return kDumpOk;
}

// The text of a key that is not an enum member: borrowed from a str or str
// subclass (which becomes the owner), or written into the room.
DumpResult key_view(PyObject* key, uint32_t key_state, uint8_t* room, KeyText* text, TypeRegistry& r) noexcept {
  const OptionSet opts = state::options(key_state);
  PyTypeObject* type = Py_TYPE(key);
  size_t len = 0;
  auto fixed = [&](const char* t, size_t n) noexcept {
    std::memcpy(room, t, n);
    len = n;
  };
  auto borrowed = [&](Utf8View view) noexcept {
    *text = {view.data, view.size, Owned::borrow(key)};
    return kDumpOk;
  };
  if (type == &PyUnicode_Type) {
    Utf8View view;
    if (!unicode_utf8_view(key, &view)) return make_dump_error(DumpErrorKind::InvalidStr);
    return borrowed(view);
  } else if (type == &PyLong_Type) {
    QUIBEX_TRY(int_key_text(key, room, &len));
  } else if (type == &PyBool_Type) {
    if (key == Py_True) fixed("true", 4);
    else fixed("false", 5);
  } else if (type == Py_TYPE(Py_None)) {
    fixed("null", 4);
  } else if (type == &PyFloat_Type) {
    const double v = PyFloat_AS_DOUBLE(key);
    if (std::isfinite(v)) len = static_cast<size_t>(write_f64_shortest(room, v) - room);
    else fixed("null", 4);
  } else if (type == &PyList_Type || type == &PyDict_Type) {
    return make_dump_error(DumpErrorKind::DictKeyInvalidType);
  } else if (type == r.datetime_type) {
    QUIBEX_TRY(write_datetime_text(key, opts, room, &len, r));
  } else {
    switch (classify(type, key_state, r)) {
      case ValueKind::Int:
        QUIBEX_TRY(int_key_text(key, room, &len));
        break;
      case ValueKind::Date:
        len = write_date_text(key, room);
        break;
      case ValueKind::Time:
        QUIBEX_TRY(write_time_text(key, opts, room, &len));
        break;
      case ValueKind::Uuid:
        QUIBEX_TRY(write_uuid_text(key, room, r));
        len = kUuidTextLen;
        break;
      case ValueKind::Str: {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
        if (utf8 == nullptr) return make_dump_error(DumpErrorKind::InvalidStr);
        return borrowed({reinterpret_cast<const uint8_t*>(utf8), static_cast<size_t>(size)});
      }
      default:
        return make_dump_error(DumpErrorKind::DictKeyInvalidType);
    }
  }
  *text = {room, len, Owned()};
  return kDumpOk;
}

}  // namespace

DumpResult key_to_text(PyObject* key, uint32_t key_state, uint8_t* room, KeyText* text, TypeRegistry& r) noexcept {
  if (Py_TYPE(Py_TYPE(key)) == r.enum_meta && classify(Py_TYPE(key), key_state, r) == ValueKind::Enum) {
    // An enum member converts as its value, which is no longer a member.
    Owned value;
    QUIBEX_TRY(enum_final_value(key, key_state, DumpErrorKind::DictKeyInvalidType, &value, r));
    return key_view(value.get(), key_state, room, text, r);
  }
  return key_view(key, key_state, room, text, r);
}

template <class L>
DumpResult write_dict_non_str(const SerializerFrame& frame, L& layout) noexcept {
  constexpr uint32_t kNotForKeys = OPT_PASSTHROUGH_SUBCLASS | OPT_PASSTHROUGH_DATETIME | OPT_PASSTHROUGH_DATACLASS;
  const uint32_t key_state = frame.state & ~kNotForKeys;
  DictMembers members(frame.obj, false);
  QUIBEX_TRY(members.collect([&](PyObject* key) noexcept {
    // Converting a key may run Python code (time zones, `value`, `int`)
    // that changes the dict: the members collected so far hold their keys.
    note_python_code();
    Owned held_key = Owned::borrow(key);
    uint8_t* room = members.room();
    if (room == nullptr) return make_dump_error(DumpErrorKind::OutOfMemory);
    KeyText text;
    QUIBEX_TRY(key_to_text(key, key_state, room, &text, *layout.types));
    members.append_converted(key, std::move(text));
    return kDumpOk;
  }));
  if (state::options(frame.state) & OPT_SORT_KEYS) members.sort();
  return members.write(frame, layout);
}

template DumpResult write_dict_non_str<CompactLayout>(const SerializerFrame&, CompactLayout&) noexcept;
template DumpResult write_dict_non_str<IndentWriter>(const SerializerFrame&, IndentWriter&) noexcept;

}  // namespace quibex
