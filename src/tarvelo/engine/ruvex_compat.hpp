// Permutation engine: enrichment scores of every prefix of a random gene sample
// and the counters the kernels (ruvex_kernels.hpp) fill, per pathway, with how
// often random sets score at least as extreme as the pathway itself.
//
// One random sample of the largest pathway size serves every pathway of a
// batch: its prefix of size k is a uniform random set of size k, so a single
// cumulative score computation answers all sizes at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "tarvelo/engine/records.hpp"

namespace tarvelo::ruvex_compat {

// ---------------------------------------------------------------------------
// Prefix scores of a random sample.

// Indices 0..len-1 stably sorted by value ascending.
std::vector<size_t> order(std::span<const uint64_t> values);

// Element i is the signed enrichment score of {sample[0], ..., sample[i]}.
// `sample` holds distinct 1-based positions into `ranks` (N = ranks.size()).
// std: the larger deviation signed (0 on a tie), pos: the positive deviation,
// neg: minus the negative deviation.
std::vector<double> calc_gsea_stat_cumulative_f64(std::span<const double> ranks,
                                                  std::span<const uint64_t> sample,
                                                  ScoreType score_type, double gsea_param);

// Element i is the largest non-negative deviation of the running sum of the
// prefix set of size i + 1, from the top of the list (rev false) or from the
// bottom (rev true). `ord` is order(sample).
std::vector<double> gsea_stats1_f64(std::span<const double> ranks,
                                    std::span<const uint64_t> sample,
                                    std::span<const size_t> ord, bool rev, double gsea_param);

// The same computations with reusable buffers: the permutation loops keep one
// scorer per thread so that no allocation happens per permutation once the
// buffers reached the largest sample size. Not thread-safe; one per thread.
class PrefixScorer {
 public:
  // out.size() must equal sample.size().
  void cumulative(std::span<const double> ranks, std::span<const uint64_t> sample,
                  ScoreType score_type, double gsea_param, std::span<double> out);
  // `ord` is order(sample); out.size() must equal sample.size().
  void stats1(std::span<const double> ranks, std::span<const uint64_t> sample,
              std::span<const size_t> ord, bool rev, double gsea_param, std::span<double> out);

 private:
  void sort_sample(std::span<const uint64_t> sample, uint64_t n);

  std::vector<uint64_t> keys_, tmp_keys_;
  // Sorting by bitmap, for lists up to kBitmapMaxN positions: one bit per
  // position (all clear between calls) and the draw index of each marked one.
  static constexpr uint64_t kBitmapMaxN = uint64_t{1} << 22;
  std::vector<uint64_t> bitmap_;
  std::vector<uint32_t> slot_;
  std::vector<size_t> ord_;
  std::vector<size_t> rank_;
  std::vector<double> w_;
  std::vector<double> slope_;
  // Set while cumulative() runs the mirrored pass of score type std.
  bool reuse_weights_ = false;
  // Two-level prefix structure in structure-of-arrays form: fine cells (fw_,
  // fx_), one coarse cell per block (cw_, cx_).
  std::vector<double> fw_, fx_, cw_, cx_;
  // Per block: the fine cells of its best node and the slope down to which
  // that node stays best.
  std::vector<double> best_fw_, best_fx_, breakpoint_;
  std::vector<size_t> best_at_;
  std::vector<double> values_;
  std::vector<double> other_;
};

// Instruction sets the prefix scores can run on. All paths compute the same
// cells with the same additions and give identical results; by default the
// widest one the processor supports is taken.
enum class PrefixPath { kAuto, kGeneric, kAvx2 };

// The paths this processor can run, kGeneric first.
std::vector<PrefixPath> available_prefix_paths();

// For tests: makes every scorer of the process use `path` (kAuto restores the
// default). Throws InternalError for a path the processor cannot run.
void force_prefix_path(PrefixPath path);

// ---------------------------------------------------------------------------
// Counting.

// Six counters per pathway, in the caller's pathway order.
struct BatchCounts {
  std::vector<uint64_t> le_es;
  std::vector<uint64_t> ge_es;
  std::vector<uint64_t> le_zero;
  std::vector<uint64_t> ge_zero;
  std::vector<double> le_zero_sum;
  std::vector<double> ge_zero_sum;

  size_t size() const { return le_es.size(); }
};

// One pathway's counters. The single-pathway path adds into it permutation by
// permutation, so the caller passes its running values in.
struct PathwayAcc {
  uint64_t le_es = 0;
  uint64_t ge_es = 0;
  uint64_t le_zero = 0;
  uint64_t ge_zero = 0;
  double le_zero_sum = 0.0;
  double ge_zero_sum = 0.0;
};

// Applies one permutation score e against the observed score es: e <= es and
// e >= es count (both on equality); e <= 0 and e >= 0 count and add e. NaN
// comparisons count nothing. The counters may live in a PathwayAcc or in the
// columns of a BatchCounts.
inline void count_score(uint64_t& le_es, uint64_t& ge_es, uint64_t& le_zero, uint64_t& ge_zero,
                        double& le_zero_sum, double& ge_zero_sum, double e, double es) {
  if (e <= es) ++le_es;
  if (e >= es) ++ge_es;
  if (e <= 0.0) {
    ++le_zero;
    le_zero_sum += e;
  }
  if (e >= 0.0) {
    ++ge_zero;
    ge_zero_sum += e;
  }
}
inline void count_score(PathwayAcc& acc, double e, double es) {
  count_score(acc.le_es, acc.ge_es, acc.le_zero, acc.ge_zero, acc.le_zero_sum, acc.ge_zero_sum,
              e, es);
}

BatchCounts empty_batch_counts(size_t n);

// a with every entry of b added (a + b, element-wise). The lengths must match.
BatchCounts merge_batch_counts(BatchCounts a, BatchCounts b);

}  // namespace tarvelo::ruvex_compat
