#include "serialize/per_type/non_str_keys.h"

#include "number/float_text.h"
#include "number/int_text.h"
#include "serialize/dispatch.h"
#include "serialize/per_type/datetime.h"
#include "serialize/per_type/dict_walk.h"
#include "serialize/per_type/enum.h"
#include "serialize/per_type/key_sort.h"
#include "serialize/per_type/sorted_dict.h"
#include "serialize/per_type/str.h"
#include "serialize/per_type/uuid.h"
#include "support.h"
#include "typeref/registry.h"

#include <cmath>
#include <cstring>

namespace quibex {
namespace {

// Room for any converted text other than a str: a date, time or datetime,
// a UUID, a signed 64-bit integer, a double.
constexpr size_t kScratchLen = kTemporalTextCapacity;
static_assert(kScratchLen >= kUuidTextLen && kScratchLen >= 24);

constexpr uint8_t kNoBytes[1] = {0};

KeyText copy_text(const uint8_t* src, size_t n) noexcept {
  if (n == 0) return {0, const_cast<uint8_t*>(kNoBytes), 0};
  auto* bytes = static_cast<uint8_t*>(alloc_or_abort(n));
  std::memcpy(bytes, src, n);
  return {n, bytes, n};
}

void release_text(const KeyText& text) noexcept {
  if (text.capacity != 0) PyMem_Free(text.bytes);
}

// Decimal text of an int in -2^63 .. 2^64-1; above that the OverflowError of
// the unsigned conversion stays pending as the cause.
DumpResult int_key_text(PyObject* key, uint8_t* scratch, size_t* len) noexcept {
  const long long v = PyLong_AsLongLong(key);
  if (v == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    const unsigned long long u = PyLong_AsUnsignedLongLong(key);
    if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred())
      return make_dump_error(DumpErrorKind::DictIntegerKey64Bit);
    *len = write_u64_decimal(u, scratch);
    return kDumpOk;
  }
  if (v < 0) {
    scratch[0] = '-';
    *len = 1 + write_u64_decimal(0 - static_cast<uint64_t>(v), scratch + 1);
  } else {
    *len = write_u64_decimal(static_cast<uint64_t>(v), scratch);
  }
  return kDumpOk;
}

// The text of a key that is not an enum member: a view of the UTF-8 form of
// a str or str subclass, or of the text written at `scratch` for the others.
DumpResult key_view(PyObject* key, uint32_t key_state, uint8_t* scratch, Utf8View* view) noexcept {
  const TypeRegistry& r = REGISTRY;
  const OptionSet opts = state::options(key_state);
  PyTypeObject* type = Py_TYPE(key);
  size_t len = 0;
  auto fixed = [&](const char* text, size_t n) noexcept {
    std::memcpy(scratch, text, n);
    len = n;
  };
  if (type == r.str_type) {
    if (!unicode_utf8_view(key, view)) return make_dump_error(DumpErrorKind::InvalidStr);
    return kDumpOk;
  } else if (type == r.int_type) {
    QUIBEX_TRY(int_key_text(key, scratch, &len));
  } else if (type == r.bool_type) {
    if (key == r.true_) fixed("true", 4);
    else fixed("false", 5);
  } else if (type == r.none_type) {
    fixed("null", 4);
  } else if (type == r.float_type) {
    const double v = PyFloat_AS_DOUBLE(key);
    if (std::isfinite(v)) len = static_cast<size_t>(write_f64_shortest(scratch, v) - scratch);
    else fixed("null", 4);
  } else if (type == r.list_type || type == r.dict_type) {
    return make_dump_error(DumpErrorKind::DictKeyInvalidType);
  } else if (type == r.datetime_type) {
    QUIBEX_TRY(write_datetime_text(key, opts, scratch, &len));
  } else {
    switch (classify(type, key_state)) {
      case ValueKind::Int:
        QUIBEX_TRY(int_key_text(key, scratch, &len));
        break;
      case ValueKind::Date:
        len = write_date_text(key, scratch);
        break;
      case ValueKind::Time:
        QUIBEX_TRY(write_time_text(key, opts, scratch, &len));
        break;
      case ValueKind::Uuid:
        QUIBEX_TRY(write_uuid_text(key, scratch));
        len = kUuidTextLen;
        break;
      case ValueKind::Str: {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
        if (utf8 == nullptr) return make_dump_error(DumpErrorKind::InvalidStr);
        *view = {reinterpret_cast<const uint8_t*>(utf8), static_cast<size_t>(size)};
        return kDumpOk;
      }
      default:
        return make_dump_error(DumpErrorKind::DictKeyInvalidType);
    }
  }
  *view = {scratch, len};
  return kDumpOk;
}

// One member of a non-string-key dict: its converted key and its value
// (owned: converting later keys, and writing values, may run Python code
// that changes the dict).
struct Member {
  KeyText text;
  PyObject* value;
};

// The member array and, after it in the same block, the pair array built
// over it for the write.
class Members {
 public:
  explicit Members(size_t capacity) noexcept
      : members_(static_cast<Member*>(alloc_or_abort(capacity * (sizeof(Member) + sizeof(KeyValuePair))))),
        pairs_(reinterpret_cast<KeyValuePair*>(members_ + capacity)) {}
  Members(const Members&) = delete;
  Members& operator=(const Members&) = delete;
  ~Members() {
    for (size_t i = 0; i < size_; ++i) {
      release_text(members_[i].text);
      Py_DECREF(members_[i].value);
    }
    PyMem_Free(members_);
  }

  // Takes over the text and the reference to the value.
  void append(KeyText text, PyObject* value) noexcept { members_[size_++] = {text, value}; }

  KeyValuePair* pairs() noexcept {
    for (size_t i = 0; i < size_; ++i) pairs_[i] = {members_[i].text.bytes, members_[i].text.len, members_[i].value};
    return pairs_;
  }
  size_t size() const noexcept { return size_; }

 private:
  Member* members_;
  KeyValuePair* pairs_;
  size_t size_ = 0;
};

}  // namespace

DumpResult key_to_text(PyObject* key, uint32_t key_state, KeyText* text) noexcept {
  if (Py_TYPE(Py_TYPE(key)) == REGISTRY.enum_meta && classify(Py_TYPE(key), key_state) == ValueKind::Enum) {
    // An enum member converts as its value, which is no longer a member.
    Owned value;
    QUIBEX_TRY(enum_final_value(key, key_state, DumpErrorKind::DictKeyInvalidType, &value));
    return key_to_text(value.get(), key_state, text);
  }
  uint8_t scratch[kScratchLen];
  Utf8View view{};
  QUIBEX_TRY(key_view(key, key_state, scratch, &view));
  *text = copy_text(view.data, view.size);
  return kDumpOk;
}

template <class L>
DumpResult write_dict_non_str(const SerializerFrame& frame, L& layout) noexcept {
  constexpr uint32_t kNotForKeys = OPT_PASSTHROUGH_SUBCLASS | OPT_PASSTHROUGH_DATETIME | OPT_PASSTHROUGH_DATACLASS;
  const uint32_t key_state = frame.state & ~kNotForKeys;
  DictWalk walk(frame.obj);
  Members members(static_cast<size_t>(walk.remaining()));
  PyObject *key, *value;
  while (walk.next(&key, &value)) {
    // Converting a key may run Python code (time zones, `value`, `int`)
    // that changes the dict.
    Owned held_key = Owned::borrow(key);
    Owned held_value = Owned::borrow(value);
    KeyText text;
    QUIBEX_TRY(key_to_text(key, key_state, &text));
    members.append(text, held_value.release());
  }
  KeyValuePair* pairs = members.pairs();
  if (state::options(frame.state) & OPT_SORT_KEYS) sort_pairs(pairs, members.size());
  return write_pairs(pairs, members.size(), frame, layout);
}

template DumpResult write_dict_non_str<CompactLayout>(const SerializerFrame&, CompactLayout&) noexcept;
template DumpResult write_dict_non_str<IndentWriter>(const SerializerFrame&, IndentWriter&) noexcept;

}  // namespace quibex
