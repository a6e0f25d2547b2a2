// Folder blitz/: the mode "blitz" (this file is its entry point) with its
// stages (signature, calibration, fit, scoring, tail) and the numeric ports it
// reproduces (compat, pyset_compat, smoothing, blitz_gamma, blitz_mpmath).
//
// Mode "blitz": enrichment p-values from a gamma-mixture null model calibrated
// on random gene sets, instead of per-pathway permutations.
//
// One call prepares the signature, cleans the pathways, obtains the model
// (calibrated, or cloned from the process-wide cache), scores every pathway
// within the size bounds and returns the results BH-adjusted and ordered by
// (p-value, name bytes). With TARVELO_BLITZ_TIMINGS set in the environment
// (any value, also empty) each stage writes a "TARVELO_BLITZ_TIMING" line to
// standard error.
#pragma once

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "tarvelo/blitz/calibration.hpp"
#include "tarvelo/engine/records.hpp"
#include "tarvelo/base/error.hpp"

namespace tarvelo::blitz {

struct BlitzModelCacheKey {
  std::array<uint8_t, 32> signature_sha256{};
  uint64_t n_genes = 0;
  uint64_t max_set_size = 0;
  uint64_t permutations = 0;
  uint64_t anchors = 0;
  uint64_t processes = 0;
  bool symmetric = false;
  uint64_t seed = 0;
  bool center = false;

  friend bool operator==(const BlitzModelCacheKey&, const BlitzModelCacheKey&) = default;
  friend auto operator<=>(const BlitzModelCacheKey&, const BlitzModelCacheKey&) = default;
};

// SHA-256 of N as u64 little-endian followed by every weight's IEEE bits as
// 8 little-endian bytes.
std::array<uint8_t, 32> signature_digest(const std::vector<double>& weights);

// Benjamini-Hochberg as statsmodels' fdr_bh computes it: q = p / (r / m) over
// the finite p-values (m counts only those), minimum from the largest rank
// down, capped at 1. Non-finite p-values keep padj absent.
void apply_statsmodels_bh_adjustment(std::vector<EnrichmentResult>& results);

Result<std::vector<EnrichmentResult>> ruvex_blitz_with_options(const RankedList& ranked,
                                                               const std::vector<Pathway>& pathways,
                                                               const BlitzOptions& options);

// How the parallel scoring splits a list of `len` pathways: consecutive
// [begin, end) ranges covering it in order, none shorter than min(len, 128),
// so that a list of fewer than 256 pathways is one piece.
std::vector<std::pair<size_t, size_t>> scoring_pieces(size_t len);

// Number of models in the process-wide cache.
size_t blitz_model_cache_entries();

}  // namespace tarvelo::blitz
