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

// ---- Options of the correlation-aware method "decor" ----

// Correlation kind a decor cache was built with.
enum class DecorCorrelation : uint8_t {
  kPearson = 0,
  kSpearman = 1,
};
inline constexpr std::array<std::string_view, 2> kDecorCorrelationNames = {
    "pearson", "spearman"};
inline constexpr std::string_view decor_correlation_name(DecorCorrelation c) {
  return kDecorCorrelationNames[static_cast<size_t>(c)];
}

// How a gene's correlations with the other pathway genes are averaged.
enum class DecorRedundancy : uint8_t {
  kPositiveMean = 0,  // mean of max(r, 0)
  kAbsMean = 1,       // mean of |r|
};
inline constexpr std::array<std::string_view, 2> kDecorRedundancyNames = {
    "positive_mean", "abs_mean"};
inline constexpr std::string_view decor_redundancy_name(DecorRedundancy r) {
  return kDecorRedundancyNames[static_cast<size_t>(r)];
}

// Whether an existing decor cache file is reused or rebuilt. No text form: the
// Python layer parses its own keywords.
enum class DecorCacheMode : uint8_t {
  kAuto = 0,     // reuse a compatible cache, else build when possible
  kReuse = 1,    // the cache must exist and be compatible
  kRebuild = 2,  // always build from the expression matrix
};

// Formula turning a redundancy into a weight penalty.
enum class DecorWeightFormula : uint8_t {
  kRawRational = 0,
  kScaledRational = 1,
  kQ75ScaledRational = 2,
  kExpScaled = 3,
  kOddsRational = 4,
  kThresholdRational = 5,
  kQuantileRational = 6,
  kFloorScaledRational = 7,
  kPowerRetention = 8,
};
inline constexpr std::array<std::string_view, 9> kDecorWeightFormulaNames = {
    "raw-rational",       "scaled-rational",    "q75-scaled-rational",
    "exp-scaled",         "odds-rational",      "threshold-rational",
    "quantile-rational",  "floor-scaled-rational", "power-retention"};
inline constexpr std::string_view decor_weight_formula_name(DecorWeightFormula f) {
  return kDecorWeightFormulaNames[static_cast<size_t>(f)];
}

// Parameters of the method "decor". The numeric defaults are the "balanced"
// preset's; the Python layer always applies a preset afterwards.
struct DecorOptions {
  std::optional<std::string> cache_path;       // decor cache file
  std::optional<std::string> expression_path;  // expression matrix file
  double alpha = 60.0;          // strength of the penalty
  double gamma = 1.0;           // exponent of power-retention
  double threshold = 0.04;      // redundancy below which threshold-rational is 1
  double penalty_floor = 0.0;   // lowest penalty of floor-scaled-rational
  double scale_epsilon = 1e-12; // added to a scale before dividing by it
  DecorCorrelation correlation = DecorCorrelation::kPearson;
  DecorRedundancy redundancy = DecorRedundancy::kPositiveMean;
  DecorCacheMode cache_mode = DecorCacheMode::kAuto;
  DecorWeightFormula weight_formula = DecorWeightFormula::kThresholdRational;
};

}  // namespace tarvelo
