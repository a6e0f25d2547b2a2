// Multilevel p-values of one size group of pathways.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "tarvelo/engine/records.hpp"
#include "tarvelo/engine/esruler_compat.hpp"

namespace tarvelo::multilevel {

// Multilevel p-values for the pathways of one size group (all of size k), in
// the order given. For pathway i: es[i] is its observed enrichment score and
// n[i] its number of permutation scores on its side of zero. nperm is the
// permutation count, eps the clamped eps of the call, scaled_weights the
// ranked list's integer weights (N = its length), sample_size the multilevel
// sample size and seed the refinement seed (its low 32 bits are used).
//
// Builds a ruler of |weights| for positive scores and one of the reversed
// weights for negative scores, both seeded with `seed`, each extended only when
// the group has scores of that sign. A p-value is NaN when its ruler has no
// level; N = 0 or k = 0 gives 1.0 throughout. es and n must have equal length
// and k must be below N (InternalError otherwise). When both rulers are needed
// they are extended in parallel on the process pool; the result is the same
// on any number of threads. Throws std::bad_alloc when sample_size is too large
// for memory.
std::vector<double> group_pvalues(uint64_t k, std::span<const double> es,
                                  std::span<const uint64_t> n, uint64_t nperm, double eps,
                                  std::span<const int64_t> scaled_weights, ScoreType score_type,
                                  uint64_t sample_size, uint64_t seed);

// The p-value of a score x = |es| read from a ruler's ladder: levels whose
// bound x does not reach multiply it by their share of sets kept, the first
// level whose bound x reaches (or the last level) by the share of its sets at
// or above x (for kStd only those whose two-sided score is not negative). NaN
// when there is no level.
//
// cut_short: the ladder was stopped because its moves stalled (see
// EsRulerCompat::extend). A score beyond its last bound is then read in the
// last level's whole population with one set added to the count and to S: an
// estimate that is never below, in expectation, what the full ladder would
// have given.
double ladder_pvalue(std::span<const esruler_compat::Level> levels, double x,
                     ScoreType score_type, uint64_t sample_size, bool cut_short = false);

}  // namespace tarvelo::multilevel
