// QUIBEX_ASSERT(condition): an invariant of the code itself, never a check of
// input. Checked where QUIBEX_ASSERTIONS is defined (Debug builds, the
// sanitizer run and the fuzzing harnesses), where a failure prints the
// condition and its place and aborts; compiled out of the release build,
// where the condition is not even compiled, so it may name members that
// exist in checked builds only.
#pragma once

#ifdef QUIBEX_ASSERTIONS

#include <cstdio>
#include <cstdlib>

namespace quibex {

[[noreturn, gnu::cold, gnu::noinline]] inline void assertion_failed(const char* condition, const char* file,
                                                                    int line) noexcept {
  std::fprintf(stderr, "quibex: %s:%d: assertion failed: %s\n", file, line, condition);
  std::abort();
}

}  // namespace quibex

#define QUIBEX_ASSERT(condition) \
  ((condition) ? static_cast<void>(0) : ::quibex::assertion_failed(#condition, __FILE__, __LINE__))

#else

#define QUIBEX_ASSERT(condition) static_cast<void>(0)

#endif
