// Permutation engine: enrichment scores of every prefix of a random gene sample
// and the kernels that count, per pathway, how often random sets score at least
// as extreme as the pathway itself.
//
// One random sample of the largest pathway size serves every pathway of a
// batch: its prefix of size k is a uniform random set of size k, so a single
// cumulative score computation answers all sizes at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include <tbb/task_arena.h>

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

 public:
  // Cumulative weight and miss count (an exact integer held in f64) of one
  // cell of the two-level prefix structure.
  struct Cell {
    double w;
    double x;
  };

 private:
  struct Block {
    int64_t first;
    int64_t last;
    int64_t cached;
    double breakpoint;  // slope above which the cached node stays best
  };
  void sort_sample(std::span<const uint64_t> sample, uint64_t n);

  std::vector<uint64_t> keys_, tmp_keys_;
  std::vector<size_t> ord_;
  std::vector<size_t> rank_;
  std::vector<double> w_;
  std::vector<Cell> fine_, coarse_;
  std::vector<int64_t> prev_, next_;
  std::vector<Block> blocks_;
  std::vector<double> other_;
};

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

// The inputs every batch kernel shares. `ranks` are the scaled weights as f64
// in ranked order and n == ranks.size(); `sizes[j]` (1 <= sizes[j] <= n - 1)
// and `es[j]` describe kept pathway j.
struct BatchInput {
  uint64_t nperm = 0;  // permutations of this batch
  uint64_t seed = 0;   // batch seed; generators use its low 32 bits
  std::span<const double> ranks;
  uint64_t n = 0;
  ScoreType score_type = ScoreType::kStd;
  std::span<const uint64_t> sizes;
  std::span<const double> es;
};

// Single-pathway path: L'Ecuyer-CMRG stream seeded with the batch seed, R's
// sample.int(N, size) per permutation, scored with algo::calculate_es_ruvex and
// added into `acc` one permutation at a time. Runs on the calling thread.
void single_pathway_counts(uint64_t nperm, uint64_t seed, std::span<const double> ranks,
                           uint64_t n, ScoreType score_type, uint64_t size, double es,
                           PathwayAcc& acc);

// Sequential kernel: one Mt19937 stream, one combination(1, N, kmax) sample per
// permutation, on the calling thread.
BatchCounts calc_gsea_stat_cumulative_batch_f64_sequential(const BatchInput& in);

// Same counts and sums as the sequential kernel, bit for bit, for any thread
// count: samples are drawn and scored per 4096-permutation block, counting
// fans out over size groups. Runs on `arena` (nullptr: the caller's current
// arena, see pool::current_arena).
BatchCounts calc_gsea_stat_cumulative_batch_f64_thread_invariant_parallel(
    const BatchInput& in, tbb::task_arena* arena = nullptr);

// Chunked kernel: min(8 * max(threads, 1), nperm) chunks with their own
// streams, reduced with merge_batch_counts. Results depend on `threads`.
BatchCounts calc_gsea_stat_cumulative_batch_f64_parallel(const BatchInput& in, size_t threads,
                                                         tbb::task_arena* arena = nullptr);

// Chunk i of the chunked kernel: permutations [start, start + count).
struct ChunkSpan {
  uint64_t start = 0;
  uint64_t count = 0;
};
std::vector<ChunkSpan> chunk_plan(uint64_t nperm, size_t threads);

}  // namespace tarvelo::ruvex_compat
