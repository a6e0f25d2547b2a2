// Gamma fit with the location fixed at 0, as scipy fits float32 data, and the
// scipy digamma and Brent root finder it relies on.
#pragma once

#include <cmath>
#include <span>
#include <vector>

#include "tarvelo/base/error.hpp"

namespace tarvelo::blitz {

// Buffers the fit refills on every call; owned by the caller so that repeated
// fits allocate only when a buffer must grow.
struct GammaFitScratch {
  std::vector<double> kept;     // finite positive sample values, in order
  std::vector<float> rounded;   // the same values rounded to float32
  std::vector<float> logs;      // their float32 logarithms
};

struct GammaFit {
  double shape = 0.0;
  double scale = 0.0;
};

// scipy.stats.gamma.fit(data.astype(float32), floc=0) under numpy 2's scalar
// promotion rules. Fails only when no finite positive value is left. A degenerate
// sample (all values equal) yields an infinite shape and a zero scale.
Result<GammaFit> fit_gamma_floc0_with_scratch(std::span<const double> sample,
                                              GammaFitScratch& scratch);

// scipy.special.digamma.
double scipy_digamma(double x);
// The asymptotic series digamma uses for x > 2 (x large and positive).
double scipy_psi_asy(double x);
// The rational approximation digamma uses on [1, 2].
double scipy_digamma_imp_1_2(double x);

// scipy.optimize.brentq's iteration, entered after the caller has evaluated
// f at both ends (fa = f(xa), fb = f(xb), both non-zero with opposite signs).
// Returns the last iterate when maxiter iterations do not converge.
template <class F>
double brentq(F&& f, double xa, double xb, double fa, double fb, double xtol = 2e-12,
              double rtol = 8.881784197001252e-16, int maxiter = 100) {
  double xpre = xa, xcur = xb, fpre = fa, fcur = fb;
  double xblk = 0.0, fblk = 0.0, spre = 0.0, scur = 0.0;
  for (int i = 0; i < maxiter; ++i) {
    if (fpre != 0.0 && fcur != 0.0 && std::signbit(fpre) != std::signbit(fcur)) {
      xblk = xpre;
      fblk = fpre;
      spre = scur = xcur - xpre;
    }
    if (std::fabs(fblk) < std::fabs(fcur)) {
      xpre = xcur;
      xcur = xblk;
      xblk = xpre;
      fpre = fcur;
      fcur = fblk;
      fblk = fpre;
    }
    const double delta = (xtol + rtol * std::fabs(xcur)) / 2;
    const double sbis = (xblk - xcur) / 2;
    if (fcur == 0.0 || std::fabs(sbis) < delta) return xcur;
    if (std::fabs(spre) > delta && std::fabs(fcur) < std::fabs(fpre)) {
      double stry;
      if (xpre == xblk) {
        stry = -fcur * (xcur - xpre) / (fcur - fpre);  // secant
      } else {
        const double dpre = (fpre - fcur) / (xpre - xcur);
        const double dblk = (fblk - fcur) / (xblk - xcur);
        stry = -fcur * (fblk * dblk - fpre * dpre) / (dblk * dpre * (fblk - fpre));
      }
      // scipy's MIN macro, not fmin: a NaN bound makes the comparison fail.
      const double a = std::fabs(spre), b = 3 * std::fabs(sbis) - delta;
      if (2 * std::fabs(stry) < (a < b ? a : b)) {
        spre = scur;
        scur = stry;
      } else {
        spre = sbis;
        scur = sbis;
      }
    } else {
      spre = sbis;
      scur = sbis;
    }
    xpre = xcur;
    fpre = fcur;
    if (std::fabs(scur) > delta) {
      xcur += scur;
    } else {
      xcur += (sbis > 0 ? delta : -delta);
    }
    fcur = f(xcur);
  }
  return xcur;
}

}  // namespace tarvelo::blitz
