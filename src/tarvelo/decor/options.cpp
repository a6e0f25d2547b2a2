#include "tarvelo/decor/options.hpp"

#include <cmath>
#include <string>

namespace tarvelo::decor {

namespace {

// "{name} must be a finite value >= 0", with " and < 1" for a fraction.
Status check_field(double value, bool fraction, const char* name) {
  if (fraction ? finite_fraction(value) : finite_not_negative(value)) return ok_status();
  return Error(std::string(name) + " must be a finite value >= 0" + (fraction ? " and < 1" : ""));
}

}  // namespace

Status validate_decor_options(const DecorOptions& o) {
  TARVELO_TRY(check_field(o.alpha, false, "decor alpha"));
  TARVELO_TRY(check_field(o.gamma, false, "decor gamma"));
  TARVELO_TRY(check_field(o.threshold, true, "decor threshold"));
  TARVELO_TRY(check_field(o.penalty_floor, true, "decor penalty floor"));
  if (!(std::isfinite(o.scale_epsilon) && o.scale_epsilon > 0.0)) {
    return Error("decor scale epsilon must be a finite value > 0");
  }
  return ok_status();
}

}  // namespace tarvelo::decor
