// Lowess follows statsmodels' _smoothers_lowess (it = 3, delta = 0) operation
// for operation, so that the null-model curves equal the reference pipeline's.
#include "tarvelo/blitz/smoothing.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "tarvelo/blitz/compat.hpp"
#include "tarvelo/base/numeric.hpp"

namespace tarvelo::blitz::smoothing {
namespace {

constexpr int kRobustnessIterations = 3;

// Tricube weight of a scaled distance d in [0, 1].
double tricube(double d) {
  const double u = 1.0 - d * (d * d);
  return u * (u * u);
}

}  // namespace

double LinearInterp::at(double x) const {
  const size_t n = x_.size();
  if (n == 0) return std::numeric_limits<double>::quiet_NaN();
  if (y_.size() < n) internal_fault("LinearInterp has fewer y values than knots");
  if (n == 1) return y_[0];
  if (std::isnan(x)) internal_fault("LinearInterp::at called with NaN");
  // First knot >= x. Knots are checked for NaN as the search meets them: a NaN
  // knot would make the order meaningless.
  size_t j = 0;
  {
    size_t lo = 0, hi = n;
    while (lo < hi) {
      const size_t mid = lo + (hi - lo) / 2;
      if (std::isnan(x_[mid])) internal_fault("LinearInterp has a NaN knot");
      if (x_[mid] < x) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    j = lo;
  }
  j = std::clamp<size_t>(j, 1, n - 1);
  const double x0 = x_[j - 1], x1 = x_[j];
  const double y0 = y_[j - 1], y1 = y_[j];
  if (x1 == x0) return y0;
  return ((x1 - x) / (x1 - x0)) * y0 + ((x - x0) / (x1 - x0)) * y1;
}

Result<LinearInterp> lowess_interpolation(std::span<const double> x, std::span<const double> y,
                                          double frac) {
  const size_t n = x.size();
  if (y.size() < n) internal_fault("lowess: fewer y values than x values");
  std::vector<double> xs(x.begin(), x.end());
  if (n < 3) {
    return LinearInterp(std::move(xs), std::vector<double>(y.begin(), y.begin() + n));
  }

  // Window size, rounded up when frac * n is within 1e-10 below an integer.
  size_t k = saturating_cast<size_t>(std::floor(frac * static_cast<double>(n) + 1e-10));
  k = std::min(std::max<size_t>(k, 2), n);

  std::vector<double> rw(n, 1.0);
  std::vector<double> fitted(n);
  std::vector<double> w(k);
  std::vector<double> residuals(n);
  for (int pass = 0; pass <= kRobustnessIterations; ++pass) {
    std::fill(fitted.begin(), fitted.end(), 0.0);
    size_t left = 0, right = k;
    for (size_t i = 0; i < n; ++i) {
      const double xi = x[i];
      while (right < n && xi > (x[left] + x[right]) / 2.0) {
        ++left;
        ++right;
      }
      const double radius = std::fmax(xi - x[left], x[right - 1] - xi);
      size_t count = 0;
      for (size_t j = left; j < right; ++j) {
        const double d = std::clamp(std::fabs(x[j] - xi) / radius, 0.0, 1.0);
        const double wj = tricube(d) * rw[j];
        w[j - left] = wj;
        if (wj > 1e-12) ++count;
      }
      const std::span<const double> window(w.data(), right - left);
      const double total = compat::numpy_pairwise_sum_f64(window);
      if (!(total <= 0.0) && count >= 2) {
        for (size_t j = 0; j < window.size(); ++j) w[j] /= total;
        double xbar = -0.0;
        for (size_t j = left; j < right; ++j) xbar += w[j - left] * x[j];
        double v = -0.0;
        for (size_t j = left; j < right; ++j) {
          const double dx = x[j] - xbar;
          v += w[j - left] * (dx * dx);
        }
        v = std::fmax(v, 1e-12);
        double fit = -0.0;
        for (size_t j = left; j < right; ++j) {
          fit += y[j] * (w[j - left] * (((xi - xbar) * (x[j] - xbar)) / v + 1.0));
        }
        fitted[i] = fit;
      } else {
        fitted[i] = y[i];
      }
    }
    if (pass == kRobustnessIterations) break;

    // Robustness weights: bisquare of the residuals in units of six times
    // their median.
    for (size_t i = 0; i < n; ++i) residuals[i] = std::fabs(y[i] - fitted[i]);
    for (double e : residuals) {
      // The median needs a total order; a NaN residual (a non-finite input)
      // has no place in it.
      if (std::isnan(e)) return Error("lowess smoothing met a NaN residual");
    }
    std::vector<double> sorted = residuals;
    std::sort(sorted.begin(), sorted.end());
    const double median = n % 2 == 1 ? sorted[n / 2]
                                     : (sorted[n / 2 - 1] + sorted[n / 2]) * 0.5;
    for (size_t i = 0; i < n; ++i) {
      if (median == 0.0) {
        rw[i] = y[i] == fitted[i] ? 1.0 : 0.0;
      } else {
        const double u = std::fmin(residuals[i] / (6.0 * median), 1.0);
        const double t = 1.0 - u * u;
        rw[i] = t * t;
      }
    }
  }
  return LinearInterp(std::move(xs), std::move(fitted));
}

}  // namespace tarvelo::blitz::smoothing
