#include "tarvelo/decor/tuning.hpp"

#include <cmath>
#include <string>

#include "tarvelo/decor/options.hpp"
#include "tarvelo/base/text.hpp"

namespace tarvelo::decor {
namespace {

struct PresetRow {
  std::string_view name;
  double alpha;
  double threshold;
  DecorWeightFormula formula;
};

// The strict alpha is one ulp below the double nearest ln 10; the literal
// below parses to exactly that value (bits 0x40026BB1BBB55515).
constexpr PresetRow kPresets[] = {
    {"sensitive", 22.0, 0.0, DecorWeightFormula::kRawRational},
    {"balanced", 60.0, 0.04, DecorWeightFormula::kThresholdRational},
    {"specific", 65.0, 0.05, DecorWeightFormula::kThresholdRational},
    {"strict", 2.3025850929940455, 0.0, DecorWeightFormula::kExpScaled},
};

// The formulas a caller may select by name; the others are reached only
// through their parameters' defaults.
constexpr std::array<Choice<DecorWeightFormula>, 3> kSelectableFormulas = {{
    {"raw-rational", DecorWeightFormula::kRawRational},
    {"exp-scaled", DecorWeightFormula::kExpScaled},
    {"threshold-rational", DecorWeightFormula::kThresholdRational}}};

void apply_row(DecorOptions& o, const PresetRow& row) {
  o.alpha = row.alpha;
  o.threshold = row.threshold;
  o.weight_formula = row.formula;
  o.gamma = 1.0;
  o.penalty_floor = 0.0;
}

// Lower-cases A to Z only; every other byte (UTF-8 included) is unchanged.
std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// Writes a given value to *field after the check of `fraction` (finite, not
// negative, and below 1 when it is a fraction); nothing given, nothing done.
Status override_field(std::optional<double> value, bool fraction, const char* keyword,
                      double* field) {
  if (!value) return ok_status();
  if (!(fraction ? finite_fraction(*value) : finite_not_negative(*value))) {
    return Error::value(std::string(keyword) + " must be a finite numeric value >= 0" +
                        (fraction ? " and < 1." : "."));
  }
  *field = *value;
  return ok_status();
}

}  // namespace

Status apply_decor_release_tuning(DecorOptions& options, std::optional<std::string_view> preset,
                                  std::optional<double> stringency) {
  if (preset && stringency)
    return Error::value("Use either decor_preset or decor_stringency, not both.");
  if (stringency) {
    const double s = *stringency;
    if (!(std::isfinite(s) && s >= 0.0 && s <= 100.0))
      return Error::value("Invalid decor stringency '" + text::format_f64(s) +
                          "'. Expected a finite value from 0 to 100.");
    const size_t row = s < 35.0 ? 0 : s < 65.0 ? 1 : s < 85.0 ? 2 : 3;
    apply_row(options, kPresets[row]);
    return ok_status();
  }
  const std::string name = ascii_lower(preset.value_or("balanced"));
  for (const PresetRow& row : kPresets) {
    if (name == row.name) {
      apply_row(options, row);
      return ok_status();
    }
  }
  return Error::value("Invalid decor preset '" + name +
                      "'. Expected one of: sensitive, balanced, specific, strict.");
}

Status apply_decor_formula_overrides(DecorOptions& options,
                                     std::optional<std::string_view> weight_formula,
                                     std::optional<double> alpha, std::optional<double> threshold,
                                     std::optional<double> gamma,
                                     std::optional<double> penalty_floor, double scale_epsilon) {
  if (weight_formula) {
    TARVELO_ASSIGN_OR_RETURN(options.weight_formula,
                             parse_choice("decor weight formula", ascii_lower(*weight_formula),
                                          kSelectableFormulas));
  }
  TARVELO_TRY(override_field(alpha, false, "decor_alpha", &options.alpha));
  TARVELO_TRY(override_field(threshold, true, "decor_threshold", &options.threshold));
  TARVELO_TRY(override_field(gamma, false, "decor_gamma", &options.gamma));
  TARVELO_TRY(override_field(penalty_floor, true, "decor_penalty_floor", &options.penalty_floor));
  if (!(std::isfinite(scale_epsilon) && scale_epsilon > 0.0))
    return Error::value("decor_scale_epsilon must be a finite numeric value > 0.");
  options.scale_epsilon = scale_epsilon;
  return ok_status();
}

}  // namespace tarvelo::decor
