// Permutation counting kernels: per pathway, how often random sets of its size
// score at least as extreme as the pathway itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include <tbb/task_arena.h>

#include "tarvelo/engine/records.hpp"
#include "tarvelo/engine/ruvex_compat.hpp"

namespace tarvelo::ruvex_compat {

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
