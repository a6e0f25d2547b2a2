// The signature of mode "blitz" (de-duplicated genes with absolute weights) and
// the pathways restricted to it, with gene lists in CPython set order.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "tarvelo/base/error.hpp"
#include "tarvelo/blitz/pyset_compat.hpp"
#include "tarvelo/engine/records.hpp"

namespace tarvelo::blitz {

struct BlitzSignature {
  std::vector<std::string> genes;    // kept names, ranked order
  std::vector<double> weights;       // |score| after optional centring
  double center = 0.0;               // the mean subtracted (0 without centring)
  std::unordered_map<std::string, uint64_t> gene_index;  // name -> position
};

struct CleanedPathway {
  std::string name;
  std::vector<std::string> genes;          // signature genes, set order
  std::vector<uint64_t> positions;         // gene_index of genes, same order
  std::vector<uint64_t> sorted_positions;  // ascending
  compat::PythonIntSet position_set;       // positions, in the set's own order

  uint64_t size() const { return genes.size(); }
};

// Sorts the first min(#names, #scores) pairs of the ranked list by score
// (descending, ties and NaN by index), keeps the first occurrence of each
// name, optionally centres the scores at their pairwise mean and takes their
// absolute values as weights.
BlitzSignature prepare_signature(const RankedList& ranked, bool center);

// Fails when the signature cannot be scored in double precision: scores near
// the float64 limit whose mean, centred weights or weight total overflow.
// Every hit step divides by a weight total, so an overflow would turn every
// enrichment score into NaN or zero, and the p-values into nonsense, rather
// than into an error. The total is kept below half the double range so that
// no sum of some of the weights, in any order, can overflow either.
Status check_signature_range(const BlitzSignature& signature);

// One cleaned record per pathway, in input order; nothing is filtered.
std::vector<CleanedPathway> clean_pathways(const BlitzSignature& signature,
                                           const std::vector<Pathway>& pathways);

}  // namespace tarvelo::blitz
