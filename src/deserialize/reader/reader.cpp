#include "deserialize/reader/reader.h"

#include "deserialize/build_dict.h"
#include "deserialize/key_cache.h"
#include "deserialize/reader/char_class.h"
#include "deserialize/reader/number.h"
#include "deserialize/reader/string.h"
#include "support.h"
#include "typeref/cpu.h"
#include "typeref/registry.h"

#if QUIBEX_X86
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstring>

namespace quibex {
namespace {

constexpr unsigned kMaxDepth = 1023;  // nesting levels below the root

constexpr const char* kMsgUnexpectedCharacter = "unexpected character";
constexpr const char* kMsgUnexpectedEnd = "unexpected end of data";

// Values of a list wait on the value stack until this many have gathered;
// they then move into the list object itself, so that a long list costs
// the memory of the list and not also as much again on the stack.
constexpr size_t kListBatch = size_t{1} << 16;

// The value stack starts with this many slots and is kept between calls
// up to kKeptSlots (2 MiB); the string scratch is kept up to kKeptScratch.
constexpr size_t kFirstSlots = size_t{1} << 12;
constexpr size_t kKeptSlots = size_t{1} << 18;
constexpr size_t kKeptScratch = size_t{1} << 20;

// A failure found while parsing, before the end-of-input rule is applied.
struct Failure {
  ReadErrorCategory category;
  const char* message;
  const uint8_t* at;
};

// An open container. Its values so far are the stack slots from `base` on
// (keys and values alternating for an object); a long list's earlier values
// are already in `list`.
struct Frame {
  size_t base;
  PyObject* list;  // owned; null until the list's first batch moves in
  bool is_object;
};

}  // namespace

// What the reader keeps from one call to the next: the value stack, the
// open-container frames and the scratch for unescaped strings.
struct ReaderBuffers {
  PyObject** slots;
  size_t capacity;  // of slots
  Frame* frames;    // kMaxDepth + 1 of them, made on first use
  StringScratch scratch;
};

namespace {

using Buffers = ReaderBuffers;

// State of one read.
struct Reader {
  const uint8_t* text;
  const uint8_t* end;       // text + len: the zero byte after the text
  const uint8_t* readable;  // end + 1: past the last byte that may be read
  bool ascii;               // every byte of the text is below 0x80
  Buffers buf;
  KeySequence keys;
};

inline bool is_space(uint8_t c) noexcept { return (kCharClass[c] & kCharSpace) != 0; }

// Past a run of whitespace: spaces a block at a time (indentation), then
// byte by byte; the zero byte after the text ends the byte loop.
[[gnu::noinline]] const uint8_t* skip_space_run(const uint8_t* p, const uint8_t* readable) noexcept {
#if QUIBEX_X86
  for (; readable - p >= 16; p += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const auto other = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(' ')))) ^ 0xFFFFu;
    if (other != 0) {
      p += __builtin_ctz(other);
      break;
    }
  }
#else
  for (; readable - p >= 8; p += 8) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    v ^= 0x2020202020202020u;
    if (v != 0) {
      p += __builtin_ctzll(v) / 8;
      break;
    }
  }
#endif
  while (is_space(*p)) ++p;
  return p;
}

// The first byte at or after p that is not whitespace. Compact text has none
// and a single space (after ':' or ',') is common: both take no loop. Every
// whitespace byte is at most ' ', so one compare passes the bytes above.
[[gnu::always_inline]] inline const uint8_t* skip_space(const uint8_t* p, const uint8_t* readable) noexcept {
  if (*p > ' ' || !is_space(*p)) return p;
  if (!is_space(p[1])) return p + 1;
  return skip_space_run(p + 2, readable);
}

inline uint32_t load32(const uint8_t* p) noexcept {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

constexpr uint32_t word32(const char (&s)[5]) noexcept {
  return static_cast<uint32_t>(static_cast<uint8_t>(s[0])) |
         static_cast<uint32_t>(static_cast<uint8_t>(s[1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(s[2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(s[3])) << 24;
}

// Whether an error of category c at byte offset p is caused by the text
// ending too early (and is then reported as "unexpected end of data").
bool is_truncated_end(const uint8_t* text, size_t len, size_t p, ReadErrorCategory c) noexcept {
  if (p >= len) return true;
  const uint8_t* s = text + p;
  const size_t rest = len - p;
  if (c == ReadErrorCategory::Literal) {
    for (const char* literal : {"true", "false", "null"}) {
      if (rest < std::strlen(literal) && std::memcmp(s, literal, rest) == 0) return true;
    }
    return false;
  }
  if (c == ReadErrorCategory::String && *s == '\\') {
    if (rest == 1) return true;
    if (rest > 5 || s[1] != 'u') return false;
    return std::all_of(s + 2, s + rest, [](uint8_t h) { return kHexValue[h] >= 0; });
  }
  return false;
}

// The str of n > 0 ASCII bytes.
PyObject* ascii_str(const uint8_t* s, size_t n) noexcept {
  PyObject* str = PyUnicode_New(Py_ssize_t(n), 127);
  if (str != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(str), s, n);
  return str;
}

// The Python object of a Number value: new reference, or null with
// MemoryError set.
[[gnu::always_inline]] inline PyObject* make_number(const DocValue& v) noexcept {
  switch (v.type()) {
    case kTagReal:
      return PyFloat_FromDouble(v.payload.f);
    case kTagUnsigned:  // the same int either way; PyLong_FromLong takes one call fewer on 3.11
      return v.payload.u <= uint64_t{LONG_MAX} ? PyLong_FromLong(long(v.payload.u))
                                               : PyLong_FromUnsignedLongLong(v.payload.u);
    default:  // kTagSigned
      return PyLong_FromLongLong(v.payload.i);
  }
}

// The Python object of a String value read from a text that is all ASCII
// or not: new reference, or null with MemoryError set.
[[gnu::always_inline]] inline PyObject* make_string(const DocValue& v, bool ascii) noexcept {
  switch (v.type()) {
    case kTagBuiltString:
      return v.payload.obj;
    case kTagAsciiString:
    case kTagString:
      if (v.count() == 0) return PyUnicode_New(0, 0);
      return ascii || v.type() == kTagAsciiString ? ascii_str(v.payload.str, v.count())
                                                  : build_str(v.payload.str, v.count());
    default:  // kTagWideString
      return build_str(v.payload.str, v.count());
  }
}

// The key str of a String value, with its hash stored: short keys from
// the interpreter's key cache, longer ones built here. New reference or null.
PyObject* make_key(KeySequence& keys, const DocValue& k, size_t depth) noexcept {
  const size_t n = k.count();
  if (n <= kMaxCachedKeyLength) return keys.lookup(k.payload.str, n, depth);
  PyObject* key = build_str(k.payload.str, n);
  if (key != nullptr) store_str_hash(key);
  return key;
}

// Reads the string, number or literal at p and makes its object (*obj: new
// reference). Returns the pointer past it, or null with *f filled; out of
// memory is the category Memory, with MemoryError set unless the string
// scratch could not grow.
[[gnu::always_inline]] inline const uint8_t* read_value(Reader& r, const uint8_t* p, PyObject** obj,
                                                        Failure* f) noexcept {
  const uint8_t c = *p;
  DocValue v;
  if (c == '"') {
    StringError e;
    // In a text that is all ASCII every string is known to be.
    const uint8_t* after = read_string(p + 1, r.readable, &v, &r.buf.scratch, &e, !r.ascii);
    if (after == nullptr) {
      *f = {e.message == nullptr ? ReadErrorCategory::Memory : ReadErrorCategory::String, e.message, e.at};
      return nullptr;
    }
    p = after;
    *obj = make_string(v, r.ascii);
  } else if (kCharClass[c] & kCharNumberStart) {
    NumberError e;
    const uint8_t* after = read_number(p, r.readable, &v, &e);
    if (after == nullptr) {
      *f = {ReadErrorCategory::Number, e.message, e.at};
      return nullptr;
    }
    p = after;
    *obj = make_number(v);
  } else {
    // Four-byte reads only where all four bytes may be read; a literal cut
    // short by the end of the text is then no match.
    const ptrdiff_t rest = r.readable - p;
    if (c == 't' && rest >= 4 && load32(p) == word32("true")) {
      *obj = ffi::immortal_ref(Py_True);
      return p + 4;
    }
    if (c == 'f' && rest >= 5 && load32(p + 1) == word32("alse")) {
      *obj = ffi::immortal_ref(Py_False);
      return p + 5;
    }
    if (c == 'n' && rest >= 4 && load32(p) == word32("null")) {
      *obj = ffi::immortal_ref(Py_None);
      return p + 4;
    }
    if (c == 't' || c == 'f' || c == 'n') {
      *f = {ReadErrorCategory::Literal, "invalid literal", p};
    } else {
      *f = {ReadErrorCategory::UnexpectedCharacter, kMsgUnexpectedCharacter, p};
    }
    return nullptr;
  }
  if (*obj == nullptr) {
    *f = {ReadErrorCategory::Memory, nullptr, p};
    return nullptr;
  }
  return p;
}

// The comma before the closing bracket at `bracket`.
const uint8_t* comma_before(const uint8_t* bracket) noexcept {
  while (*bracket != ',') --bracket;
  return bracket;
}

// The slot at which a push into the container of `f` takes the slow path
// (make_room): the end of the stack, or for a list the end of its batch.
PyObject** push_limit(const Reader& r, const Frame& f) noexcept {
  const size_t end = f.is_object ? r.buf.capacity : std::min(r.buf.capacity, f.base + kListBatch);
  return r.buf.slots + end;
}

// Moves the batch of values waiting for the list of `f` into its list
// object, which is made by the first batch. False on exhaustion (the values
// stay on the stack).
bool move_batch(Reader& r, Frame& f, PyObject**& sp) noexcept {
  PyObject** const base = r.buf.slots + f.base;
  const auto n = Py_ssize_t(sp - base);
  if (f.list == nullptr) {
    f.list = PyList_New(0);
    if (f.list == nullptr) return false;
  }
  if (!ffi::list_append_stolen(f.list, base, n)) return false;
  sp = base;
  return true;
}

// Makes room for one push into the container of `f` at sp: moves a full
// list batch into its list, or grows the stack (rebasing sp). False on
// exhaustion.
[[gnu::noinline]] bool make_room(Reader& r, Frame& f, PyObject**& sp, PyObject**& limit) noexcept {
  if (!f.is_object && size_t(sp - r.buf.slots) - f.base >= kListBatch) {
    if (!move_batch(r, f, sp)) return false;
  } else if (sp == r.buf.slots + r.buf.capacity) {
    const size_t capacity = r.buf.capacity * 2;
    if (capacity > PY_SSIZE_T_MAX / sizeof(PyObject*)) return false;
    auto** grown = static_cast<PyObject**>(PyMem_Realloc(r.buf.slots, capacity * sizeof(PyObject*)));
    if (grown == nullptr) return false;
    sp = grown + (sp - r.buf.slots);
    r.buf.slots = grown;
    r.buf.capacity = capacity;
  }
  limit = push_limit(r, f);
  return true;
}

// The list of the values from `base` to sp (references stolen), and of the
// values already moved into `f.list`. Null on exhaustion, the values
// released.
PyObject* close_list(Frame& f, PyObject** base, PyObject** sp) noexcept {
  const auto n = Py_ssize_t(sp - base);
  if (f.list != nullptr) {
    PyObject* list = f.list;
    f.list = nullptr;
    if (!ffi::list_append_stolen(list, base, n)) {
      for (PyObject** p = base; p != sp; ++p) Py_DECREF(*p);
      Py_DECREF(list);
      return nullptr;
    }
    ffi::list_fit(list);
    return list;
  }
  PyObject* list = n == 0 ? PyList_New(0) : ffi::new_list_stolen(base, n);
  if (list == nullptr) {
    for (PyObject** p = base; p != sp; ++p) Py_DECREF(*p);
  }
  return list;
}

// Releases everything built so far: the values on the stack and the lists
// of the open frames.
void release_values(Reader& r, PyObject** sp, unsigned depth) noexcept {
  for (PyObject** p = r.buf.slots; p != sp; ++p) Py_DECREF(*p);
  for (unsigned d = 0; d <= depth; ++d) Py_CLEAR(r.buf.frames[d].list);
}

[[gnu::cold]] PyObject* fail(Reader& r, ReadError* error, Failure f) noexcept {
  if (f.category == ReadErrorCategory::Memory) {
    if (!PyErr_Occurred()) PyErr_NoMemory();
    *error = {f.category, nullptr, size_t(f.at - r.text)};
    return nullptr;
  }
  const size_t len = static_cast<size_t>(r.end - r.text);
  size_t position = static_cast<size_t>(f.at - r.text);
  if (is_truncated_end(r.text, len, position, f.category)) {
    f.category = ReadErrorCategory::UnexpectedEnd;
    f.message = kMsgUnexpectedEnd;
    position = len;
  }
  *error = {f.category, f.message, position};
  return nullptr;
}

PyObject* read_single_value(Reader& r, const uint8_t* cur, ReadError* error) noexcept {
  PyObject* obj;
  Failure f;
  cur = read_value(r, cur, &obj, &f);
  if (cur == nullptr) return fail(r, error, f);
  cur = skip_space(cur, r.readable);
  if (cur != r.end) {
    Py_DECREF(obj);
    return fail(r, error, {ReadErrorCategory::ContentAfter, "unexpected content after document", cur});
  }
  return obj;
}

// Containers are read with an explicit state machine over the frames of the
// open containers; each value is made as soon as it is read and waits on the
// value stack until its container closes.
PyObject* read_container(Reader& r, const uint8_t* cur, ReadError* error) noexcept {
  Frame* const frames = r.buf.frames;
  PyObject** sp = r.buf.slots;
  unsigned depth = 0;
  Frame* f = frames;
  *f = {0, nullptr, *cur == '{'};
  PyObject** limit = push_limit(r, *f);
  PyObject* result = nullptr;
  Failure failure;

  // Makes sure a value can be pushed at sp. The slow path is out of line:
  // the test is all that runs per value.
#define QUIBEX_ROOM()                                                      \
  do {                                                                     \
    if (sp == limit && !make_room(r, *f, sp, limit)) goto out_of_memory;  \
  } while (false)

  if (*cur++ == '{') goto object_begin;

array_begin:  // after '['
  cur = skip_space(cur, r.readable);
  if (*cur == ']') goto close;
  goto array_value;

array_next:  // after ','
  cur = skip_space(cur, r.readable);

array_value:  // at a value's first byte; a ']' here follows a comma, found when its read fails
  if (*cur == '[' || *cur == '{') goto open;
  QUIBEX_ROOM();
  {
    const uint8_t* const after = read_value(r, cur, sp, &failure);
    if (after == nullptr) {
      if (*cur == ']') goto trailing_comma;
      goto failed;
    }
    cur = after;
  }
  ++sp;

array_end:  // compact text has the comma right after the value
  if (*cur != ',') {
    cur = skip_space(cur, r.readable);
    if (*cur != ',') {
      if (*cur == ']') goto close;
      goto unexpected_character;
    }
  }
  ++cur;
  goto array_next;

object_begin:  // after '{'
  cur = skip_space(cur, r.readable);
  if (*cur == '}') goto close;
  goto object_key;

object_next:  // after ','
  cur = skip_space(cur, r.readable);

object_key:  // at a key's quote; a '}' here follows a comma
  if (*cur != '"') {
    if (*cur == '}') goto trailing_comma;
    goto unexpected_character;
  }
  QUIBEX_ROOM();
  {
    DocValue k;
    StringError e;
    cur = read_key_string(cur + 1, r.readable, &k, &r.buf.scratch, &e);
    if (cur == nullptr) {
      failure = {e.message == nullptr ? ReadErrorCategory::Memory : ReadErrorCategory::String, e.message, e.at};
      goto failed;
    }
    PyObject* key = make_key(r.keys, k, depth);
    if (key == nullptr) goto out_of_memory;
    *sp++ = key;
  }
  cur = skip_space(cur, r.readable);
  if (*cur != ':') goto unexpected_character;
  cur = skip_space(cur + 1, r.readable);
  if (*cur == '[' || *cur == '{') goto open;
  QUIBEX_ROOM();
  cur = read_value(r, cur, sp, &failure);
  if (cur == nullptr) goto failed;
  ++sp;

object_end:  // compact text has the comma right after the value
  if (*cur != ',') {
    cur = skip_space(cur, r.readable);
    if (*cur != ',') {
      if (*cur == '}') goto close;
      goto unexpected_character;
    }
  }
  ++cur;
  goto object_next;

open:  // cur at '[' or '{'
  if (++depth > kMaxDepth) {
    --depth;
    failure = {ReadErrorCategory::Depth, "array and object recursion depth exceeded", cur + 1};
    goto failed;
  }
  f = frames + depth;
  *f = {size_t(sp - r.buf.slots), nullptr, *cur == '{'};
  limit = push_limit(r, *f);
  if (*cur++ == '[') goto array_begin;
  goto object_begin;

close: {  // cur at the closing bracket of the container of f
  ++cur;
  PyObject** const base = r.buf.slots + f->base;
  PyObject* container = f->is_object ? build_dict(base, (sp - base) / 2) : close_list(*f, base, sp);
  sp = base;
  if (container == nullptr) goto out_of_memory;
  if (depth == 0) {
    result = container;
    goto done;
  }
  f = frames + --depth;
  limit = push_limit(r, *f);
  if (sp == limit && !make_room(r, *f, sp, limit)) {
    Py_DECREF(container);
    goto out_of_memory;
  }
  *sp++ = container;
  if (f->is_object) goto object_end;
  goto array_end;
}

done:
  cur = skip_space(cur, r.readable);
  if (cur != r.end) {
    Py_DECREF(result);
    return fail(r, error, {ReadErrorCategory::ContentAfter, "unexpected content after document", cur});
  }
  assert(sp == r.buf.slots);
  return result;

trailing_comma:
  failure = {ReadErrorCategory::Structure, "trailing comma is not allowed", comma_before(cur)};
  goto failed;

unexpected_character:
  failure = {ReadErrorCategory::UnexpectedCharacter, kMsgUnexpectedCharacter, cur};
  goto failed;

out_of_memory:
  failure = {ReadErrorCategory::Memory, nullptr, cur};

failed:
  release_values(r, sp, depth);
  return fail(r, error, failure);
#undef QUIBEX_ROOM
}

// Takes the kept buffers for a call, making the record, the value stack and
// the frames on first use. False on exhaustion.
bool take_buffers(Buffers*& kept, Buffers& buf) noexcept {
  if (kept == nullptr) {
    // From the raw allocator (malloc), whose blocks leak checkers scan: the
    // buffers this record points to are seen as held. The pools of PyMem's
    // small blocks are not scanned.
    kept = static_cast<Buffers*>(PyMem_RawCalloc(1, sizeof(Buffers)));
    if (kept == nullptr) return false;
  }
  Buffers& k = *kept;
  if (k.frames == nullptr) {
    k.frames = static_cast<Frame*>(PyMem_Malloc((kMaxDepth + 1) * sizeof(Frame)));
    if (k.frames == nullptr) return false;
  }
  if (k.slots == nullptr) {
    k.slots = static_cast<PyObject**>(PyMem_Malloc(kFirstSlots * sizeof(PyObject*)));
    if (k.slots == nullptr) return false;
    k.capacity = kFirstSlots;
  }
  buf = k;
  return true;
}

// Gives the buffers back, keeping no more than a moderate amount between calls.
void keep_buffers(Buffers& kept, Buffers& buf) noexcept {
  if (buf.capacity > kKeptSlots) {
    PyMem_Free(buf.slots);
    buf.slots = nullptr;
    buf.capacity = 0;
  }
  if (buf.scratch.capacity > kKeptScratch) {
    PyMem_Free(buf.scratch.data);
    buf.scratch = {nullptr, 0};
  }
  kept = buf;
}

}  // namespace

void release_read_cache(ReadCache& cache) noexcept {
  clear_key_cache(cache.keys);
  if (cache.buffers == nullptr) return;
  PyMem_Free(cache.buffers->slots);
  PyMem_Free(cache.buffers->frames);
  PyMem_Free(cache.buffers->scratch.data);
  PyMem_RawFree(cache.buffers);
  cache.buffers = nullptr;
}

PyObject* read_document(const uint8_t* data, size_t len, bool ascii, ReadError* error, ReadCache& cache) noexcept {
  assert(data[len] == 0);
  Reader r{data, data + len, data + len + 1, ascii, {}, KeySequence(cache.keys)};
  const uint8_t* cur = skip_space(data, r.readable);
  if (cur == r.end) {
    *error = {ReadErrorCategory::Empty, "input data is empty", 0};
    return nullptr;
  }
  if (!take_buffers(cache.buffers, r.buf)) {
    PyErr_NoMemory();
    *error = {ReadErrorCategory::Memory, nullptr, 0};
    return nullptr;
  }
  PyObject* result = *cur == '[' || *cur == '{' ? read_container(r, cur, error) : read_single_value(r, cur, error);
  keep_buffers(*cache.buffers, r.buf);
  return result;
}

}  // namespace quibex
