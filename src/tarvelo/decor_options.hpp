// Checks of the decor options shared by the cache provision and the method.
#pragma once

#include <cmath>

#include "tarvelo/core.hpp"
#include "tarvelo/error.hpp"

namespace tarvelo::decor {

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
