// The nine weight formulas of the method "decor": each turns a gene's
// redundancy into a multiplicative penalty on its step weight. Some formulas
// scale the redundancy by the median or upper quartile of every finite
// redundancy in the cache, or rank it among them; DecorFormulaContext carries
// those once per analysis.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "tarvelo/engine/records.hpp"
#include "tarvelo/decor/options.hpp"
#include "tarvelo/decor/cache.hpp"
#include "tarvelo/base/error.hpp"

namespace tarvelo::decor {

// Linear-interpolation quantile of ascending values: q is clamped to [0, 1],
// pos = q (n - 1), and the result is (1 - w) v[lo] + w v[hi] with
// lo = floor(pos), hi = ceil(pos), w = pos - lo (v[lo] when lo = hi). Absent
// for no values; a single value is returned whatever q.
std::optional<double> percentile_sorted(std::span<const double> values, double q);

// Whether the formula reads the median, the upper quartile or the ranks of the
// cache's redundancies.
bool formula_needs_scale(DecorWeightFormula formula);

struct DecorFormulaContext {
  std::optional<double> median;
  std::optional<double> q75;
  std::vector<double> sorted_scores;  // finite cache redundancies, ascending
  double alpha = 0.0;
  double gamma = 0.0;
  double threshold = 0.0;
  double penalty_floor = 0.0;
  double scale_epsilon = 0.0;
  DecorWeightFormula weight_formula = DecorWeightFormula::kRawRational;

  // The context of options over a sorted score vector (median and q75 are
  // absent exactly when it is empty).
  static DecorFormulaContext create(const DecorOptions& options,
                                    std::vector<double> sorted_scores);

  // The context of an analysis: sorted_scores gathers every finite redundancy
  // of the cache. Formulas that read no scale skip the gathering (their
  // penalties do not depend on it). Errors when the formula needs a scale and
  // the cache has no finite value.
  static Result<DecorFormulaContext> from_cache(const DecorOptions& options,
                                                const DecorCache& cache);

  // The penalty for one redundancy; errors for a non-finite redundancy, a
  // missing scale, and a penalty that is not finite or is negative.
  Result<double> penalty(double redundancy) const;
};

}  // namespace tarvelo::decor
