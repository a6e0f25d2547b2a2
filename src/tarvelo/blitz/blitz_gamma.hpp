// Double-precision regularised incomplete gamma functions, the standard normal
// quantile and their Cephes helpers, ported operation for operation from
// scipy's Cephes sources (igam, lgam, lanczos, unity, zeta, ndtr's erfc, ndtri) so that
// results equal scipy.special's bit for bit on glibc.
#pragma once

namespace tarvelo::blitz_gamma {

// Lower P(a, x) = gammainc(a, x) and upper Q(a, x) = gammaincc(a, x), with
// scipy's domain handling (NaN for a < 0 or x < 0, and so on).
double igam(double a, double x);
double igamc(double a, double x);

// The branches the two functions above choose between.
double igam_series(double a, double x);              // P by its power series
double igamc_series(double a, double x);             // Q for small x
double igamc_continued_fraction(double a, double x); // Q by the continued fraction
double igam_fac(double a, double x);                 // x^a e^-x / Gamma(a)
// Temme's uniform expansion: P when upper is false, Q when it is true.
double asymptotic_series(bool upper, double a, double x);

// ln|Gamma(x)| and the sign of Gamma(x) (Cephes lgam).
struct LgamSign {
  double value;
  int sign;
};
LgamSign lgam_sgn(double x);
double lgam(double x);
// ln Gamma(1 + x), accurate near x = 0.
double lgam1p(double x);

// Cephes helpers with scipy's arithmetic (these differ in the last bit from
// glibc's functions of the same name in places).
double log1p(double x);
double expm1(double x);
double log1pmx(double x);  // log(1 + x) - x
double erfc(double x);
// Hurwitz zeta(x, q) (Cephes zeta).
double zeta(double x, double q);
// The standard normal quantile (Cephes ndtri).
double ndtri(double p);

}  // namespace tarvelo::blitz_gamma
