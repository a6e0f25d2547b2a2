#include "tarvelo/decor/formula.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <string>

#include "tarvelo/base/numeric.hpp"
#include "tarvelo/base/text.hpp"

namespace tarvelo::decor {

std::optional<double> percentile_sorted(std::span<const double> values, double q) {
  const size_t n = values.size();
  if (n == 0) return std::nullopt;
  if (n == 1) return values[0];
  // A NaN q stays NaN and its position truncates to index 0.
  if (q < 0.0) q = 0.0;
  if (q > 1.0) q = 1.0;
  const double pos = q * static_cast<double>(n - 1);
  const size_t lo = saturating_cast<size_t>(std::floor(pos));
  const size_t hi = saturating_cast<size_t>(std::ceil(pos));
  if (lo == hi) return values[lo];
  const double w = pos - static_cast<double>(lo);
  return (1.0 - w) * values[lo] + w * values[hi];
}

bool formula_needs_scale(DecorWeightFormula f) {
  switch (f) {
    case DecorWeightFormula::kScaledRational:
    case DecorWeightFormula::kQ75ScaledRational:
    case DecorWeightFormula::kExpScaled:
    case DecorWeightFormula::kQuantileRational:
    case DecorWeightFormula::kFloorScaledRational:
      return true;
    case DecorWeightFormula::kRawRational:
    case DecorWeightFormula::kOddsRational:
    case DecorWeightFormula::kThresholdRational:
    case DecorWeightFormula::kPowerRetention:
      return false;
  }
  return false;
}

DecorFormulaContext DecorFormulaContext::create(const DecorOptions& o,
                                                std::vector<double> sorted_scores) {
  DecorFormulaContext c;
  c.sorted_scores = std::move(sorted_scores);
  c.median = percentile_sorted(c.sorted_scores, 0.5);
  c.q75 = percentile_sorted(c.sorted_scores, 0.75);
  c.alpha = o.alpha;
  c.gamma = o.gamma;
  c.threshold = o.threshold;
  c.penalty_floor = o.penalty_floor;
  c.scale_epsilon = o.scale_epsilon;
  c.weight_formula = o.weight_formula;
  return c;
}

Result<DecorFormulaContext> DecorFormulaContext::from_cache(const DecorOptions& o,
                                                            const DecorCache& cache) {
  std::vector<double> scores;
  const bool needs = formula_needs_scale(o.weight_formula);
  if (needs) {
    size_t total = 0;
    for (const auto& [name, entry] : cache.pathways) total += entry.redundancy.size();
    scores.reserve(total);
    for (const auto& [name, entry] : cache.pathways)
      for (float v : entry.redundancy)
        if (std::isfinite(v)) scores.push_back(static_cast<double>(v));
    // Total order of doubles: for finite values the numeric order with -0
    // before +0. Mapping the bits to a monotone unsigned key gives exactly it.
    auto key = [](double x) {
      const uint64_t b = std::bit_cast<uint64_t>(x);
      return (b >> 63) != 0 ? ~b : b | (uint64_t{1} << 63);
    };
    std::sort(scores.begin(), scores.end(),
              [&](double a, double b) { return key(a) < key(b); });
    if (scores.empty())
      return Error("selected formula " +
                   std::string(decor_weight_formula_name(o.weight_formula)) +
                   " could not compute redundancy scale because the decor cache has no finite "
                   "redundancy scores");
  }
  return create(o, std::move(scores));
}

namespace {

Error missing_scale(DecorWeightFormula f) {
  return Error("selected formula " + std::string(decor_weight_formula_name(f)) +
               " requires finite redundancy scores in the decor cache");
}

}  // namespace

Result<double> DecorFormulaContext::penalty(double r) const {
  if (!std::isfinite(r)) return Error("decor redundancy score must be finite");
  const double a = alpha, e = scale_epsilon;
  double p = 0.0;
  switch (weight_formula) {
    case DecorWeightFormula::kRawRational:
      p = 1.0 / (r * a + 1.0);
      break;
    case DecorWeightFormula::kScaledRational:
      if (!median) return missing_scale(weight_formula);
      p = 1.0 / (a * (r / (*median + e)) + 1.0);
      break;
    case DecorWeightFormula::kQ75ScaledRational:
      if (!q75) return missing_scale(weight_formula);
      p = 1.0 / (a * (r / (*q75 + e)) + 1.0);
      break;
    case DecorWeightFormula::kExpScaled:
      if (!median) return missing_scale(weight_formula);
      p = std::exp(-(a * (r / (*median + e))));
      break;
    case DecorWeightFormula::kOddsRational: {
      // With e > 1 the clamp range [0, 1 - e] is empty. The two bounds are
      // applied literally (lower, then upper), which gives c = 1 - e < 0; the
      // penalty check below then rejects what is not a valid penalty.
      const double c = std::fmin(std::fmax(r, 0.0), 1.0 - e);
      p = 1.0 / ((c / (e + (1.0 - c))) * a + 1.0);
      break;
    }
    case DecorWeightFormula::kThresholdRational:
      p = 1.0 / (a * std::fmax(r - threshold, 0.0) + 1.0);
      break;
    case DecorWeightFormula::kQuantileRational: {
      const size_t n = sorted_scores.size();
      if (n == 0) return missing_scale(weight_formula);
      double u = 1.0;
      if (n > 1) {
        const auto lt = std::lower_bound(sorted_scores.begin(), sorted_scores.end(), r) -
                        sorted_scores.begin();
        const auto le = std::upper_bound(sorted_scores.begin(), sorted_scores.end(), r) -
                        sorted_scores.begin();
        const uint64_t mid = static_cast<uint64_t>(lt) + (le > 0 ? static_cast<uint64_t>(le) - 1 : 0);
        u = std::fmin(1.0, static_cast<double>(mid) * 0.5 / static_cast<double>(n - 1));
      }
      p = 1.0 / (u * a + 1.0);
      break;
    }
    case DecorWeightFormula::kFloorScaledRational:
      if (!median) return missing_scale(weight_formula);
      p = penalty_floor + (1.0 - penalty_floor) * (1.0 / (a * (r / (*median + e)) + 1.0));
      break;
    case DecorWeightFormula::kPowerRetention:
      p = std::pow(1.0 - std::fmin(std::fmax(r, 0.0), 1.0), gamma);
      break;
  }
  if (!(std::isfinite(p) && p >= 0.0))
    return Error("selected formula " + std::string(decor_weight_formula_name(weight_formula)) +
                 " produced an invalid penalty from redundancy " + text::format_f64(r));
  return p;
}

}  // namespace tarvelo::decor
