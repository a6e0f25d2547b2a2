// The random-set stage of the blitz calibration (permutations and float32
// walks, no gamma fits) on a ranking file: per-anchor cost and the total for
// one worker. Usage: bench_blitz_calibration [ranks.tsv] [max_set_size] [permutations]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_util.hpp"
#include "tarvelo/blitz/calibration.hpp"

using namespace tarvelo::blitz;

int main(int argc, char** argv) {
  const std::string path = argc > 1 ? argv[1] : std::string(bench::kDataDir) + "/a_ranks.tsv";
  const uint64_t max_set = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 500;
  const uint64_t perms = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 1000;
  std::vector<double> w;
  for (double s : bench::load_ranks(path).scores) w.push_back(std::fabs(s));
  std::sort(w.begin(), w.end(), std::greater<>());
  const size_t n = w.size();
  const auto sizes = anchor_sizes(max_set, 40, n);
  std::printf("genes %zu, anchors %zu, permutations %llu\n", n, sizes.size(),
              static_cast<unsigned long long>(perms));

  compat::NumpyMt19937 rng(0);
  std::vector<uint32_t> perm(n), hits;
  double t_shuffle = 0, t_walk = 0, t_naive = 0, sink = 0;
  using clock = std::chrono::steady_clock;
  for (uint64_t k : sizes) {
    for (uint64_t d = 0; d < perms; ++d) {
      auto t0 = clock::now();
      rng.permutation(perm.data(), n);
      auto t1 = clock::now();
      double wsum = 0;
      for (size_t t = 0; t < k; ++t) wsum += w[perm[t]];
      hits.assign(perm.begin(), perm.begin() + k);
      std::sort(hits.begin(), hits.end());
      sink += anchor_set_es(w.data(), n, hits.data(), k, wsum);
      auto t2 = clock::now();
      if (d % 50 == 0) sink += anchor_set_es_naive(w.data(), n, hits.data(), k, wsum);
      auto t3 = clock::now();
      t_shuffle += std::chrono::duration<double>(t1 - t0).count();
      t_walk += std::chrono::duration<double>(t2 - t1).count();
      t_naive += std::chrono::duration<double>(t3 - t2).count() * 50;
    }
  }
  const double sets = static_cast<double>(sizes.size() * perms);
  std::printf("per set: shuffle %.2f us, batched walk %.2f us, naive walk %.2f us\n",
              1e6 * t_shuffle / sets, 1e6 * t_walk / sets, 1e6 * t_naive / sets);
  std::printf("one worker, all anchors: %.3f s (checksum %g)\n", t_shuffle + t_walk, sink);
}
