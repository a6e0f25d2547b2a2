// Timing of the decor cache data path on the example data: reading the
// expression matrix (gzip), building the redundancy cache for every GO BP set,
// writing it (plain and gzip), reading it back, and a reuse-mode provision
// (two digests and a cache read). Prints the median of several runs.
//
// Usage: bench_decor [threads] [data dir]   (defaults: pool default,
// examples/data)
//        bench_decor tail [runs]
//   times the multilevel tail alone (one thread, as one candidate runs): sets
//   of 50 and 400 of 8,500 normal scores, S = 101, down to 1e-8; prints the
//   median and the estimates, which must not change with the build.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench_util.hpp"
#include "tarvelo/decor/cache.hpp"
#include "tarvelo/decor/expression.hpp"
#include "tarvelo/decor/modes.hpp"
#include "tarvelo/decor/tail.hpp"
#include "tarvelo/base/io.hpp"
#include "tarvelo/base/pool.hpp"

using namespace tarvelo;
using namespace tarvelo::decor;
using bench::median_ms;
using bench::must;

namespace {

int bench_tail(int runs) {
  const uint64_t n = 8500;
  std::mt19937_64 rng(7);
  std::normal_distribution<double> normal;
  std::uniform_real_distribution<double> penalty(0.3, 1.0);
  // Integer-valued ranks, descending, like the scaled weights of a ranking.
  std::vector<double> ranks(n);
  for (auto& r : ranks) r = std::round(normal(rng) * 65536.0);
  std::sort(ranks.begin(), ranks.end(), [](double a, double b) { return a > b; });
  for (uint64_t k : {50, 400}) {
    std::vector<double> weights(k);
    for (auto& w : weights) w = penalty(rng);
    std::optional<double> tail;
    // No set reaches a score of 1: only the target (1e-8) ends the estimate.
    const double ms = median_ms([&] {
      tail = decor::run_decor_multilevel_tail(ranks, weights, n, ScoreType::kStd, 101, 12345, 1.0,
                                              1e-8);
    }, runs);
    std::printf("tail k %3llu: %9.1f ms (median of %d), estimate %.17g\n",
                static_cast<unsigned long long>(k), ms, runs, tail ? *tail : -1.0);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "tail") == 0) return bench_tail(argc > 2 ? std::atoi(argv[2]) : 5);
  if (argc > 1) pool::ensure_global_pool(static_cast<size_t>(std::atoi(argv[1])));
  const std::string data = argc > 2 ? argv[2] : bench::kDataDir;
  const std::string gmt = data + "/go_bp.gmt";
  const std::string expr = data + "/a_expression.tsv.gz";
  const std::string out_dir = "bench_decor_out";
  std::filesystem::create_directories(out_dir);

  const std::vector<Pathway> pathways = bench::load_gmt(gmt);
  std::printf("threads %zu, %zu pathways\n", pool::current_threads(), pathways.size());

  ExpressionMatrix m;
  const double t_read = median_ms([&] { m = must(decor::read_expression_matrix(expr), "matrix"); });
  std::printf("read expression matrix (%zu genes x %zu samples, gzip): %8.1f ms\n", m.genes.size(),
              m.n_samples, t_read);

  DecorOptions o;
  DecorCache cache;
  const double t_build = median_ms([&] {
    cache = decor::build_decor_cache_from_expression(pathways, m, o, "g", "e");
  });
  std::printf("build cache (%llu rows):                          %8.1f ms\n",
              static_cast<unsigned long long>(cache.metadata.n_rows), t_build);

  for (const std::string name : {"cache.tsv", "cache.tsv.gz"}) {
    const std::string p = out_dir + "/" + name;
    const double t_write = median_ms([&] {
      const Status s = decor::write_decor_cache_atomic(p, cache);
      if (!s.ok()) std::exit(2);
    });
    DecorCache back;
    const double t_back = median_ms([&] { back = must(decor::read_decor_cache(p), "read cache"); });
    std::printf("%-13s write %8.1f ms, read %8.1f ms (%.1f MB on disk)\n", name.c_str(), t_write,
                t_back, static_cast<double>(std::filesystem::file_size(p)) / 1e6);
    // The text must not depend on the thread count: compare across runs.
    if (name == "cache.tsv") {
      std::printf("  sha256 of the plain cache: %s\n", must(decor::file_sha256(p), "sha").c_str());
    }
  }

  DecorOptions reuse;
  reuse.cache_path = out_dir + "/provision.tsv.gz";
  reuse.expression_path = expr;
  reuse.cache_mode = DecorCacheMode::kRebuild;
  const double t_rebuild = median_ms([&] {
    (void)must(decor::ensure_decor_cache_for_paths(pathways, gmt, reuse), "rebuild");
  }, 3);
  reuse.cache_mode = DecorCacheMode::kReuse;
  const double t_reuse = median_ms([&] {
    (void)must(decor::ensure_decor_cache_for_paths(pathways, gmt, reuse), "reuse");
  });
  std::printf("provision, mode rebuild (digests, read, build, write gz): %8.1f ms\n", t_rebuild);
  std::printf("provision, mode reuse (digests, read gz):                 %8.1f ms\n", t_reuse);
  std::filesystem::remove_all(out_dir);
  return 0;
}
