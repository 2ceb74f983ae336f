#include "deserialize/parse_buffer.h"

#include <cstdint>

#include <sys/mman.h>

namespace quibex {

void advise_huge_pages(void* block, size_t size) noexcept {
#ifdef MADV_HUGEPAGE
  constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
  const uintptr_t start = reinterpret_cast<uintptr_t>(block);
  const uintptr_t first = (start + kHugePage - 1) & ~(kHugePage - 1);
  const uintptr_t last = (start + size) & ~(kHugePage - 1);
  // Advice is only a hint: a refusal changes nothing but speed.
  if (last > first) (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)block, (void)size;
#endif
}

}  // namespace quibex
