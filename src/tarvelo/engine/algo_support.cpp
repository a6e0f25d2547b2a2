#include "tarvelo/engine/algo_support.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "tarvelo/engine/special_compat.hpp"

namespace tarvelo::algo_support {

GeneIndex build_gene_index(const RankedList& ranked) {
  GeneIndex index;
  const auto& genes = ranked.genes();
  index.reserve(genes.size());
  for (size_t i = 0; i < genes.size(); ++i) index.insert_or_assign(std::string_view(genes[i]), i);
  return index;
}

std::vector<uint64_t> extract_pathway_hits(const GeneIndex& index,
                                           std::span<const std::string> genes) {
  std::vector<uint64_t> hits;
  if (genes.empty() || index.empty()) return hits;
  hits.reserve(genes.size());
  for (const auto& g : genes) {
    auto it = index.find(std::string_view(g));
    if (it != index.end()) hits.push_back(it->second);
  }
  std::sort(hits.begin(), hits.end());
  hits.erase(std::unique(hits.begin(), hits.end()), hits.end());
  return hits;
}

std::vector<std::string> leading_edge(std::span<const uint64_t> hits, uint64_t peak,
                                      ScoreType score_type,
                                      const std::vector<std::string>& ranked_genes, double es) {
  std::vector<std::string> out;
  const bool top = score_type == ScoreType::kPos || (score_type == ScoreType::kStd && es > 0);
  const bool bottom = score_type == ScoreType::kNeg || (score_type == ScoreType::kStd && es < 0);
  if (top) {
    for (uint64_t h : hits) {
      if (h > peak) break;
      out.push_back(ranked_genes[h]);
    }
  } else if (bottom) {
    for (auto it = hits.rbegin(); it != hits.rend() && *it >= peak; ++it)
      out.push_back(ranked_genes[*it]);
  }
  return out;
}

void apply_bh_adjustment(std::span<EnrichmentResult> results) {
  const double m = static_cast<double>(results.size());
  std::vector<size_t> idx;
  idx.reserve(results.size());
  for (size_t i = 0; i < results.size(); ++i)
    if (std::isfinite(results[i].pval)) idx.push_back(i);
  if (idx.empty()) return;
  std::stable_sort(idx.begin(), idx.end(),
                   [&](size_t a, size_t b) { return results[a].pval < results[b].pval; });
  double running = 1.0;
  for (size_t r = idx.size(); r >= 1; --r) {
    EnrichmentResult& res = results[idx[r - 1]];
    const double q = (res.pval * m) / static_cast<double>(r);
    running = std::fmin(running, q);
    running = std::fmin(running, 1.0);
    res.padj = running;
  }
}

}  // namespace tarvelo::algo_support

namespace tarvelo::algo_support {

bool should_refine_multilevel(uint64_t k, uint64_t n, uint64_t nperm, uint64_t sample_size,
                              double pval) {
  if (n < 10 || nperm == 0 || !std::isfinite(pval)) return false;
  if (k > nperm) return false;  // counts out of range: nothing sound to refine
  const double kf = static_cast<double>(k);
  const double nf = static_cast<double>(nperm);
  const double p = (kf + 1.0) / (nf + 1.0);
  const double log2p = std::log2(p);
  // Clopper-Pearson 95% interval of k successes out of nperm, in log2.
  const double lower = k == 0 ? -std::numeric_limits<double>::infinity()
                              : std::log2(special_compat::beta_inverse_cdf(
                                    kf, static_cast<double>(nperm - k + 1), 0.025));
  const double upper = k == nperm ? 0.0
                                  : std::log2(special_compat::beta_inverse_cdf(
                                        kf + 1.0, static_cast<double>(nperm - k), 0.975));
  const double half = 0.5 * std::fmax(log2p - lower, upper - log2p);
  const double s1 = static_cast<double>(sample_size) + 1.0;
  const double mlerr =
      std::sqrt(std::floor(1.0 - log2p) *
                (special_compat::trigamma(s1 * 0.5) - special_compat::trigamma(s1))) /
      0.6931471805599453;
  return mlerr < half;
}

}  // namespace tarvelo::algo_support
