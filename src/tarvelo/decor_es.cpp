#include "tarvelo/decor_es.hpp"

#include <cmath>
#include <limits>

#include "tarvelo/error.hpp"

namespace tarvelo::decor {

std::pair<double, uint64_t> calculate_es_decor_prechecked(std::span<const double> ranks,
                                                          std::span<const uint64_t> hits,
                                                          std::span<const double> weights,
                                                          uint64_t n, ScoreType score_type) {
  const size_t k = hits.size();
  if (k == 0) return {0.0, 0};
  if (n == k) return {0.0, hits[0]};
  // Two passes: the normaliser must be complete before the first step.
  double nr = 0.0;
  for (size_t i = 0; i < k; ++i) nr += std::fabs(ranks[hits[i]]) * weights[i];
  const double d = static_cast<double>(n - k);

  double max_top = -std::numeric_limits<double>::infinity();
  double min_bottom = std::numeric_limits<double>::infinity();
  size_t i_max = 0, i_min = 0;
  if (nr != 0.0) {
    double cum = 0.0;
    for (size_t i = 0; i < k; ++i) {
      const double c = std::fabs(ranks[hits[i]]) * weights[i];
      cum += c;
      const double top = cum / nr - static_cast<double>(hits[i] - i) / d;
      const double bottom = top - c / nr;
      if (top > max_top) { max_top = top; i_max = i; }
      if (bottom < min_bottom) { min_bottom = bottom; i_min = i; }
    }
  } else {
    // Every step weighs nothing: fall back to equal steps of 1/k.
    const double step = 1.0 / static_cast<double>(k);
    for (size_t i = 0; i < k; ++i) {
      const double top = step * static_cast<double>(i + 1) - static_cast<double>(hits[i] - i) / d;
      const double bottom = top - step;
      if (top > max_top) { max_top = top; i_max = i; }
      if (bottom < min_bottom) { min_bottom = bottom; i_min = i; }
    }
  }
  return pick_decor_score(max_top, hits[i_max], min_bottom, hits[i_min], hits[0], score_type);
}

DecorEsKernel::DecorEsKernel(std::span<const double> magnitudes, uint64_t k,
                             ScoreType score_type)
    : mags_(magnitudes), k_(k), score_type_(score_type) {
  const uint64_t n = magnitudes.size();
  if (k == 0 || k >= n) internal_fault("decor score kernel: set size outside [1, n)");
  const double d = static_cast<double>(n - k);
  miss_.resize(n - k + 1);
  for (uint64_t m = 0; m <= n - k; ++m) miss_[m] = static_cast<double>(m) / d;
}

double DecorEsKernel::score(const uint64_t* hits, const double* weights) {
  const uint64_t k = k_;
  const double* mags = mags_.data();
  const double* miss = miss_.data();
  // The operations of calculate_es_decor_prechecked in the same order; only
  // the quotient (h - i) / (n - k) is read from the table instead. Division
  // throughput bounds this loop, so removing one of three divisions per hit
  // is what pays (products by 1 / nr would not be exact).
  double nr = 0.0;
  for (uint64_t i = 0; i < k; ++i) nr += mags[hits[i]] * weights[i];
  double max_top = -std::numeric_limits<double>::infinity();
  double min_bottom = std::numeric_limits<double>::infinity();
  uint64_t i_max = 0, i_min = 0;
  if (nr != 0.0) {
    double cum = 0.0;
    for (uint64_t i = 0; i < k; ++i) {
      const double c = mags[hits[i]] * weights[i];
      cum += c;
      const double top = cum / nr - miss[hits[i] - i];
      const double bottom = top - c / nr;
      if (top > max_top) { max_top = top; i_max = i; }
      if (bottom < min_bottom) { min_bottom = bottom; i_min = i; }
    }
  } else {
    const double step = 1.0 / static_cast<double>(k);
    for (uint64_t i = 0; i < k; ++i) {
      const double top = step * static_cast<double>(i + 1) - miss[hits[i] - i];
      const double bottom = top - step;
      if (top > max_top) { max_top = top; i_max = i; }
      if (bottom < min_bottom) { min_bottom = bottom; i_min = i; }
    }
  }
  return pick_decor_score(max_top, hits[i_max], min_bottom, hits[i_min], hits[0], score_type_)
      .first;
}

}  // namespace tarvelo::decor
