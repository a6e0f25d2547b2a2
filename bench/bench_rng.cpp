// Timing of the engine's random draws: combination() as the permutation
// kernels call it, and R-compatible sampling without replacement with a fresh
// pool per call versus the reusable stamped scratch. Prints the median of
// several runs of each case (single thread).
#include <cstdio>
#include <vector>

#include "bench_util.hpp"
#include "tarvelo/engine/rng_compat.hpp"

using namespace tarvelo::rng_compat;
using bench::median_ms;

int main() {
  volatile uint64_t sink = 0;
  std::vector<uint64_t> out;
  const int reps = 20000;
  for (uint64_t k : {15u, 500u, 12000u}) {
    const double ms = median_ms([&] {
      auto mt = Mt19937::seed(1);
      for (int i = 0; i < reps; ++i) {
        combination(1, 20000, k, mt, out);
        sink = sink + out[0];
      }
    });
    std::printf("combination(1, 20000, %5llu): %8.3f us/call\n", (unsigned long long)k,
                ms * 1000.0 / reps);
  }
  for (uint64_t k : {15u, 500u}) {
    const double plain = median_ms([&] {
      auto r = RLecuyerCmrgSeedCompat::set_seed(1);
      for (int i = 0; i < reps; ++i) sink = sink + r.sample_int_no_replace_with_kind(20000, k)[0];
    });
    SampleIntScratch scratch;
    const double fast = median_ms([&] {
      auto r = RLecuyerCmrgSeedCompat::set_seed(1);
      for (int i = 0; i < reps; ++i) {
        r.sample_int_no_replace_with_kind(20000, k, scratch, out);
        sink = sink + out[0];
      }
    });
    std::printf("sample_int_no_replace(20000, %3llu): fresh pool %8.3f us/call, scratch %8.3f us/call\n",
                (unsigned long long)k, plain * 1000.0 / reps, fast * 1000.0 / reps);
  }
  return 0;
}
