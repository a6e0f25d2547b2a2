// The enrichment score of the method "decor": the running sum of the classic
// score, with each hit's step |rank| multiplied by the hit's penalty.
#pragma once

#include <cstdint>
#include <span>
#include <utility>

#include "tarvelo/core.hpp"

namespace tarvelo::decor {

// (score, ranked position of the peak). `ranks` are the ranked list's scaled
// weights as doubles (n = ranks.size() ranked genes); `hits` strictly
// ascending positions below n; weights[i] the penalty of hits[i]. The caller
// guarantees these (unchecked: this runs once per random set). No allocation.
std::pair<double, uint64_t> calculate_es_decor_prechecked(std::span<const double> ranks,
                                                          std::span<const uint64_t> hits,
                                                          std::span<const double> weights,
                                                          uint64_t n, ScoreType score_type);

// Picks the score of the requested tail from the extreme deviations (shared
// with the batched null, which tracks the extremes of many sets at once).
inline std::pair<double, uint64_t> pick_decor_score(double max_top, uint64_t at_max,
                                                    double min_bottom, uint64_t at_min,
                                                    uint64_t first_hit, ScoreType score_type) {
  switch (score_type) {
    case ScoreType::kPos: return {max_top, at_max};
    case ScoreType::kNeg: return {min_bottom, at_min};
    case ScoreType::kStd: break;
  }
  if (max_top == -min_bottom) return {0.0, first_hit};
  if (max_top > -min_bottom) return {max_top, at_max};
  return {min_bottom, at_min};  // also when a comparison involves NaN
}

}  // namespace tarvelo::decor
