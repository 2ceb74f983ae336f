#include "serialize/per_type/key_sort.h"

#include <algorithm>

namespace quibex {
namespace {

inline bool less(const KeyValuePair& a, const KeyValuePair& b) noexcept { return compare_keys(a, b) < 0; }

// Arrays up to this size (most dicts) are sorted by insertion.
constexpr size_t kSmallMax = 32;

// Insertion sort that moves each pair left past the greater ones, with the
// pairs' first key words in a stack array moved alongside: each word is read
// once per pair rather than once per comparison, and most comparisons are
// settled by the words alone (equal words by the whole keys).
void sort_small(KeyValuePair* pairs, size_t n) noexcept {
  uint64_t words[kSmallMax];
  for (size_t i = 0; i < n; ++i) words[i] = detail::key_prefix(pairs[i].key, pairs[i].len);
  for (size_t i = 1; i < n; ++i) {
    const uint64_t word = words[i];
    const KeyValuePair pair = pairs[i];
    size_t j = i;
    for (; j > 0; --j) {
      if (words[j - 1] < word || (words[j - 1] == word && !less(pair, pairs[j - 1]))) break;
      words[j] = words[j - 1];
      pairs[j] = pairs[j - 1];
    }
    words[j] = word;
    pairs[j] = pair;
  }
}

}  // namespace

void sort_pairs(KeyValuePair* pairs, size_t n) noexcept {
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
