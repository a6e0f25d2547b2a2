#include "tarvelo/decor/es.hpp"

#include <cmath>
#include <limits>

#include "tarvelo/base/error.hpp"

namespace tarvelo::decor {
namespace {

// The running sum over k sorted hits: step |rank| x weight normalised by their
// total, miss terms (h - i) / (n - k), and the extreme deviations. mag(h) is
// |rank| at position h and miss(m) is m / (n - k); the two callers differ only
// in how these are obtained, never in the operations or their order.
template <class Mag, class Miss>
inline std::pair<double, uint64_t> weighted_es(const uint64_t* hits, const double* weights,
                                               uint64_t k, Mag mag, Miss miss,
                                               ScoreType score_type) {
  // Two passes: the normaliser must be complete before the first step.
  double nr = 0.0;
  for (uint64_t i = 0; i < k; ++i) nr += mag(hits[i]) * weights[i];
  double max_top = -std::numeric_limits<double>::infinity();
  double min_bottom = std::numeric_limits<double>::infinity();
  uint64_t i_max = 0, i_min = 0;
  if (nr != 0.0) {
    double cum = 0.0;
    for (uint64_t i = 0; i < k; ++i) {
      const double c = mag(hits[i]) * weights[i];
      cum += c;
      const double top = cum / nr - miss(hits[i] - i);
      const double bottom = top - c / nr;
      if (top > max_top) { max_top = top; i_max = i; }
      if (bottom < min_bottom) { min_bottom = bottom; i_min = i; }
    }
  } else {
    // Every step weighs nothing: fall back to equal steps of 1/k.
    const double step = 1.0 / static_cast<double>(k);
    for (uint64_t i = 0; i < k; ++i) {
      const double top = step * static_cast<double>(i + 1) - miss(hits[i] - i);
      const double bottom = top - step;
      if (top > max_top) { max_top = top; i_max = i; }
      if (bottom < min_bottom) { min_bottom = bottom; i_min = i; }
    }
  }
  return pick_decor_score(max_top, hits[i_max], min_bottom, hits[i_min], hits[0], score_type);
}

}  // namespace

std::pair<double, uint64_t> calculate_es_decor_prechecked(std::span<const double> ranks,
                                                          std::span<const uint64_t> hits,
                                                          std::span<const double> weights,
                                                          uint64_t n, ScoreType score_type) {
  const size_t k = hits.size();
  if (k == 0) return {0.0, 0};
  if (n == k) return {0.0, hits[0]};
  const double d = static_cast<double>(n - k);
  const double* r = ranks.data();
  return weighted_es(
      hits.data(), weights.data(), k, [r](uint64_t h) { return std::fabs(r[h]); },
      [d](uint64_t m) { return static_cast<double>(m) / d; }, score_type);
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
  // The quotient (h - i) / (n - k) comes from the table instead of a
  // division. Division throughput bounds this loop, so removing one of three
  // divisions per hit is what pays (products by 1 / nr would not be exact).
  const double* mags = mags_.data();
  const double* miss = miss_.data();
  return weighted_es(
             hits, weights, k_, [mags](uint64_t h) { return mags[h]; },
             [miss](uint64_t m) { return miss[m]; }, score_type_)
      .first;
}

}  // namespace tarvelo::decor
