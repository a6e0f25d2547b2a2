// Number formatting and argument checks shared by the two plots.
#pragma once

#include <cstdint>
#include <string>

#include "tarvelo/base/error.hpp"

namespace tarvelo::plot {

// A p-value as "m.de±x" with the exponent's "+" and leading zeros dropped:
// 0.00012 -> "1.2e-4", 12000 -> "1.2e4", 5 -> "5.0e0"; "NA" for NaN and
// infinities, "0" for zeros. The mantissa is not renormalised after rounding
// (0.0996 -> "10.0e-2").
std::string format_scientific_value(double v);

// The value with exactly `decimals` digits after the point ("%.*f"); NaN,
// inf and -inf for the non-finite values.
std::string format_fixed(double v, int decimals);

// Fails unless gsea_param is finite and not negative (-0.0 passes).
Status check_gsea_param(double gsea_param);

// The x coordinate of rank p on an axis of `span` pixels starting at
// `origin`, for a ranking of n genes: (p / n) * span + origin in f32.
inline float rank_to_x(uint64_t p, uint64_t n, int64_t span, int64_t origin) {
  return static_cast<float>(p) / static_cast<float>(n) * static_cast<float>(span) +
         static_cast<float>(origin);
}

}  // namespace tarvelo::plot
