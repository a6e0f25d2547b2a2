#include "tarvelo/blitz/blitz_mpmath.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "tarvelo/base/numeric.hpp"

namespace tarvelo::blitz_mpmath {
namespace {

constexpr double kLog2Of10 = 3.321928094887362;
constexpr int kMaxIterations = 20000;
constexpr int kSpougeA = 80;

// MPFR keeps its constant caches (pi, log 2) and integer pools per thread;
// they are released when the thread ends (worker threads come and go, and
// each would otherwise leave its caches behind).
struct MpfrThreadCaches {
  ~MpfrThreadCaches() { mpfr_free_cache(); }
};

void register_thread_caches() { static thread_local MpfrThreadCaches caches; }

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

WideExponentRange::WideExponentRange() : emin_(mpfr_get_emin()), emax_(mpfr_get_emax()) {
  mpfr_set_emin(mpfr_get_emin_min());
  mpfr_set_emax(mpfr_get_emax_max());
}

WideExponentRange::~WideExponentRange() {
  mpfr_set_emin(emin_);
  mpfr_set_emax(emax_);
}

Hp::Hp() : Hp(64) {}

Hp::Hp(uint64_t prec_bits) {
  register_thread_caches();
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

namespace {

// Runs one MPFR operation into a fresh number of prec_bits and checks it.
template <class Op>
Result<Hp> apply(uint64_t prec_bits, Op op) {
  Hp r(prec_bits);
  op(r.raw());
  return Hp::checked(std::move(r));
}

}  // namespace

Result<Hp> Hp::add(uint64_t prec_bits, const Hp& a, const Hp& b) {
  return apply(prec_bits, [&](mpfr_ptr r) { mpfr_add(r, a.v_, b.v_, MPFR_RNDN); });
}

Result<Hp> Hp::sub(uint64_t prec_bits, const Hp& a, const Hp& b) {
  return apply(prec_bits, [&](mpfr_ptr r) { mpfr_sub(r, a.v_, b.v_, MPFR_RNDN); });
}

Result<Hp> Hp::mul(uint64_t prec_bits, const Hp& a, const Hp& b) {
  return apply(prec_bits, [&](mpfr_ptr r) { mpfr_mul(r, a.v_, b.v_, MPFR_RNDN); });
}

Result<Hp> Hp::div(uint64_t prec_bits, const Hp& a, const Hp& b) {
  return apply(prec_bits, [&](mpfr_ptr r) { mpfr_div(r, a.v_, b.v_, MPFR_RNDN); });
}

Result<Hp> Hp::ln(uint64_t prec_bits, const Hp& a) {
  return apply(prec_bits, [&](mpfr_ptr r) { mpfr_log(r, a.v_, MPFR_RNDN); });
}

Result<Hp> Hp::exp(uint64_t prec_bits, const Hp& a) {
  return apply(prec_bits, [&](mpfr_ptr r) { mpfr_exp(r, a.v_, MPFR_RNDN); });
}

Result<Hp> Hp::sqrt(uint64_t prec_bits, const Hp& a) {
  return apply(prec_bits, [&](mpfr_ptr r) { mpfr_sqrt(r, a.v_, MPFR_RNDN); });
}

Result<Hp> Hp::pi(uint64_t prec_bits) {
  return apply(prec_bits, [](mpfr_ptr r) { mpfr_const_pi(r, MPFR_RNDN); });
}

Result<Hp> Hp::checked(Hp raw) {
  if (mpfr_nan_p(raw.v_)) return nan_error();
  return raw;
}

Result<Hp> Hp::round_to_context(uint64_t prec_bits, const Hp& value) {
  Hp r(prec_bits);
  mpfr_set(r.v_, value.v_, MPFR_RNDN);
  return checked(std::move(r));
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

namespace {

// Spouge's coefficients c0 = sqrt(2 pi) and, for k = 1 .. 79,
// c_k = (-1)^(k-1) exp((k - 0.5) ln(80 - k) + (80 - k) - ln((k - 1)!)).
// They depend only on the precision; each thread keeps the last set.
Result<const std::vector<Hp>*> spouge_coefficients(uint64_t p) {
  struct Cache {
    uint64_t prec = 0;
    std::vector<Hp> c;
  };
  static thread_local Cache cache;
  if (cache.prec == p && !cache.c.empty()) return &cache.c;

  std::vector<Hp> c;
  c.reserve(kSpougeA);
  TARVELO_ASSIGN_OR_RETURN(Hp pi, Hp::pi(p));
  TARVELO_ASSIGN_OR_RETURN(Hp two_pi, Hp::mul(p, Hp::from_u64(2, p), pi));
  TARVELO_ASSIGN_OR_RETURN(Hp c0, Hp::sqrt(p, two_pi));
  c.push_back(std::move(c0));
  const Hp half = Hp::from_f64(0.5, p);
  // ln((k - 1)!) built up as ln_factorial builds it: the same roundings.
  Hp ln_fact(p);
  for (int k = 1; k < kSpougeA; ++k) {
    if (k >= 3) {
      TARVELO_ASSIGN_OR_RETURN(Hp lk, Hp::ln(p, Hp::from_u64(static_cast<uint64_t>(k - 1), p)));
      TARVELO_ASSIGN_OR_RETURN(ln_fact, Hp::add(p, ln_fact, lk));
    }
    const Hp a_minus_k = Hp::from_u64(static_cast<uint64_t>(kSpougeA - k), p);
    TARVELO_ASSIGN_OR_RETURN(Hp k_minus_half,
                             Hp::sub(p, Hp::from_u64(static_cast<uint64_t>(k), p), half));
    TARVELO_ASSIGN_OR_RETURN(Hp ln_a_minus_k, Hp::ln(p, a_minus_k));
    TARVELO_ASSIGN_OR_RETURN(Hp t, Hp::mul(p, k_minus_half, ln_a_minus_k));
    TARVELO_ASSIGN_OR_RETURN(t, Hp::add(p, t, a_minus_k));
    TARVELO_ASSIGN_OR_RETURN(t, Hp::sub(p, t, ln_fact));
    TARVELO_ASSIGN_OR_RETURN(Hp ck, Hp::exp(p, t));
    if (k % 2 == 0) ck = ck.negated();
    c.push_back(std::move(ck));
  }
  cache.c = std::move(c);
  cache.prec = p;
  return &cache.c;
}

// Spouge's approximation of ln Gamma(w + 1) with parameter 80:
// (w + 0.5) ln(w + 80) - (w + 80) + ln(c0 + sum_k c_k / (w + k)).
Result<Hp> spouge_ln_gamma_of_w_plus_1(const HpContext& ctx, const Hp& w) {
  const uint64_t p = ctx.prec_bits;
  TARVELO_ASSIGN_OR_RETURN(const std::vector<Hp>* c, spouge_coefficients(p));
  Hp sum = (*c)[0];
  for (int k = 1; k < kSpougeA; ++k) {
    TARVELO_ASSIGN_OR_RETURN(Hp wk, Hp::add(p, w, Hp::from_u64(static_cast<uint64_t>(k), p)));
    TARVELO_ASSIGN_OR_RETURN(Hp term, Hp::div(p, (*c)[static_cast<size_t>(k)], wk));
    TARVELO_ASSIGN_OR_RETURN(sum, Hp::add(p, sum, term));
  }
  const Hp half = Hp::from_f64(0.5, p);
  const Hp a80 = Hp::from_u64(kSpougeA, p);
  TARVELO_ASSIGN_OR_RETURN(Hp w_half, Hp::add(p, w, half));
  TARVELO_ASSIGN_OR_RETURN(Hp w_a, Hp::add(p, w, a80));
  TARVELO_ASSIGN_OR_RETURN(Hp ln_w_a, Hp::ln(p, w_a));
  TARVELO_ASSIGN_OR_RETURN(Hp r, Hp::mul(p, w_half, ln_w_a));
  TARVELO_ASSIGN_OR_RETURN(r, Hp::sub(p, r, w_a));
  TARVELO_ASSIGN_OR_RETURN(Hp ln_sum, Hp::ln(p, sum));
  return Hp::add(p, r, ln_sum);
}

// ln Gamma(a), by the rules of gamma_prefactor.
Result<Hp> ln_gamma(const HpContext& ctx, const Hp& a, double a_f64) {
  const uint64_t p = ctx.prec_bits;
  constexpr double kTwo64 = 18446744073709551616.0;
  if (a_f64 >= 1.0 && a_f64 <= kTwo64 && a_f64 == std::floor(a_f64)) {
    // ln Gamma(a) = ln((a - 1)!).
    const uint64_t n = a_f64 == kTwo64 ? UINT64_MAX : saturating_cast<uint64_t>(a_f64) - 1;
    return ln_factorial(ctx, n);
  }
  const double m_f64 = a_f64 - 0.5;
  if (m_f64 >= 0.0 && m_f64 <= kTwo64 && m_f64 == std::floor(m_f64)) {
    // Gamma(m + 1/2) = (2m)! sqrt(pi) / (4^m m!). a < 2^53 here (larger
    // doubles are integers), so 2m fits in 64 bits.
    const uint64_t m = saturating_cast<uint64_t>(m_f64);
    TARVELO_ASSIGN_OR_RETURN(Hp lf2m, ln_factorial(ctx, 2 * m));
    TARVELO_ASSIGN_OR_RETURN(Hp lfm, ln_factorial(ctx, m));
    TARVELO_ASSIGN_OR_RETURN(Hp pi, Hp::pi(p));
    TARVELO_ASSIGN_OR_RETURN(Hp sqrt_pi, Hp::sqrt(p, pi));
    TARVELO_ASSIGN_OR_RETURN(Hp ln_sqrt_pi, Hp::ln(p, sqrt_pi));
    TARVELO_ASSIGN_OR_RETURN(Hp ln4, Hp::ln(p, Hp::from_u64(4, p)));
    TARVELO_ASSIGN_OR_RETURN(Hp m_ln4, Hp::mul(p, Hp::from_u64(m, p), ln4));
    TARVELO_ASSIGN_OR_RETURN(Hp r, Hp::add(p, lf2m, ln_sqrt_pi));
    TARVELO_ASSIGN_OR_RETURN(r, Hp::sub(p, r, m_ln4));
    return Hp::sub(p, r, lfm);
  }
  TARVELO_ASSIGN_OR_RETURN(Hp w, Hp::sub(p, a, Hp::from_u64(1, p)));
  return spouge_ln_gamma_of_w_plus_1(ctx, w);
}

Error bad_parameters() {
  return Error("blitz mpmath fallback requires finite positive gamma parameters");
}

}  // namespace

Result<Hp> ln_factorial(const HpContext& ctx, uint64_t n) {
  const uint64_t p = ctx.prec_bits;
  if (n > kLnFactorialSumLimit) {
    // A huge integer shape would need n logarithms.
    return spouge_ln_gamma_of_w_plus_1(ctx, Hp::from_u64(n, p));
  }
  Hp sum(p);
  for (uint64_t k = 2; k <= n; ++k) {
    TARVELO_ASSIGN_OR_RETURN(Hp lk, Hp::ln(p, Hp::from_u64(k, p)));
    TARVELO_ASSIGN_OR_RETURN(sum, Hp::add(p, sum, lk));
  }
  return sum;
}

Result<Hp> gamma_prefactor(const HpContext& ctx, const Hp& z, const Hp& a, double a_f64) {
  const uint64_t p = ctx.prec_bits;
  TARVELO_ASSIGN_OR_RETURN(Hp ln_z, Hp::ln(p, z));
  TARVELO_ASSIGN_OR_RETURN(Hp t, Hp::mul(p, a, ln_z));
  TARVELO_ASSIGN_OR_RETURN(t, Hp::sub(p, t, z));
  TARVELO_ASSIGN_OR_RETURN(Hp lg, ln_gamma(ctx, a, a_f64));
  TARVELO_ASSIGN_OR_RETURN(t, Hp::sub(p, t, lg));
  return Hp::exp(p, t);
}

Result<GammaCdf> gammacdf(uint64_t dps, double x, double shape, double scale) {
  if (!std::isfinite(x) || !std::isfinite(shape) || !(shape > 0.0) || !std::isfinite(scale) ||
      !(scale > 0.0)) {
    return bad_parameters();
  }
  if (dps > kMaxDps) return Error("blitz mpmath fallback dps is too large");
  const WideExponentRange range;

  const uint64_t nominal = nominal_precision(2 * dps + 1);
  const uint64_t p = word_precision(nominal);
  const HpContext ctx{p};
  if (x < 0.0) return GammaCdf{Hp(p), 0.0, 1.0};

  TARVELO_ASSIGN_OR_RETURN(
      Hp z, Hp::div(p, Hp::from_f64(x, p), Hp::from_f64(scale, p)));
  if (z.is_zero()) return GammaCdf{Hp(p), 0.0, 1.0};

  const Hp one = Hp::from_u64(1, p);
  const Hp a = Hp::from_f64(shape, p);
  TARVELO_ASSIGN_OR_RETURN(Hp a_plus_1, Hp::add(p, a, one));
  // The tolerance follows the nominal precision, as the digit count asks.
  const uint64_t m = std::min<uint64_t>(nominal > 24 ? nominal - 24 : 0, 900);
  const Hp tol = Hp::from_f64(std::ldexp(1.0, -static_cast<int>(m)), p);

  Hp cdf(p);
  if (z.compare(a_plus_1) < 0) {
    // P by its power series: sum_n z^n / (a (a+1) ... (a+n)).
    Hp ap = a;
    TARVELO_ASSIGN_OR_RETURN(Hp del, Hp::div(p, one, a));
    Hp sum = del;
    bool converged = false;
    for (int i = 0; i < kMaxIterations; ++i) {
      TARVELO_ASSIGN_OR_RETURN(ap, Hp::add(p, ap, one));
      TARVELO_ASSIGN_OR_RETURN(Hp ratio, Hp::div(p, z, ap));
      TARVELO_ASSIGN_OR_RETURN(del, Hp::mul(p, del, ratio));
      TARVELO_ASSIGN_OR_RETURN(sum, Hp::add(p, sum, del));
      TARVELO_ASSIGN_OR_RETURN(Hp bound, Hp::mul(p, sum.abs(), tol));
      if (del.abs().compare(bound) < 0) {
        converged = true;
        break;
      }
    }
    if (!converged) return Error("blitz mpmath fallback lower gamma series did not converge");
    TARVELO_ASSIGN_OR_RETURN(Hp pref, gamma_prefactor(ctx, z, a, shape));
    TARVELO_ASSIGN_OR_RETURN(cdf, Hp::mul(p, sum, pref));
  } else {
    // Q by its continued fraction (modified Lentz).
    const Hp tiny = Hp::from_f64(1e-300, p);
    const Hp two = Hp::from_u64(2, p);
    TARVELO_ASSIGN_OR_RETURN(Hp b, Hp::add(p, z, one));
    TARVELO_ASSIGN_OR_RETURN(b, Hp::sub(p, b, a));
    TARVELO_ASSIGN_OR_RETURN(Hp q, Hp::div(p, one, tiny));
    TARVELO_ASSIGN_OR_RETURN(Hp d, Hp::div(p, one, b));
    Hp h = d;
    bool converged = false;
    for (int i = 1; i <= kMaxIterations; ++i) {
      const Hp hi = Hp::from_u64(static_cast<uint64_t>(i), p);
      TARVELO_ASSIGN_OR_RETURN(Hp i_minus_a, Hp::sub(p, hi, a));
      TARVELO_ASSIGN_OR_RETURN(Hp an, Hp::mul(p, hi.negated(), i_minus_a));
      TARVELO_ASSIGN_OR_RETURN(b, Hp::add(p, b, two));
      TARVELO_ASSIGN_OR_RETURN(Hp an_d, Hp::mul(p, an, d));
      TARVELO_ASSIGN_OR_RETURN(d, Hp::add(p, an_d, b));
      if (d.abs().compare(tiny) < 0) d = tiny;
      TARVELO_ASSIGN_OR_RETURN(Hp an_q, Hp::div(p, an, q));
      TARVELO_ASSIGN_OR_RETURN(q, Hp::add(p, b, an_q));
      if (q.abs().compare(tiny) < 0) q = tiny;
      TARVELO_ASSIGN_OR_RETURN(d, Hp::div(p, one, d));
      TARVELO_ASSIGN_OR_RETURN(Hp delta, Hp::mul(p, d, q));
      TARVELO_ASSIGN_OR_RETURN(h, Hp::mul(p, h, delta));
      TARVELO_ASSIGN_OR_RETURN(Hp dm1, Hp::sub(p, delta, one));
      if (dm1.abs().compare(tol) < 0) {
        converged = true;
        break;
      }
    }
    if (!converged) {
      return Error("blitz mpmath fallback upper gamma continued fraction did not converge");
    }
    TARVELO_ASSIGN_OR_RETURN(Hp pref, gamma_prefactor(ctx, z, a, shape));
    TARVELO_ASSIGN_OR_RETURN(Hp upper, Hp::mul(p, h, pref));
    TARVELO_ASSIGN_OR_RETURN(cdf, Hp::sub(p, one, upper));
  }

  TARVELO_ASSIGN_OR_RETURN(cdf, Hp::round_to_context(p, cdf));
  TARVELO_ASSIGN_OR_RETURN(Hp sf, Hp::sub(p, one, cdf));
  TARVELO_ASSIGN_OR_RETURN(double cdf_f64, Hp::render_f64(cdf));
  TARVELO_ASSIGN_OR_RETURN(double sf_f64, Hp::render_f64(sf));
  return GammaCdf{std::move(cdf), cdf_f64, sf_f64};
}

}  // namespace tarvelo::blitz_mpmath
