// Timing of the multilevel ruler: one size group of k = 50 on N = 20,000 genes
// with normally distributed scores, sampleSize 101, ladders deep enough for
// p-values of 1e-10, 1e-20 and 1e-50 (the depth limit eps stops them). Prints
// the median of several runs (different seeds) per target: time per ruler and
// per level, and the number of levels. One thread.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "tarvelo/core.hpp"
#include "tarvelo/esruler_compat.hpp"
#include "tarvelo/multilevel.hpp"

using namespace tarvelo;

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::stoi(argv[1]) : 5;
  const uint64_t n = 20000, k = 50, s = 101;
  std::mt19937_64 rng(42);
  std::normal_distribution<double> normal;
  std::vector<std::string> genes(n);
  std::vector<double> scores(n);
  for (uint64_t i = 0; i < n; ++i) {
    genes[i] = "g" + std::to_string(i);
    scores[i] = normal(rng);
  }
  const RankedList ranked(genes, scores);
  const PreparedRanks prepared = ranked.prepare(1.0);
  std::vector<int64_t> w(prepared.scaled_weights);
  for (auto& x : w) x = x < 0 ? -x : x;

  for (double target : {1e-10, 1e-20, 1e-50}) {
    std::vector<double> seconds, per_level;
    std::vector<size_t> levels;
    for (int r = 0; r < runs; ++r) {
      esruler_compat::EsRulerCompat ruler(w, s, k);
      const auto start = std::chrono::steady_clock::now();
      // A score no set reaches: only the depth limit ends the ladder.
      ruler.extend(static_cast<uint32_t>(1000 + r), 1.0, target);
      const double t =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      seconds.push_back(t);
      levels.push_back(ruler.levels().size());
      per_level.push_back(t / static_cast<double>(ruler.levels().size()));
    }
    std::sort(seconds.begin(), seconds.end());
    std::sort(per_level.begin(), per_level.end());
    std::sort(levels.begin(), levels.end());
    std::printf("target %-6g: %8.3f s per ruler, %7.3f ms per level, %3zu levels (median of %d)\n",
                target, seconds[runs / 2], per_level[runs / 2] * 1e3, levels[runs / 2], runs);
  }

  // The whole group computation for one pathway at p about 1e-50 (positive
  // ruler only: the group has no negative score).
  {
    std::vector<double> seconds;
    for (int r = 0; r < runs; ++r) {
      const double es[] = {0.99};
      const uint64_t cnt[] = {1000};
      const auto start = std::chrono::steady_clock::now();
      const auto p = multilevel::group_pvalues(k, es, cnt, 1000, 1e-50, prepared.scaled_weights,
                                               ScoreType::kPos, s, 1000 + r);
      seconds.push_back(
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
      if (r == 0) std::printf("group p-value (es 0.99, eps 1e-50): %g\n", p[0]);
    }
    std::sort(seconds.begin(), seconds.end());
    std::printf("group computation, eps 1e-50: %8.3f s (median of %d)\n", seconds[runs / 2], runs);
  }
  return 0;
}
