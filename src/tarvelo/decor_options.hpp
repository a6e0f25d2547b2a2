// Checks of the decor options shared by the cache provision and the method.
#pragma once

#include "tarvelo/core.hpp"
#include "tarvelo/error.hpp"

namespace tarvelo::decor {

// Checks alpha, gamma, threshold, penalty_floor and scale_epsilon in that
// order and returns the first failure. "Not negative" admits -0.0 but nothing
// else with the sign bit set; scale_epsilon must be > 0.
Status validate_decor_options(const DecorOptions& options);

}  // namespace tarvelo::decor
