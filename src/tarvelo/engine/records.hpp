// Folder engine/: the classic enrichment engine. The records below, the GMT
// reader, the enrichment score (algo), its support rules (algo_support), the
// driver of the modes "simple", "multilevel" and "ruvex" (algo_driver), the
// permutation kernels (ruvex_compat, ruvex_kernels), the multilevel ruler
// (esruler_compat, multilevel), the R-compatible random streams (rng_compat),
// special functions (special_compat) and the plan of an analysis call (bindings).
//
// Records shared by every analysis: the ranked gene list, its integer weights,
// pathways, the score type and the result row.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tarvelo/base/error.hpp"

namespace tarvelo {

// Which tail the enrichment score takes.
enum class ScoreType : uint8_t {
  kStd = 0,  // the larger of the two deviations
  kPos = 1,  // the positive deviation
  kNeg = 2,  // the negative deviation
};

// Weights of one analysis: |score|^gseaParam and their scaling to integers that
// sum to about 2^30. Exact enrichment-score comparisons use scaled_weights.
struct PreparedRanks {
  std::vector<double> weights;
  std::vector<int64_t> scaled_weights;
  uint64_t scaled_total = 0;  // wrap-around sum of scaled_weights
};

// Positions 0..scores.size()-1 ordered by score, highest first; equal scores
// keep their input order and NaN scores go after every number (a strict weak
// order, so the sort is well defined).
std::vector<size_t> descending_score_order(std::span<const double> scores);

// Genes ordered by score descending; equal scores keep input order, NaN scores
// go last (in input order). Immutable after construction.
class RankedList {
 public:
  RankedList() = default;
  // Takes both vectors; scores must hold at least genes.size() values (extra
  // scores are ignored; fewer throws InternalError).
  RankedList(std::vector<std::string> genes, std::vector<double> scores);

  const std::vector<std::string>& genes() const { return genes_; }
  const std::vector<double>& scores() const { return scores_; }
  size_t size() const { return genes_.size(); }
  bool empty() const { return genes_.empty(); }

  PreparedRanks prepare(double gsea_param) const;

  // Fails (a value error) when a weight |score|^gsea_param or the total of
  // all weights is not finite: scores near the float64 limit, a power that
  // overflows, a NaN gsea_param. prepare() divides by that total, so an
  // overflow would silently make every integer weight zero and every result
  // meaningless. The engines call prepare() only after this check passed.
  Status check_weights(double gsea_param) const;

 private:
  std::vector<std::string> genes_;
  std::vector<double> scores_;
};

struct Pathway {
  std::string name;
  std::vector<std::string> genes;  // file order, duplicates allowed
  std::optional<std::string> description;
};

struct PathwayDb {
  std::vector<Pathway> pathways;  // file order
};

// One output row of every mode and method.
struct EnrichmentResult {
  std::string pathway;
  uint64_t size = 0;
  double es = 0.0;
  std::optional<double> nes;
  double pval = 0.0;  // NaN when it cannot be computed
  std::optional<double> padj;
  std::optional<double> log2err;
  std::vector<std::string> leading_edge;
};

}  // namespace tarvelo
