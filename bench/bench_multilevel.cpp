// Timing of the multilevel ruler: one size group of k = 50 on N = 20,000 genes
// with normally distributed scores, sampleSize 101, ladders deep enough for
// p-values of 1e-10, 1e-20 and 1e-50 (the depth limit eps stops them). Prints
// the median of several runs (different seeds) per target: time per ruler and
// per level, and the number of levels. One thread.
//
// Then one refined pathway of k = 200 (p near 1e-20: the depth limit stops its
// ladder) through the group computation on 1 thread and on all threads (the
// passes of a level run in parallel), and the cost of one swap attempt at the
// deepest level of such a ladder, on one thread.
//
// Usage: bench_multilevel [runs=5] [threads=0 (all)] [attempts]
// With a third argument only the per-attempt cost is measured, over 40 passes
// (small enough to run under callgrind).
#include <tbb/task_arena.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.hpp"
#include "tarvelo/base/pool.hpp"
#include "tarvelo/engine/records.hpp"
#include "tarvelo/engine/esruler_compat.hpp"
#include "tarvelo/engine/multilevel.hpp"

using namespace tarvelo;

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::stoi(argv[1]) : 5;
  size_t all = argc > 2 ? std::stoul(argv[2]) : 0;
  if (all == 0) all = std::max(1u, std::thread::hardware_concurrency());
  const bool attempts_only = argc > 3;
  tbb::task_arena one(1);
  const uint64_t n = 20000, k = 50, s = 101;
  std::mt19937_64 rng(42);
  const auto [genes, scores] = bench::normal_gene_scores(n, rng, "g");
  const RankedList ranked(genes, scores);
  const PreparedRanks prepared = ranked.prepare(1.0);
  std::vector<int64_t> w(prepared.scaled_weights);
  for (auto& x : w) x = x < 0 ? -x : x;

  for (double target : {1e-10, 1e-20, 1e-50}) {
    if (attempts_only) break;
    std::vector<double> seconds, per_level;
    std::vector<size_t> levels;
    for (int r = 0; r < runs; ++r) {
      esruler_compat::EsRulerCompat ruler(w, s, k);
      const auto start = std::chrono::steady_clock::now();
      // A score no set reaches: only the depth limit ends the ladder.
      pool::execute_in(one, [&] { ruler.extend(static_cast<uint32_t>(1000 + r), 1.0, target); });
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
  if (!attempts_only) {
    std::vector<double> seconds;
    for (int r = 0; r < runs; ++r) {
      const double es[] = {0.99};
      const uint64_t cnt[] = {1000};
      const auto start = std::chrono::steady_clock::now();
      const auto p = pool::execute_in(one, [&] {
        return multilevel::group_pvalues(k, es, cnt, 1000, 1e-50, prepared.scaled_weights,
                                         ScoreType::kPos, s, 1000 + r);
      });
      seconds.push_back(bench::seconds_since(start));
      if (r == 0) std::printf("group p-value (es 0.99, eps 1e-50): %g\n", p[0]);
    }
    std::printf("group computation, eps 1e-50: %8.3f s (median of %d)\n", bench::median(seconds),
                runs);
  }

  // One refined pathway of k = 200 at p near 1e-20, on 1 and on all threads.
  const uint64_t k200 = 200;
  if (!attempts_only) {
    double one_thread = 0.0;
    for (size_t threads : {size_t{1}, all}) {
      tbb::task_arena arena(static_cast<int>(threads));
      std::vector<double> seconds;
      for (int r = 0; r < runs; ++r) {
        const double es[] = {0.99};
        const uint64_t cnt[] = {1000};
        const auto start = std::chrono::steady_clock::now();
        // eps 1e-20 for the pathway: the group limit is eps * (n + 1) / (nperm + 1).
        pool::execute_in(arena, [&] {
          return multilevel::group_pvalues(k200, es, cnt, 1000, 1e-20, prepared.scaled_weights,
                                           ScoreType::kPos, s, 2000 + r);
        });
        seconds.push_back(bench::seconds_since(start));
      }
      const double t = bench::median(seconds);
      if (threads == 1) one_thread = t;
      std::printf("one pathway k=200, p ~1e-20, threads=%-3zu %8.3f s  (x%.2f, median of %d)\n",
                  threads, t, one_thread / t, runs);
      if (threads == all) break;
    }
  }

  // Cost of one attempt at the deepest level of a k = 200 ladder: the sets as
  // the ladder left them, moved against its last bound, one thread.
  {
    esruler_compat::EsRulerCompat ruler(w, s, k200);
    pool::execute_in(one, [&] { ruler.extend(2000, 1.0, 1e-20); });
    const esruler_compat::Gsea bound = ruler.levels().back().bound;
    ruler.chunk_sets_for_testing();
    auto gen = rng_compat::Mt19937::seed(7);
    const int passes = attempts_only ? 40 : 400;
    const uint64_t attempts = static_cast<uint64_t>(passes) * s * (k200 / 10);
    std::vector<double> per_attempt;
    for (int r = 0; r < runs; ++r) {
      const auto start = std::chrono::steady_clock::now();
      int64_t moves = 0;
      pool::execute_in(one, [&] {
        for (int p = 0; p < passes; ++p) moves += ruler.perturbate_all(bound, gen);
      });
      per_attempt.push_back(bench::seconds_since(start) / static_cast<double>(attempts));
      if (r == 0) {
        std::printf("deepest level (%zu levels): %.1f %% of attempts accepted\n",
                    ruler.levels().size(), 100.0 * static_cast<double>(moves) / attempts);
      }
    }
    std::printf("per attempt at k=200: %6.1f ns (median of %d)\n", bench::median(per_attempt) * 1e9,
                runs);
  }
  return 0;
}
