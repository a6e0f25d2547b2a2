// Filling DecorOptions from the analysis call's decor keywords: the presets
// (or a numeric stringency) first, then the explicit formula overrides.
//
// Both steps report rejected values as Error::value (the Python layer raises
// ValueError with the message). A failed step leaves the fields written before
// the failure in place; the call fails as a whole, so nothing reads them.
#pragma once

#include <optional>
#include <string_view>

#include "tarvelo/engine/records.hpp"
#include "tarvelo/decor/options.hpp"
#include "tarvelo/base/error.hpp"

namespace tarvelo::decor {

// Applies a preset row ("sensitive", "balanced", "specific", "strict"; ASCII
// letters are lower-cased) or the row of a stringency in [0, 100]. Neither
// given means "balanced"; both given is an error. A row writes alpha,
// threshold and weight_formula and resets gamma to 1 and penalty_floor to 0.
Status apply_decor_release_tuning(DecorOptions& options, std::optional<std::string_view> preset,
                                  std::optional<double> stringency);

// Applies the given overrides in the order weight formula, alpha, threshold,
// gamma, penalty floor, scale epsilon (always given); the first rejected
// value ends the call. Only raw-rational, exp-scaled and threshold-rational
// can be chosen here.
Status apply_decor_formula_overrides(DecorOptions& options,
                                     std::optional<std::string_view> weight_formula,
                                     std::optional<double> alpha, std::optional<double> threshold,
                                     std::optional<double> gamma,
                                     std::optional<double> penalty_floor, double scale_epsilon);

}  // namespace tarvelo::decor
