#include "tarvelo/blitz/tail.hpp"

#include <cmath>
#include <limits>

#include "tarvelo/blitz/blitz_gamma.hpp"
#include "tarvelo/blitz/blitz_mpmath.hpp"

namespace tarvelo::blitz {
namespace {

using blitz_mpmath::Hp;

// The double result is trusted only inside this range; outside it the tail
// 1 - cdf (or cdf itself) has lost too many digits.
constexpr double kLowestTrusted = 1e-11;
constexpr double kHighestTrusted = 0.999999999;

// P(shape, z) with scipy's igam branch choice, for valid finite positive
// arguments.
double lower_regularized_gamma(double shape, double z) {
  const double d = std::fabs(z - shape) / shape;
  if ((shape > 20 && shape < 200 && d < 0.3) || (shape > 200 && d < 4.5 / std::sqrt(shape))) {
    return blitz_gamma::asymptotic_series(false, shape, z);
  }
  if (z > 1 && z > shape) return 1.0 - blitz_gamma::igamc(shape, z);
  return blitz_gamma::igam_series(shape, z);
}

Result<GammaTail> high_precision_tail(int side, double x, double shape, double scale,
                                      double frac, uint64_t dps) {
  // The mixture below works on the cdf at the same wide range.
  const blitz_mpmath::WideExponentRange range;
  TARVELO_ASSIGN_OR_RETURN(blitz_mpmath::GammaCdf g,
                           blitz_mpmath::gammacdf(dps, x, shape, scale));
  // gammacdf has checked dps against its cap, so dps + 1 cannot overflow.
  const uint64_t p = blitz_mpmath::word_precision(blitz_mpmath::nominal_precision(dps + 1));
  const Hp one = Hp::from_u64(1, p);
  const Hp half = Hp::from_f64(0.5, p);
  const Hp two = Hp::from_u64(2, p);
  const Hp f = Hp::from_f64(frac, p);
  const Hp& c = g.cdf;

  Hp t(p);
  if (side == 0) {
    TARVELO_ASSIGN_OR_RETURN(Hp fc, Hp::mul(p, f, c));
    TARVELO_ASSIGN_OR_RETURN(t, Hp::add(p, fc, one));
    TARVELO_ASSIGN_OR_RETURN(t, Hp::sub(p, t, f));
  } else {
    TARVELO_ASSIGN_OR_RETURN(Hp fc, Hp::mul(p, f, c));
    TARVELO_ASSIGN_OR_RETURN(Hp c_minus_fc, Hp::sub(p, c, fc));
    TARVELO_ASSIGN_OR_RETURN(t, Hp::add(p, f, c_minus_fc));
  }
  if (t.compare(one) > 0) t = one;
  TARVELO_ASSIGN_OR_RETURN(Hp tail, Hp::sub(p, one, t));
  if (tail.compare(half) > 0) tail = half;
  if (side != 0 && tail.compare(half) == 0) {
    TARVELO_ASSIGN_OR_RETURN(tail, Hp::sub(p, half, c));
  }
  TARVELO_ASSIGN_OR_RETURN(Hp pval, Hp::mul(p, two, tail));
  if (pval.compare(one) > 0) pval = one;

  GammaTail out;
  out.flag = 1;
  if (pval.is_zero()) {
    TARVELO_ASSIGN_OR_RETURN(Hp sf, Hp::sub(p, one, c));
    TARVELO_ASSIGN_OR_RETURN(out.cdf, Hp::render_f64(c));
    TARVELO_ASSIGN_OR_RETURN(out.sf, Hp::render_f64(sf));
    out.tail = 0.0;
    out.pval = 0.0;
    return out;
  }
  out.cdf = g.cdf_f64;
  out.sf = g.sf_f64;
  TARVELO_ASSIGN_OR_RETURN(out.tail, Hp::render_f64(tail));
  TARVELO_ASSIGN_OR_RETURN(out.pval, Hp::render_f64(pval));
  return out;
}

}  // namespace

Result<GammaTail> gamma_tail_probability_with_fallback_flag(int side, double x, double shape,
                                                            double scale, double frac,
                                                            uint64_t dps) {
  double cdf = std::numeric_limits<double>::quiet_NaN();
  if (std::isfinite(x) && std::isfinite(shape) && shape > 0.0 && std::isfinite(scale) &&
      scale > 0.0) {
    const double z = x / scale;
    if (z == 0.0 || z == std::numeric_limits<double>::infinity()) {
      return high_precision_tail(side, x, shape, scale, frac, dps);
    }
    if (!(z < 0.0)) cdf = lower_regularized_gamma(shape, z);
  }
  if (std::isnan(cdf) || cdf > kHighestTrusted || cdf < kLowestTrusted) {
    return high_precision_tail(side, x, shape, scale, frac, dps);
  }

  GammaTail out;
  out.cdf = cdf;
  out.sf = 1.0 - cdf;
  if (side == 0) {
    const double t = std::fmin((frac * cdf + 1.0) - frac, 1.0);
    out.tail = std::fmin(1.0 - t, 0.5);
  } else {
    const double t = std::fmin(frac + (cdf - frac * cdf), 1.0);
    out.tail = std::fmin(1.0 - t, 0.5);
    if (out.tail == 0.5) out.tail = 0.5 - cdf;
  }
  out.pval = std::fmin(2.0 * out.tail, 1.0);
  out.flag = 0;
  return out;
}

double normal_isf(double p) { return -blitz_gamma::ndtri(p); }

}  // namespace tarvelo::blitz
