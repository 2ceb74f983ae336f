#include "serialize/per_type/key_sort.h"

#include <algorithm>
#include <cstring>

namespace quibex {

int compare_keys(const KeyValuePair& a, const KeyValuePair& b) noexcept {
  const int c = std::memcmp(a.key, b.key, std::min(a.len, b.len));
  if (c != 0) return c;
  return (a.len > b.len) - (a.len < b.len);
}

void sort_pairs(KeyValuePair* pairs, size_t n) noexcept {
  if (n < 2) return;
  const auto less = [](const KeyValuePair& a, const KeyValuePair& b) noexcept { return compare_keys(a, b) < 0; };
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
