// The classic engine driver: modes "simple", "multilevel" and "ruvex".
//
// A call runs in stages: setup, pathway preprocessing (hits, size filter,
// observed scores), the permutation test in seeded batches, postprocessing
// (normalised score, p-value, error estimate), multilevel refinement of small
// p-values, and finalisation (leading edges, BH adjustment, name order). Every
// random stream derives from the seed alone, and every parallel step writes its
// own slot, so results do not depend on the number of threads (except under
// TARVELO_FAST_NONEXACT_SIMPLE, whose chunked kernel trades that for speed).
#include "tarvelo/engine/algo_driver.hpp"

#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <utility>

#include "tarvelo/engine/algo.hpp"
#include "tarvelo/engine/algo_support.hpp"
#include "tarvelo/base/error.hpp"
#include "tarvelo/base/interrupt.hpp"
#include "tarvelo/engine/multilevel.hpp"
#include "tarvelo/base/pool.hpp"
#include "tarvelo/engine/ruvex_compat.hpp"
#include "tarvelo/engine/ruvex_kernels.hpp"
#include "tarvelo/engine/special_compat.hpp"

namespace tarvelo::algo {
namespace driver {

constexpr uint64_t kSeedRange = 1000000000;  // batch and refinement seeds lie in [1, 1e9]
constexpr double kInvLn2 = 1.4426950408889634;
constexpr double kLn2 = 0.6931471805599453;

ClampedParams clamp_params(uint64_t min_size, uint64_t max_size, double eps, uint64_t n_genes) {
  ClampedParams c;
  c.min_size = std::max<uint64_t>(min_size, 1);
  c.max_size = std::min<uint64_t>(max_size, n_genes == 0 ? 0 : n_genes - 1);
  // Written as comparisons so that a NaN eps passes unchanged.
  c.eps = eps < 0.0 ? 0.0 : (eps > 1.0 ? 1.0 : eps);
  return c;
}

std::vector<uint64_t> batch_sizes(uint64_t nperm, bool allow_multilevel) {
  std::vector<uint64_t> sizes;
  if (nperm == 0) return sizes;
  if (allow_multilevel) {
    sizes.push_back(nperm);
    return sizes;
  }
  // ceil(nperm / 128) without overflow for nperm near 2^64.
  const uint64_t per = std::max<uint64_t>(nperm / 128 + (nperm % 128 != 0 ? 1 : 0), 1000);
  const uint64_t full = nperm / per;
  sizes.assign(full, per);
  const uint64_t rest = nperm - full * per;
  if (rest != 0) sizes.push_back(rest);
  return sizes;
}

std::vector<Batch> plan_batches(uint64_t nperm, bool allow_multilevel,
                                rng_compat::RMt19937SeedCompat& main) {
  std::vector<Batch> batches;
  for (uint64_t perms : batch_sizes(nperm, allow_multilevel)) {
    batches.push_back({perms, main.r_unif_index_with_kind(kSeedRange) + 1});
  }
  return batches;
}

uint64_t refinement_seed(rng_compat::RMt19937SeedCompat& main, uint64_t groups) {
  // These draws only advance the stream, the way an R caller shuffling the
  // groups would before drawing the seed.
  for (uint64_t g = groups; g >= 1; --g) (void)main.r_unif_index_with_kind(g);
  return main.r_unif_index_with_kind(kSeedRange) + 1;
}

PermutationStats permutation_stats(const Counts& c, double es, ScoreType score_type) {
  const double le_mean =
      c.le_zero == 0 ? 0.0 : c.le_zero_sum / static_cast<double>(c.le_zero);
  const double ge_mean =
      c.ge_zero == 0 ? 0.0 : c.ge_zero_sum / static_cast<double>(c.ge_zero);
  PermutationStats s;
  switch (score_type) {
    case ScoreType::kStd:
      if (es > 0.0 && ge_mean != 0.0) {
        s.nes = es / ge_mean;
      } else if (le_mean != 0.0 && es <= 0.0) {
        s.nes = es / std::fabs(le_mean);
      }
      break;
    case ScoreType::kPos:
      if (ge_mean != 0.0 && es >= 0.0) s.nes = es / ge_mean;
      break;
    case ScoreType::kNeg:
      if (le_mean != 0.0 && es <= 0.0) s.nes = es / std::fabs(le_mean);
      break;
  }
  s.pval = std::nan("");
  if (s.nes.has_value()) {
    const double le = (static_cast<double>(c.le_es) + 1.0) / (static_cast<double>(c.le_zero) + 1.0);
    const double ge = (static_cast<double>(c.ge_es) + 1.0) / (static_cast<double>(c.ge_zero) + 1.0);
    s.pval = std::min(le, ge);
  }
  const bool upper = score_type == ScoreType::kPos || (score_type == ScoreType::kStd && es > 0.0);
  const bool lower = score_type == ScoreType::kNeg || (score_type == ScoreType::kStd && es < 0.0);
  if (upper) {
    s.k = c.ge_es;
    s.n = c.ge_zero;
  } else if (lower) {
    s.k = c.le_es;
    s.n = c.le_zero;
  } else {  // std with es 0 (or NaN): neither side is more extreme
    s.k = c.le_es;
    s.n = c.ge_zero;
  }
  return s;
}

void finish_results(std::vector<EnrichmentResult>& results) {
  algo_support::apply_bh_adjustment(results);
  // std::string's ordering compares bytes as unsigned char, a prefix first.
  std::stable_sort(results.begin(), results.end(),
                   [](const EnrichmentResult& a, const EnrichmentResult& b) {
                     return a.pathway < b.pathway;
                   });
}

double permutation_log2err(uint64_t k, uint64_t nperm) {
  return std::sqrt(special_compat::trigamma(static_cast<double>(k) + 1.0) -
                   special_compat::trigamma(static_cast<double>(nperm) + 1.0)) *
         kInvLn2;
}

RefinedPvalue merge_refined_pvalue(double p, uint64_t n, uint64_t nperm, double eps,
                                   uint64_t sample_size) {
  RefinedPvalue r;
  const double side = (static_cast<double>(n) + 1.0) / (static_cast<double>(nperm) + 1.0);
  // A failed estimate (no level in the ruler) reads as "not significant".
  r.pval = std::isnan(p) ? 1.0 : std::min(p / side, 1.0);
  if (r.pval < eps) {
    r.pval = eps;
    return r;
  }
  if (!(r.pval > 0.0 && std::isfinite(r.pval))) {
    r.log2err = std::nan("");
    return r;
  }
  const double s = static_cast<double>(sample_size);
  const double levels = std::floor(1.0 - std::log2(r.pval));
  r.log2err = std::sqrt(levels * (special_compat::trigamma((s + 1.0) * 0.5) -
                                  special_compat::trigamma(s + 1.0))) /
              kLn2;
  return r;
}

CallEnvironment CallEnvironment::read() {
  CallEnvironment env;
  env.stage_timing = std::getenv("TARVELO_STAGE_TIMING") != nullptr;
  env.fast_nonexact_simple = std::getenv("TARVELO_FAST_NONEXACT_SIMPLE") != nullptr;
  return env;
}

namespace {

// One kept pathway, from preprocessing to the end of the call.
struct Working {
  std::optional<double> nes, padj, log2err;
  std::string name;
  std::vector<uint64_t> hits;
  uint64_t size = 0;
  double es = 0.0;
  uint64_t peak = 0;
  Counts counts;
  double pval = std::nan("");
};

void add_batch(std::vector<Working>& work, const ruvex_compat::BatchCounts& b) {
  if (b.size() != work.size()) internal_fault("batch counts do not match the kept pathways");
  for (size_t j = 0; j < work.size(); ++j) {
    Counts& c = work[j].counts;
    c.le_es += b.le_es[j];
    c.ge_es += b.ge_es[j];
    c.le_zero += b.le_zero[j];
    c.ge_zero += b.ge_zero[j];
    c.le_zero_sum = b.le_zero_sum[j] + c.le_zero_sum;
    c.ge_zero_sum = b.ge_zero_sum[j] + c.ge_zero_sum;
  }
}

std::vector<EnrichmentResult> run(StageTimer& timer, const CallEnvironment& env,
                                  const RankedList& ranked,
                                  std::span<const Pathway> pathways, uint64_t nperm,
                                  uint64_t seed, uint64_t min_size, uint64_t max_size, double eps,
                                  double gsea_param, ScoreType score_type, bool allow_multilevel,
                                  uint64_t sample_size) {
  tbb::task_arena& arena = pool::current_arena();
  const uint64_t n_genes = ranked.size();

  // Setup.
  const algo_support::GeneIndex index = algo_support::build_gene_index(ranked);
  const ClampedParams params = clamp_params(min_size, max_size, eps, n_genes);
  const PreparedRanks prepared = ranked.prepare(gsea_param);
  // Scaled weights sum to about 2^30, so the conversion is exact (only a
  // saturated weight, from a weight total near zero, rounds).
  const std::vector<double> ranks(prepared.scaled_weights.begin(), prepared.scaled_weights.end());
  timer.end_stage("setup");

  // Pathway preprocessing.
  std::vector<std::optional<Working>> slots = pool::ordered_map<std::optional<Working>>(
      pathways.size(), [&](size_t i) -> std::optional<Working> {
        const Pathway& p = pathways[i];
        std::vector<uint64_t> hits = algo_support::extract_pathway_hits(index, p.genes);
        const uint64_t size = hits.size();
        if (size < params.min_size || size > params.max_size) return std::nullopt;
        if (hits.back() >= n_genes) internal_fault("pathway hit outside the ranked list");
        auto [es, peak] = calculate_es_ruvex(ranks, hits, n_genes, score_type);
        Working w;
        w.name = p.name;
        w.hits = std::move(hits);
        w.size = size;
        w.es = es;
        w.peak = peak;
        return w;
      });
  std::vector<Working> work;
  work.reserve(std::count_if(slots.begin(), slots.end(), [](const auto& s) { return s.has_value(); }));
  for (auto& s : slots) {
    if (s.has_value()) work.push_back(std::move(*s));
  }
  slots = {};
  timer.end_stage("pathway_preprocessing");
  const size_t kept = work.size();

  // Permutation test.
  std::optional<rng_compat::RMt19937SeedCompat> main_rng;
  std::optional<uint64_t> multilevel_batch_seed;
  const bool permute = nperm > 0 && kept > 0;
  if (permute) {
    main_rng = rng_compat::RMt19937SeedCompat::set_seed(static_cast<uint32_t>(seed));
    const std::vector<Batch> batches = plan_batches(nperm, allow_multilevel, *main_rng);
    if (allow_multilevel) multilevel_batch_seed = batches.front().seed;

    std::vector<uint64_t> sizes(kept);
    std::vector<double> observed(kept);
    for (size_t j = 0; j < kept; ++j) {
      sizes[j] = work[j].size;
      observed[j] = work[j].es;
    }
    const size_t threads = pool::current_threads();
    for (const Batch& b : batches) {
      interrupt::checkpoint();
      if (kept == 1) {
        // One pathway: exact R streams, counted straight into its record so the
        // sums grow permutation by permutation across batches.
        ruvex_compat::single_pathway_counts(b.perms, b.seed, ranks, n_genes, score_type,
                                            work[0].size, work[0].es, work[0].counts);
        continue;
      }
      ruvex_compat::BatchInput in;
      in.nperm = b.perms;
      in.seed = b.seed;
      in.ranks = ranks;
      in.n = n_genes;
      in.score_type = score_type;
      in.sizes = sizes;
      in.es = observed;
      ruvex_compat::BatchCounts counts;
      if (threads < 2 || kept < 128) {
        counts = ruvex_compat::calc_gsea_stat_cumulative_batch_f64_sequential(in);
      } else if (env.fast_nonexact_simple) {
        counts = ruvex_compat::calc_gsea_stat_cumulative_batch_f64_parallel(in, threads, &arena);
      } else {
        counts = ruvex_compat::calc_gsea_stat_cumulative_batch_f64_thread_invariant_parallel(
            in, &arena);
      }
      add_batch(work, counts);
    }
    timer.end_stage("simple_stage");
  }

  // Postprocessing.
  std::vector<uint64_t> ks(kept), ns(kept);
  for (size_t j = 0; j < kept; ++j) {
    Working& w = work[j];
    const PermutationStats s = permutation_stats(w.counts, w.es, score_type);
    w.nes = s.nes;
    w.pval = s.pval;
    ks[j] = s.k;
    ns[j] = s.n;
    if (std::isfinite(w.pval) && nperm > 0) w.log2err = permutation_log2err(s.k, nperm);
    if (allow_multilevel && s.n < 10) {
      // Too few permutations on the pathway's side of zero to normalise or to
      // anchor a multilevel estimate.
      w.pval = std::nan("");
      w.nes.reset();
      w.log2err.reset();
    }
  }
  timer.end_stage("simple_postprocessing");

  // Multilevel refinement.
  if (allow_multilevel && permute) {
    if (!main_rng.has_value()) {
      internal_fault("multilevel seed state must be present when allow_multilevel is true");
    }
    if (!multilevel_batch_seed.has_value()) {
      internal_fault("simple multilevel seed must be present when allow_multilevel is true");
    }
    std::map<uint64_t, std::vector<size_t>> groups;
    for (size_t j = 0; j < kept; ++j) {
      const Working& w = work[j];
      if (!std::isfinite(w.pval)) continue;
      if (algo_support::should_refine_multilevel(ks[j], ns[j], nperm, sample_size, w.pval)) {
        groups[w.size].push_back(j);
      }
    }
    if (!groups.empty()) {
      const uint64_t refine_seed = refinement_seed(*main_rng, groups.size());
      std::vector<const std::vector<size_t>*> order;  // ascending size
      for (const auto& [size, members] : groups) order.push_back(&members);

      auto compute = [&](size_t g) {
        interrupt::checkpoint();
        const std::vector<size_t>& members = *order[g];
        std::vector<double> es(members.size());
        std::vector<uint64_t> n(members.size());
        for (size_t i = 0; i < members.size(); ++i) {
          es[i] = work[members[i]].es;
          n[i] = ns[members[i]];
        }
        return multilevel::group_pvalues(work[members.front()].size, es, n, nperm, params.eps,
                                         prepared.scaled_weights, score_type, sample_size,
                                         refine_seed);
      };
      std::vector<std::vector<double>> pvals;
      if (pool::current_threads() >= 2 && order.size() > 1) {
        // Larger sets cost more: start them first so that a big group does not
        // run alone at the end. Each result goes to its group's slot.
        std::vector<size_t> launch(order.size());
        for (size_t g = 0; g < launch.size(); ++g) launch[g] = launch.size() - 1 - g;
        pvals.resize(order.size());
        pool::parallel_for_index(launch.size(),
                                 [&](size_t i) { pvals[launch[i]] = compute(launch[i]); });
      } else {
        for (size_t g = 0; g < order.size(); ++g) pvals.push_back(compute(g));
      }

      for (size_t g = 0; g < order.size(); ++g) {
        const std::vector<size_t>& members = *order[g];
        if (pvals[g].size() < members.size()) {
          internal_fault("multilevel group returned fewer p-values than pathways");
        }
        for (size_t i = 0; i < members.size(); ++i) {
          Working& w = work[members[i]];
          const RefinedPvalue r =
              merge_refined_pvalue(pvals[g][i], ns[members[i]], nperm, params.eps, sample_size);
          w.pval = r.pval;
          w.log2err = r.log2err;
        }
      }
    }
    timer.end_stage("multilevel_refinement");
  }

  // Finalize.
  std::vector<EnrichmentResult> results;
  results.reserve(kept);
  for (Working& w : work) {
    EnrichmentResult r;
    r.pathway = std::move(w.name);
    r.size = w.size;
    r.es = w.es;
    r.nes = w.nes;
    r.pval = w.pval;
    r.log2err = w.log2err;
    r.leading_edge = algo_support::leading_edge(w.hits, w.peak, score_type, ranked.genes(), w.es);
    w.hits = {};
    results.push_back(std::move(r));
  }
  work = {};
  finish_results(results);
  timer.end_stage("finalize_results");
  timer.end_total();
  return results;
}

}  // namespace
}  // namespace driver

uint64_t resolve_rng_seed(std::optional<uint64_t> seed) {
  if (seed.has_value()) return *seed;
  uint64_t value = 0;
  unsigned char* out = reinterpret_cast<unsigned char*>(&value);
  size_t got = 0;
  while (got < sizeof value) {
    const ssize_t r = getrandom(out + got, sizeof value - got, 0);
    if (r > 0) {
      got += static_cast<size_t>(r);
    } else if (r < 0 && errno != EINTR) {
      break;
    }
  }
  if (got == sizeof value) return value;
  // No getrandom(2) (very old kernels or seccomp filters): the library's own
  // non-deterministic source, which reads the OS entropy device.
  std::random_device rd;
  return (static_cast<uint64_t>(rd()) << 32) ^ static_cast<uint64_t>(rd());
}

std::vector<EnrichmentResult> run_gsea_internal(const RankedList& ranked,
                                                std::span<const Pathway> pathways,
                                                uint64_t nperm, uint64_t seed, uint64_t min_size,
                                                uint64_t max_size, double eps, double gsea_param,
                                                ScoreType score_type, bool allow_multilevel,
                                                uint64_t sample_size) {
  // Run on the arena of the caller (the process-wide pool from outside one), so
  // that every parallel step, including those of the kernels, shares it.
  const driver::CallEnvironment env = driver::CallEnvironment::read();
  StageTimer timer(env.stage_timing, "TARVELO_STAGE");
  return pool::execute_in(pool::current_arena(), [&] {
    return driver::run(timer, env, ranked, pathways, nperm, seed, min_size, max_size, eps,
                       gsea_param, score_type, allow_multilevel, sample_size);
  });
}

std::vector<EnrichmentResult> ruvex_with_sample_size_and_kind(
    const RankedList& ranked, std::span<const Pathway> pathways, std::optional<uint64_t> nperm,
    uint64_t nperm_simple, std::optional<uint64_t> seed, uint64_t min_size, uint64_t max_size,
    double eps, double gsea_param, ScoreType score_type, uint64_t sample_size) {
  const uint64_t resolved = resolve_rng_seed(seed);
  if (nperm.has_value()) {
    return run_gsea_internal(ranked, pathways, *nperm, resolved, min_size, max_size, eps,
                             gsea_param, score_type, false, sample_size);
  }
  return run_gsea_internal(ranked, pathways, nperm_simple, resolved, min_size, max_size, eps,
                           gsea_param, score_type, true, sample_size);
}

}  // namespace tarvelo::algo
