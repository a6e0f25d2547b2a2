// Helpers of the enrichment engine: gene index, pathway hits, leading edge and
// Benjamini-Hochberg adjustment.
#pragma once

#include <cstdint>
#include <optional>
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

// Gene name -> ranked position. A call looks up every gene of every pathway
// (hundreds of thousands of names, most of them short and most of them ranked),
// so this is an open-addressing table with linear probing whose 32-byte slots
// hold the name itself when it fits in 16 bytes: a lookup usually reads one
// cache line, compares a 32-bit hash tag, and only then the bytes. The index
// keeps its own copy of the names and does not depend on the ranked list
// staying alive.
class GeneIndex {
 public:
  GeneIndex() = default;
  // A name given twice maps to its later position.
  explicit GeneIndex(const std::vector<std::string>& genes);

  // The ranked position of `name`, or nullopt when it is not ranked.
  std::optional<uint64_t> find(std::string_view name) const;
  // Appends the ranked positions of the names found, in order. Faster than
  // find() one by one: the slots of a batch are fetched from memory together.
  void append_positions(std::span<const std::string> names, std::vector<uint64_t>& out) const;

  // Distinct names.
  size_t size() const { return distinct_; }
  bool empty() const { return distinct_ == 0; }

  // A 64-bit hash of the bytes; exposed for its tests.
  static uint64_t hash_name(std::string_view s) noexcept;

 private:
  static constexpr size_t kInline = 16;
  struct Slot {
    uint32_t tag = 0;       // high half of the name's hash
    uint32_t length = 0;    // of the name
    uint64_t position = kEmpty;
    // The name when it fits (zero padded), else its offset into long_names_.
    char bytes[kInline] = {};
  };
  static constexpr uint64_t kEmpty = ~uint64_t{0};

  size_t probe(std::string_view name, uint64_t hash) const;

  std::vector<Slot> slots_;  // a power of two long
  size_t mask_ = 0;
  size_t distinct_ = 0;
  std::string long_names_;  // the names longer than kInline, back to back
};

GeneIndex build_gene_index(const RankedList& ranked);

// Sorted, de-duplicated ranked positions of the pathway's genes found in the index.
std::vector<uint64_t> extract_pathway_hits(const GeneIndex& index,
                                           std::span<const std::string> genes);

// Sorts the positions ascending and drops repeats.
void sort_unique_positions(std::vector<uint64_t>& positions);

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
