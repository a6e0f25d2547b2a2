// statsmodels-compatible lowess smoothing and the piecewise-linear curves the
// blitz null model is made of.
#pragma once

#include <span>
#include <vector>

#include "tarvelo/base/error.hpp"

namespace tarvelo::blitz::smoothing {

// A piecewise-linear curve through (x[i], y[i]); x ascending. Evaluation
// extends the end segments instead of clamping.
class LinearInterp {
 public:
  LinearInterp() = default;
  LinearInterp(std::vector<double> x, std::vector<double> y) : x_(std::move(x)), y_(std::move(y)) {}

  // NaN with no points, the single y with one point. A NaN x (or NaN knots)
  // is a broken invariant and throws InternalError.
  double at(double x) const;

  const std::vector<double>& x() const { return x_; }
  const std::vector<double>& y() const { return y_; }

 private:
  std::vector<double> x_;
  std::vector<double> y_;
};

// statsmodels.nonparametric.lowess(y, x, frac, it=3, delta=0) wrapped as a curve
// over x. x must be ascending and y at least as long as x. Fewer than three
// points are returned unsmoothed. Fails when a robustness residual is NaN (the
// median of the residuals would be undefined).
Result<LinearInterp> lowess_interpolation(std::span<const double> x, std::span<const double> y,
                                          double frac);

}  // namespace tarvelo::blitz::smoothing

namespace tarvelo::blitz {
using smoothing::LinearInterp;
}  // namespace tarvelo::blitz
