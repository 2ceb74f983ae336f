#include "support.h"

#include <cstdio>
#include <cstdlib>

namespace quibex {

void abort_on_allocation_failure(size_t bytes) noexcept {
  std::fprintf(stderr, "memory allocation of %zu bytes failed\n", bytes);
  std::abort();
}

}  // namespace quibex
