#include "tarvelo/decor_options.hpp"

#include <cmath>

namespace tarvelo::decor {

namespace {

// -0.0 >= 0 holds and NaN fails every comparison, which is exactly the rule.
bool finite_not_negative(double x) { return std::isfinite(x) && x >= 0.0; }

}  // namespace

Status validate_decor_options(const DecorOptions& o) {
  if (!finite_not_negative(o.alpha)) {
    return Error("decor alpha must be a finite value >= 0");
  }
  if (!finite_not_negative(o.gamma)) {
    return Error("decor gamma must be a finite value >= 0");
  }
  if (!(finite_not_negative(o.threshold) && o.threshold < 1.0)) {
    return Error("decor threshold must be a finite value >= 0 and < 1");
  }
  if (!(finite_not_negative(o.penalty_floor) && o.penalty_floor < 1.0)) {
    return Error("decor penalty floor must be a finite value >= 0 and < 1");
  }
  if (!(std::isfinite(o.scale_epsilon) && o.scale_epsilon > 0.0)) {
    return Error("decor scale epsilon must be a finite value > 0");
  }
  return ok_status();
}

}  // namespace tarvelo::decor
