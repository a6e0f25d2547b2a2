#include "tarvelo/blitz_mpmath.hpp"

#include <cmath>
#include <utility>

#include "tarvelo/numeric.hpp"

namespace tarvelo::blitz_mpmath {
namespace {

constexpr double kLog2Of10 = 3.321928094887362;
constexpr int kMaxIterations = 20000;
constexpr int kSpougeA = 80;

// MPFR keeps its exponent range per thread. The default range (about 2^±2^30)
// would turn extreme prefactors into spurious zeros or infinities; widen it
// once on every thread that computes.
void widen_exponent_range() {
  static thread_local bool widened = false;
  if (!widened) {
    mpfr_set_emin(mpfr_get_emin_min());
    mpfr_set_emax(mpfr_get_emax_max());
    widened = true;
  }
}

mpfr_prec_t as_prec(uint64_t bits) {
  if (bits < MPFR_PREC_MIN) return MPFR_PREC_MIN;
  if (bits > static_cast<uint64_t>(MPFR_PREC_MAX)) return MPFR_PREC_MAX;
  return static_cast<mpfr_prec_t>(bits);
}

Error nan_error() { return Error("blitz mpmath fallback produced NaN"); }

}  // namespace

uint64_t nominal_precision(uint64_t digits) {
  const double bits = round_half_away(static_cast<double>(digits) * kLog2Of10);
  const uint64_t p = saturating_cast<uint64_t>(bits);
  return p < 1 ? 1 : p;
}

uint64_t word_precision(uint64_t nominal_bits) {
  return (nominal_bits + 63) / 64 * 64;
}

Hp::Hp() : Hp(64) {}

Hp::Hp(uint64_t prec_bits) {
  widen_exponent_range();
  mpfr_init2(v_, as_prec(prec_bits));
  mpfr_set_zero(v_, 1);
}

Hp::Hp(const Hp& other) {
  mpfr_init2(v_, mpfr_get_prec(other.v_));
  mpfr_set(v_, other.v_, MPFR_RNDN);
}

Hp::Hp(Hp&& other) noexcept {
  // MPFR has no move: give the moved-from object a fresh minimal number.
  mpfr_init2(v_, MPFR_PREC_MIN);
  mpfr_swap(v_, other.v_);
}

Hp& Hp::operator=(const Hp& other) {
  if (this != &other) {
    mpfr_set_prec(v_, mpfr_get_prec(other.v_));
    mpfr_set(v_, other.v_, MPFR_RNDN);
  }
  return *this;
}

Hp& Hp::operator=(Hp&& other) noexcept {
  if (this != &other) mpfr_swap(v_, other.v_);
  return *this;
}

Hp::~Hp() { mpfr_clear(v_); }

Hp Hp::from_f64(double v, uint64_t prec_bits) {
  Hp r(prec_bits < 53 ? 53 : prec_bits);
  mpfr_set_d(r.v_, v, MPFR_RNDN);
  return r;
}

Hp Hp::from_u64(uint64_t v, uint64_t prec_bits) {
  Hp r(prec_bits < 64 ? 64 : prec_bits);
  mpfr_set_uj(r.v_, v, MPFR_RNDN);
  return r;
}

Result<Hp> Hp::add(uint64_t prec_bits, bool reround, const Hp& a, const Hp& b) {
  Hp r(prec_bits);
  mpfr_add(r.v_, a.v_, b.v_, MPFR_RNDN);
  return checked(prec_bits, reround, std::move(r));
}

Result<Hp> Hp::sub(uint64_t prec_bits, bool reround, const Hp& a, const Hp& b) {
  Hp r(prec_bits);
  mpfr_sub(r.v_, a.v_, b.v_, MPFR_RNDN);
  return checked(prec_bits, reround, std::move(r));
}

Result<Hp> Hp::mul(uint64_t prec_bits, bool reround, const Hp& a, const Hp& b) {
  Hp r(prec_bits);
  mpfr_mul(r.v_, a.v_, b.v_, MPFR_RNDN);
  return checked(prec_bits, reround, std::move(r));
}

Result<Hp> Hp::div(uint64_t prec_bits, bool reround, const Hp& a, const Hp& b) {
  Hp r(prec_bits);
  mpfr_div(r.v_, a.v_, b.v_, MPFR_RNDN);
  return checked(prec_bits, reround, std::move(r));
}

Result<Hp> Hp::ln(uint64_t prec_bits, const Hp& a) {
  Hp r(prec_bits);
  mpfr_log(r.v_, a.v_, MPFR_RNDN);
  return checked(prec_bits, false, std::move(r));
}

Result<Hp> Hp::exp(uint64_t prec_bits, const Hp& a) {
  Hp r(prec_bits);
  mpfr_exp(r.v_, a.v_, MPFR_RNDN);
  return checked(prec_bits, false, std::move(r));
}

Result<Hp> Hp::sqrt(uint64_t prec_bits, const Hp& a) {
  Hp r(prec_bits);
  mpfr_sqrt(r.v_, a.v_, MPFR_RNDN);
  return checked(prec_bits, false, std::move(r));
}

Result<Hp> Hp::pi(uint64_t prec_bits) {
  Hp r(prec_bits);
  mpfr_const_pi(r.v_, MPFR_RNDN);
  return checked(prec_bits, false, std::move(r));
}

Result<Hp> Hp::checked(uint64_t prec_bits, bool reround, Hp raw) {
  if (mpfr_nan_p(raw.v_)) return nan_error();
  if (reround && mpfr_number_p(raw.v_) && mpfr_get_prec(raw.v_) != as_prec(prec_bits)) {
    mpfr_prec_round(raw.v_, as_prec(prec_bits), MPFR_RNDN);
  }
  return raw;
}

Result<Hp> Hp::round_to_context(uint64_t prec_bits, bool reround, const Hp& value) {
  Hp r(prec_bits);
  mpfr_set(r.v_, value.v_, MPFR_RNDN);
  return checked(prec_bits, reround, std::move(r));
}

Result<double> Hp::render_f64(const Hp& value) {
  if (mpfr_nan_p(value.v_)) return nan_error();
  return mpfr_get_d(value.v_, MPFR_RNDN);
}

uint64_t Hp::precision() const { return static_cast<uint64_t>(mpfr_get_prec(v_)); }
bool Hp::is_zero() const { return mpfr_zero_p(v_) != 0; }
int Hp::compare(const Hp& other) const { return mpfr_cmp(v_, other.v_); }

Hp Hp::abs() const {
  Hp r(precision());
  mpfr_abs(r.v_, v_, MPFR_RNDN);
  return r;
}

Hp Hp::negated() const {
  Hp r(precision());
  mpfr_neg(r.v_, v_, MPFR_RNDN);
  return r;
}

Result<GammaCdf> gammacdf(uint64_t, double, double, double) {
  return Error("not implemented yet");
}

Result<Hp> gamma_prefactor(const HpContext&, const Hp&, const Hp&, double) {
  return Error("not implemented yet");
}

Result<Hp> ln_factorial(const HpContext& ctx, uint64_t) { return Hp(ctx.prec_bits); }

}  // namespace tarvelo::blitz_mpmath
