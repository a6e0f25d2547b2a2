#include "tarvelo/engine/algo.hpp"

#include <cmath>
#include <limits>

#include "tarvelo/base/error.hpp"

namespace tarvelo::algo {

std::pair<double, uint64_t> calculate_es_ruvex(std::span<const double> ranks,
                                               std::span<const uint64_t> hits, uint64_t n,
                                               ScoreType score_type) {
  const size_t k = hits.size();
  if (k == 0) return {0.0, 0};
  // Hits ascend, so checking the last one keeps every read inside ranks.
  if (hits[k - 1] >= ranks.size()) internal_fault("pathway hit beyond the ranked list");
  if (n == k) return {0.0, hits[0]};
  double nr = 0.0;
  for (uint64_t h : hits) nr += std::fabs(ranks[h]);
  const double n_minus_k = static_cast<double>(n - k);
  const double step = 1.0 / static_cast<double>(k);

  double max_top = -std::numeric_limits<double>::infinity();
  double min_bottom = std::numeric_limits<double>::infinity();
  size_t j_max = 0, j_min = 0;
  double cum = 0.0;
  for (size_t j = 0; j < k; ++j) {
    const double misses = static_cast<double>(hits[j] - j);
    double top, bottom;
    if (nr != 0.0) {
      const double w = std::fabs(ranks[hits[j]]);
      cum += w;
      top = cum / nr - misses / n_minus_k;
      bottom = top - w / nr;
    } else {
      top = step * static_cast<double>(j + 1) - misses / n_minus_k;
      bottom = top - step;
    }
    if (top > max_top) { max_top = top; j_max = j; }
    if (bottom < min_bottom) { min_bottom = bottom; j_min = j; }
  }
  switch (score_type) {
    case ScoreType::kPos: return {max_top, hits[j_max]};
    case ScoreType::kNeg: return {min_bottom, hits[j_min]};
    case ScoreType::kStd: break;
  }
  if (max_top == -min_bottom) return {0.0, hits[0]};
  if (max_top > -min_bottom) return {max_top, hits[j_max]};
  return {min_bottom, hits[j_min]};
}

}  // namespace tarvelo::algo
