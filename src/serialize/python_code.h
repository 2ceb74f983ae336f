// The count of the serialiser's steps that may run Python code, by which a
// container walk learns whether its container can have changed.
#pragma once

#include <cstdint>

namespace quibex {

// Grows before every step of the serialiser that may run Python code:
// writing a value that is not an exact str, int, bool, None, float, list or
// dict (default, enum values, time zones, dataclass attributes, subclasses
// and whatever the interpreter runs when it frees an object, a finalizer or
// a weakref callback), converting a non-str dict key, looking a key up
// again. The exact types are written without any interpreter call that could
// run Python code or start the cyclic collector, so a walk that sees the
// same count after a value knows that its container is as it was.
// One count for the process: the module runs under the GIL, in the main
// interpreter only; it never wraps in practice (64 bits).
inline uint64_t python_code_steps = 0;

[[gnu::always_inline]] inline void note_python_code() noexcept { ++python_code_steps; }

}  // namespace quibex
