// Timing of the multilevel ruler: one size group of k = 50 on N = 20,000 genes
// with normally distributed scores, sampleSize 101, ladders deep enough for
// p-values of 1e-10, 1e-20 and 1e-50 (the depth limit eps stops them). Prints
// the median of several runs (different seeds) per target: time per ruler and
// per level, and the number of levels. One thread.
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "bench_util.hpp"
#include "tarvelo/engine/records.hpp"
#include "tarvelo/engine/esruler_compat.hpp"
#include "tarvelo/engine/multilevel.hpp"

using namespace tarvelo;

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::stoi(argv[1]) : 5;
  const uint64_t n = 20000, k = 50, s = 101;
  std::mt19937_64 rng(42);
  const auto [genes, scores] = bench::normal_gene_scores(n, rng, "g");
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
      const double t = bench::seconds_since(start);
      seconds.push_back(t);
      levels.push_back(ruler.levels().size());
      per_level.push_back(t / static_cast<double>(ruler.levels().size()));
    }
    std::printf("target %-6g: %8.3f s per ruler, %7.3f ms per level, %3zu levels (median of %d)\n",
                target, bench::median(seconds), bench::median(per_level) * 1e3,
                bench::median(levels), runs);
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
      seconds.push_back(bench::seconds_since(start));
      if (r == 0) std::printf("group p-value (es 0.99, eps 1e-50): %g\n", p[0]);
    }
    std::printf("group computation, eps 1e-50: %8.3f s (median of %d)\n", bench::median(seconds),
                runs);
  }
  return 0;
}
