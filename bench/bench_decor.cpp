// Timing of the decor cache data path on the example data: reading the
// expression matrix (gzip), building the redundancy cache for every GO BP set,
// writing it (plain and gzip), reading it back, and a reuse-mode provision
// (two digests and a cache read). Prints the median of several runs.
//
// Usage: bench_decor [threads] [data dir]   (defaults: pool default,
// examples/data)
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_util.hpp"
#include "tarvelo/decor/cache.hpp"
#include "tarvelo/decor/expression.hpp"
#include "tarvelo/decor/modes.hpp"
#include "tarvelo/base/io.hpp"
#include "tarvelo/base/pool.hpp"

using namespace tarvelo;
using namespace tarvelo::decor;
using bench::median_ms;
using bench::must;

int main(int argc, char** argv) {
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
