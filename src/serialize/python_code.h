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

// A writer that reads objects it has only borrowed (a sorted dict's keys,
// whose texts it writes after collecting them all) and takes its own
// references to them only once Python code is about to run, which could
// release them: while it is listed, the next note_python_code() calls
// hold(), which takes them, and unlists it. Between two steps that may run
// Python code nothing can release them: they live as long as the dict.
// Listed writers form a list through `prev` and `next`, the latest first.
// One list per thread, like the count: a call's writers are listed and
// unlisted on its own thread, and the list is empty whenever Python code
// runs, so a call made from that code starts with an empty list.
struct BorrowingWriter {
  void (*hold)(BorrowingWriter*) noexcept;
  BorrowingWriter* prev;
  BorrowingWriter* next;
};
[[gnu::tls_model("initial-exec")]] inline thread_local BorrowingWriter* borrowing_writers = nullptr;

inline void list_borrowing_writer(BorrowingWriter* w) noexcept {
  w->prev = nullptr;
  w->next = borrowing_writers;
  if (w->next != nullptr) w->next->prev = w;
  borrowing_writers = w;
}

inline void unlist_borrowing_writer(BorrowingWriter* w) noexcept {
  if (w->prev != nullptr) w->prev->next = w->next;
  else borrowing_writers = w->next;
  if (w->next != nullptr) w->next->prev = w->prev;
}

// Every listed writer takes its references and leaves the list.
[[gnu::cold, gnu::noinline]] inline void hold_borrowed_objects() noexcept {
  while (BorrowingWriter* w = borrowing_writers) {
    unlist_borrowing_writer(w);
    w->hold(w);
  }
}

[[gnu::always_inline]] inline void note_python_code() noexcept {
  ++python_code_steps;
  if (borrowing_writers != nullptr) [[unlikely]]
    hold_borrowed_objects();
}

}  // namespace quibex
