// The multilevel ruler: how rare a large enrichment score is among random gene
// sets of one size, far below what plain permutations resolve.
//
// The ruler keeps S random sets of k genes and builds a ladder of levels. At
// each level the lower part of the sets (by exact score) is dropped and refilled
// with copies of the upper part; the sets are then moved by random gene swaps
// that never let a set fall to or below the level's bound. Each level cuts the
// tail probability by about the share of sets kept.
//
// Every score is exact: integer weights, integer miss counts, and comparisons by
// cross-multiplication (64-bit, widened on overflow). The random stream is the
// standard MT19937, so the levels depend only on the weights, S, k and the seed.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace tarvelo::rng_compat {
struct Mt19937;
}

namespace tarvelo::esruler_compat {

// Exact score of one gene set of size k out of N genes. Its value is
// coef / rank_sum - misses / n_minus_k: the greatest height of the running sum
// after a hit (at least 0, the origin).
struct Gsea {
  int64_t rank_sum = 0;   // sum of the set's weights (R)
  int64_t coef = 0;       // cumulative weight at the peak hit
  int64_t n_minus_k = 0;  // N - k
  int64_t misses = 0;     // genes outside the set before the peak hit
  uint64_t set_hash = 0;  // XOR of the genes' hashes

  // Strict order of scores: by value, then by set hash. A set whose weights are
  // all zero has value 0 (its running sum never moves), which keeps this a
  // strict weak order.
  static bool lt_cpp(const Gsea& a, const Gsea& b);

  // Whether the value reaches x, given xf = trunc(x * 2^30):
  // (coef * n_minus_k - misses * rank_sum) * 2^30 >= xf * rank_sum * n_minus_k,
  // exactly. A set of zero weight reaches x only when xf <= 0.
  bool reaches(int64_t xf) const;

  friend bool operator==(const Gsea&, const Gsea&) = default;
};

// A scored set with the sign of its two-sided running-sum score.
struct LevelEntry {
  Gsea gsea;
  bool es_nonneg = true;
  friend bool operator==(const LevelEntry&, const LevelEntry&) = default;
};

// One rung of the ladder. Both lists ascend; every entry of `above` is greater
// than `bound` in Gsea::lt_cpp order.
struct Level {
  std::vector<LevelEntry> below;
  std::vector<LevelEntry> above;
  Gsea bound;
  friend bool operator==(const Level&, const Level&) = default;
};

// One set split into chunks by gene index, for the swap moves.
struct SampleChunks {
  std::vector<int64_t> sum;                 // per chunk: sum of its genes' weights
  std::vector<std::vector<uint64_t>> genes;  // per chunk: its genes, ascending
  // Totals over all chunks, kept up to date by the moves: the set's weight sum
  // (wrapping) and the XOR of its genes' hashes.
  int64_t rank_sum = 0;
  uint64_t set_hash = 0;
};

// Scores the set `genes` (ascending, distinct, each below weights.size()).
// n_minus_k is weights.size() - genes.size(). Exposed for tests.
LevelEntry score_set(std::span<const int64_t> weights, std::span<const uint64_t> gene_hash,
                     std::span<const uint64_t> genes);

class EsRulerCompat {
 public:
  // Takes the weights (one per ranked gene, ranked order). No sets, no levels.
  // k >= 1, N > k and sample_size >= 1 are the caller's duty.
  EsRulerCompat(std::vector<int64_t> weights, uint64_t sample_size, uint64_t k);

  // Builds the ladder until its last bound reaches es, the tail estimate drops
  // below eps (0: no such limit), a resampling finds all sets alike, or the
  // moves above the last bound are accepted so rarely that the level would not
  // end in reasonable time (then cut_short() is true and the ladder ends at
  // that level). Throws std::bad_alloc when the sets cannot be held in memory,
  // interrupt::Interrupted when the host asks to stop.
  void extend(uint32_t seed, double es, double eps);

  // Scores, sorts and splits the sets into a new level and refills the lower
  // part with copies of the upper part. Returns false (and changes nothing)
  // when all sets score alike.
  bool resample_genesets(rng_compat::Mt19937& gen);

  // Random swap moves on one set; a move is kept only when the set stays above
  // `bound`. Returns the number of accepted moves.
  int32_t perturbate(uint64_t k, SampleChunks& chunks, const Gsea& bound,
                     rng_compat::Mt19937& gen);

  const std::vector<Level>& levels() const { return levels_; }
  uint64_t sample_size() const { return sample_size_; }
  uint64_t k() const { return k_; }
  uint64_t last_split() const { return last_split_; }
  // Whether extend stopped because the last level's moves were cut short: a
  // score beyond the last bound is then not resolved by the ladder.
  bool cut_short() const { return cut_short_; }

  // Test access: the sets, the gene hashes and the chunk bounds; and a switch
  // that makes perturbate rescore every changed set in full (the reference the
  // fast path must agree with).
  std::vector<std::vector<uint64_t>>& sets_for_testing() { return sets_; }
  std::vector<uint64_t>& gene_hash_for_testing() { return gene_hash_; }
  std::vector<uint64_t>& chunk_last_for_testing() { return chunk_last_; }
  void set_naive_perturbate_for_testing(bool naive) { force_naive_ = naive; }

 private:
  int32_t perturbate_naive(uint64_t k, SampleChunks& chunks, const Gsea& bound,
                           rng_compat::Mt19937& gen);
  int32_t perturbate_fast(uint64_t k, SampleChunks& chunks, const Gsea& bound,
                          rng_compat::Mt19937& gen);
  uint64_t chunk_of(uint64_t gene) const;

  std::vector<int64_t> weights_;
  std::vector<uint64_t> gene_hash_;
  std::vector<std::vector<uint64_t>> sets_;
  std::vector<Level> levels_;
  std::vector<uint64_t> chunk_last_;
  uint64_t sample_size_;
  uint64_t k_;
  double moves_scale_ = 1.0;
  uint64_t chunks_ = 0;
  uint64_t last_split_ = 0;
  // Every weight is >= 0 and N times their sum stays below 2^62: numerators of
  // running-sum points fit 64 bits and the fast swap test applies.
  bool fast_ok_ = false;
  bool force_naive_ = false;
  bool cut_short_ = false;
};

}  // namespace tarvelo::esruler_compat
