#include "tarvelo/blitz/smoothing.hpp"

#include <limits>

namespace tarvelo::blitz::smoothing {

double LinearInterp::at(double) const { return std::numeric_limits<double>::quiet_NaN(); }

Result<LinearInterp> lowess_interpolation(std::span<const double> x, std::span<const double> y,
                                          double) {
  return LinearInterp(std::vector<double>(x.begin(), x.end()),
                      std::vector<double>(y.begin(), y.begin() + x.size()));
}

}  // namespace tarvelo::blitz::smoothing
