// High-precision lower incomplete gamma for the blitz tail fallback, in the
// manner of mpmath's gammainc at a given number of decimal digits, on MPFR.
//
// Every working precision is rounded up to a whole number of 64-bit words: the
// results are meant to equal those of a word-based arbitrary-precision library,
// and extreme tails depend on the exact precision.
#pragma once

#include <cstdint>
#include <mpfr.h>

#include "tarvelo/base/error.hpp"

namespace tarvelo::blitz_mpmath {

// The largest number of decimal digits the fallback accepts. Beyond a few
// thousand digits MPFR's time per pathway grows without improving the f64
// result, and a huge request would exhaust memory (MPFR aborts the process).
inline constexpr uint64_t kMaxDps = 10000;

// Nominal bits for `digits` decimal digits: max(round(digits * log2(10)), 1),
// halves away from zero. gammacdf uses digits = 2 dps + 1, the tail mixture
// dps + 1. digits must not exceed 2 kMaxDps + 1.
uint64_t nominal_precision(uint64_t digits);
// The precision numbers actually carry: nominal bits rounded up to a multiple
// of 64.
uint64_t word_precision(uint64_t nominal_bits);

// Widens MPFR's exponent range to its maximum on the calling thread for the
// object's lifetime, then restores the range found. The default range (about
// 2^+-2^30) would turn extreme prefactors into spurious zeros or infinities;
// the range is per-thread state shared with every other MPFR user of the
// thread (with nproc=1 the caller's Python thread), so it must not stay
// widened. Numbers computed inside the scope are meant to be used inside it.
class WideExponentRange {
 public:
  WideExponentRange();
  ~WideExponentRange();
  WideExponentRange(const WideExponentRange&) = delete;
  WideExponentRange& operator=(const WideExponentRange&) = delete;

 private:
  mpfr_exp_t emin_;
  mpfr_exp_t emax_;
};

// A finite or infinite MPFR number that owns its storage. Operations take the
// result precision explicitly and round to nearest, ties to even.
class Hp {
 public:
  Hp();  // +0 at 64 bits
  explicit Hp(uint64_t prec_bits);  // +0 at the given precision
  Hp(const Hp& other);
  Hp(Hp&& other) noexcept;
  Hp& operator=(const Hp& other);
  Hp& operator=(Hp&& other) noexcept;
  ~Hp();

  // Exact conversions (the precision is raised to hold the value if needed:
  // 53 bits for a double, 64 for an integer).
  static Hp from_f64(double v, uint64_t prec_bits);
  static Hp from_u64(uint64_t v, uint64_t prec_bits);

  // a op b rounded to prec_bits (MPFR rounds each operation to the result's
  // precision, so one rounding per operation, as the reference does).
  static Result<Hp> add(uint64_t prec_bits, const Hp& a, const Hp& b);
  static Result<Hp> sub(uint64_t prec_bits, const Hp& a, const Hp& b);
  static Result<Hp> mul(uint64_t prec_bits, const Hp& a, const Hp& b);
  static Result<Hp> div(uint64_t prec_bits, const Hp& a, const Hp& b);
  static Result<Hp> ln(uint64_t prec_bits, const Hp& a);
  static Result<Hp> exp(uint64_t prec_bits, const Hp& a);
  static Result<Hp> sqrt(uint64_t prec_bits, const Hp& a);
  static Result<Hp> pi(uint64_t prec_bits);

  // Fails with "blitz mpmath fallback produced NaN" for a NaN; otherwise
  // returns the value.
  static Result<Hp> checked(Hp raw);
  // Rounds a value to prec_bits, then checks it.
  static Result<Hp> round_to_context(uint64_t prec_bits, const Hp& value);

  // The nearest f64 (ties to even); underflow gives a signed zero, overflow an
  // infinity.
  static Result<double> render_f64(const Hp& value);

  uint64_t precision() const;
  bool is_zero() const;
  int compare(const Hp& other) const;  // <0, 0, >0; NaN never occurs
  Hp abs() const;
  Hp negated() const;

  mpfr_ptr raw() { return v_; }
  mpfr_srcptr raw() const { return v_; }

 private:
  mpfr_t v_;
};

// The working context of one computation: its precision in bits.
struct HpContext {
  uint64_t prec_bits;  // word-rounded
};

// Result of gammacdf: P(shape, x / scale) at working precision, and it and
// 1 - P as the nearest f64.
struct GammaCdf {
  Hp cdf;
  double cdf_f64 = 0.0;
  double sf_f64 = 1.0;
};

// The regularised lower incomplete gamma P(shape, x / scale) at dps decimal
// digits (2 dps + 1 digits of working precision). x < 0 or x / scale = 0
// give 0. Errors: invalid parameters, dps above kMaxDps, non-convergence,
// NaN intermediates. Runs inside its own WideExponentRange; a caller that
// computes further with the returned cdf keeps one open around both.
Result<GammaCdf> gammacdf(uint64_t dps, double x, double shape, double scale);

// z^a e^-z / Gamma(a) at the context precision.
Result<Hp> gamma_prefactor(const HpContext& ctx, const Hp& z, const Hp& a, double a_f64);

// ln(n!) at the context precision: the sum of ln k in increasing k for n up to
// kLnFactorialSumLimit, ln Gamma(n + 1) by Spouge's approximation above it (the
// sum would take time proportional to n).
inline constexpr uint64_t kLnFactorialSumLimit = 10000;
Result<Hp> ln_factorial(const HpContext& ctx, uint64_t n);

}  // namespace tarvelo::blitz_mpmath
