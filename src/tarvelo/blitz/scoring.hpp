// Scoring of one cleaned pathway in mode "blitz": the weighted running sum,
// the leading edge in CPython set order, and the gamma-mixture tail.
#pragma once

#include <cstdint>
#include <vector>

#include "tarvelo/blitz/pyset_compat.hpp"
#include "tarvelo/blitz/signature.hpp"
#include "tarvelo/engine/records.hpp"
#include "tarvelo/base/error.hpp"

namespace tarvelo::blitz {

// The null model evaluated at one set size.
struct BlitzModelParams {
  double shape_pos = 0, scale_pos = 0, frac_pos = 0, shape_neg = 0, scale_neg = 0;
};

// One per scoring worker, reused from pathway to pathway.
struct BlitzScoreScratch {
  std::vector<double> hit_weights;
  compat::PythonIntSet edge;
};

struct ScoredBlitzPathway {
  EnrichmentResult result;  // nes set, padj and log2err absent
  uint64_t gamma_cdf_calls = 0;
  uint64_t gamma_fallback_calls = 0;
};

Result<ScoredBlitzPathway> score_cleaned_pathway(const BlitzSignature& signature,
                                                 const CleanedPathway& pathway,
                                                 const BlitzModelParams& params,
                                                 uint64_t deep_accuracy,
                                                 BlitzScoreScratch& scratch);

}  // namespace tarvelo::blitz
