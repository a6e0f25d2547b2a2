// Placeholder driver until the permutation engine lands: enrichment scores and
// leading edges only, no p-values.
#include <algorithm>
#include <cmath>

#include "tarvelo/algo.hpp"
#include "tarvelo/algo_support.hpp"

namespace tarvelo::algo {

uint64_t resolve_rng_seed(std::optional<uint64_t> seed) { return seed.value_or(0); }

std::vector<EnrichmentResult> run_gsea_internal(const RankedList& ranked,
                                                std::span<const Pathway> pathways, uint64_t,
                                                uint64_t, uint64_t min_size, uint64_t max_size,
                                                double, double gsea_param, ScoreType score_type,
                                                bool, uint64_t) {
  std::vector<EnrichmentResult> out;
  const uint64_t n = ranked.size();
  auto index = algo_support::build_gene_index(ranked);
  auto prepared = ranked.prepare(gsea_param);
  std::vector<double> ranks(prepared.scaled_weights.begin(), prepared.scaled_weights.end());
  min_size = std::max<uint64_t>(min_size, 1);
  max_size = std::min<uint64_t>(max_size, n == 0 ? 0 : n - 1);
  for (const auto& p : pathways) {
    auto hits = algo_support::extract_pathway_hits(index, p.genes);
    if (hits.size() < min_size || hits.size() > max_size) continue;
    auto [es, peak] = calculate_es_ruvex(ranks, hits, n, score_type);
    EnrichmentResult r;
    r.pathway = p.name;
    r.size = hits.size();
    r.es = es;
    r.pval = std::nan("");
    r.leading_edge = algo_support::leading_edge(hits, peak, score_type, ranked.genes(), es);
    out.push_back(std::move(r));
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const auto& a, const auto& b) { return a.pathway < b.pathway; });
  return out;
}

std::vector<EnrichmentResult> ruvex_with_sample_size_and_kind(
    const RankedList& ranked, std::span<const Pathway> pathways, std::optional<uint64_t> nperm,
    uint64_t nperm_simple, std::optional<uint64_t> seed, uint64_t min_size, uint64_t max_size,
    double eps, double gsea_param, ScoreType score_type, uint64_t sample_size) {
  return run_gsea_internal(ranked, pathways, nperm.value_or(nperm_simple), resolve_rng_seed(seed),
                           min_size, max_size, eps, gsea_param, score_type, !nperm.has_value(),
                           sample_size);
}

}  // namespace tarvelo::algo
