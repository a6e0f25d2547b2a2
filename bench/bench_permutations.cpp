// Permutation engine throughput: N = 20,000 genes, 2,000 pathways of sizes
// 15..500, 10,000 permutations. Prints medians of several runs.
//
//   bench_permutations [runs] [prefix]
// With "prefix" only the prefix-score timings per instruction set path run.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <tbb/task_arena.h>

#include "bench_util.hpp"
#include "tarvelo/base/pool.hpp"
#include "tarvelo/engine/rng_compat.hpp"
#include "tarvelo/engine/ruvex_compat.hpp"
#include "tarvelo/engine/ruvex_kernels.hpp"

using namespace tarvelo;
using namespace tarvelo::ruvex_compat;

namespace {

// Median wall time of `runs` calls of f, in seconds.
template <class F>
double median_time(int runs, F&& f) {
  return bench::median_ms(f, runs) / 1e3;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const uint64_t n = 20000, nperm = 10000;
  const size_t npath = 2000;

  // Scores ~ N(0, 1) ranked descending, scaled to integer weights summing to
  // about 2^30, as the engine prepares them.
  std::mt19937_64 gen(20261207);
  std::normal_distribution<double> normal;
  std::vector<double> scores(n);
  for (double& s : scores) s = normal(gen);
  std::sort(scores.begin(), scores.end(), std::greater<>());
  double total = 0;
  for (double s : scores) total += std::fabs(s);
  const double factor = std::floor(1073741824.0 / total);
  std::vector<double> ranks(n);
  for (uint64_t i = 0; i < n; ++i) ranks[i] = std::nearbyint(std::fabs(scores[i]) * factor);

  std::vector<uint64_t> sizes(npath);
  std::vector<double> es(npath);
  std::uniform_int_distribution<uint64_t> size_dist(15, 500);
  std::uniform_real_distribution<double> es_dist(-0.7, 0.7);
  for (size_t j = 0; j < npath; ++j) {
    sizes[j] = size_dist(gen);
    es[j] = es_dist(gen);
  }
  sizes[0] = 500;
  BatchInput in{nperm, 424242, ranks, n, ScoreType::kStd, sizes, es};

  // Prefix scores of one kmax = 500 sample, on every instruction set path.
  {
    auto mt = rng_compat::Mt19937::seed(1);
    std::vector<std::vector<uint64_t>> samples(2000);
    for (auto& s : samples) rng_compat::combination(1, n, 500, mt, s);
    PrefixScorer scorer;
    std::vector<double> out(500);
    for (PrefixPath path : available_prefix_paths()) {
      force_prefix_path(path);
      for (ScoreType st : {ScoreType::kStd, ScoreType::kPos}) {
        double t = median_time(runs, [&] {
          for (const auto& s : samples) scorer.cumulative(ranks, s, st, 1.0, out);
        });
        std::printf("calc_gsea_stat_cumulative_f64 kmax=500 %s, %s path: %.2f us per sample "
                    "(median of %d)\n",
                    st == ScoreType::kStd ? "std" : "pos",
                    path == PrefixPath::kAvx2 ? "avx2" : "generic", t / samples.size() * 1e6,
                    runs);
      }
    }
    force_prefix_path(PrefixPath::kAuto);
  }
  if (argc > 2 && std::string(argv[2]) == "prefix") return 0;

  BatchCounts ref;
  double t_seq = median_time(runs, [&] { ref = calc_gsea_stat_cumulative_batch_f64_sequential(in); });
  std::printf("sequential kernel, 1 thread: %.3f s, %.0f permutations/s\n", t_seq, nperm / t_seq);

  const size_t all = pool::current_threads();
  std::vector<size_t> counts = {1, 2, 4};
  if (all > 4) counts.push_back(all);
  for (size_t t : counts) {
    tbb::task_arena arena(static_cast<int>(t));
    BatchCounts got;
    double ti = median_time(runs, [&] {
      got = calc_gsea_stat_cumulative_batch_f64_thread_invariant_parallel(in, &arena);
    });
    const bool same = got.le_es == ref.le_es && got.ge_es == ref.ge_es &&
                      got.le_zero_sum == ref.le_zero_sum && got.ge_zero_sum == ref.ge_zero_sum;
    std::printf("thread-invariant kernel, %zu threads: %.3f s, %.0f permutations/s%s\n", t, ti,
                nperm / ti, same ? "" : "  (COUNTS DIFFER)");
  }
  for (size_t t : {size_t{2}, all}) {
    tbb::task_arena arena(static_cast<int>(t));
    double tc = median_time(runs, [&] {
      (void)calc_gsea_stat_cumulative_batch_f64_parallel(in, t, &arena);
    });
    std::printf("chunked kernel, %zu threads: %.3f s, %.0f permutations/s\n", t, tc, nperm / tc);
  }
  return 0;
}
