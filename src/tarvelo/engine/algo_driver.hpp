// The classic engine's driver: the modes "simple", "multilevel" and "ruvex"
// (algo::run_gsea_internal and the ruvex entry point), and its building blocks,
// exposed so that each rule can be checked on its own.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "tarvelo/base/stage_timer.hpp"
#include "tarvelo/engine/records.hpp"
#include "tarvelo/engine/rng_compat.hpp"
#include "tarvelo/engine/ruvex_compat.hpp"

namespace tarvelo::algo {

// The seed itself when given, else 64 bits from the operating system's entropy.
uint64_t resolve_rng_seed(std::optional<uint64_t> seed);

// Modes "simple" (allow_multilevel false) and "multilevel" (true). Reports no
// errors; may throw std::bad_alloc or InternalError.
std::vector<EnrichmentResult> run_gsea_internal(const RankedList& ranked,
                                                std::span<const Pathway> pathways,
                                                uint64_t nperm, uint64_t seed, uint64_t min_size,
                                                uint64_t max_size, double eps, double gsea_param,
                                                ScoreType score_type, bool allow_multilevel,
                                                uint64_t sample_size);

// Mode "ruvex": nperm given runs a plain permutation test with nperm
// permutations; absent, nPermSimple permutations plus multilevel refinement.
std::vector<EnrichmentResult> ruvex_with_sample_size_and_kind(
    const RankedList& ranked, std::span<const Pathway> pathways, std::optional<uint64_t> nperm,
    uint64_t nperm_simple, std::optional<uint64_t> seed, uint64_t min_size, uint64_t max_size,
    double eps, double gsea_param, ScoreType score_type, uint64_t sample_size);

}  // namespace tarvelo::algo

namespace tarvelo::algo::driver {

// Parameters after clamping to what the ranked list allows.
struct ClampedParams {
  uint64_t min_size = 1;  // at least 1: a pathway without hits is never tested
  uint64_t max_size = 0;  // at most N - 1: a pathway holding every gene has no null
  double eps = 0.0;       // within [0, 1]; NaN stays NaN
};
ClampedParams clamp_params(uint64_t min_size, uint64_t max_size, double eps, uint64_t n_genes);

// A batch of the permutation test: its permutation count and seed.
struct Batch {
  uint64_t perms = 0;
  uint64_t seed = 0;
};

// Permutation counts of the batches, in order. Multilevel runs use one batch;
// otherwise batches of max(ceil(nperm / 128), 1000) permutations and one of the
// remainder, so there are never more than 128. nperm = 0 gives no batch.
std::vector<uint64_t> batch_sizes(uint64_t nperm, bool allow_multilevel);

// The batch plan with one seed per batch drawn in order from `main`: R's
// sample.int(1e9, 1) on the generator, i.e. a value in [1, 1e9].
std::vector<Batch> plan_batches(uint64_t nperm, bool allow_multilevel,
                                rng_compat::RMt19937SeedCompat& main);

// The seed shared by every refinement group: continues `main` with the draws of
// R's sample.int(groups) (groups, groups - 1, ..., 1, all discarded), then one
// sample.int(1e9, 1).
uint64_t refinement_seed(rng_compat::RMt19937SeedCompat& main, uint64_t groups);

// The permutation counts behind a pathway's p-value (le_es, ge_es, le_zero,
// ge_zero and the sums of the scores on each side of zero).
using Counts = ruvex_compat::PathwayAcc;

// Normalised score, p-value and the (k, n) pair of one pathway after the
// permutation test (before the multilevel rules).
struct PermutationStats {
  std::optional<double> nes;
  double pval = 0.0;  // NaN when nes is absent
  uint64_t k = 0;     // permutations at least as extreme as es, on es's side
  uint64_t n = 0;     // permutations on es's side of zero
};
PermutationStats permutation_stats(const Counts& c, double es, ScoreType score_type);

// The last step of every classic and decor call: Benjamini-Hochberg adjusted
// p-values, then the rows ordered by pathway name (bytes; stable).
void finish_results(std::vector<EnrichmentResult>& results);

// Standard error of log2(p) for k of nperm permutations at least as extreme.
double permutation_log2err(uint64_t k, uint64_t nperm);

// Result of merging a multilevel p-value into a pathway.
struct RefinedPvalue {
  double pval = 0.0;
  std::optional<double> log2err;
};
// p is the multilevel estimate, n the pathway's count on its side of zero.
RefinedPvalue merge_refined_pvalue(double p, uint64_t n, uint64_t nperm, double eps,
                                   uint64_t sample_size);

// The environment switches of one call, read once as the call starts and
// passed down: getenv on every batch would race os.environ writes made by
// other threads while the call runs.
struct CallEnvironment {
  bool stage_timing = false;          // TARVELO_STAGE_TIMING is set (even empty)
  bool fast_nonexact_simple = false;  // TARVELO_FAST_NONEXACT_SIMPLE is set
  static CallEnvironment read();
};

}  // namespace tarvelo::algo::driver
