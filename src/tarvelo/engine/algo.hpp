// The classic enrichment engine: enrichment score and the driver of the modes
// "simple", "multilevel" and "ruvex".
#pragma once

#include <cstdint>
#include <span>
#include <utility>

#include "tarvelo/engine/records.hpp"

namespace tarvelo::algo {

// Weighted running-sum enrichment score of one pathway and the ranked position
// where it peaks. `ranks` holds one weight per ranked position (the engine
// passes scaled integer weights as doubles); `hits` are strictly ascending
// positions below ranks.size(); n is the number of ranked genes.
std::pair<double, uint64_t> calculate_es_ruvex(std::span<const double> ranks,
                                               std::span<const uint64_t> hits, uint64_t n,
                                               ScoreType score_type);

}  // namespace tarvelo::algo

#include <optional>
#include <vector>

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
