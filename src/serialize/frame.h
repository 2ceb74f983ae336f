// The per-value record every serialiser receives, its state word, and the
// classification of values.
#pragma once

#include "ffi/python.h"

#include <cstdint>

namespace quibex {

// Option flags of dumps; the module attributes OPT_* carry these values.
enum : uint32_t {
  OPT_INDENT_2 = 1,
  OPT_NAIVE_UTC = 2,
  OPT_NON_STR_KEYS = 4,
  OPT_OMIT_MICROSECONDS = 8,
  OPT_SERIALIZE_NUMPY = 16,
  OPT_SORT_KEYS = 32,
  OPT_STRICT_INTEGER = 64,
  OPT_UTC_Z = 128,
  OPT_PASSTHROUGH_SUBCLASS = 256,
  OPT_PASSTHROUGH_DATETIME = 512,
  OPT_APPEND_NEWLINE = 1024,
  OPT_PASSTHROUGH_DATACLASS = 2048,
  OPT_SERIALIZE_DATACLASS = 0,
  OPT_SERIALIZE_UUID = 0,
};
inline constexpr uint32_t kOptionLimit = 4096;  // valid option words are below this

using OptionSet = uint32_t;

// State word: bits 0-11 options, 16-23 default depth, 24-31 container depth.
namespace state {
inline constexpr uint32_t kDefaultDepthOne = 1u << 16;
inline constexpr uint32_t kContainerDepthOne = 1u << 24;
inline constexpr uint32_t kDepthLimit = 255;

inline OptionSet options(uint32_t s) noexcept { return s & 0xFFFu; }
inline uint32_t default_depth(uint32_t s) noexcept { return (s >> 16) & 0xFFu; }
inline uint32_t container_depth(uint32_t s) noexcept { return s >> 24; }
}  // namespace state

struct SerializerFrame {
  PyObject* obj;      // borrowed
  PyObject* default_; // borrowed; null when dumps got no default
  uint32_t state;
};

enum class ValueKind : uint8_t {
  Int, Bool, None, Float, List, Dict, Datetime, Date, Time, Tuple, Uuid,
  Dataclass, NumpyScalar, NumpyArray, Enum, Str, Fragment, Unsupported,
};

}  // namespace quibex
