// Placeholder bodies until the kernels land; they keep callers linking.
#include "tarvelo/error.hpp"
#include "tarvelo/ruvex_compat.hpp"

namespace tarvelo::ruvex_compat {

void single_pathway_counts(uint64_t, uint64_t, std::span<const double>, uint64_t, ScoreType,
                           uint64_t, double, PathwayAcc&) {
  internal_fault("single_pathway_counts not available yet");
}
BatchCounts calc_gsea_stat_cumulative_batch_f64_sequential(const BatchInput&) {
  internal_fault("sequential kernel not available yet");
}
BatchCounts calc_gsea_stat_cumulative_batch_f64_thread_invariant_parallel(const BatchInput&,
                                                                          tbb::task_arena*) {
  internal_fault("thread-invariant kernel not available yet");
}
BatchCounts calc_gsea_stat_cumulative_batch_f64_parallel(const BatchInput&, size_t,
                                                         tbb::task_arena*) {
  internal_fault("chunked kernel not available yet");
}
std::vector<ChunkSpan> chunk_plan(uint64_t, size_t) { internal_fault("chunk_plan not available yet"); }

}  // namespace tarvelo::ruvex_compat
