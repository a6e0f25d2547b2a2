// Binary search without a branch on its comparisons.
//
// Where the searched values fall at random among the sorted ones (drawn
// genes, permutation scores), each comparison is a coin toss and a branch on
// it mispredicts half the time, which costs more than the search itself.
// Only the start index moves on a comparison and the length halves
// regardless, a form GCC turns into conditional moves (moving a pointer
// instead, or the length on the comparison too, is compiled to a branch).
#pragma once

#include <cstddef>

namespace tarvelo {

// The number of leading entries of a[0, n) for which before(entry) holds;
// `before` must hold for a prefix of the entries and for no entry after it.
template <class T, class Before>
inline size_t count_before(const T* a, size_t n, Before before) {
  if (n == 0) return 0;
  size_t lo = 0;
  while (n > 1) {
    const size_t half = n / 2;
    const size_t step = before(a[lo + half - 1]) ? half : 0;
    lo += step;
    n -= half;
  }
  return lo + (before(a[lo]) ? 1 : 0);
}

}  // namespace tarvelo
