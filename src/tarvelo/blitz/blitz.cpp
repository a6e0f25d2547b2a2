#include "tarvelo/blitz/blitz.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <system_error>
#include <thread>

#include "tarvelo/blitz/scoring.hpp"
#include "tarvelo/blitz/signature.hpp"
#include "tarvelo/base/io.hpp"
#include "tarvelo/base/sha256.hpp"
#include "tarvelo/base/stage_timer.hpp"
#include "tarvelo/base/threads.hpp"

namespace tarvelo::blitz {
namespace {

// ---------------------------------------------------------------------------
// Model cache: calibrated models by signature digest and calibration options.
// Entries are never removed; a calibration runs without any lock held and the
// first insertion of a key wins.

struct BlitzModelCache {
  std::shared_mutex lock;
  std::map<BlitzModelCacheKey, BlitzModel> models;
};

BlitzModelCache& blitz_model_cache() {
  static BlitzModelCache* cache = new BlitzModelCache();  // lives until exit
  return *cache;
}

Result<BlitzModel> obtain_model(const BlitzSignature& sig, const std::vector<CleanedPathway>& cleaned,
                                const BlitzOptions& options, uint64_t* cache_hit) {
  *cache_hit = 0;
  if (!options.signature_cache) return estimate_model(sig, cleaned, options);
  BlitzModelCacheKey key;
  key.signature_sha256 = signature_digest(sig.weights);
  key.n_genes = sig.weights.size();
  key.max_set_size = max_cleaned_size(cleaned);
  key.permutations = options.permutations;
  key.anchors = options.anchors;
  key.processes = options.processes;
  key.symmetric = options.symmetric;
  key.seed = options.seed;
  key.center = options.center;
  BlitzModelCache& cache = blitz_model_cache();
  {
    std::shared_lock read(cache.lock);
    auto it = cache.models.find(key);
    if (it != cache.models.end()) {
      *cache_hit = 1;
      return BlitzModel(it->second);
    }
  }
  TARVELO_ASSIGN_OR_RETURN(BlitzModel model, estimate_model(sig, cleaned, options));
  std::unique_lock write(cache.lock);
  auto [it, inserted] = cache.models.try_emplace(key, model);
  if (!inserted) {
    *cache_hit = 1;
    return BlitzModel(it->second);
  }
  return model;
}

using ScoringItem = std::pair<const CleanedPathway*, const BlitzModelParams*>;

// Scores the list with `processes` > 1 on threads created for this call.
// Pieces hold at least min(list length, 128) items; at most one thread per
// piece is created, whatever `processes` asks for.
Result<std::vector<ScoredBlitzPathway>> score_in_parallel(const BlitzSignature& sig,
                                                          const std::vector<ScoringItem>& items,
                                                          uint64_t processes,
                                                          uint64_t deep_accuracy) {
  const size_t len = items.size();
  const std::vector<std::pair<size_t, size_t>> bounds = scoring_pieces(len);
  const size_t pieces = bounds.size();
  std::vector<std::optional<ScoredBlitzPathway>> slots(len);
  if (pieces == 0) return std::vector<ScoredBlitzPathway>{};
  const size_t threads = static_cast<size_t>(std::min<uint64_t>(processes, pieces));

  std::atomic<size_t> next_piece{0};
  std::atomic<bool> stop{false};
  std::mutex fail_lock;
  std::optional<Error> first_error;
  std::exception_ptr first_exception;

  auto worker = [&] {
    threads::prepare_worker_thread();
    try {
      BlitzScoreScratch scratch;
      for (;;) {
        const size_t piece = next_piece.fetch_add(1);
        if (piece >= pieces) return;
        for (size_t i = bounds[piece].first; i < bounds[piece].second; ++i) {
          if (stop.load(std::memory_order_relaxed)) return;
          auto scored = score_cleaned_pathway(sig, *items[i].first, *items[i].second,
                                              deep_accuracy, scratch);
          if (!scored.ok()) {
            std::lock_guard g(fail_lock);
            if (!first_error && !first_exception) first_error = std::move(scored).error();
            stop = true;
            return;
          }
          slots[i] = std::move(scored).value();
        }
      }
    } catch (...) {
      std::lock_guard g(fail_lock);
      if (!first_error && !first_exception) first_exception = std::current_exception();
      stop = true;
    }
  };

  std::vector<std::thread> pool;
  std::optional<Error> spawn_error;
  try {
    pool.reserve(threads);
    for (size_t t = 0; t < threads; ++t) pool.emplace_back(worker);
  } catch (const std::system_error& e) {
    spawn_error = Error(threads::StartError(io::os_error_text(e.code().value())).what());
  } catch (const std::bad_alloc&) {
    stop = true;
    for (auto& th : pool) th.join();
    throw;
  }
  if (spawn_error) {
    stop = true;
    for (auto& th : pool) th.join();
    return std::move(*spawn_error);
  }
  for (auto& th : pool) th.join();
  if (first_exception) std::rethrow_exception(first_exception);
  if (first_error) return std::move(*first_error);

  std::vector<ScoredBlitzPathway> out;
  out.reserve(len);
  for (auto& s : slots) {
    if (!s) internal_fault("every pathway of the scoring list should be scored");
    out.push_back(std::move(*s));
  }
  return out;
}

}  // namespace

std::vector<std::pair<size_t, size_t>> scoring_pieces(size_t len) {
  std::vector<std::pair<size_t, size_t>> out;
  const size_t min_piece = std::min<size_t>(len, 128);
  const size_t pieces = min_piece == 0 ? 0 : len / min_piece;
  if (pieces == 0) return out;
  // Balanced bounds: every piece holds floor(len / pieces) >= min_piece items
  // or one more. (Rounding one piece length up would leave a short, even
  // empty, last piece.)
  out.reserve(pieces);
  for (size_t piece = 0; piece < pieces; ++piece) {
    const auto at = [&](size_t i) {
      return static_cast<size_t>(static_cast<unsigned __int128>(i) * len / pieces);
    };
    out.emplace_back(at(piece), at(piece + 1));
  }
  return out;
}

std::array<uint8_t, 32> signature_digest(const std::vector<double>& weights) {
  Sha256 h;
  auto put_u64 = [&](uint64_t v) {
    uint8_t b[8];
    for (int i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
    h.update(b, 8);
  };
  put_u64(weights.size());
  for (double w : weights) {
    uint64_t bits;
    std::memcpy(&bits, &w, 8);
    put_u64(bits);
  }
  return h.finish();
}

void apply_statsmodels_bh_adjustment(std::vector<EnrichmentResult>& results) {
  std::vector<size_t> idx;
  for (size_t i = 0; i < results.size(); ++i) {
    if (std::isfinite(results[i].pval)) idx.push_back(i);
  }
  std::stable_sort(idx.begin(), idx.end(),
                   [&](size_t a, size_t b) { return results[a].pval < results[b].pval; });
  const double m = static_cast<double>(idx.size());
  double running = 1.0;
  for (size_t r = idx.size(); r >= 1; --r) {
    EnrichmentResult& res = results[idx[r - 1]];
    const double q = res.pval / (static_cast<double>(r) / m);
    running = std::fmin(std::fmin(q, running), 1.0);
    res.padj = running;
  }
}

size_t blitz_model_cache_entries() {
  BlitzModelCache& cache = blitz_model_cache();
  std::shared_lock read(cache.lock);
  return cache.models.size();
}

Result<std::vector<EnrichmentResult>> ruvex_blitz_with_options(const RankedList& ranked,
                                                               const std::vector<Pathway>& pathways,
                                                               const BlitzOptions& options) {
  if (ranked.genes().empty()) return Error("blitz mode requires at least one ranked gene.");
  if (options.permutations == 0) return Error("blitz permutations must be greater than 0.");
  if (options.anchors == 0) return Error("blitz anchors must be greater than 0.");
  if (options.min_size == 0) return Error("blitz minSize must be greater than 0.");
  if (options.max_size == 0) return Error("blitz maxSize must be greater than 0.");
  if (options.processes == 0) return Error("blitz processes must be greater than 0.");

  StageTimer timer(std::getenv("TARVELO_BLITZ_TIMINGS") != nullptr, "TARVELO_BLITZ_TIMING");

  timer.start();
  const BlitzSignature sig = prepare_signature(ranked, options.center);
  TARVELO_TRY(check_signature_range(sig));
  timer.end_stage("prepare_signature");

  timer.start();
  const std::vector<CleanedPathway> cleaned = clean_pathways(sig, pathways);
  timer.end_stage("clean_pathways");

  if (cleaned.empty()) return std::vector<EnrichmentResult>{};

  timer.start();
  uint64_t cache_hit = 0;
  TARVELO_ASSIGN_OR_RETURN(const BlitzModel model, obtain_model(sig, cleaned, options, &cache_hit));
  timer.end_stage("estimate_model");
  timer.counter("model_cache_hit", cache_hit);

  timer.start();
  uint64_t largest = 0;
  for (const auto& c : cleaned) largest = std::max<uint64_t>(largest, c.size());
  const uint64_t limit = std::min(options.max_size, largest);
  std::vector<std::optional<BlitzModelParams>> table(static_cast<size_t>(limit) + 1);
  for (const auto& c : cleaned) {
    const uint64_t s = c.size();
    if (s < options.min_size || s > limit || table[s]) continue;
    const double x = static_cast<double>(s);
    BlitzModelParams p;
    p.shape_pos = model.shape_pos.at(x);
    p.scale_pos = model.scale_pos.at(x);
    p.frac_pos = model.frac_pos.at(x);
    p.shape_neg = model.shape_neg.at(x);
    p.scale_neg = model.scale_neg.at(x);
    if (p.frac_pos < 0.0) p.frac_pos = 0.0;  // NaN stays NaN
    if (p.frac_pos > 1.0) p.frac_pos = 1.0;
    table[s] = p;
  }
  timer.end_stage("model_param_cache");

  timer.start();
  std::vector<ScoringItem> items;
  for (const auto& c : cleaned) {
    const uint64_t s = c.size();
    if (s < options.min_size || s > options.max_size) continue;
    if (s >= table.size() || !table[s]) internal_fault("model parameters should be cached for every kept size");
    items.emplace_back(&c, &*table[s]);
  }
  std::vector<ScoredBlitzPathway> scored;
  if (options.processes == 1) {
    BlitzScoreScratch scratch;
    scored.reserve(items.size());
    for (const auto& [c, p] : items) {
      TARVELO_ASSIGN_OR_RETURN(auto one,
                               score_cleaned_pathway(sig, *c, *p, options.deep_accuracy, scratch));
      scored.push_back(std::move(one));
    }
  } else {
    TARVELO_ASSIGN_OR_RETURN(scored, score_in_parallel(sig, items, options.processes,
                                                       options.deep_accuracy));
  }
  uint64_t cdf_calls = 0, fallback_calls = 0;
  std::vector<EnrichmentResult> results;
  results.reserve(scored.size());
  for (auto& s : scored) {
    cdf_calls += s.gamma_cdf_calls;
    fallback_calls += s.gamma_fallback_calls;
    results.push_back(std::move(s.result));
  }
  scored.clear();
  timer.end_stage("final_es_leading_edge_gamma");
  timer.counter("gamma_cdf_calls", cdf_calls);
  timer.counter("gamma_fallback_calls", fallback_calls);

  timer.start();
  apply_statsmodels_bh_adjustment(results);
  for (const auto& r : results) {
    if (std::isnan(r.pval)) internal_fault("blitz p-values should never be NaN");
  }
  std::stable_sort(results.begin(), results.end(),
                   [](const EnrichmentResult& a, const EnrichmentResult& b) {
                     if (a.pval != b.pval) return a.pval < b.pval;
                     return a.pathway < b.pathway;
                   });
  timer.end_stage("bh_and_sort");
  return results;
}

}  // namespace tarvelo::blitz
