// Timing of the blitz numeric kernels on one thread: the gamma fit of one
// anchor (1000 scores), lowess of one model parameter (58 anchors), the
// double-precision tail, and the high-precision fallback (series and
// continued fraction) at the default 50 digits and at the 10000-digit cap.
// Prints the median of several runs of each case.
#include <cmath>
#include <cstdio>
#include <vector>

#include "bench_util.hpp"
#include "tarvelo/blitz/fit.hpp"
#include "tarvelo/blitz/smoothing.hpp"
#include "tarvelo/blitz/tail.hpp"
#include "tarvelo/blitz/blitz_mpmath.hpp"

using namespace tarvelo;

// Median over `runs` batches of the time of one call of f, in microseconds.
template <class F>
double median_us(F&& f, int reps, int runs = 7) {
  return bench::median_ms([&] {
    for (int i = 0; i < reps; ++i) f();
  }, runs) * 1e3 / reps;
}

int main() {
  volatile double sink = 0;
  std::vector<double> sample;
  uint64_t s = 1;
  for (int i = 0; i < 1000; ++i) {
    s = s * 6364136223846793005ULL + 1442695040888963407ULL;
    const double u = static_cast<double>(s >> 11) * 0x1p-53;
    sample.push_back(0.05 + 0.3 * u * u);
  }
  blitz::GammaFitScratch scratch;
  std::printf("gamma fit, 1000 values:        %10.2f us\n", median_us([&] {
                sink = sink + blitz::fit_gamma_floc0_with_scratch(sample, scratch)->shape;
              }, 200));

  std::vector<double> x, y;
  for (int i = 0; i < 58; ++i) {
    x.push_back(1.0 + i * 9.0);
    y.push_back(std::sin(i * 0.3) + 0.01 * i);
  }
  std::printf("lowess, 58 points:             %10.2f us\n", median_us([&] {
                sink = sink + blitz::smoothing::lowess_interpolation(x, y, 0.6)->y()[3];
              }, 200));

  std::printf("tail, double path:             %10.3f us\n", median_us([&] {
                sink = sink + blitz::gamma_tail_probability_with_fallback_flag(0, 0.3, 3.7, 0.1,
                                                                               0.5, 50)->pval;
              }, 20000));
  std::printf("tail fallback, series, dps 50: %10.2f us\n", median_us([&] {
                sink = sink + blitz::gamma_tail_probability_with_fallback_flag(0, 1e-4, 3.7, 0.1,
                                                                               0.5, 50)->pval;
              }, 200));
  std::printf("tail fallback, cf, dps 50:     %10.2f us\n", median_us([&] {
                sink = sink + blitz::gamma_tail_probability_with_fallback_flag(0, 6.0, 3.7, 0.1,
                                                                               0.5, 50)->pval;
              }, 200));
  std::printf("tail fallback, integer shape:  %10.2f us\n", median_us([&] {
                sink = sink + blitz::gamma_tail_probability_with_fallback_flag(0, 6.0, 4.0, 0.1,
                                                                               0.5, 50)->pval;
              }, 200));
  std::printf("gammacdf, cf, dps 10000:       %10.0f us\n", median_us([&] {
                sink = sink + blitz_mpmath::gammacdf(10000, 6.0, 3.7, 0.1)->cdf_f64;
              }, 1, 3));
  std::printf("gammacdf, series, dps 10000:   %10.0f us\n", median_us([&] {
                sink = sink + blitz_mpmath::gammacdf(10000, 1e-4, 3.7, 0.1)->cdf_f64;
              }, 1, 3));
  return 0;
}
