#include "deserialize/parse_buffer.h"

#include <algorithm>
#include <cstdint>

#include <sys/mman.h>

namespace quibex {

void prepare_parse_buffer(void* block, size_t size, size_t text_len) noexcept {
#if defined(MADV_HUGEPAGE) && defined(MADV_POPULATE_WRITE)
  constexpr uintptr_t kPage = 4096;
  constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
  const uintptr_t start = reinterpret_cast<uintptr_t>(block);
  const uintptr_t first = (start + kHugePage - 1) & ~(kHugePage - 1);
  const uintptr_t last = (start + size) & ~(kHugePage - 1);
  const uintptr_t page = start & ~(kPage - 1);
  // The copy of the text starts in the small pages before the first huge
  // page, as far as it reaches there.
  const uintptr_t end = std::min(first, (start + text_len + kPage - 1) & ~(kPage - 1));
  if (last <= first || end - page <= kPage) return;
  // A block whose second page is already in memory is reused memory of the
  // process: nothing to gain.
  unsigned char resident = 1;
  if (mincore(reinterpret_cast<void*>(page + kPage), kPage, &resident) != 0 || (resident & 1) != 0) return;
  // Both calls are only hints: a refusal changes nothing but speed.
  (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
  (void)madvise(reinterpret_cast<void*>(page), end - page, MADV_POPULATE_WRITE);
#else
  (void)block, (void)size, (void)text_len;
#endif
}

}  // namespace quibex
