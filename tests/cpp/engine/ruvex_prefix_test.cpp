// Prefix scores of random samples against a brute-force oracle that computes
// every prefix's deviation directly from its definition.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <random>
#include <vector>

#include "tarvelo/base/error.hpp"
#include "tarvelo/engine/ruvex_compat.hpp"
#include "fixture_util.hpp"

namespace tarvelo::ruvex_compat {
namespace {

// A one-off deeper run: build this file with -DORACLE_SCALE=30.
#ifndef ORACLE_SCALE
#define ORACLE_SCALE 1
#endif

using fixture::sanitizer_build;

// Largest deviation of the prefix {sample[0..kp)} measured from the top (or
// from the bottom when rev), the end of the list included as a point: for
// members j in list order, (N - k') / NR * W_j - x_j, then max(0, .) / (N - k').
double oracle_stats1(const std::vector<double>& ranks, const std::vector<uint64_t>& sample,
                     size_t kp, bool rev) {
  const uint64_t n = ranks.size();
  double w_min = 1e-5;
  for (uint64_t p : sample) {
    double a = std::fabs(ranks[p - 1]);
    if (a != 0.0 && a < w_min) w_min = a;
  }
  const double w_eps = w_min * 0.0009765625;
  std::vector<std::pair<uint64_t, double>> members;  // (mirrored) position, weight
  double nr = 0.0;
  for (size_t i = 0; i < kp; ++i) {
    const uint64_t p = sample[i];
    const double w = std::fmax(std::fabs(ranks[p - 1]), w_eps);
    nr += w;
    members.push_back({rev ? n + 1 - p : p, w});
  }
  std::sort(members.begin(), members.end());
  const double nk = static_cast<double>(n - kp);
  const double slope = nk / nr;
  double best = 0.0;
  double cum = 0.0;
  for (size_t r = 0; r < members.size(); ++r) {
    cum += members[r].second;
    const double x = static_cast<double>(members[r].first - 1 - r);
    best = std::max(best, slope * cum - x);
  }
  best = std::max(best, slope * nr - nk);
  return best / nk;
}

double oracle_score(const std::vector<double>& ranks, const std::vector<uint64_t>& sample,
                    size_t kp, ScoreType st) {
  const double a = oracle_stats1(ranks, sample, kp, false);
  const double b = oracle_stats1(ranks, sample, kp, true);
  switch (st) {
    case ScoreType::kPos: return a;
    case ScoreType::kNeg: return -b;
    case ScoreType::kStd: break;
  }
  if (a > b) return a;
  if (a < b) return -b;
  return 0.0;
}

std::vector<uint64_t> random_sample(std::mt19937_64& gen, uint64_t n, size_t k,
                                    bool force_last, bool force_first) {
  std::vector<uint64_t> pool(n);
  std::iota(pool.begin(), pool.end(), uint64_t{1});
  std::shuffle(pool.begin(), pool.end(), gen);
  pool.resize(k);
  auto force = [&](uint64_t pos) {
    if (std::find(pool.begin(), pool.end(), pos) != pool.end()) return;
    pool[std::uniform_int_distribution<size_t>(0, k - 1)(gen)] = pos;
  };
  if (force_last) force(n);
  if (force_first) force(1);
  return pool;
}

struct Mismatch {
  size_t checked = 0;
  size_t bad = 0;
  double worst = 0.0;
};

// Compares every prefix of `samples` random samples for the three score types.
Mismatch run_oracle(uint64_t seed, uint64_t n, size_t kmax, size_t samples, int zero_every,
                    int weight_range) {
  std::mt19937_64 gen(seed);
  Mismatch m;
  PrefixScorer scorer;
  std::vector<double> out;
  for (size_t s = 0; s < samples; ++s) {
    // Integer weights from a small range give many ties.
    std::vector<double> ranks(n);
    for (auto& r : ranks) {
      r = static_cast<double>(std::uniform_int_distribution<int>(1, weight_range)(gen));
      if (zero_every > 0 && std::uniform_int_distribution<int>(0, zero_every - 1)(gen) == 0) r = 0;
    }
    std::sort(ranks.begin(), ranks.end(), std::greater<>());
    const size_t k = std::uniform_int_distribution<size_t>(1, kmax)(gen);
    auto sample = random_sample(gen, n, k, s % 2 == 0, s % 3 == 0);
    out.resize(k);
    for (ScoreType st : {ScoreType::kStd, ScoreType::kPos, ScoreType::kNeg}) {
      scorer.cumulative(ranks, sample, st, 1.0, out);
      for (size_t i = 0; i < k; ++i) {
        const double want = oracle_score(ranks, sample, i + 1, st);
        ++m.checked;
        double diff = std::fabs(out[i] - want);
        if (st == ScoreType::kStd && diff > 2e-15) {
          // With inexact sums a near-tie of the two deviations may resolve to
          // a, -b or 0.
          const double a = oracle_stats1(ranks, sample, i + 1, false);
          const double b = oracle_stats1(ranks, sample, i + 1, true);
          if (std::fabs(a - b) <= 4e-15) {
            diff = std::min({std::fabs(out[i] - a), std::fabs(out[i] + b),
                             out[i] == 0.0 ? 0.0 : diff});
          }
        }
        if (out[i] != want) ++m.bad;
        m.worst = std::max(m.worst, diff);
      }
    }
  }
  if (ORACLE_SCALE > 1) {
    std::printf("N=%lu kmax=%zu: %zu prefix scores, %zu differ, worst %g\n",
                static_cast<unsigned long>(n), kmax, m.checked, m.bad, m.worst);
  }
  return m;
}

TEST(PrefixScores, MatchBruteForceBitForBitWithIntegerWeights) {
  const size_t reps = sanitizer_build() ? 200 : 3000 * ORACLE_SCALE;
  // The small case puts the last list position in half of the samples, where
  // node k and the end node coincide.
  Mismatch a = run_oracle(1, 40, 22, reps, 0, 4);
  EXPECT_EQ(a.bad, 0u) << "of " << a.checked << ", worst " << a.worst;
  EXPECT_GT(a.checked, 50000u / (sanitizer_build() ? 15 : 1));
  Mismatch b = run_oracle(2, 300, 120, reps / 10, 0, 1000);
  EXPECT_EQ(b.bad, 0u) << "of " << b.checked << ", worst " << b.worst;
  Mismatch c = run_oracle(3, 12, 11, reps, 0, 2);
  EXPECT_EQ(c.bad, 0u) << "of " << c.checked << ", worst " << c.worst;
}

TEST(PrefixScores, CloseToBruteForceWithZeroWeights) {
  const size_t reps = sanitizer_build() ? 200 : 2000 * ORACLE_SCALE;
  Mismatch a = run_oracle(4, 40, 22, reps, 3, 5);
  EXPECT_LE(a.worst, 2e-15) << a.bad << " of " << a.checked << " differ";
  Mismatch b = run_oracle(5, 200, 150, reps / 20, 1, 5);  // every weight zero
  EXPECT_LE(b.worst, 2e-15) << b.bad << " of " << b.checked << " differ";
}

// Restores the default instruction set path when a test ends.
struct ForcedPath {
  explicit ForcedPath(PrefixPath p) { force_prefix_path(p); }
  ~ForcedPath() { force_prefix_path(PrefixPath::kAuto); }
};

TEST(PrefixScores, EveryInstructionSetPathGivesIdenticalScores) {
  const std::vector<PrefixPath> paths = available_prefix_paths();
  ASSERT_FALSE(paths.empty());
  EXPECT_EQ(paths.front(), PrefixPath::kGeneric);
  std::mt19937_64 gen(77);
  const size_t reps = sanitizer_build() ? 60 : 600;
  size_t compared = 0;
  for (size_t rep = 0; rep < reps; ++rep) {
    // Sizes across block widths (k < 4 included), weights with ties, zeros,
    // fractions and a wide range, and the list's last position often sampled.
    const uint64_t n = std::uniform_int_distribution<uint64_t>(2, rep % 10 == 0 ? 5000 : 400)(gen);
    const size_t k = std::uniform_int_distribution<size_t>(1, std::min<uint64_t>(n, 700))(gen);
    std::vector<double> ranks(n);
    const int kind = static_cast<int>(rep % 4);
    for (auto& r : ranks) {
      switch (kind) {
        case 0: r = static_cast<double>(std::uniform_int_distribution<int>(0, 3)(gen)); break;
        case 1: r = std::ldexp(std::uniform_real_distribution<double>(0, 1)(gen), 30); break;
        case 2: r = std::exp(std::uniform_real_distribution<double>(-30, 30)(gen)); break;
        default: r = std::uniform_int_distribution<int>(0, 9)(gen) == 0 ? 0.0 : 1e6; break;
      }
    }
    std::sort(ranks.begin(), ranks.end(), std::greater<>());
    auto sample = random_sample(gen, n, k, rep % 2 == 0, rep % 5 == 0);
    const double param = rep % 7 == 0 ? 1.5 : 1.0;
    std::vector<std::vector<double>> outs;
    for (PrefixPath path : paths) {
      ForcedPath forced(path);
      for (ScoreType st : {ScoreType::kStd, ScoreType::kPos, ScoreType::kNeg}) {
        outs.push_back(calc_gsea_stat_cumulative_f64(ranks, sample, st, param));
      }
    }
    for (size_t i = 3; i < outs.size(); ++i) {
      ASSERT_EQ(outs[i].size(), outs[i % 3].size());
      // Bit for bit, NaN included.
      EXPECT_EQ(std::memcmp(outs[i].data(), outs[i % 3].data(), outs[i].size() * sizeof(double)),
                0)
          << "rep " << rep << ", N " << n << ", k " << k << ", path " << i / 3;
      ++compared;
    }
  }
  if (paths.size() > 1) {
    EXPECT_GT(compared, 0u);
  }
}

TEST(PrefixScores, GenericPathMatchesBruteForce) {
  ForcedPath forced(PrefixPath::kGeneric);
  const size_t reps = sanitizer_build() ? 100 : 1500;
  Mismatch a = run_oracle(11, 40, 22, reps, 0, 4);
  EXPECT_EQ(a.bad, 0u) << "of " << a.checked << ", worst " << a.worst;
  Mismatch b = run_oracle(12, 300, 120, reps / 10, 0, 1000);
  EXPECT_EQ(b.bad, 0u) << "of " << b.checked << ", worst " << b.worst;
}

// Members drawn in list order always join after their block's best node,
// in reverse list order always at or before it; equal weights make many nodes
// tie. Wide blocks (kmax 600: 32 nodes) on every path, bit for bit.
TEST(PrefixScores, DrawOrderAroundTheBestNodeMatchesBruteForce) {
  std::mt19937_64 gen(31);
  const uint64_t n = 1500;
  const size_t k = sanitizer_build() ? 150 : 600;
  for (int weights = 0; weights < 2; ++weights) {
    std::vector<double> ranks(n);
    for (auto& r : ranks) {
      r = weights == 0 ? 5.0 : static_cast<double>(std::uniform_int_distribution<int>(1, 3)(gen));
    }
    std::sort(ranks.begin(), ranks.end(), std::greater<>());
    for (int order_kind = 0; order_kind < 3; ++order_kind) {
      auto sample = random_sample(gen, n, k, true, order_kind == 0);
      if (order_kind == 0) std::sort(sample.begin(), sample.end());
      if (order_kind == 1) std::sort(sample.begin(), sample.end(), std::greater<>());
      for (PrefixPath path : available_prefix_paths()) {
        ForcedPath forced(path);
        for (ScoreType st : {ScoreType::kStd, ScoreType::kPos, ScoreType::kNeg}) {
          const auto out = calc_gsea_stat_cumulative_f64(ranks, sample, st, 1.0);
          size_t bad = 0;
          for (size_t i = 0; i < k; ++i) bad += out[i] != oracle_score(ranks, sample, i + 1, st);
          EXPECT_EQ(bad, 0u) << "weights " << weights << ", order " << order_kind << ", type "
                             << static_cast<int>(st);
        }
      }
    }
  }
}

// Passes of 63, 64 and 65 blocks (k near 8,192: 128 nodes a block). Up to 64
// blocks the stale ones are found as one bit per block, past that block by
// block; both ways must refresh exactly the blocks whose best node may have
// changed. A stride of prefixes and the last ones, on every path, bit for bit.
TEST(PrefixScores, PassesAroundSixtyFourBlocksMatchBruteForce) {
  std::mt19937_64 gen(53);
  const uint64_t n = 9000;
  const size_t stride = sanitizer_build() ? 997 : 89;
  std::vector<double> ranks(n);
  for (auto& r : ranks) r = static_cast<double>(std::uniform_int_distribution<int>(1, 1000)(gen));
  std::sort(ranks.begin(), ranks.end(), std::greater<>());
  for (size_t k : {size_t{8000}, size_t{8100}, size_t{8191}, size_t{8250}}) {
    const auto sample = random_sample(gen, n, k, true, false);
    std::vector<size_t> prefixes;
    for (size_t i = 0; i < k; i += stride) prefixes.push_back(i);
    for (size_t i = k - 20; i < k; ++i) prefixes.push_back(i);
    std::vector<double> want;
    for (size_t i : prefixes) want.push_back(oracle_score(ranks, sample, i + 1, ScoreType::kStd));
    for (PrefixPath path : available_prefix_paths()) {
      ForcedPath forced(path);
      const auto out = calc_gsea_stat_cumulative_f64(ranks, sample, ScoreType::kStd, 1.0);
      size_t bad = 0;
      for (size_t j = 0; j < prefixes.size(); ++j) bad += out[prefixes[j]] != want[j];
      EXPECT_EQ(bad, 0u) << "k " << k << ", path " << static_cast<int>(path) << ", of "
                         << prefixes.size();
    }
  }
}

// Samples are put in list order by marking a bitmap when they are dense in
// 1..N and by sorting when they are sparse: both ways give the same scores, a
// rejected sample leaves nothing behind for the next one, and the sorting way
// rejects repeats too.
TEST(PrefixScores, DenseAndSparseSamplesAreOrderedAlike) {
  std::mt19937_64 gen(41);
  PrefixScorer scorer;
  for (uint64_t n : {uint64_t{3000}, uint64_t{200000}}) {
    std::vector<double> ranks(n);
    for (auto& r : ranks) r = static_cast<double>(std::uniform_int_distribution<int>(1, 50)(gen));
    std::sort(ranks.begin(), ranks.end(), std::greater<>());
    for (size_t k : {size_t{5}, size_t{70}, size_t{150}}) {
      auto sample = random_sample(gen, n, k, true, false);
      std::vector<double> out(k);
      // A repeated position is rejected; the same scorer then scores a valid
      // sample correctly.
      std::vector<uint64_t> repeated = sample;
      repeated.push_back(sample[k / 2]);
      std::vector<double> out_rep(k + 1);
      EXPECT_THROW(scorer.cumulative(ranks, repeated, ScoreType::kStd, 1.0, out_rep),
                   InternalError);
      scorer.cumulative(ranks, sample, ScoreType::kStd, 1.0, out);
      size_t bad = 0;
      for (size_t i = 0; i < k; ++i) {
        bad += out[i] != oracle_score(ranks, sample, i + 1, ScoreType::kStd);
      }
      EXPECT_EQ(bad, 0u) << "N " << n << ", k " << k;
    }
  }
}

TEST(PrefixScores, SingleGeneAndSignConventions) {
  std::vector<double> ranks = {9, 7, 5, 4, 3, 2, 2, 1, 1, 1};
  const uint64_t n = ranks.size();
  for (uint64_t p = 1; p <= n; ++p) {
    std::vector<uint64_t> sample = {p};
    double pos = calc_gsea_stat_cumulative_f64(ranks, sample, ScoreType::kPos, 1.0)[0];
    double neg = calc_gsea_stat_cumulative_f64(ranks, sample, ScoreType::kNeg, 1.0)[0];
    EXPECT_NEAR(pos, static_cast<double>(n - p) / static_cast<double>(n - 1), 1e-15);
    EXPECT_NEAR(neg, -static_cast<double>(p - 1) / static_cast<double>(n - 1), 1e-15);
    EXPECT_GE(pos, 0.0);
    EXPECT_LE(neg, 0.0);
  }
  // Symmetric set: equal top and bottom deviations give exactly 0 under std.
  std::vector<double> flat(10, 1.0);
  std::vector<uint64_t> ends = {1, 10};
  EXPECT_EQ(calc_gsea_stat_cumulative_f64(flat, ends, ScoreType::kStd, 1.0)[1], 0.0);
}

TEST(PrefixScores, ExponentOtherThanOneAppliesPow) {
  std::vector<double> ranks = {16, 9, 4, 4, 1, 1, 1, 1};
  std::vector<uint64_t> sample = {2, 5, 1};
  std::vector<double> sq = {4, 3, 2, 2, 1, 1, 1, 1};
  auto a = calc_gsea_stat_cumulative_f64(ranks, sample, ScoreType::kStd, 0.5);
  auto b = calc_gsea_stat_cumulative_f64(sq, sample, ScoreType::kStd, 1.0);
  for (size_t i = 0; i < a.size(); ++i) EXPECT_DOUBLE_EQ(a[i], b[i]);
  // 1 + 1e-15 is not treated as 1: the weights go through pow (and are equal).
  auto c = calc_gsea_stat_cumulative_f64(ranks, sample, ScoreType::kStd, 1.0 + 1e-15);
  auto d = calc_gsea_stat_cumulative_f64(ranks, sample, ScoreType::kStd, 1.0);
  for (size_t i = 0; i < c.size(); ++i) EXPECT_NEAR(c[i], d[i], 1e-13);
}

TEST(PrefixScores, OrderIsStableAndBadSamplesAreRejected) {
  std::vector<uint64_t> v = {5, 3, 5, 1, 3};
  EXPECT_EQ(order(v), (std::vector<size_t>{3, 1, 4, 0, 2}));
  std::vector<uint64_t> big(40);
  for (size_t i = 0; i < big.size(); ++i) big[i] = (i * 7) % 13;
  auto o = order(big);
  for (size_t i = 1; i < o.size(); ++i) {
    ASSERT_TRUE(big[o[i - 1]] < big[o[i]] || (big[o[i - 1]] == big[o[i]] && o[i - 1] < o[i]));
  }
  std::vector<double> ranks(5, 1.0);
  std::vector<uint64_t> dup = {2, 2}, zero = {0, 1}, beyond = {6};
  EXPECT_THROW(calc_gsea_stat_cumulative_f64(ranks, dup, ScoreType::kPos, 1.0), InternalError);
  EXPECT_THROW(calc_gsea_stat_cumulative_f64(ranks, zero, ScoreType::kPos, 1.0), InternalError);
  EXPECT_THROW(calc_gsea_stat_cumulative_f64(ranks, beyond, ScoreType::kPos, 1.0), InternalError);
}

}  // namespace
}  // namespace tarvelo::ruvex_compat
