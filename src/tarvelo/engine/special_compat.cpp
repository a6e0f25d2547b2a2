#include "tarvelo/engine/special_compat.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "tarvelo/base/numeric.hpp"

// Every expression below keeps the operand order of the reference code: the
// results are compared bit for bit (tools/special_compat_reference.py holds the
// same arithmetic in Python). Do not simplify algebraically.

namespace tarvelo::special_compat {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Lanczos approximation constants (g = 10.900511, 11 terms).
constexpr double kGammaR = 10.900511;
constexpr double kGammaDk[11] = {
    2.48574089138753565546e-5,  1.05142378581721974210,    -3.45687097222016235469,
    4.51227709466894823700,     -2.98285225323576655721,   1.05639711577126713077,
    -1.95428773191645869583e-1, 1.70970543404441224307e-2, -5.71926117404305781283e-4,
    4.63399473359905636708e-6,  -2.71994908488607703910e-9,
};
constexpr double kLnPi = 1.1447298858494001741434273513530587116472948129153;
constexpr double kLn2SqrtEOverPi = 0.6207822376352452223455184457816472122518527279025978;
constexpr double kE = 2.71828182845904523536028747135266250;
constexpr double kPi = 3.14159265358979323846264338327950288;

// 2^-53, the relative precision the continued fraction stops at.
constexpr double kF64Prec = 0.00000000000000011102230246251565;

// x^n by repeated squaring, the way integer powers are evaluated by the
// reference (compiler-rt's __powidf2), not by pow().
double powi(double a, int b) {
  const bool recip = b < 0;
  double r = 1.0;
  while (true) {
    if (b & 1) r *= a;
    b /= 2;
    if (b == 0) break;
    a *= a;
  }
  return recip ? 1.0 / r : r;
}

// x equals 1 within f64::EPSILON or within 4 units in the last place.
bool ulps_eq_one(double x) {
  if (std::fabs(x - 1.0) <= std::numeric_limits<double>::epsilon()) return true;
  if (std::signbit(x)) return false;
  const int64_t a = std::bit_cast<int64_t>(x);
  const int64_t b = std::bit_cast<int64_t>(1.0);
  const int64_t d = a > b ? a - b : b - a;
  return d <= 4;
}

// beta_reg without argument checks.
double beta_reg_unchecked(double a, double b, double x) {
  const double bt = (x == 0.0 || ulps_eq_one(x))
                        ? 0.0
                        : std::exp(ln_gamma(a + b) - ln_gamma(a) - ln_gamma(b) + a * std::log(x) +
                                   b * std::log(1.0 - x));
  const bool symm_transform = x >= (a + 1.0) / (a + b + 2.0);
  const double eps = kF64Prec;
  const double fpmin = std::numeric_limits<double>::min() / eps;

  if (symm_transform) {
    const double swap = a;
    x = 1.0 - x;
    a = b;
    b = swap;
  }

  const double qab = a + b;
  const double qap = a + 1.0;
  const double qam = a - 1.0;
  double c = 1.0;
  double d = 1.0 - qab * x / qap;
  if (std::fabs(d) < fpmin) d = fpmin;
  d = 1.0 / d;
  double h = d;

  for (int mi = 1; mi < 141; ++mi) {
    const double m = static_cast<double>(mi);
    const double m2 = m * 2.0;
    double aa = m * (b - m) * x / ((qam + m2) * (a + m2));
    d = 1.0 + aa * d;
    if (std::fabs(d) < fpmin) d = fpmin;
    c = 1.0 + aa / c;
    if (std::fabs(c) < fpmin) c = fpmin;
    d = 1.0 / d;
    h = h * d * c;
    aa = -(a + m) * (qab + m) * x / ((a + m2) * (qap + m2));
    d = 1.0 + aa * d;
    if (std::fabs(d) < fpmin) d = fpmin;
    c = 1.0 + aa / c;
    if (std::fabs(c) < fpmin) c = fpmin;
    d = 1.0 / d;
    const double del = d * c;
    h *= del;
    if (std::fabs(del - 1.0) <= eps) break;
  }
  return symm_transform ? 1.0 - bt * h / a : bt * h / a;
}

// The root of beta_reg(a, b, x) = alpha on [0, 1] by bisection: the CDF is
// monotone, so this always ends (after at most about 1100 halvings).
double bisect_beta_reg(double a, double b, double alpha) {
  double lo = 0.0;
  double hi = 1.0;
  while (true) {
    const double mid = lo + 0.5 * (hi - lo);
    if (!(mid > lo && mid < hi)) break;
    if (beta_reg_unchecked(a, b, mid) < alpha) {
      lo = mid;
    } else {
      hi = mid;
    }
  }
  return hi;
}

// More Newton rounds than the reference ever needs where it converges; past
// this the iteration is taken to be cycling.
constexpr int kMaxNewtonRounds = 10000;

}  // namespace

double ln_gamma(double x) {
  if (x < 0.5) {
    double s = kGammaDk[0];
    for (int i = 1; i < 11; ++i) s = s + kGammaDk[i] / (static_cast<double>(i) - x);
    return kLnPi - std::log(std::sin(kPi * x)) - std::log(s) - kLn2SqrtEOverPi -
           (0.5 - x) * std::log((0.5 - x + kGammaR) / kE);
  }
  double s = kGammaDk[0];
  for (int i = 1; i < 11; ++i) s = s + kGammaDk[i] / (x + static_cast<double>(i) - 1.0);
  return std::log(s) + kLn2SqrtEOverPi + (x - 0.5) * std::log((x - 0.5 + kGammaR) / kE);
}

double beta_reg(double a, double b, double x) {
  if (!(a > 0.0) || !(b > 0.0) || !(x >= 0.0 && x <= 1.0)) return kNaN;
  return beta_reg_unchecked(a, b, x);
}

// AS 64 starting value, AS 109 Newton iteration with the AS R19 and AS R83
// remarks (step halving by thirds, accuracy from the shape and alpha).
double inv_beta_reg(double a, double b, double x) {
  if (!(a > 0.0) || !(b > 0.0) || !(x >= 0.0 && x <= 1.0)) return kNaN;
  const double ln_beta = ln_gamma(a) + ln_gamma(b) - ln_gamma(a + b);

  constexpr int kSae = -30;
  constexpr double kFpu = 1e-30;

  if (x == 0.0) return 0.0;
  if (x == 1.0) return 1.0;

  double p;
  double q;
  const bool flip = 0.5 < x;
  if (flip) {
    p = a;
    a = b;
    b = p;
    x = 1.0 - x;
  }

  p = std::sqrt(-std::log(x * x));
  q = p - (2.30753 + 0.27061 * p) / (1.0 + (0.99229 + 0.04481 * p) * p);

  if (1.0 < a && 1.0 < b) {
    const double r = (q * q - 3.0) / 6.0;
    const double s = 1.0 / (2.0 * a - 1.0);
    const double t = 1.0 / (2.0 * b - 1.0);
    const double h = 2.0 / (s + t);
    const double w = q * std::sqrt(h + r) / h - (t - s) * (r + 5.0 / 6.0 - 2.0 / (3.0 * h));
    p = a / (a + b * std::exp(2.0 * w));
  } else {
    double t = 1.0 / (9.0 * b);
    t = 2.0 * b * std::pow(1.0 - t + q * std::sqrt(t), 3.0);
    if (t <= 0.0) {
      p = 1.0 - std::exp((std::log((1.0 - x) * b) + ln_beta) / b);
    } else {
      t = 2.0 * (2.0 * a + b - 1.0) / t;
      if (t <= 1.0) {
        p = std::exp((std::log(x * a) + ln_beta) / a);
      } else {
        p = 1.0 - 2.0 / (t + 1.0);
      }
    }
  }

  // Rust's f64::clamp (a NaN start stays NaN and ends in the fallback below).
  if (p < 0.0001) p = 0.0001;
  if (p > 0.9999) p = 0.9999;

  const int e = saturating_cast<int32_t>(-5.0 / a / a - 1.0 / std::pow(x, 0.2) - 13.0);
  const double acu = e > kSae ? powi(10.0, e) : kFpu;

  double pnext = p;
  double qprev = 0.0;
  double sq = 1.0;
  double prev = 1.0;
  bool fallback = true;

  for (int round = 0; round < kMaxNewtonRounds; ++round) {
    q = beta_reg_unchecked(a, b, p);
    q = (q - x) * std::exp(ln_beta + (1.0 - a) * std::log(p) + (1.0 - b) * std::log(1.0 - p));
    // An infinite or NaN correction makes every step below too large forever
    // (the reference loops without end here); finish by bisection instead.
    if (!std::isfinite(q)) break;

    if (q * qprev <= 0.0) prev = sq > kFpu ? sq : kFpu;

    double g = 1.0;
    bool done = false;
    while (true) {
      // With a finite q the step g * q shrinks to 0 as g does, so this ends
      // with pnext = p at the latest.
      while (true) {
        const double adj = g * q;
        sq = adj * adj;
        if (sq < prev) {
          pnext = p - adj;
          if (pnext >= 0.0 && pnext <= 1.0) break;
        }
        g /= 3.0;
      }
      if (prev <= acu || q * q <= acu) {
        done = true;
        break;
      }
      if (pnext != 0.0 && pnext != 1.0) break;
      g /= 3.0;
    }
    if (done) {
      p = pnext;
      fallback = false;
      break;
    }
    if (pnext == p) {
      fallback = false;
      break;
    }
    p = pnext;
    qprev = q;
  }

  if (fallback) p = bisect_beta_reg(a, b, x);
  return flip ? 1.0 - p : p;
}

double trigamma(double x) {
  if (!(x > 0.0)) return kNaN;
  // Bernoulli numbers B2 .. B16: psi'(x) ~ 1/x + 1/(2x^2) + sum B2j / x^(2j+1).
  constexpr double kB[8] = {
      0.16666666666666666, -0.03333333333333333, 0.023809523809523808, -0.03333333333333333,
      0.07575757575757576, -0.2531135531135531,  1.1666666666666667,   -7.092156862745098,
  };
  double result = 0.0;
  while (x < 8.0) {
    result += (1.0 / x) * (1.0 / x);
    x += 1.0;
  }
  const double t = 1.0 / x;
  const double w = t * t;
  double poly = kB[7];
  for (int i = 6; i >= 0; --i) poly = poly * w + kB[i];
  result += t + 0.5 * w + t * w * poly;
  return result;
}

}  // namespace tarvelo::special_compat
