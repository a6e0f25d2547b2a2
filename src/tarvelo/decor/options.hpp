// Options of the correlation-aware method "decor": correlation and redundancy
// kinds, cache modes, weight formulas and their parameters, and their checks.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tarvelo/engine/records.hpp"
#include "tarvelo/base/choice.hpp"
#include "tarvelo/base/error.hpp"

namespace tarvelo::decor {

// Correlation kind a decor cache was built with.
enum class DecorCorrelation : uint8_t {
  kPearson = 0,
  kSpearman = 1,
};
inline constexpr std::array<Choice<DecorCorrelation>, 2> kDecorCorrelations = {{
    {"pearson", DecorCorrelation::kPearson}, {"spearman", DecorCorrelation::kSpearman}}};
inline constexpr std::string_view decor_correlation_name(DecorCorrelation c) {
  return choice_name(c, kDecorCorrelations);
}

// How a gene's correlations with the other pathway genes are averaged.
enum class DecorRedundancy : uint8_t {
  kPositiveMean = 0,  // mean of max(r, 0)
  kAbsMean = 1,       // mean of |r|
};
inline constexpr std::array<Choice<DecorRedundancy>, 2> kDecorRedundancies = {{
    {"positive_mean", DecorRedundancy::kPositiveMean}, {"abs_mean", DecorRedundancy::kAbsMean}}};
inline constexpr std::string_view decor_redundancy_name(DecorRedundancy r) {
  return choice_name(r, kDecorRedundancies);
}

// Whether an existing decor cache file is reused or rebuilt.
enum class DecorCacheMode : uint8_t {
  kAuto = 0,     // reuse a compatible cache, else build when possible
  kReuse = 1,    // the cache must exist and be compatible
  kRebuild = 2,  // always build from the expression matrix
};
inline constexpr std::array<Choice<DecorCacheMode>, 3> kDecorCacheModes = {{
    {"auto", DecorCacheMode::kAuto},
    {"reuse", DecorCacheMode::kReuse},
    {"rebuild", DecorCacheMode::kRebuild}}};

// Formula turning a redundancy into a weight penalty.
enum class DecorWeightFormula : uint8_t {
  kRawRational = 0,
  kScaledRational = 1,
  kQ75ScaledRational = 2,
  kExpScaled = 3,
  kOddsRational = 4,
  kThresholdRational = 5,
  kQuantileRational = 6,
  kFloorScaledRational = 7,
  kPowerRetention = 8,
};
inline constexpr std::array<Choice<DecorWeightFormula>, 9> kDecorWeightFormulas = {{
    {"raw-rational", DecorWeightFormula::kRawRational},
    {"scaled-rational", DecorWeightFormula::kScaledRational},
    {"q75-scaled-rational", DecorWeightFormula::kQ75ScaledRational},
    {"exp-scaled", DecorWeightFormula::kExpScaled},
    {"odds-rational", DecorWeightFormula::kOddsRational},
    {"threshold-rational", DecorWeightFormula::kThresholdRational},
    {"quantile-rational", DecorWeightFormula::kQuantileRational},
    {"floor-scaled-rational", DecorWeightFormula::kFloorScaledRational},
    {"power-retention", DecorWeightFormula::kPowerRetention}}};
inline constexpr std::string_view decor_weight_formula_name(DecorWeightFormula f) {
  return choice_name(f, kDecorWeightFormulas);
}

// Parameters of the method "decor". The numeric defaults are the "balanced"
// preset's; the Python layer always applies a preset afterwards.
struct DecorOptions {
  std::optional<std::string> cache_path;       // decor cache file
  std::optional<std::string> expression_path;  // expression matrix file
  double alpha = 60.0;          // strength of the penalty
  double gamma = 1.0;           // exponent of power-retention
  double threshold = 0.04;      // redundancy below which threshold-rational is 1
  double penalty_floor = 0.0;   // lowest penalty of floor-scaled-rational
  double scale_epsilon = 1e-12; // added to a scale before dividing by it
  DecorCorrelation correlation = DecorCorrelation::kPearson;
  DecorRedundancy redundancy = DecorRedundancy::kPositiveMean;
  DecorCacheMode cache_mode = DecorCacheMode::kAuto;
  DecorWeightFormula weight_formula = DecorWeightFormula::kThresholdRational;
};


// "Not negative" admits -0.0 (-0.0 >= 0 holds) and rejects NaN (it fails
// every comparison), the infinities and every negative value.
inline bool finite_not_negative(double x) { return std::isfinite(x) && x >= 0.0; }
// Finite, not negative and below 1.
inline bool finite_fraction(double x) { return finite_not_negative(x) && x < 1.0; }

// Checks alpha, gamma, threshold, penalty_floor and scale_epsilon in that
// order and returns the first failure. "Not negative" admits -0.0 but nothing
// else with the sign bit set; scale_epsilon must be > 0.
Status validate_decor_options(const DecorOptions& options);

}  // namespace tarvelo::decor
