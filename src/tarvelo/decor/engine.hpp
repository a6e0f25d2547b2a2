// Folder decor/: the correlation-aware method "decor" (this file is its entry
// point) with its options and presets (options, tuning), the redundancy cache
// (cache, expression, modes), the penalty formulas, the weighted score (es)
// and the multilevel tail.
//
// The method "decor": enrichment with per-gene penalties from the decor cache,
// permutation p-values from random gene sets drawn per pathway size, and (in
// the multilevel variant) refinement of small p-values by the decor tail.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "tarvelo/engine/algo_support.hpp"
#include "tarvelo/engine/records.hpp"
#include "tarvelo/decor/options.hpp"
#include "tarvelo/decor/cache.hpp"
#include "tarvelo/base/error.hpp"
#include "tarvelo/engine/ruvex_compat.hpp"

namespace tarvelo::decor {

// Permutation p-values only. The seed, when absent, comes from the OS.
Result<std::vector<EnrichmentResult>> ruvex_decor_simple_with_options(
    const RankedList& ranked, std::span<const Pathway> pathways, const DecorCache& cache,
    const DecorOptions& options, uint64_t nperm, std::optional<uint64_t> seed, uint64_t min_size,
    uint64_t max_size, ScoreType score_type, uint64_t sample_size, double eps, double gsea_param);

// Permutation p-values refined by the multilevel tail.
Result<std::vector<EnrichmentResult>> ruvex_decor_multilevel_with_options(
    const RankedList& ranked, std::span<const Pathway> pathways, const DecorCache& cache,
    const DecorOptions& options, uint64_t nperm, std::optional<uint64_t> seed, uint64_t min_size,
    uint64_t max_size, ScoreType score_type, uint64_t sample_size, double eps, double gsea_param);

// Both variants. Results are sorted by pathway name. Errors: the option
// checks, a formula that needs a scale the cache lacks, and a penalty error of
// the lowest-indexed failing pathway.
Result<std::vector<EnrichmentResult>> run_decor_internal(
    const RankedList& ranked, std::span<const Pathway> pathways, const DecorCache& cache,
    const DecorOptions& options, uint64_t nperm, uint64_t seed, uint64_t min_size,
    uint64_t max_size, ScoreType score_type, uint64_t sample_size, double eps, double gsea_param,
    bool multilevel);

// (ranked position, redundancy) of the pathway's genes that are both ranked and
// in the cache entry, by position, each position once. No entry: no hits.
std::vector<std::pair<uint64_t, double>> extract_decor_hits(const Pathway& pathway,
                                                            const algo_support::GeneIndex& index,
                                                            const DecorPathwayScores* entry);

// The L'Ecuyer seed of the random sets of size `size`: the SplitMix64 output
// mix of (size + 0x9e3779b97f4a7c15) ^ seed, halves xor-ed, 0 becoming 1.
uint32_t group_seed32(uint64_t size, uint64_t seed);

// Null scores of random sets on one side of the observed score and of zero
// (with the sums of those on each side of zero): the classic engine's counters.
using DecorNullCounts = ruvex_compat::PathwayAcc;

// One pathway of a size group as the null sees it.
struct DecorNullPathway {
  std::span<const double> weights;  // penalties, one per hit
  double es = 0.0;
};

// Counts of nperm random sets of size k (k = weights.size() of every pathway)
// drawn from R's L'Ecuyer-CMRG stream seeded with group_seed32(k, seed), each
// scored with every pathway's weights. `batched` advances all pathways'
// running sums together; the counts are the same either way. k must be at most
// ranks.size() (the number of ranked genes).
std::vector<DecorNullCounts> decor_group_null(std::span<const double> ranks,
                                              std::span<const double> magnitudes, uint64_t k,
                                              std::span<const DecorNullPathway> pathways,
                                              uint64_t nperm, uint64_t seed,
                                              ScoreType score_type, bool batched);

}  // namespace tarvelo::decor
