// The gamma fit follows scipy.stats.gamma.fit(data, floc=0) on float32 data as
// numpy >= 2 evaluates it: the sample statistics and the initial shape stay in
// float32 (NEP 50 keeps Python scalars "weak"), Brent's method runs in double.
// The digamma routines are ported from scipy's xsf (digamma.h, cephes/psi.h).
#include "tarvelo/blitz/fit.hpp"

#include <cmath>
#include <limits>

#include "tarvelo/blitz/compat.hpp"
#include "tarvelo/blitz/blitz_gamma.hpp"
#include "tarvelo/base/numeric.hpp"

namespace tarvelo::blitz {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kEpsilon = std::numeric_limits<double>::epsilon();  // 2^-52
constexpr double kEuler = 0.577215664901532860606512090082402431;

// Location of digamma's negative root and digamma's value there.
constexpr double kNegRoot = -0.504083008264455409;
constexpr double kNegRootVal = 7.2897639029768949e-17;

// Taylor series of digamma around its negative root, with the coefficients
// from Hurwitz zeta values (scipy's digamma_zeta_series).
double digamma_root_series(double x) {
  double res = kNegRootVal;
  double coeff = -1.0;
  const double z = x - kNegRoot;
  for (int n = 1; n < 100; n++) {
    coeff *= -z;
    const double term = coeff * blitz_gamma::zeta(n + 1, kNegRoot);
    res += term;
    if (std::fabs(term) < kEpsilon * std::fabs(res)) break;
  }
  return res;
}

double polevl(double x, const double* coef, int n) {
  double ans = *coef++;
  do {
    ans = ans * x + *coef++;
  } while (--n);
  return ans;
}

// The IEEE conversion of a double to float, without the undefined behaviour
// C++ gives a cast of a value beyond the float range.
float to_f32(double v) {
  constexpr double kMax = std::numeric_limits<float>::max();
  // Halfway between FLT_MAX and 2^128: from here on the nearest is infinity
  // (the tie goes to the even neighbour, which is infinity).
  constexpr double kOverflow = 340282356779733661637539395458142568448.0;
  if (v >= kOverflow) return std::numeric_limits<float>::infinity();
  if (v <= -kOverflow) return -std::numeric_limits<float>::infinity();
  if (v > kMax) return std::numeric_limits<float>::max();
  if (v < -kMax) return -std::numeric_limits<float>::max();
  return static_cast<float>(v);
}

}  // namespace

double scipy_psi_asy(double x) {
  static constexpr double kA[] = {8.33333333333333333333E-2,  -2.10927960927960927961E-2,
                                  7.57575757575757575758E-3,  -4.16666666666666666667E-3,
                                  3.96825396825396825397E-3,  -8.33333333333333333333E-3,
                                  8.33333333333333333333E-2};
  double y;
  if (x < 1.0e17) {
    const double z = 1.0 / (x * x);
    y = z * polevl(z, kA, 6);
  } else {
    y = 0.0;
  }
  return std::log(x) - (0.5 / x) - y;
}

double scipy_digamma_imp_1_2(double x) {
  // digamma(x) = (x - root) (Y + R(x - 1)) with the positive root in three
  // parts and R optimised for low absolute error against Y.
  static constexpr float kY = 0.99558162689208984f;
  static constexpr double kRoot1 = 1569415565.0 / 1073741824.0;
  static constexpr double kRoot2 = (381566830.0 / 1073741824.0) / 1073741824.0;
  static constexpr double kRoot3 = 0.9016312093258695918615325266959189453125e-19;
  static constexpr double kP[] = {-0.0020713321167745952, -0.045251321448739056,
                                  -0.28919126444774784,   -0.65031853770896507,
                                  -0.32555031186804491,   0.25479851061131551};
  static constexpr double kQ[] = {-0.55789841321675513e-6, 0.0021284987017821144,
                                  0.054151797245674225,    0.43593529692665969,
                                  1.4606242909763515,      2.0767117023730469,
                                  1.0};
  double g = x - kRoot1;
  g -= kRoot2;
  g -= kRoot3;
  const double r = polevl(x - 1.0, kP, 5) / polevl(x - 1.0, kQ, 6);
  return g * kY + g * r;
}

double scipy_digamma(double x) {
  if (std::fabs(x - kNegRoot) < 0.3) return digamma_root_series(x);

  double y = 0.0;
  if (std::isnan(x)) return x;
  if (x == std::numeric_limits<double>::infinity()) return x;
  if (x == -std::numeric_limits<double>::infinity()) return std::numeric_limits<double>::quiet_NaN();
  if (x == 0) return std::copysign(std::numeric_limits<double>::infinity(), -x);
  if (x < 0.0) {
    double q;
    const double r = std::modf(x, &q);
    if (r == 0.0) return std::numeric_limits<double>::quiet_NaN();
    y = -kPi / std::tan(kPi * r);
    x = 1.0 - x;
  }
  if ((x <= 10.0) && (x == std::floor(x))) {
    // x is 1..10 here.
    const int n = saturating_cast<int>(x);
    for (int i = 1; i < n; i++) y += 1.0 / i;
    y -= kEuler;
    return y;
  }
  if (x < 1.0) {
    y -= 1.0 / x;
    x += 1.0;
  } else if (x < 10.0) {
    while (x > 2.0) {
      x -= 1.0;
      y += 1.0 / x;
    }
  }
  if ((1.0 <= x) && (x <= 2.0)) return y + scipy_digamma_imp_1_2(x);
  return y + scipy_psi_asy(x);
}

Result<GammaFit> fit_gamma_floc0_with_scratch(std::span<const double> sample,
                                              GammaFitScratch& scratch) {
  scratch.kept.clear();
  scratch.rounded.clear();
  scratch.logs.clear();
  for (double v : sample) {
    if (std::isfinite(v) && v > 0.0) scratch.kept.push_back(v);
  }
  if (scratch.kept.empty()) {
    return Error("cannot fit gamma distribution to an empty positive sample.");
  }
  for (double v : scratch.kept) scratch.rounded.push_back(to_f32(v));
  for (float v : scratch.rounded) scratch.logs.push_back(compat::numpy_log_f32(v));

  const float nf = static_cast<float>(scratch.kept.size());
  const float mean = compat::numpy_pairwise_sum_f32(scratch.rounded) / nf;
  const float meanlog = compat::numpy_pairwise_sum_f32(scratch.logs) / nf;
  const float s = compat::numpy_log_f32(mean) - meanlog;

  // Closed-form initial estimate (Minka), each step rounded to float32.
  const float d = s + -3.0f;
  const float a0 = ((3.0f - s) + std::sqrt(d * d + 24.0f * s)) / (12.0f * s);
  const double lo = static_cast<double>(a0 * 0.6f);
  const double hi = static_cast<double>(a0 * 1.4f);

  const double s64 = static_cast<double>(s);
  auto g = [s64](double a) { return (std::log(a) - scipy_digamma(a)) - s64; };
  const double glo = g(lo);
  double shape;
  if (glo == 0.0) {
    shape = lo;
  } else {
    const double ghi = g(hi);
    if (ghi == 0.0) {
      shape = hi;
    } else if (std::isfinite(glo) && std::isfinite(ghi) &&
               std::signbit(glo) != std::signbit(ghi)) {
      shape = brentq(g, lo, hi, glo, ghi);
    } else {
      // No sign change (or a non-finite end, as for a degenerate sample with
      // s = 0): scipy would raise; the calibration takes the midpoint.
      shape = (lo + hi) * 0.5;
    }
  }
  const float scale = mean / to_f32(shape);
  return GammaFit{shape, static_cast<double>(scale)};
}

}  // namespace tarvelo::blitz
