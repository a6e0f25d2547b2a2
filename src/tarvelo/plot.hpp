// Plot rendering: the shared raster, font, formatting and PNG pieces, and the
// enrichment-curve plot.
#pragma once

#include <string>

#include "tarvelo/plot_canvas.hpp"
#include "tarvelo/plot_enrichment.hpp"
#include "tarvelo/plot_png.hpp"
#include "tarvelo/plot_text.hpp"

namespace tarvelo::plot {

// A p-value as "m.de±x" with the exponent's "+" and leading zeros dropped:
// 0.00012 -> "1.2e-4", 12000 -> "1.2e4", 5 -> "5.0e0"; "NA" for NaN and
// infinities, "0" for zeros. The mantissa is not renormalised after rounding
// (0.0996 -> "10.0e-2").
std::string format_scientific_value(double v);

// The value with exactly `decimals` digits after the point ("%.*f").
std::string format_fixed(double v, int decimals);

}  // namespace tarvelo::plot
