// Ladders whose moves stall: a set holding all genes but one, and a ranking
// of zero weights (every set scores alike; only the hashes order them). Both
// used to run for minutes to hours; they must end quickly with a p-value that
// does not understate the exact one. Also: a deep ladder of continuous
// scores is never cut, and how a stalled ladder is read.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <random>
#include <vector>

#include "tarvelo/engine/esruler_compat.hpp"
#include "tarvelo/engine/multilevel.hpp"
#include "fixture_util.hpp"

namespace tarvelo::multilevel {
namespace {

using esruler_compat::EsRulerCompat;
using esruler_compat::Gsea;
using esruler_compat::Level;
using esruler_compat::LevelEntry;

using fixture::sanitizer_build;

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// A set of value v / 100.
LevelEntry at(int64_t v, uint64_t hash = 0) { return LevelEntry{Gsea{100, v, 100, 0, hash}, true}; }

TEST(MultilevelStall, SetOfAllGenesButOneEndsQuicklyAndConservatively) {
  // Distinct descending weights; of the n sets of n - 1 genes exactly one,
  // the one without the last gene, reaches score 1: the exact tail is 1 / n.
  const uint64_t n = sanitizer_build() ? 300 : 800;
  std::vector<int64_t> w(n);
  for (uint64_t i = 0; i < n; ++i) w[i] = static_cast<int64_t>(n - i) * 4096;
  const auto start = std::chrono::steady_clock::now();
  EsRulerCompat ruler(w, 101, n - 1);
  ruler.extend(17, 1.0, 1e-50);
  EXPECT_LT(seconds_since(start), sanitizer_build() ? 60.0 : 5.0);
  EXPECT_TRUE(ruler.cut_short());
  ASSERT_FALSE(ruler.levels().empty());
  const double p = ladder_pvalue(ruler.levels(), 1.0, ScoreType::kPos, 101, ruler.cut_short());
  EXPECT_GE(p, 1.0 / static_cast<double>(n));
  EXPECT_LE(p, 1.0);

  // The same through the group computation, on the negative side.
  std::vector<int64_t> signed_w(n);
  for (uint64_t i = 0; i < n; ++i) signed_w[i] = -w[n - 1 - i];
  const std::vector<double> es{-1.0};
  const std::vector<uint64_t> below{900};
  const auto q = group_pvalues(n - 1, es, below, 1000, 1e-50, signed_w, ScoreType::kStd, 101, 5);
  ASSERT_EQ(q.size(), 1u);
  EXPECT_GE(q[0], 1.0 / static_cast<double>(n));
  EXPECT_LE(q[0], 1.0);
}

TEST(MultilevelStall, ZeroWeightsEndQuickly) {
  // All sets score 0 and no set reaches 0.3: the exact tail is 0, and the
  // ladder can only climb by hash, each level halving the share of accepted
  // moves.
  const std::vector<int64_t> w(2000, 0);
  for (uint64_t k : {15, 200}) {
    const auto start = std::chrono::steady_clock::now();
    EsRulerCompat ruler(w, 101, k);
    ruler.extend(3, 0.3, 1e-50);
    EXPECT_LT(seconds_since(start), sanitizer_build() ? 60.0 : 5.0) << k;
    EXPECT_TRUE(ruler.cut_short()) << k;
    const double p = ladder_pvalue(ruler.levels(), 0.3, ScoreType::kPos, 101, ruler.cut_short());
    EXPECT_GT(p, 0.0) << k;
    EXPECT_LE(p, 1.0) << k;
  }
}

TEST(MultilevelStall, DeepLadderOfContinuousScoresIsNeverCut) {
  std::mt19937_64 g(5);
  std::normal_distribution<double> normal;
  std::vector<int64_t> w(5000);
  for (auto& x : w) x = static_cast<int64_t>(std::fabs(normal(g)) * 65536.0);
  std::sort(w.begin(), w.end(), [](int64_t a, int64_t b) { return a > b; });
  EsRulerCompat ruler(w, 101, 40);
  // No set reaches 1: only the depth limit ends the ladder.
  ruler.extend(9, 1.0, sanitizer_build() ? 1e-8 : 1e-25);
  EXPECT_FALSE(ruler.cut_short());
  EXPECT_GT(ruler.levels().size(), 20u);
}

TEST(MultilevelStall, StalledLadderReadsItsLastLevelWithOneSetAdded) {
  // S = 4: level 0 keeps 2 of 4 above 0.20; level 1 keeps 2 above 0.45.
  std::vector<Level> levels(2);
  levels[0].below = {at(10), at(20)};
  levels[0].above = {at(30), at(40)};
  levels[0].bound = at(20).gsea;
  levels[1].below = {at(35), at(45)};
  levels[1].above = {at(50), at(60)};
  levels[1].bound = at(45).gsea;
  const double l = 0.0 + -1.0 / 3 + -1.0 / 4;  // level 0's share, about 1/2
  // 0.55: one of level 1's four sets reaches it, read (1 + 1) / (4 + 1).
  EXPECT_EQ(ladder_pvalue(levels, 0.55, ScoreType::kPos, 4, true), std::exp(l) * (2.0 / 5.0));
  // 0.70: none does, (0 + 1) / (4 + 1), not the one in four of a full ladder.
  EXPECT_EQ(ladder_pvalue(levels, 0.70, ScoreType::kPos, 4, true), std::exp(l) * (1.0 / 5.0));
  // Scores within the ladder read as always.
  EXPECT_EQ(ladder_pvalue(levels, 0.40, ScoreType::kPos, 4, true),
            ladder_pvalue(levels, 0.40, ScoreType::kPos, 4, false));
  // Never below the reading of the full ladder beyond its bound.
  for (double x : {0.46, 0.55, 0.6, 0.7, 0.9}) {
    EXPECT_GE(ladder_pvalue(levels, x, ScoreType::kPos, 4, true),
              ladder_pvalue(levels, x, ScoreType::kPos, 4, false))
        << x;
  }
}

}  // namespace
}  // namespace tarvelo::multilevel
