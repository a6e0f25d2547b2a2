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

#include "tarvelo/engine/rng_compat.hpp"

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

// The sets of one level laid out for the swap moves, all in flat arrays.
//
// Each set's genes ascend in one array, so the p-th gene is one load; a swap
// moves the genes between the old gene's place and the new one's by one place
// (a single memmove, which costs less than walking chunk structures for the
// sizes the ruler sees). The genes take 16 bits each when every gene number
// and the pad fit (N < 65535): half the bytes to search and move per swap.
// Genes are also split into chunks by index (the chunk bounds are fixed for
// the level and shared by all sets): chunk c of a set is the run of its genes
// from prefix[c] to prefix[c + 1]. Per set there are those counts and the
// chunk sums; per gene, its chunk.
struct SampleChunks {
  uint64_t sets = 0;
  uint64_t chunks = 0;
  uint64_t k = 0;
  uint64_t stride = 0;                // slots per set: k genes, then a pad
  uint64_t prefix_count = 0;          // prefix entries per set: chunks + 1, padded to 4
  uint64_t prefix_stride = 0;         // prefix_count and a gap
  uint64_t chunk_stride = 0;          // per-chunk entries per set: chunks and a gap
  std::vector<uint16_t> gene_chunk;   // per gene: its chunk
  // Per gene, its weight and hash side by side: the gene drawn into a set and
  // the gene it replaces are random, and each costs one cache line this way
  // instead of two.
  struct GeneInfo {
    int64_t weight = 0;
    uint64_t hash = 0;
  };
  std::vector<GeneInfo> gene_info;
  bool narrow = false;                // genes in genes16, else in genes32
  std::vector<uint16_t> genes16;      // sets * stride
  std::vector<uint32_t> genes32;      // sets * stride
  std::vector<uint32_t> prefix;       // sets * prefix_stride: genes before chunk c
  std::vector<int64_t> sum;           // sets * chunk_stride: weight of each chunk (wrapping)
  // Caches of the fast moves (see perturbate_fast). Per set and chunk: the
  // greatest local point numerator max_j(w_j * (N - k) - (g_j - j) * R) of the
  // chunk's genes g_j (local weight prefix w_j, local index j) for the weight
  // total R = peak_r, or an upper bound of it.
  std::vector<int64_t> peak_r;
  std::vector<int64_t> peak_local;
  struct Peak {
    bool valid = false;
    uint64_t gene = 0;
    int64_t misses = 0;
    int64_t cum = 0;
  };
  // Per set, kept up to date by the moves: the weight sum (wrapping), the XOR
  // of the genes' hashes and the last point known to beat the bound; a cache
  // line per set, as each is written by the one task that moves the set.
  struct alignas(64) SetState {
    int64_t rank_sum = 0;
    uint64_t set_hash = 0;
    Peak peak;
  };
  std::vector<SetState> state;

  // The genes of set i, ascending; copy_genes writes them into `out`.
  std::vector<uint64_t> set_genes(uint64_t i) const;
  void copy_genes(uint64_t i, std::vector<uint64_t>& out) const;
  // Slot j of set i (its j-th gene for j below k, the pad from k on), and
  // the pad's value.
  uint64_t slot(uint64_t i, uint64_t j) const {
    return narrow ? genes16[i * stride + j] : genes32[i * stride + j];
  }
  uint64_t pad() const { return narrow ? UINT16_MAX : UINT32_MAX; }

  template <class G>
  G* genes_of(uint64_t i) {
    if constexpr (sizeof(G) == 2) return genes16.data() + i * stride;
    else return genes32.data() + i * stride;
  }
  template <class G>
  const G* genes_of(uint64_t i) const {
    if constexpr (sizeof(G) == 2) return genes16.data() + i * stride;
    else return genes32.data() + i * stride;
  }
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

  // Random swap moves on set i of the chunked layout (see chunk_sets); a move is
  // kept only when the set stays above `bound`. Returns the number of accepted
  // moves.
  int32_t perturbate(uint64_t set, const Gsea& bound, rng_compat::Mt19937& gen);

  // One pass of moves: perturbate on sets 0, 1, ..., S-1 in turn, with the same
  // draws and the same outcome, but run on all threads of the current arena.
  // Leaves `gen` where the sequential pass would. Returns the accepted moves.
  int64_t perturbate_all(const Gsea& bound, rng_compat::Mt19937& gen);

  const std::vector<Level>& levels() const { return levels_; }
  uint64_t sample_size() const { return sample_size_; }
  uint64_t k() const { return k_; }
  uint64_t last_split() const { return last_split_; }
  // Whether extend stopped because the last level's moves were cut short: a
  // score beyond the last bound is then not resolved by the ladder.
  bool cut_short() const { return cut_short_; }

  // Test access: the sets, the gene hashes and the chunk bounds; the chunked
  // layout (chunk_sets lays out the sets with the current chunk bounds); and a
  // switch that makes perturbate rescore every changed set in full (the
  // reference the fast path must agree with).
  std::vector<std::vector<uint64_t>>& sets_for_testing() { return sets_; }
  std::vector<uint64_t>& gene_hash_for_testing() { return gene_hash_; }
  std::vector<uint64_t>& chunk_last_for_testing() { return chunk_last_; }
  void chunk_sets_for_testing() {
    gene_info_ready_ = false;  // the hashes may have been changed
    chunk_sets();
  }
  const SampleChunks& chunks_for_testing() const { return chunked_; }
  void set_naive_perturbate_for_testing(bool naive) { force_naive_ = naive; }
  // Lays the genes out in 32 bits even where 16 would do (from the next layout).
  void set_wide_genes_for_testing(bool wide) { force_wide_ = wide; }
  // Moves with SSE2 only even where the processor has AVX2.
  void set_sse2_moves_for_testing(bool sse2) { force_sse2_ = sse2; }
  // The score of set i as the fast path computes it from the chunked layout.
  LevelEntry chunked_score_for_testing(uint64_t i) const { return score_chunked(i); }
  // Makes every run of counted passes on several threads as long as allowed
  // (0: chosen from the acceptance rate), so that runs overshoot the target and
  // are rolled back.
  void set_speculative_passes_for_testing(uint64_t passes) { forced_region_ = passes; }

 private:
  // Lays out sets_ with the bounds chunk_last_ in chunked_, and back.
  void chunk_sets();
  // Also leaves the sets' scores in scores_.
  void unchunk_sets();
  // Set i back from the layout into sets_, with its score in scores_ (read
  // from the layout when the fast path applies).
  void unload_set(uint64_t i);
  // chunk_sets without loading the sets: the bounds, sizes and gene tables.
  void chunk_layout();
  void load_set(uint64_t i, std::span<const uint64_t> genes);
  // The score of set i of the chunked layout (weights >= 0, fast_ok_), equal
  // to score_set's for its genes.
  LevelEntry score_chunked(uint64_t i) const;
  template <class G>
  LevelEntry score_chunked_as(uint64_t i) const;
  // Resets chunk c's entry of peak_local for set i to a bound valid for any
  // content (after the chunk changed).
  void forget_chunk_peak(uint64_t i, uint64_t c);
  // Runs `attempts` moves on set i with the draws (position, gene) in `draws`.
  int32_t perturbate_drawn(uint64_t i, const Gsea& bound, const uint32_t* draws, int32_t attempts);
  int32_t perturbate_naive(uint64_t i, const Gsea& bound, const uint32_t* draws, int32_t attempts);
  // kAvx2 selects the AVX2 helpers; that instantiation runs only inside
  // perturbate_fast_avx2, which processors without AVX2 never call.
  template <class G, bool kAvx2>
  int32_t perturbate_fast(uint64_t i, const Gsea& bound, const uint32_t* draws, int32_t attempts);
  template <class G>
  __attribute__((target("avx2"), flatten)) int32_t perturbate_fast_avx2(uint64_t i, const Gsea& bound,
                                                                       const uint32_t* draws,
                                                                       int32_t attempts);
  // Runs `count` passes of perturbate_all in one parallel region: each task
  // takes its sets through all the passes, the passes' draws are made in
  // stream order by whichever task needs them first. Leaves `gen` after the
  // last pass and the accepted moves of each pass in region_moves_. With
  // `snapshot`, the sets' genes before the region are kept in snapshot_; with
  // `load`, the sets are first loaded from sets_ (after chunk_layout); with
  // `unload`, written back to sets_ at the end.
  void run_passes(const Gsea& bound, rng_compat::Mt19937& gen, uint64_t count, bool snapshot,
                  bool load, bool unload);
  // The moving passes of one level on several threads, from the layout of
  // chunk_layout (the sets still in sets_) to the moved sets back in sets_;
  // false when the level was cut short.
  bool move_level_parallel(const Gsea& bound, rng_compat::Mt19937& gen, int32_t target,
                           uint64_t max_passes, double& rate);
  // Fills draws with the next `attempts` (position, gene) pairs of `gen`.
  void draw_moves(rng_compat::Mt19937& gen, uint64_t attempts, uint32_t* draws) const;

  std::vector<int64_t> weights_;
  std::vector<uint64_t> gene_hash_;
  std::vector<std::vector<uint64_t>> sets_;
  std::vector<std::vector<uint64_t>> spare_sets_;  // resample_genesets' buffers
  std::vector<Level> levels_;
  std::vector<uint64_t> chunk_last_;
  SampleChunks chunked_;
  // Draws of one pass, and those of the pass after it when they were made ahead
  // (on another thread) from the stream position `ahead_from_`.
  std::vector<uint32_t> draws_;
  std::vector<uint32_t> ahead_;
  bool ahead_valid_ = false;
  rng_compat::Mt19937 ahead_from_;
  rng_compat::Mt19937 ahead_to_;
  // Buffers of run_passes: the draws of all its passes, the accepted moves per
  // pass and set, and the sets' genes before it.
  std::vector<uint32_t> region_draws_;
  // Per pass of run_passes: whether its draws are still raw words that each
  // task reduces for its own sets.
  std::vector<uint8_t> region_raw_;
  std::vector<int64_t> region_moves_;  // per pass and task
  uint64_t region_tasks_ = 0;
  std::vector<uint64_t> snapshot_;
  uint64_t forced_region_ = 0;
  // The scores of sets_ as run_passes left them (when ready), for the next
  // resample_genesets.
  std::vector<LevelEntry> scores_;
  bool scores_ready_ = false;
  // chunked_.gene_info holds the current weights and hashes.
  bool gene_info_ready_ = false;
  uint64_t sample_size_;
  uint64_t k_;
  double moves_scale_ = 1.0;
  uint64_t chunks_ = 0;
  uint64_t last_split_ = 0;
  // Every weight is >= 0 and N times their sum stays below 2^62: numerators of
  // running-sum points fit 64 bits and the fast swap test applies.
  bool fast_ok_ = false;
  bool force_naive_ = false;
  bool force_wide_ = false;
  bool force_sse2_ = false;
  bool cut_short_ = false;
};

}  // namespace tarvelo::esruler_compat
