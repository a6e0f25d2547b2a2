// Special functions whose exact floating-point results the engine depends on.
//
// The refinement decision compares Clopper-Pearson bounds with the multilevel
// error; both sides must come out bit for bit as the reference arithmetic
// computes them, so these are written out operation by operation instead of
// taken from a general-purpose library (whose numerics differ):
//
//  - ln_gamma, beta_reg, inv_beta_reg: the Lanczos log-gamma (g = 10.900511),
//    the regularized incomplete beta by continued fraction (at most 140 terms)
//    and its inverse by the AS 64 / AS 109 Newton iteration, as the statrs
//    crate (0.19) computes them.
//  - trigamma: recurrence up to x >= 8, then the asymptotic series, as the
//    `special` crate computes it.
//
// inv_beta_reg differs from the reference in one respect: where the reference
// Newton iteration would never end (a correction factor overflows to infinity,
// as happens for Beta(1, b) with b above about 7e6), it finishes by bisection
// on beta_reg instead. Wherever the reference terminates the result is the same.
#pragma once

namespace tarvelo::special_compat {

// ln |Gamma(x)| by the Lanczos approximation.
double ln_gamma(double x);

// Regularized incomplete beta I_x(a, b). NaN unless a > 0, b > 0, 0 <= x <= 1.
double beta_reg(double a, double b, double x);

// The x with I_x(a, b) = alpha. NaN unless a > 0, b > 0, 0 <= alpha <= 1.
// Always returns.
double inv_beta_reg(double a, double b, double alpha);

// Quantile function of the Beta(a, b) distribution (statrs Beta::inverse_cdf).
inline double beta_inverse_cdf(double a, double b, double p) { return inv_beta_reg(a, b, p); }

// The trigamma function psi'(x) for x > 0 (NaN for x <= 0 or NaN).
double trigamma(double x);

}  // namespace tarvelo::special_compat
