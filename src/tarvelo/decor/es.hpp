// The enrichment score of the method "decor": the running sum of the classic
// score, with each hit's step |rank| multiplied by the hit's penalty.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "tarvelo/engine/records.hpp"

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

// The score of calculate_es_decor_prechecked (first of the pair), bit for bit,
// for many sets of one size k over one ranked list: the random sets of the
// null and the sets of the multilevel tail: the miss terms m / (n - k) come
// from a table built once per size instead of a division per hit. Owned by
// one thread; no allocation after construction.
class DecorEsKernel {
 public:
  // magnitudes[i] = |ranks[i]|; n = magnitudes.size(); k < n.
  DecorEsKernel(std::span<const double> magnitudes, uint64_t k, ScoreType score_type);

  // hits: k strictly ascending positions; weights: k penalties. With `same`
  // > 0, the first `same` hits and penalties are those of the set last passed
  // to keep(): its running sums up to there are reused (the same additions,
  // so the same bits) and only the rest is summed anew.
  double score(const uint64_t* hits, const double* weights, uint64_t same = 0);

  // Whether (negate ? -score : score) >= level, score being what score()
  // would return for the set, when bounds on its extreme heights settle it;
  // nothing when they do not (then score_last() gives the score). `same` as
  // for score(); the set's sums are left for keep() either way.
  std::optional<bool> at_least(const uint64_t* hits, const double* weights, uint64_t same,
                               double level, bool negate);

  // The score of the set of the last at_least call (the same arguments).
  double score_last(const uint64_t* hits, const double* weights);

  // Makes the set of the last score or at_least call the one `same` refers to.
  void keep();

 private:
  double score_reference(const uint64_t* hits, const double* weights) const;
  // The set size, its block count, the miss table and the sums of the set
  // last summed, as the extremes read them.
  struct LiveView {
    uint64_t k, blocks;
    const double *miss, *step, *cum, *block_max;
  };
  LiveView live_view() const;
  // Sums the set into the scored copy from the block holding hit `same` on
  // (the blocks before come from the kept set); returns the total and sets
  // plain_ when a step is negative or not finite.
  double sum(const uint64_t* hits, const double* weights, uint64_t same);
  // The score from the scored copy's sums.
  double finish(const uint64_t* hits, const double* weights, double nr);
  // The extreme top and bottom heights of the scored copy, whose steps must
  // be >= 0 and finite, with 0 < nr finite (see score).
  void extremes(const uint64_t* hits, double nr, double& top, double& bottom);

  std::span<const double> mags_;
  uint64_t k_;
  ScoreType score_type_;
  std::vector<double> miss_;  // miss_[m] = m / (n - k), m in [0, n - k]
  // Hits per block of the bounded evaluation (see score).
  static constexpr uint64_t kBlock = 16;
  // Per set: the steps and the running sum after each; per block: the largest
  // step and whether a step is negative or not finite. Two copies: the set
  // being scored and the kept one. The scored copy agrees with the kept one on
  // the blocks before agree_; the last score summed anew from block
  // scored_from_ on.
  struct Sums {
    std::vector<double> step, cum, block_max;
    std::vector<uint8_t> block_bad;
  };
  Sums sums_[2];
  int live_ = 0;
  bool have_kept_ = false;
  uint64_t agree_ = 0;
  uint64_t scored_from_ = 0;
  bool plain_ = false;  // of the last sum
  double last_nr_ = 0.0;
  // Per block: the bound of its heights (tops, then bottoms for at_least).
  std::vector<double> bound_;
};

}  // namespace tarvelo::decor
