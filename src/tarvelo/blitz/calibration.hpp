// The null model of mode "blitz": enrichment scores of random gene sets at a
// list of anchor sizes, drawn with numpy's legacy Mersenne Twister, fitted by
// gamma distributions and smoothed over set size.
//
// The random stream, the float32 walk and the order of every sum reproduce a
// numpy/scipy/statsmodels reference computation bit for bit.
#pragma once

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "tarvelo/blitz/fit.hpp"
#include "tarvelo/blitz/signature.hpp"
#include "tarvelo/blitz/smoothing.hpp"
#include "tarvelo/base/error.hpp"
#include "tarvelo/engine/rng_compat.hpp"

namespace tarvelo::blitz {

// The options of one blitz call (the calibration reads most of them).
struct BlitzOptions {
  uint64_t permutations = 1000;  // random sets per anchor size
  uint64_t anchors = 40;         // evenly spaced anchor sizes
  uint64_t min_size = 5;
  uint64_t max_size = 4000;
  uint64_t processes = 4;        // calibration workers and scoring threads
  uint64_t seed = 0;             // the calibration uses its low 32 bits
  uint64_t accuracy = 40;        // carried, not read
  uint64_t deep_accuracy = 50;   // decimal digits of the tail fallback
  bool symmetric = false;
  bool center = true;
  bool signature_cache = true;
};

namespace compat {

// numpy's legacy RandomState over MT19937 (integer seeding, masked bounded
// draws, shuffle, 53-bit doubles, polar normal deviates without a cached
// second deviate).
class NumpyMt19937 {
 public:
  explicit NumpyMt19937(uint32_t seed);

  uint32_t next_u32() {
    if (pos_ == kN) regenerate();
    return out_[pos_++];
  }
  // Uniform in [0, max] by masked rejection; max < 2^32.
  uint32_t random_interval(uint32_t max) {
    if (max == 0) return 0;
    const uint32_t mask = 0xffffffffU >> __builtin_clz(max);
    uint32_t v;
    while ((v = next_u32() & mask) > max) {
    }
    return v;
  }
  // out[0..n) = a permutation of 0..n-1 (numpy's permutation(n)); n < 2^32.
  void permutation(uint32_t* out, size_t n);
  double next_double() {
    const uint32_t a = next_u32() >> 5, b = next_u32() >> 6;
    return (a * 67108864.0 + b) * 0x1p-53;
  }
  // One pair of standard normal deviates, in the order numpy returns them.
  std::pair<double, double> gauss_pair();

 private:
  static constexpr size_t kN = rng_compat::Mt19937Words::kN;
  // Renews the state and tempers all of it at once into out_.
  void regenerate() {
    state_.fill_tempered(out_.data(), kN);
    pos_ = 0;
  }

  rng_compat::Mt19937Words state_;
  std::array<uint32_t, kN> out_;  // the state tempered, filled with each regeneration
  size_t pos_;
};

}  // namespace compat

struct AnchorFit {
  double shape_pos = 0, scale_pos = 0, shape_neg = 0, scale_neg = 0, frac_pos = 0;
};

struct BlitzModel {
  smoothing::LinearInterp shape_pos, scale_pos, frac_pos, shape_neg, scale_neg;
};

// One worker's buffers, reused across its anchors and draws.
struct AnchorScratch {
  AnchorScratch(size_t n_genes, uint64_t permutations);

  std::vector<double> scores, pos, neg, sample;
  GammaFitScratch fit;
  std::vector<uint32_t> perm;
  std::vector<uint32_t> hits;
};

// The anchor sizes for pathways whose largest size is `max_set_size` (0 counts
// as 1) over `n_genes` genes: strictly ascending, each in (0, n_genes).
std::vector<uint64_t> anchor_sizes(uint64_t max_set_size, uint64_t anchors, uint64_t n_genes);

// Float32 enrichment score of the set `sorted_hits` (ascending positions,
// k = count) whose f64 weight total is `weight_sum` (nonzero).
double anchor_set_es(const double* weights, size_t n_genes, const uint32_t* sorted_hits, size_t k,
                     double weight_sum);
// The same walk one subtraction at a time (reference for the fast form).
double anchor_set_es_naive(const double* weights, size_t n_genes, const uint32_t* sorted_hits,
                           size_t k, double weight_sum);

Result<AnchorFit> estimate_anchor(const std::vector<double>& weights, size_t n_genes, uint64_t size,
                                  uint64_t permutations, bool symmetric,
                                  compat::NumpyMt19937& rng, AnchorScratch& scratch);

// Runs each worker's (anchor index, size) list in order with its own
// generator on the process-wide pool; returns (index, fit) pairs.
Result<std::vector<std::pair<size_t, AnchorFit>>> estimate_anchor_fits(
    const std::vector<double>& weights, size_t n_genes,
    const std::vector<std::vector<std::pair<size_t, uint64_t>>>& per_worker,
    std::vector<compat::NumpyMt19937>& generators, uint64_t permutations, bool symmetric);

// Largest size among the cleaned pathways, 1 when that is 0.
uint64_t max_cleaned_size(const std::vector<CleanedPathway>& pathways);

Result<BlitzModel> estimate_model(const BlitzSignature& signature,
                                  const std::vector<CleanedPathway>& pathways,
                                  const BlitzOptions& options);

}  // namespace tarvelo::blitz
