// Pairwise sums, the float32 log, digamma, the gamma fit, lowess and the
// interpolator, bit for bit against numpy, scipy and statsmodels. Fixtures:
// tools/gen_blitz_numeric_fixtures.py (tests/data/blitz_*.txt).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <vector>

#include "blitz_fixture.hpp"
#include "tarvelo/blitz/compat.hpp"
#include "tarvelo/blitz/fit.hpp"
#include "tarvelo/blitz/smoothing.hpp"
#include "tarvelo/base/sha256.hpp"

namespace tarvelo {
namespace {

using blitz_fixture::bits;
using blitz_fixture::Lcg;
using blitz_fixture::num;
using blitz_fixture::read;
using blitz_fixture::Tokens;
namespace compat = blitz::compat;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The generator's lcg_values.
std::vector<double> lcg_values(uint64_t seed, size_t n) {
  Lcg g(seed);
  std::vector<double> out;
  for (size_t i = 0; i < n; ++i) {
    const uint64_t x = g.next();
    const int e = static_cast<int>((x >> 3) & 15) - 8;
    out.push_back(std::ldexp(static_cast<double>(x >> 11) * 0x1p-53 - 0.5, e));
  }
  return out;
}

// ---- pairwise sums ---------------------------------------------------------

TEST(BlitzPairwiseSum, MatchesNumpyAcrossBlockBoundaries) {
  const auto lines = read("blitz_pairwise.txt");
  ASSERT_GT(lines.size(), 300u);
  for (const Tokens& t : lines) {
    const uint64_t seed = std::strtoull(t[0].c_str(), nullptr, 10);
    const size_t n = std::strtoull(t[1].c_str(), nullptr, 10);
    const std::vector<double> v = lcg_values(seed, n);
    std::vector<float> v32(v.begin(), v.end());
    EXPECT_EQ(bits(compat::numpy_pairwise_sum_f64(v)), bits(num(t[2]))) << "f64 n=" << n;
    EXPECT_EQ(bits(compat::numpy_pairwise_sum_f32(v32)), bits(num(t[3]))) << "f32 n=" << n;
  }
}

TEST(BlitzPairwiseSum, GroupingRules) {
  EXPECT_EQ(bits(compat::numpy_pairwise_sum_f64({})), bits(-0.0));
  const double neg_zero[] = {-0.0};
  EXPECT_EQ(bits(compat::numpy_pairwise_sum_f64(neg_zero)), bits(-0.0));
  EXPECT_TRUE(std::signbit(compat::numpy_pairwise_sum_f32({})));

  // Eight values: ((e0+e1)+(e2+e3))+((e4+e5)+(e6+e7)), not left to right.
  const double e[] = {1.0, 0.0, 0x1p-53, 0x1p-53, 0.0, 0.0, 0.0, 0.0};
  EXPECT_EQ(compat::numpy_pairwise_sum_f64(e), 1.0 + 0x1p-52);
  EXPECT_EQ((1.0 + 0x1p-53) + 0x1p-53, 1.0);  // what a left-to-right sum gives

  // 129 values split into 64 + 65, 200 into 96 + 104.
  for (size_t n : {129u, 200u}) {
    const std::vector<double> v = lcg_values(7, n);
    const size_t m = n == 129 ? 64 : 96;
    const std::span<const double> s(v);
    EXPECT_EQ(bits(compat::numpy_pairwise_sum_f64(s)),
              bits(compat::numpy_pairwise_sum_f64(s.first(m)) +
                   compat::numpy_pairwise_sum_f64(s.subspan(m))));
  }
}

// ---- float32 log ------------------------------------------------------------

TEST(BlitzLogF32, MatchesNumpySimdKernel) {
  const auto lines = read("blitz_log_f32.txt");
  size_t checked = 0;
  for (const Tokens& t : lines) {
    if (t[0] == "v") {
      const float x = std::bit_cast<float>(static_cast<uint32_t>(std::strtoul(t[1].c_str(), nullptr, 16)));
      const uint32_t want = static_cast<uint32_t>(std::strtoul(t[2].c_str(), nullptr, 16));
      EXPECT_EQ(std::bit_cast<uint32_t>(compat::numpy_log_f32(x)), want) << t[1];
      ++checked;
    } else if (t[0] == "sweep") {
      // Every step-th positive normal float, hashed.
      const uint32_t step = static_cast<uint32_t>(std::stoul(t[1]));
      const size_t count = std::stoul(t[2]);
      Sha256 h;
      size_t n = 0;
      std::vector<uint32_t> buf;
      buf.reserve(4096);
      for (uint32_t b = 0x00800000u; b < 0x7f800000u; b += step) {
        buf.push_back(std::bit_cast<uint32_t>(compat::numpy_log_f32(std::bit_cast<float>(b))));
        if (buf.size() == 4096) {
          h.update(buf.data(), buf.size() * 4);  // little-endian host
          buf.clear();
        }
        ++n;
      }
      h.update(buf.data(), buf.size() * 4);
      EXPECT_EQ(n, count);
      EXPECT_EQ(h.finish_hex(), t[3]);
    }
  }
  EXPECT_GT(checked, 3000u);
}

TEST(BlitzLogF32, SpecialValues) {
  EXPECT_EQ(std::bit_cast<uint32_t>(compat::numpy_log_f32(1.0f)), 0u);
  EXPECT_EQ(compat::numpy_log_f32(0.0f), -std::numeric_limits<float>::infinity());
  EXPECT_EQ(compat::numpy_log_f32(-0.0f), -std::numeric_limits<float>::infinity());
  const float neg = compat::numpy_log_f32(-1.0f);
  EXPECT_TRUE(std::isnan(neg) && std::signbit(neg));
  const float nan = compat::numpy_log_f32(std::numeric_limits<float>::quiet_NaN());
  EXPECT_TRUE(std::isnan(nan) && !std::signbit(nan));
  EXPECT_EQ(compat::numpy_log_f32(std::numeric_limits<float>::infinity()),
            std::numeric_limits<float>::infinity());
  const float sub = std::numeric_limits<float>::denorm_min() * 12345.0f;
  EXPECT_EQ(compat::numpy_log_f32(sub), std::log(sub));
}

// ---- digamma ----------------------------------------------------------------

TEST(BlitzDigamma, MatchesScipy) {
  const auto lines = read("blitz_digamma.txt");
  ASSERT_GT(lines.size(), 700u);
  for (const Tokens& t : lines) {
    const double x = num(t[0]);
    EXPECT_EQ(bits(blitz::scipy_digamma(x)), bits(num(t[1]))) << t[0];
  }
}

TEST(BlitzDigamma, EdgeCases) {
  EXPECT_EQ(blitz::scipy_digamma(1.0), -0.5772156649015329);
  EXPECT_EQ(blitz::scipy_digamma(2.0), 1.0 + -0.5772156649015329);
  EXPECT_EQ(blitz::scipy_digamma(0.0), -kInf);
  EXPECT_EQ(blitz::scipy_digamma(-0.0), kInf);
  EXPECT_TRUE(std::isnan(blitz::scipy_digamma(-2.0)));
  EXPECT_TRUE(std::isnan(blitz::scipy_digamma(-kInf)));
  EXPECT_EQ(blitz::scipy_digamma(kInf), kInf);
  EXPECT_EQ(blitz::scipy_digamma(1e18), std::log(1e18) - 0.5 / 1e18);
  EXPECT_EQ(blitz::scipy_psi_asy(1e18), std::log(1e18) + (-0.5 / 1e18));
}

// ---- gamma fit --------------------------------------------------------------

// The generator's fit_sample.
std::vector<double> fit_sample(int kind, uint64_t seed, size_t n) {
  Lcg g(seed);
  std::vector<double> out;
  for (size_t i = 0; i < n; ++i) {
    const double u1 = g.u(), u2 = g.u(), u3 = g.u();
    if (kind == 0) {
      out.push_back((u1 + u2 + u3) * (u1 + 0.25) * 0.125);
    } else if (kind == 1) {
      out.push_back((u1 - 0.1) * u2 * 0.01);
    } else {
      out.push_back(std::ldexp(u1 + 0.5, static_cast<int>(u2 * 24) - 12));
    }
  }
  return out;
}

TEST(BlitzGammaFit, MatchesPrimitiveOracle) {
  const auto lines = read("blitz_gamma_fit.txt");
  blitz::GammaFitScratch scratch;
  size_t checked = 0;
  for (const Tokens& t : lines) {
    std::vector<double> sample;
    size_t at;
    if (t[0] == "lcg") {
      sample = fit_sample(std::stoi(t[1]), std::stoull(t[2]), std::stoull(t[3]));
      at = 4;
    } else {
      const size_t n = std::stoull(t[1]);
      for (size_t i = 0; i < n; ++i) sample.push_back(num(t[2 + i]));
      at = 2 + n;
    }
    const auto fit = blitz::fit_gamma_floc0_with_scratch(sample, scratch);
    ASSERT_TRUE(fit.ok()) << fit.error().message();
    const std::string where = t[0] + " " + t[1] + " " + t[2];
    EXPECT_EQ(bits(fit->shape), bits(num(t[at + 4]))) << where;
    EXPECT_EQ(bits(fit->scale), bits(num(t[at + 5]))) << where;
    // The scratch holds this call's data.
    EXPECT_EQ(scratch.rounded.size(), scratch.kept.size());
    EXPECT_EQ(scratch.logs.size(), scratch.kept.size());
    ++checked;
  }
  EXPECT_EQ(checked, 126u);
}

TEST(BlitzGammaFit, DegenerateSamples) {
  blitz::GammaFitScratch scratch;
  const double none[] = {0.0, -1.0, kNaN, kInf, -kInf, -0.0};
  const auto empty = blitz::fit_gamma_floc0_with_scratch(none, scratch);
  ASSERT_FALSE(empty.ok());
  EXPECT_EQ(empty.error().message(), "cannot fit gamma distribution to an empty positive sample.");
  EXPECT_FALSE(blitz::fit_gamma_floc0_with_scratch({}, scratch).ok());

  // One positive value: s = 0, the shape is infinite and the scale 0.
  const double one[] = {-3.0, 0.25, -1.0};
  const auto fit = blitz::fit_gamma_floc0_with_scratch(one, scratch);
  ASSERT_TRUE(fit.ok());
  EXPECT_EQ(fit->shape, kInf);
  EXPECT_EQ(fit->scale, 0.0);
  EXPECT_EQ(scratch.kept, std::vector<double>{0.25});
}

TEST(BlitzBrentq, StopsAtRootAndIterationLimit) {
  // A root exactly representable: brentq lands on it within xtol.
  auto f = [](double x) { return x * x - 2.0; };
  const double r = blitz::brentq(f, 1.0, 2.0, f(1.0), f(2.0));
  EXPECT_NEAR(r, std::sqrt(2.0), 4e-12);
  // With one iteration the first step's iterate comes back, not an error.
  const double r1 = blitz::brentq(f, 1.0, 2.0, f(1.0), f(2.0), 2e-12, 8.881784197001252e-16, 1);
  EXPECT_GT(r1, 1.0);
  EXPECT_LT(r1, 2.0);
}

// ---- lowess and interpolation -----------------------------------------------

TEST(BlitzLowess, MatchesStatsmodels) {
  const auto lines = read("blitz_lowess.txt");
  ASSERT_GT(lines.size(), 60u);
  for (const Tokens& t : lines) {
    const double frac = num(t[0]);
    const size_t n = std::stoull(t[1]);
    std::vector<double> x, y;
    for (size_t i = 0; i < n; ++i) x.push_back(num(t[2 + i]));
    for (size_t i = 0; i < n; ++i) y.push_back(num(t[2 + n + i]));
    const auto li = blitz::smoothing::lowess_interpolation(x, y, frac);
    ASSERT_TRUE(li.ok());
    ASSERT_EQ(li->y().size(), n);
    EXPECT_EQ(li->x(), x);
    for (size_t i = 0; i < n; ++i) {
      EXPECT_EQ(bits(li->y()[i]), bits(num(t[2 + 2 * n + i])))
          << "frac " << frac << " n " << n << " i " << i;
    }
  }
}

TEST(BlitzLowess, NaNResidualIsAnError) {
  std::vector<double> x = {1, 2, 3, 4, 5, 6};
  std::vector<double> y = {0.1, 0.2, kInf, 0.4, 0.5, 0.6};
  const auto li = blitz::smoothing::lowess_interpolation(x, y, 0.6);
  ASSERT_FALSE(li.ok());
  EXPECT_EQ(li.error().message(), "lowess smoothing met a NaN residual");
  y[2] = kNaN;
  EXPECT_FALSE(blitz::smoothing::lowess_interpolation(x, y, 0.6).ok());
}

TEST(BlitzLinearInterp, EvaluatesAndExtrapolates) {
  using blitz::LinearInterp;
  EXPECT_TRUE(std::isnan(LinearInterp().at(1.0)));
  EXPECT_EQ(LinearInterp({3.0}, {7.5}).at(-100.0), 7.5);
  const LinearInterp li({1.0, 2.0, 4.0}, {10.0, 20.0, 0.0});
  EXPECT_EQ(li.at(1.0), 10.0);
  EXPECT_EQ(li.at(2.0), 20.0);
  EXPECT_EQ(li.at(4.0), 0.0);
  EXPECT_EQ(li.at(1.5), 15.0);
  EXPECT_EQ(li.at(3.0), 10.0);
  EXPECT_EQ(li.at(0.0), 0.0);     // first segment extended
  EXPECT_EQ(li.at(5.0), -10.0);   // last segment extended, not clamped
  EXPECT_EQ(LinearInterp({1.0, 1.0}, {4.0, 9.0}).at(1.0), 4.0);  // zero-width segment
  EXPECT_THROW(li.at(kNaN), InternalError);
}

}  // namespace
}  // namespace tarvelo
