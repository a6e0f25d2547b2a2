#include "tarvelo/blitz/fit.hpp"

#include <limits>

namespace tarvelo::blitz {

Result<GammaFit> fit_gamma_floc0_with_scratch(std::span<const double>, GammaFitScratch&) {
  return Error("cannot fit gamma distribution to an empty positive sample.");
}
double scipy_digamma(double) { return std::numeric_limits<double>::quiet_NaN(); }
double scipy_psi_asy(double) { return std::numeric_limits<double>::quiet_NaN(); }
double scipy_digamma_imp_1_2(double) { return std::numeric_limits<double>::quiet_NaN(); }

}  // namespace tarvelo::blitz
