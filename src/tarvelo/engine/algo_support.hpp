// Helpers of the enrichment engine: gene index, pathway hits, leading edge and
// Benjamini-Hochberg adjustment.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tarvelo/engine/records.hpp"

namespace tarvelo::algo_support {

struct StringHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

// Gene name -> ranked position. Keys view the ranked list's strings, which must
// outlive the index.
using GeneIndex = std::unordered_map<std::string_view, uint64_t, StringHash, std::equal_to<>>;

// A name given twice maps to its later position.
GeneIndex build_gene_index(const RankedList& ranked);

// Sorted, de-duplicated ranked positions of the pathway's genes found in the index.
std::vector<uint64_t> extract_pathway_hits(const GeneIndex& index,
                                           std::span<const std::string> genes);

// Leading-edge gene names of one pathway (see calculate_es_ruvex for the peak).
std::vector<std::string> leading_edge(std::span<const uint64_t> hits, uint64_t peak,
                                      ScoreType score_type,
                                      const std::vector<std::string>& ranked_genes, double es);

// Fills padj of the results with finite p-values; m counts every result.
void apply_bh_adjustment(std::span<EnrichmentResult> results);

// Whether a permutation p-value deserves the multilevel estimate: there are at
// least 10 permutation scores on its side (n), the p-value is finite, and the
// multilevel error for sample_size sets is below half the log2 width of the
// Clopper-Pearson 95% interval of k extreme scores out of nperm.
bool should_refine_multilevel(uint64_t k, uint64_t n, uint64_t nperm, uint64_t sample_size,
                              double pval);

}  // namespace tarvelo::algo_support
