// The gamma-mixture tail probability of an enrichment score and the normal
// quantile that turns it into a normalised score.
#pragma once

#include <cstdint>

#include "tarvelo/base/error.hpp"

namespace tarvelo::blitz {

struct GammaTail {
  double cdf = 0.0;   // P(shape, x / scale)
  double sf = 0.0;    // 1 - cdf
  double tail = 0.0;  // one-sided tail under the mixture, at most 0.5
  double pval = 0.0;  // min(2 tail, 1)
  int flag = 0;       // 1 when the high-precision fallback was used
};

// Tail probability of a score of magnitude x on `side` (0: positive score,
// 1: otherwise) under the mixture with share `frac` of positive scores and the
// side's gamma(shape, scale). Uses double precision when
// 1e-11 <= cdf <= 0.999999999, else the high-precision fallback at dps
// digits, whose errors are returned.
Result<GammaTail> gamma_tail_probability_with_fallback_flag(int side, double x, double shape,
                                                            double scale, double frac,
                                                            uint64_t dps);

// The upper standard normal quantile, -ndtri(p): +inf at 0, -inf at 1, NaN
// outside [0, 1]; normal_isf(0.5) is -0.0.
double normal_isf(double p);

}  // namespace tarvelo::blitz
