// The enrichment score every classic mode, permutation kernel and plot shares.
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
