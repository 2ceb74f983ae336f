#include "serialize/per_type/key_sort.h"

#include <algorithm>

namespace quibex {
namespace {

inline bool less(const MemberKey& a, const MemberKey& b) noexcept { return compare_keys(a, b) < 0; }

// Arrays up to this size (nearly every dict) are sorted through stack
// scratch areas.
constexpr size_t kSmallMax = 64;

// Up to this size, moving the pairs themselves costs less than the setting
// up of the scratch areas.
constexpr size_t kTinyMax = 8;

// Each pair moves left past the greater ones.
void insertion_sort(MemberKey* pairs, size_t n) noexcept {
  for (size_t i = 1; i < n; ++i) {
    const MemberKey p = pairs[i];
    size_t j = i;
    for (; j > 0 && less(p, pairs[j - 1]); --j) pairs[j] = pairs[j - 1];
    pairs[j] = p;
  }
}

// Larger ones are sorted by the first 7 bytes of their keys, packed with the pair's
// index into one word each (most keys differ there, and words move
// cheaply); runs of equal 7-byte prefixes are then ordered by the whole keys,
// and the pairs put in the order found.
void sort_small(MemberKey* pairs, size_t n) noexcept {
  if (n <= kTinyMax) {
    insertion_sort(pairs, n);
    return;
  }
  static_assert(kSmallMax <= 256, "the index takes the low byte of the word");
  uint64_t words[kSmallMax];
  for (size_t i = 0; i < n; ++i) words[i] = (pairs[i].prefix & ~uint64_t{0xFF}) | i;
  std::sort(words, words + n);
  uint8_t order[kSmallMax];
  for (size_t i = 0; i < n; ++i) order[i] = static_cast<uint8_t>(words[i]);
  for (size_t i = 0; i + 1 < n;) {
    size_t end = i + 1;
    while (end < n && (words[end] >> 8) == (words[i] >> 8)) ++end;
    for (size_t k = i + 1; k < end; ++k) {  // rarely more than a few
      const uint8_t index = order[k];
      size_t j = k;
      for (; j > i && less(pairs[index], pairs[order[j - 1]]); --j) order[j] = order[j - 1];
      order[j] = index;
    }
    i = end;
  }
  MemberKey sorted[kSmallMax];
  for (size_t i = 0; i < n; ++i) sorted[i] = pairs[order[i]];
  for (size_t i = 0; i < n; ++i) pairs[i] = sorted[i];
}

}  // namespace

void sort_pairs(MemberKey* pairs, size_t n) noexcept {
  if (n < 2) return;
  if (n <= kSmallMax) {
    sort_small(pairs, n);
    return;
  }
  // The run at the start: strictly descending if the second pair is less than
  // the first, else non-descending. A run over the whole array needs at most
  // a reversal.
  const bool descending = less(pairs[1], pairs[0]);
  size_t run = 2;
  if (descending) {
    while (run < n && less(pairs[run], pairs[run - 1])) ++run;
  } else {
    while (run < n && !less(pairs[run], pairs[run - 1])) ++run;
  }
  if (run == n) {
    if (descending) std::reverse(pairs, pairs + n);
    return;
  }
  // Introsort (quicksort falling back to heap sort past a depth budget):
  // O(n log n) worst case, in place, no allocation.
  std::sort(pairs, pairs + n, less);
}

}  // namespace quibex
