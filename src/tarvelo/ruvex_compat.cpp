#include "tarvelo/ruvex_compat.hpp"

#include <algorithm>
#include <numeric>

#include "tarvelo/error.hpp"

namespace tarvelo::ruvex_compat {

std::vector<size_t> order(std::span<const uint64_t> values) {
  std::vector<size_t> idx(values.size());
  std::iota(idx.begin(), idx.end(), size_t{0});
  std::stable_sort(idx.begin(), idx.end(),
                   [&](size_t a, size_t b) { return values[a] < values[b]; });
  return idx;
}

BatchCounts empty_batch_counts(size_t n) {
  BatchCounts c;
  c.le_es.assign(n, 0);
  c.ge_es.assign(n, 0);
  c.le_zero.assign(n, 0);
  c.ge_zero.assign(n, 0);
  c.le_zero_sum.assign(n, 0.0);
  c.ge_zero_sum.assign(n, 0.0);
  return c;
}

BatchCounts merge_batch_counts(BatchCounts a, BatchCounts b) {
  const size_t n = a.size();
  if (b.size() != n || a.ge_es.size() != n || a.le_zero.size() != n || a.ge_zero.size() != n ||
      a.le_zero_sum.size() != n || a.ge_zero_sum.size() != n || b.ge_es.size() != n ||
      b.le_zero.size() != n || b.ge_zero.size() != n || b.le_zero_sum.size() != n ||
      b.ge_zero_sum.size() != n) {
    internal_fault("merge_batch_counts: counts of unequal length");
  }
  for (size_t j = 0; j < n; ++j) {
    a.le_es[j] += b.le_es[j];
    a.ge_es[j] += b.ge_es[j];
    a.le_zero[j] += b.le_zero[j];
    a.ge_zero[j] += b.ge_zero[j];
    a.le_zero_sum[j] += b.le_zero_sum[j];
    a.ge_zero_sum[j] += b.ge_zero_sum[j];
  }
  return a;
}

}  // namespace tarvelo::ruvex_compat
