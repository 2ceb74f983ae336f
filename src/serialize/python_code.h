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
// One count per thread: a walk and the steps that may change its container
// run in the same thread, and under the GIL no other thread of the
// interpreter runs except inside such a step. Interpreters with a GIL each
// then never share a count. Initial-exec: a fixed offset from the thread
// pointer, read without a call. It never wraps in practice (64 bits).
[[gnu::tls_model("initial-exec")]] inline thread_local uint64_t python_code_steps = 0;

[[gnu::always_inline]] inline void note_python_code() noexcept { ++python_code_steps; }

}  // namespace quibex
