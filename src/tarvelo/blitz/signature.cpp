#include "tarvelo/blitz/signature.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_set>

#include "tarvelo/blitz/compat.hpp"
#include "tarvelo/base/error.hpp"

namespace tarvelo::blitz {

BlitzSignature prepare_signature(const RankedList& ranked, bool center) {
  const auto& names = ranked.genes();
  const auto& scores = ranked.scores();
  const size_t n = std::min(names.size(), scores.size());

  // Higher score first, ties by index. NaN scores (which the Python layer
  // rejects) go after every number so that the order stays a strict weak one.
  const std::vector<size_t> order = descending_score_order({scores.data(), n});

  BlitzSignature sig;
  std::vector<double> kept;
  {
    std::unordered_set<std::string_view> seen;
    seen.reserve(n);
    sig.genes.reserve(n);
    kept.reserve(n);
    for (size_t i : order) {
      if (!seen.insert(names[i]).second) continue;
      sig.genes.push_back(names[i]);
      kept.push_back(scores[i]);
    }
  }
  if (center && !kept.empty()) {
    const double mean =
        compat::numpy_pairwise_sum_f64(kept) / static_cast<double>(kept.size());
    for (double& s : kept) s = s - mean;
    sig.center = mean;
  }
  sig.weights.resize(kept.size());
  for (size_t i = 0; i < kept.size(); ++i) sig.weights[i] = std::fabs(kept[i]);
  sig.gene_index.reserve(sig.genes.size());
  for (size_t i = 0; i < sig.genes.size(); ++i) sig.gene_index.emplace(sig.genes[i], i);
  return sig;
}

Status check_signature_range(const BlitzSignature& signature) {
  constexpr const char* kAdvice = "; scores this close to the float64 limit must be rescaled";
  if (!std::isfinite(signature.center)) {
    return Error("blitz cannot centre the scores: their mean is not finite (the sum of the "
                 "scores overflows)" + std::string(kAdvice));
  }
  for (size_t i = 0; i < signature.weights.size(); ++i) {
    if (!std::isfinite(signature.weights[i])) {
      return Error("blitz weight of gene '" + signature.genes[i] +
                   "' is not finite (centring its score overflows)" + std::string(kAdvice));
    }
  }
  const double total = compat::numpy_pairwise_sum_f64(signature.weights);
  if (!(total <= std::numeric_limits<double>::max() / 2)) {
    return Error("blitz weights sum to more than half the float64 range (" +
                 std::string(std::isfinite(total) ? "near overflow" : "overflow") + ")" +
                 std::string(kAdvice));
  }
  return ok_status();
}

std::vector<CleanedPathway> clean_pathways(const BlitzSignature& signature,
                                           const std::vector<Pathway>& pathways) {
  // The signature set doubles as the exact membership test of the signature's
  // names: its slots carry each name's position, so a pathway gene is hashed
  // once and looked up by that hash.
  const uint64_t n_genes = signature.genes.size();
  compat::PythonStringSet signature_set;
  for (size_t i = 0; i < signature.genes.size(); ++i) signature_set.insert(signature.genes[i], i);

  std::vector<CleanedPathway> out;
  out.reserve(pathways.size());
  for (const Pathway& pw : pathways) {
    compat::PythonStringSet pathway_set;
    for (const std::string& g : pw.genes) pathway_set.insert(g);

    // CPython iterates the smaller set of signature_set & pathway_set, the
    // pathway set at equal sizes.
    compat::PythonStringSet common;
    if (pathway_set.used() <= n_genes) {
      common = compat::intersection_new_set(
          pathway_set.slots(), signature_set.used(), [&](const compat::PythonStringSet::Slot& s, uint64_t& tag) {
            const auto* hit = signature_set.find(s.hash, s.name);
            if (hit != nullptr) tag = hit->tag;
            return hit != nullptr;
          });
    } else {
      common = compat::intersection_new_set(
          signature_set.slots(), pathway_set.used(), [&](const compat::PythonStringSet::Slot& s, uint64_t&) {
            return pathway_set.find(s.hash, s.name) != nullptr;
          });
    }

    CleanedPathway cp;
    cp.name = pw.name;
    cp.genes.reserve(common.used());
    cp.positions.reserve(common.used());
    // The tags of `common` are signature positions on both paths.
    for (const auto& s : common.slots()) {
      if (!s.full) continue;
      if (s.tag >= n_genes) internal_fault("cleaned pathway gene is missing from the signature");
      cp.genes.emplace_back(s.name);
      cp.positions.push_back(s.tag);
    }
    cp.sorted_positions = cp.positions;
    std::sort(cp.sorted_positions.begin(), cp.sorted_positions.end());

    // The position set is filled from a second string set built in the order
    // of `genes`, as the reference builds {index[g] for g in set(genes)}.
    compat::PythonStringSet reordered;
    for (const auto& s : common.slots()) {
      if (s.full) reordered.insert_hashed(s.hash, s.name, s.tag);
    }
    for (const auto& s : reordered.slots()) {
      if (s.full) cp.position_set.insert(s.tag);
    }
    cp.position_set.clear_scratch();
    out.push_back(std::move(cp));
  }
  return out;
}

}  // namespace tarvelo::blitz
