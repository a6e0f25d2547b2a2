#include "tarvelo/decor/engine.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "tarvelo/engine/algo.hpp"
#include "tarvelo/engine/algo_driver.hpp"
#include "tarvelo/decor/es.hpp"
#include "tarvelo/decor/formula.hpp"
#include "tarvelo/decor/options.hpp"
#include "tarvelo/decor/tail.hpp"
#include "tarvelo/base/interrupt.hpp"
#include "tarvelo/base/pool.hpp"
#include "tarvelo/engine/rng_compat.hpp"
#include "tarvelo/engine/special_compat.hpp"

namespace tarvelo::decor {
namespace {

// Size groups with more pathways than this score their random sets batched.
constexpr size_t kBatchAbove = 15;

// Runs body(i) for i in [0, n) on the call's arena, one task per index, the
// items of highest cost(i) first (ties in index order), so that a few long
// items neither queue behind each other nor start last. For work whose
// results do not depend on the order it runs in.
template <class Cost, class Body>
void for_each_costliest_first(size_t n, Cost&& cost, Body&& body) {
  std::vector<size_t> order(n);
  std::iota(order.begin(), order.end(), size_t{0});
  std::vector<double> c(n);
  for (size_t i = 0; i < n; ++i) c[i] = cost(i);
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return c[a] > c[b]; });
  pool::parallel_for_each_task(n, [&](size_t s) { body(order[s]); });
}

struct DecorWorking {
  const std::string* pathway = nullptr;
  std::vector<uint64_t> hits;
  std::vector<double> weights;
  double es = 0.0;
  uint64_t peak = 0;
  DecorNullCounts counts;
  std::optional<double> nes;
  std::optional<double> log2err;
  double pval = std::numeric_limits<double>::quiet_NaN();
  uint64_t side_k = 0;  // extreme count of the p-value's side
  uint64_t side_n = 0;  // permutation count of that side
};

// Scores one sorted random set with the weights of many pathways at once.
// Lane j performs exactly the operations of calculate_es_decor_prechecked for
// pathway j, so the scores agree bit for bit. Lanes whose normaliser is zero
// are rescored by the scalar routine.
class BatchScorer {
 public:
  BatchScorer(std::span<const double> ranks, std::span<const double> magnitudes, uint64_t k,
              std::span<const DecorNullPathway> pathways, uint64_t n, ScoreType score_type)
      : ranks_(ranks), mags_(magnitudes), k_(k), g_(pathways.size()), n_(n),
        score_type_(score_type), pathways_(pathways), matrix_(k * g_), nr_(g_), cum_(g_),
        max_(g_), min_(g_), at_max_(g_), at_min_(g_) {
    for (size_t j = 0; j < g_; ++j)
      for (uint64_t i = 0; i < k_; ++i) matrix_[i * g_ + j] = pathways[j].weights[i];
  }

  // out[j] = score of the set for pathway j.
  void score(std::span<const uint64_t> hits, std::vector<double>& out) {
    const size_t g = g_;
    double* nr = nr_.data();
    std::fill(nr_.begin(), nr_.end(), 0.0);
    for (uint64_t i = 0; i < k_; ++i) {
      const double m = mags_[hits[i]];
      const double* row = &matrix_[i * g];
      for (size_t j = 0; j < g; ++j) nr[j] += m * row[j];
    }
    double* cum = cum_.data();
    double* mx = max_.data();
    double* mn = min_.data();
    uint64_t* amx = at_max_.data();
    uint64_t* amn = at_min_.data();
    std::fill(cum_.begin(), cum_.end(), 0.0);
    std::fill(max_.begin(), max_.end(), -std::numeric_limits<double>::infinity());
    std::fill(min_.begin(), min_.end(), std::numeric_limits<double>::infinity());
    std::fill(at_max_.begin(), at_max_.end(), 0);
    std::fill(at_min_.begin(), at_min_.end(), 0);
    const double d = static_cast<double>(n_ - k_);
    for (uint64_t i = 0; i < k_; ++i) {
      const double m = mags_[hits[i]];
      const double miss = static_cast<double>(hits[i] - i) / d;
      const double* row = &matrix_[i * g];
      for (size_t j = 0; j < g; ++j) {
        const double c = m * row[j];
        cum[j] += c;
        const double top = cum[j] / nr[j] - miss;
        const double bottom = top - c / nr[j];
        const bool up = top > mx[j];
        const bool down = bottom < mn[j];
        mx[j] = up ? top : mx[j];
        amx[j] = up ? hits[i] : amx[j];
        mn[j] = down ? bottom : mn[j];
        amn[j] = down ? hits[i] : amn[j];
      }
    }
    out.resize(g);
    for (size_t j = 0; j < g; ++j) {
      if (nr[j] != 0.0) {
        out[j] = pick_decor_score(mx[j], amx[j], mn[j], amn[j], hits[0], score_type_).first;
      } else {
        out[j] = calculate_es_decor_prechecked(ranks_, hits, pathways_[j].weights, n_,
                                               score_type_).first;
      }
    }
  }

 private:
  std::span<const double> ranks_, mags_;
  uint64_t k_;
  size_t g_;
  uint64_t n_;
  ScoreType score_type_;
  std::span<const DecorNullPathway> pathways_;
  std::vector<double> matrix_;  // k x g, position-major
  std::vector<double> nr_, cum_, max_, min_;
  std::vector<uint64_t> at_max_, at_min_;
};

}  // namespace

uint32_t group_seed32(uint64_t size, uint64_t seed) {
  const uint64_t z = rng_compat::splitmix64_mix((size + 0x9e3779b97f4a7c15ULL) ^ seed);
  const uint32_t s = static_cast<uint32_t>(z >> 32) ^ static_cast<uint32_t>(z);
  return s == 0 ? 1 : s;
}

std::vector<DecorNullCounts> decor_group_null(std::span<const double> ranks,
                                              std::span<const double> magnitudes, uint64_t k,
                                              std::span<const DecorNullPathway> pathways,
                                              uint64_t nperm, uint64_t seed,
                                              ScoreType score_type, bool batched) {
  const uint64_t n = ranks.size();
  std::vector<DecorNullCounts> counts(pathways.size());
  if (nperm == 0 || pathways.empty()) return counts;
  if (k > n) internal_fault("decor null: set size above the number of ranked genes");
  for (const auto& p : pathways)
    if (p.weights.size() != k) internal_fault("decor null: pathway weights differ from the group size");

  auto rng = rng_compat::RLecuyerCmrgSeedCompat::set_seed(group_seed32(k, seed));
  rng_compat::SampleIntScratch scratch;
  std::vector<uint64_t> sample;
  std::vector<double> scores;
  std::optional<BatchScorer> batch;
  std::optional<DecorEsKernel> kernel;
  if (batched) batch.emplace(ranks, magnitudes, k, pathways, n, score_type);
  else if (k > 0 && k < n) kernel.emplace(magnitudes, k, score_type);
  // Larger samples are sorted through a bitmap of the n positions: one pass
  // over n / 64 words instead of a comparison sort.
  const bool by_bitmap = k >= 32;
  std::vector<uint64_t> bitmap(by_bitmap ? (n + 63) / 64 : 0);
  for (uint64_t p = 0; p < nperm; ++p) {
    interrupt::checkpoint();
    rng.sample_int_no_replace_with_kind(n, k, scratch, sample);
    if (by_bitmap) {
      for (uint64_t v : sample) bitmap[(v - 1) >> 6] |= uint64_t{1} << ((v - 1) & 63);
      size_t o = 0;
      for (size_t w = 0; w < bitmap.size(); ++w) {
        for (uint64_t b = bitmap[w]; b != 0; b &= b - 1)
          sample[o++] = w * 64 + static_cast<uint64_t>(__builtin_ctzll(b));
        bitmap[w] = 0;
      }
    } else {
      for (auto& v : sample) v -= 1;
      std::sort(sample.begin(), sample.end());
    }
    if (batch) {
      batch->score(sample, scores);
      for (size_t j = 0; j < pathways.size(); ++j)
        ruvex_compat::count_score(counts[j], scores[j], pathways[j].es);
    } else {
      for (size_t j = 0; j < pathways.size(); ++j) {
        const double e = kernel ? kernel->score(sample.data(), pathways[j].weights.data())
                                : calculate_es_decor_prechecked(ranks, sample, pathways[j].weights,
                                                                n, score_type).first;
        ruvex_compat::count_score(counts[j], e, pathways[j].es);
      }
    }
  }
  return counts;
}

std::vector<std::pair<uint64_t, double>> extract_decor_hits(const Pathway& pathway,
                                                            const algo_support::GeneIndex& index,
                                                            const DecorPathwayScores* entry) {
  std::vector<std::pair<uint64_t, double>> hits;
  if (entry == nullptr || pathway.genes.empty()) return hits;
  const size_t m = std::min(entry->genes.size(), entry->redundancy.size());
  std::unordered_map<std::string_view, double, algo_support::StringHash, std::equal_to<>> red;
  red.reserve(m);
  for (size_t i = 0; i < m; ++i)
    red.insert_or_assign(std::string_view(entry->genes[i]), static_cast<double>(entry->redundancy[i]));
  hits.reserve(pathway.genes.size());
  for (const auto& g : pathway.genes) {
    const std::optional<uint64_t> pos = index.find(g);
    if (!pos) continue;
    auto r = red.find(std::string_view(g));
    if (r == red.end()) continue;
    hits.emplace_back(*pos, r->second);
  }
  std::stable_sort(hits.begin(), hits.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  hits.erase(std::unique(hits.begin(), hits.end(),
                         [](const auto& a, const auto& b) { return a.first == b.first; }),
             hits.end());
  return hits;
}

Result<std::vector<EnrichmentResult>> run_decor_internal(
    const RankedList& ranked, std::span<const Pathway> pathways, const DecorCache& cache,
    const DecorOptions& options, uint64_t nperm, uint64_t seed, uint64_t min_size,
    uint64_t max_size, ScoreType score_type, uint64_t sample_size, double eps, double gsea_param,
    bool multilevel) {
  TARVELO_TRY(validate_decor_options(options));
  TARVELO_ASSIGN_OR_RETURN(const DecorFormulaContext context,
                           DecorFormulaContext::from_cache(options, cache));

  TARVELO_TRY(ranked.check_weights(gsea_param));
  const auto index = algo_support::build_gene_index(ranked);
  const PreparedRanks prepared = ranked.prepare(gsea_param);
  const uint64_t n = ranked.size();
  std::vector<double> ranks(prepared.scaled_weights.begin(), prepared.scaled_weights.end());
  if (ranks.size() != n) internal_fault("decor: prepared weights differ from the ranked list");
  std::vector<double> magnitudes(n);
  for (uint64_t i = 0; i < n; ++i) magnitudes[i] = std::fabs(ranks[i]);
  const uint64_t lo_size = std::max<uint64_t>(min_size, 1);
  const uint64_t hi_size = std::min<uint64_t>(n == 0 ? 0 : n - 1, max_size);
  // NaN stays NaN (and is then ignored by fmax); -0.0 stays -0.0.
  const double floor_p = eps < 0.0 ? 0.0 : eps > 1.0 ? 1.0 : eps;
  const uint64_t s_size = std::max<uint64_t>(sample_size, 3);

  // Preprocessing, one task per pathway.
  struct Pre {
    std::optional<DecorWorking> working;
    std::optional<Error> error;
  };
  std::vector<Pre> pre = pool::ordered_map<Pre>(pathways.size(), [&](size_t p) {
    Pre out;
    const Pathway& pw = pathways[p];
    auto it = cache.pathways.find(pw.name);
    const DecorPathwayScores* entry = it == cache.pathways.end() ? nullptr : &it->second;
    auto hits = extract_decor_hits(pw, index, entry);
    if (hits.size() < lo_size || hits.size() > hi_size) return out;
    DecorWorking w;
    w.pathway = &pw.name;
    w.hits.reserve(hits.size());
    w.weights.reserve(hits.size());
    for (const auto& [pos, red] : hits) {
      auto pen = context.penalty(red);
      if (!pen.ok()) {
        out.error = std::move(pen).error();
        return out;
      }
      w.hits.push_back(pos);
      w.weights.push_back(*pen);
    }
    std::tie(w.es, w.peak) = calculate_es_decor_prechecked(ranks, w.hits, w.weights, n, score_type);
    out.working = std::move(w);
    return out;
  });
  std::vector<DecorWorking> work;
  for (auto& p : pre) {
    if (p.error) return std::move(*p.error);
    if (p.working) work.push_back(std::move(*p.working));
  }
  pre.clear();
  pre.shrink_to_fit();

  // Size groups, ascending size, pathway indices ascending within a group.
  std::vector<size_t> by_size(work.size());
  std::iota(by_size.begin(), by_size.end(), size_t{0});
  std::stable_sort(by_size.begin(), by_size.end(),
                   [&](size_t a, size_t b) { return work[a].hits.size() < work[b].hits.size(); });
  std::vector<std::vector<size_t>> groups;
  for (size_t i : by_size) {
    if (groups.empty() || work[groups.back().front()].hits.size() != work[i].hits.size())
      groups.emplace_back();
    groups.back().push_back(i);
  }

  // Null sampling: every group owns its stream, so groups run in any order.
  // The costliest groups start first.
  if (nperm > 0 && !groups.empty()) {
    auto cost = [&](size_t g) {
      const double k = static_cast<double>(work[groups[g].front()].hits.size());
      return k * (std::log2(k + 1.0) + static_cast<double>(groups[g].size()));
    };
    for_each_costliest_first(groups.size(), cost, [&](size_t g) {
      const auto& members = groups[g];
      std::vector<DecorNullPathway> nps;
      nps.reserve(members.size());
      for (size_t i : members) nps.push_back({work[i].weights, work[i].es});
      const uint64_t k = work[members.front()].hits.size();
      auto counts = decor_group_null(ranks, magnitudes, k, nps, nperm, seed, score_type,
                                     members.size() > kBatchAbove);
      for (size_t j = 0; j < members.size(); ++j) work[members[j]].counts = counts[j];
    });
  }

  // Statistics: the classic engine's rules, with p-values floored at eps.
  const double nperm_f = static_cast<double>(nperm);
  for (DecorWorking& w : work) {
    const algo::driver::PermutationStats st =
        algo::driver::permutation_stats(w.counts, w.es, score_type);
    w.nes = st.nes;
    if (w.nes) w.pval = std::fmax(st.pval, floor_p);
    w.side_k = st.k;
    w.side_n = st.n;
    if (w.side_n != 0 && std::isfinite(w.pval) && nperm != 0)
      w.log2err = algo::driver::permutation_log2err(w.side_k, nperm);
    if (multilevel && w.side_n < 10) {
      w.pval = std::numeric_limits<double>::quiet_NaN();
      w.nes.reset();
      w.log2err.reset();
    }
  }

  // Refinement of coarse p-values by the multilevel tail.
  if (multilevel && nperm != 0) {
    std::vector<size_t> cand;
    for (size_t i = 0; i < work.size(); ++i) {
      const DecorWorking& w = work[i];
      if (std::isfinite(w.pval) &&
          algo_support::should_refine_multilevel(w.side_k, w.side_n, nperm, s_size, w.pval))
        cand.push_back(i);
    }
    struct Tail {
      double a = 0.0;
      std::optional<double> tail;
    };
    // Each candidate seeds its own generator, so the order of work is free:
    // the expected costliest (large sets, small p-values: many levels) start
    // first and every candidate is its own task.
    auto cost = [&](size_t c) {
      const DecorWorking& w = work[cand[c]];
      return static_cast<double>(w.hits.size()) * static_cast<double>(w.hits.size()) *
             (1.0 - std::log2(std::fmax(w.pval, 1e-300)));
    };
    std::vector<Tail> tails(cand.size());
    for_each_costliest_first(cand.size(), cost, [&](size_t c) {
      const size_t i = cand[c];
      const DecorWorking& w = work[i];
      Tail& t = tails[c];
      t.a = (static_cast<double>(w.side_n) + 1.0) / (nperm_f + 1.0);
      t.tail = run_decor_multilevel_tail(ranks, w.weights, n, score_type, s_size,
                                         tail_seed32(i, seed), w.es, floor_p * t.a);
    });
    for (size_t c = 0; c < cand.size(); ++c) {
      DecorWorking& w = work[cand[c]];
      const auto& t = tails[c];
      // A failed estimate keeps the permutation p-value.
      if (!t.tail || !std::isfinite(*t.tail)) continue;
      const algo::driver::RefinedPvalue r =
          algo::driver::merge_refined_pvalue(*t.tail, w.side_n, nperm, floor_p, s_size);
      w.pval = r.pval;
      w.log2err = r.log2err;
    }
  }

  std::vector<EnrichmentResult> results;
  results.reserve(work.size());
  for (DecorWorking& w : work) {
    EnrichmentResult r;
    r.pathway = *w.pathway;
    r.size = w.hits.size();
    r.es = w.es;
    r.nes = w.nes;
    r.pval = w.pval;
    r.log2err = w.log2err;
    r.leading_edge = algo_support::leading_edge(w.hits, w.peak, score_type, ranked.genes(), w.es);
    results.push_back(std::move(r));
  }
  algo::driver::finish_results(results);
  return results;
}

Result<std::vector<EnrichmentResult>> ruvex_decor_simple_with_options(
    const RankedList& ranked, std::span<const Pathway> pathways, const DecorCache& cache,
    const DecorOptions& options, uint64_t nperm, std::optional<uint64_t> seed, uint64_t min_size,
    uint64_t max_size, ScoreType score_type, uint64_t sample_size, double eps, double gsea_param) {
  return run_decor_internal(ranked, pathways, cache, options, nperm, algo::resolve_rng_seed(seed),
                            min_size, max_size, score_type, sample_size, eps, gsea_param, false);
}

Result<std::vector<EnrichmentResult>> ruvex_decor_multilevel_with_options(
    const RankedList& ranked, std::span<const Pathway> pathways, const DecorCache& cache,
    const DecorOptions& options, uint64_t nperm, std::optional<uint64_t> seed, uint64_t min_size,
    uint64_t max_size, ScoreType score_type, uint64_t sample_size, double eps, double gsea_param) {
  return run_decor_internal(ranked, pathways, cache, options, nperm, algo::resolve_rng_seed(seed),
                            min_size, max_size, score_type, sample_size, eps, gsea_param, true);
}

}  // namespace tarvelo::decor
