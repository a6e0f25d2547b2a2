// Multilevel p-values: reading the ladder (hand-built levels), the group
// computation's edge cases and determinism, and the estimate's accuracy against
// exact tail probabilities of rankings small enough to enumerate.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#include <vector>

#include "tarvelo/engine/esruler_compat.hpp"
#include "tarvelo/engine/multilevel.hpp"
#include "tarvelo/engine/special_compat.hpp"
#include "fixture_util.hpp"

namespace tarvelo::multilevel {
namespace {

using esruler_compat::EsRulerCompat;
using esruler_compat::Gsea;
using esruler_compat::Level;
using esruler_compat::LevelEntry;

using fixture::sanitizer_build;

// A set of value v / 100.
LevelEntry at(int64_t v, bool nonneg = true, uint64_t hash = 0) {
  return LevelEntry{Gsea{100, v, 100, 0, hash}, nonneg};
}

TEST(LadderPvalueTest, ReadsHandBuiltLevels) {
  // S = 4. Level 0 keeps 2 of 4 above 0.20; level 1 keeps 2 above 0.45, one of
  // which has a negative two-sided score.
  std::vector<Level> levels(2);
  levels[0].below = {at(10), at(20)};
  levels[0].above = {at(30), at(40)};
  levels[0].bound = at(20).gsea;
  levels[1].below = {at(35), at(45)};
  levels[1].above = {at(50, false), at(60)};
  levels[1].bound = at(45).gsea;

  const double l = 0.0 + -1.0 / 3 + -1.0 / 4;  // level 0, not reached
  // x = 0.40 reaches level 1's bound: 0.45 and both upper sets count
  // (without the negative one for the two-sided score).
  EXPECT_EQ(ladder_pvalue(levels, 0.40, ScoreType::kPos, 4), std::exp(l + (0.0 + -1.0 / 3 + -1.0 / 4)));
  EXPECT_EQ(ladder_pvalue(levels, 0.40, ScoreType::kStd, 4),
            std::exp(l + (0.0 + -1.0 / 2 + -1.0 / 3 + -1.0 / 4)));
  // x = 0.10 reaches level 0: all four sets are at or above it.
  EXPECT_EQ(ladder_pvalue(levels, 0.10, ScoreType::kNeg, 4), std::exp(0.0 + (0.0 + -1.0 / 4)));
  // Beyond every bound: the last level's upper sets with S' = 2. One reaches
  // 0.55; none reaches 0.70, read like one.
  const double l2 = l + -1.0 / 3 + -1.0 / 4;
  EXPECT_EQ(ladder_pvalue(levels, 0.55, ScoreType::kPos, 4), std::exp(l2 + (0.0 + -1.0 + -1.0 / 2)));
  EXPECT_EQ(ladder_pvalue(levels, 0.70, ScoreType::kStd, 4), std::exp(l2 + (0.0 + -1.0 + -1.0 / 2)));
  // No ladder, no estimate.
  EXPECT_TRUE(std::isnan(ladder_pvalue({}, 0.5, ScoreType::kPos, 4)));
  // Capped at 1.
  std::vector<Level> one(1);
  one[0].below = {at(10)};
  one[0].above = {at(30)};
  one[0].bound = at(10).gsea;
  EXPECT_EQ(ladder_pvalue(one, 0.0, ScoreType::kPos, 1), 1.0);
}

std::vector<int64_t> ranked_weights(uint64_t n, uint64_t salt) {
  // Decreasing-ish integer weights with some ties and a zero.
  std::vector<int64_t> w(n);
  uint64_t x = 0x9e3779b97f4a7c15ULL ^ salt;
  for (uint64_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    w[i] = static_cast<int64_t>((n - i) * 1000 + x % 700);
  }
  w[n / 2] = 0;
  w[n / 2 + 1] = w[n / 2 + 2];
  return w;
}

TEST(GroupPvaluesTest, EdgeCases) {
  const auto w = ranked_weights(30, 1);
  const double es[] = {0.5, -0.2};
  const uint64_t n[] = {100, 100};
  // No genes or an empty pathway size: 1.0.
  EXPECT_EQ(group_pvalues(0, es, n, 1000, 0.0, w, ScoreType::kStd, 11, 5),
            (std::vector<double>{1.0, 1.0}));
  EXPECT_EQ(group_pvalues(3, es, n, 1000, 0.0, {}, ScoreType::kStd, 11, 5),
            (std::vector<double>{1.0, 1.0}));
  // One set per ruler never makes a level: NaN.
  const auto p1 = group_pvalues(3, es, n, 1000, 0.0, w, ScoreType::kStd, 1, 5);
  EXPECT_TRUE(std::isnan(p1[0]) && std::isnan(p1[1]));
  // A sample size that cannot be held in memory.
  EXPECT_THROW(group_pvalues(3, es, n, 1000, 0.0, w, ScoreType::kStd, uint64_t{1} << 50, 5),
               std::bad_alloc);
}

TEST(GroupPvaluesTest, SignsUseMirroredRulersAndResultsAreDeterministic) {
  // Mirror-symmetric weights: the negative ruler sees the same weights as the
  // positive one and, with the same seed, builds the same ladder.
  auto w = ranked_weights(40, 2);
  for (size_t i = 0; i < 20; ++i) w[39 - i] = -w[i];
  const double es[] = {0.62, -0.62, 0.3};
  const uint64_t n[] = {500, 500, 500};
  const auto p = group_pvalues(4, es, n, 1000, 0.0, w, ScoreType::kPos, 21, 77);
  EXPECT_EQ(p[0], p[1]);
  EXPECT_GT(p[2], p[0]);

  // The same as building the two rulers by hand one after the other (the group
  // may extend them in parallel).
  std::vector<int64_t> pos(40), neg(40);
  for (size_t i = 0; i < 40; ++i) pos[i] = std::abs(w[i]);
  for (size_t i = 0; i < 40; ++i) neg[i] = pos[39 - i];
  EsRulerCompat rp(pos, 21, 4), rn(neg, 21, 4);
  const double eps_group = 1e-9 * (501.0 / 1001.0);
  rp.extend(77, 0.62, eps_group);
  rn.extend(77, 0.62, eps_group);
  const auto q = group_pvalues(4, es, n, 1000, 1e-9, w, ScoreType::kStd, 21, 77);
  EXPECT_EQ(q[0], ladder_pvalue(rp.levels(), 0.62, ScoreType::kStd, 21));
  EXPECT_EQ(q[1], ladder_pvalue(rn.levels(), 0.62, ScoreType::kStd, 21));
  EXPECT_EQ(q[2], ladder_pvalue(rp.levels(), 0.3, ScoreType::kStd, 21));
  // Repeatable, and only the low 32 bits of the seed count.
  EXPECT_EQ(group_pvalues(4, es, n, 1000, 1e-9, w, ScoreType::kStd, 21, 77 + (uint64_t{1} << 32)), q);
}

// --- accuracy ---------------------------------------------------------------

double log2err(double p, uint64_t s) {
  return std::sqrt(std::floor(1.0 - std::log2(p)) *
                   (special_compat::trigamma((s + 1.0) * 0.5) - special_compat::trigamma(s + 1.0))) /
         0.6931471805599453;
}

// Mean over seeds of log2 of the estimate of P(value >= x) for random k-sets.
double mean_log2_estimate(const std::vector<int64_t>& w, uint64_t k, double x, uint64_t s,
                          int seeds) {
  double sum = 0.0;
  for (int seed = 1; seed <= seeds; ++seed) {
    const double es[] = {x};
    const uint64_t n[] = {1000};
    const double p = group_pvalues(k, es, n, 1000, 0.0, w, ScoreType::kPos, s,
                                   static_cast<uint64_t>(seed) * 7919)[0];
    EXPECT_TRUE(p > 0.0 && p <= 1.0) << p;
    sum += std::log2(p);
  }
  return sum / seeds;
}

// Visits every k-subset of {0..n-1} in ascending order.
template <class F>
void for_each_subset(uint64_t n, uint64_t k, F&& f) {
  std::vector<uint64_t> idx(k);
  for (uint64_t i = 0; i < k; ++i) idx[i] = i;
  while (true) {
    f(idx);
    int64_t i = static_cast<int64_t>(k) - 1;
    while (i >= 0 && idx[i] == n - k + static_cast<uint64_t>(i)) --i;
    if (i < 0) return;
    ++idx[i];
    for (uint64_t j = static_cast<uint64_t>(i) + 1; j < k; ++j) idx[j] = idx[j - 1] + 1;
  }
}

TEST(MultilevelAccuracyTest, CentresOnTheEnumeratedTailAroundOneIn100000) {
  // N = 40, k = 5: 658,008 sets, all scored exactly. x is put on the
  // fixed-point grid so that "value >= x" is the ruler's own reach test.
  const uint64_t n = sanitizer_build() ? 30 : 40, k = 5, s = 101;
  const auto w = ranked_weights(n, 3);
  std::vector<uint64_t> hash(n, 0);
  std::vector<int64_t> fixed;  // floor(value * 2^30) of every set
  for_each_subset(n, k, [&](const std::vector<uint64_t>& genes) {
    const Gsea g = esruler_compat::score_set(w, hash, genes).gsea;
    // The largest xf the set reaches.
    int64_t lo = 0, hi = int64_t{1} << 31;
    while (hi - lo > 1) {
      const int64_t mid = lo + (hi - lo) / 2;
      (g.reaches(mid) ? lo : hi) = mid;
    }
    fixed.push_back(lo);
  });
  std::sort(fixed.rbegin(), fixed.rend());
  const double total = static_cast<double>(fixed.size());
  // The score of the set ranked about total * 1e-5 from the top (at least 4th).
  const size_t rank = std::max<size_t>(3, static_cast<size_t>(total * 1e-5));
  const int64_t xf = fixed[rank];
  const double x = static_cast<double>(xf) / 1073741824.0;
  size_t count = 0;
  while (count < fixed.size() && fixed[count] >= xf) ++count;
  const double exact = static_cast<double>(count) / total;

  const int seeds = sanitizer_build() ? 4 : 24;
  const double mean = mean_log2_estimate(w, k, x, s, seeds);
  // The mean of 24 estimates has a standard error of log2err / sqrt(24); ask
  // for half a log2err (a quarter of a bit at these sizes).
  const double err = log2err(exact, s) * (sanitizer_build() ? 1.0 : 0.5);
  EXPECT_NEAR(mean, std::log2(exact), err)
      << "exact " << exact << " (" << count << " of " << total << " sets)";
}

TEST(MultilevelAccuracyTest, CentresOnTheTopSetFarBelowEnumeration) {
  // Strictly decreasing positive weights: the only set of value 1 (all weight
  // before the first miss) is the top k genes, so P(value >= 1) = 1 / C(N, k),
  // here about 6e-14. The fixed-point bound check stops the ladder there.
  const uint64_t n = 100, k = 10, s = 101;
  std::vector<int64_t> w(n);
  for (uint64_t i = 0; i < n; ++i) w[i] = static_cast<int64_t>((n - i) * 37 + (i % 3));
  double log2_exact = 0.0;  // -log2 C(n, k)
  for (uint64_t i = 0; i < k; ++i) log2_exact -= std::log2(double(n - i) / double(i + 1));
  const int seeds = sanitizer_build() ? 2 : 20;
  const double mean = mean_log2_estimate(w, k, 1.0, s, seeds);
  EXPECT_NEAR(mean, log2_exact, log2err(std::exp2(log2_exact), s) * (sanitizer_build() ? 1.0 : 0.5))
      << std::exp2(log2_exact);
}

}  // namespace
}  // namespace tarvelo::multilevel
