#include "tarvelo/blitz/scoring.hpp"

#include <cmath>

#include "tarvelo/blitz/compat.hpp"
#include "tarvelo/blitz/tail.hpp"

namespace tarvelo::blitz {

Result<ScoredBlitzPathway> score_cleaned_pathway(const BlitzSignature& signature,
                                                 const CleanedPathway& pathway,
                                                 const BlitzModelParams& params,
                                                 uint64_t deep_accuracy,
                                                 BlitzScoreScratch& scratch) {
  const std::vector<double>& weights = signature.weights;
  const uint64_t n = weights.size();
  const uint64_t k = pathway.positions.size();
  for (uint64_t p : pathway.sorted_positions) {
    if (p >= n) internal_fault("cleaned pathway position outside the signature");
  }

  // Weight total in set order. Seven hits are grouped as the reference's
  // unrolled sum groups them, not by the pairwise rule.
  auto& w = scratch.hit_weights;
  w.clear();
  for (uint64_t p : pathway.positions) w.push_back(weights[p]);
  double total;
  if (w.size() == 7) {
    total = (w[0] + (w[1] + w[2])) + ((w[3] + w[4]) + (w[5] + w[6]));
  } else {
    total = compat::numpy_pairwise_sum_f64(w);
  }
  const double hit_scale = total == 0.0 ? 0.0 : 1.0 / total;
  const double miss_step = n > k ? 1.0 / static_cast<double>(n - k) : 0.0;

  // Running sum. Equal maxima and minima go to the later position, equal
  // magnitudes to the earlier one.
  double r = 0.0, max = -INFINITY, min = INFINITY, best_abs = -INFINITY, es = 0.0;
  uint64_t argmax = 0, argmin = 0;
  auto misses = [&](uint64_t s, uint64_t m) {
    if (m == 0) return;
    r = r - miss_step;
    if (r >= max) {
      max = r;
      argmax = s;
    }
    if (std::fabs(r) > best_abs) {
      best_abs = std::fabs(r);
      es = r;
    }
    for (uint64_t i = 1; i < m; ++i) r = r - miss_step;
    if (r <= min) {
      min = r;
      argmin = s + m - 1;
    }
    if (m > 1 && std::fabs(r) > best_abs) {
      best_abs = std::fabs(r);
      es = r;
    }
  };
  uint64_t next = 0;
  for (uint64_t p : pathway.sorted_positions) {
    misses(next, p - next);
    r = r + hit_scale * weights[p];
    if (r >= max) {
      max = r;
      argmax = p;
    }
    if (r <= min) {
      min = r;
      argmin = p;
    }
    if (std::fabs(r) > best_abs) {
      best_abs = std::fabs(r);
      es = r;
    }
    next = p + 1;
  }
  misses(next, n - next);

  // Leading edge: CPython's intersection of range(...) with the position set,
  // iterating the smaller side.
  uint64_t lo, hi;
  if (max > std::fabs(min)) {
    lo = 0;
    hi = argmax;
  } else {
    lo = argmin;
    hi = n;
  }
  auto& edge = scratch.edge;
  edge.reset();
  const auto& pset = pathway.position_set;
  if (hi - lo < pset.used()) {
    for (uint64_t p = lo; p < hi; ++p) {
      if (pset.contains(p)) edge.insert(p);
    }
  } else {
    for (const auto& slot : pset.slots()) {
      if (slot.full && slot.value >= lo && slot.value < hi) edge.insert(slot.value);
    }
  }

  ScoredBlitzPathway out;
  EnrichmentResult& res = out.result;
  res.leading_edge.reserve(edge.used());
  for (const auto& slot : edge.slots()) {
    if (slot.full) res.leading_edge.push_back(signature.genes[slot.value]);
  }

  const bool positive = es > 0;
  auto tail = positive ? gamma_tail_probability_with_fallback_flag(0, es, params.shape_pos,
                                                                   params.scale_pos,
                                                                   params.frac_pos, deep_accuracy)
                       : gamma_tail_probability_with_fallback_flag(1, -es, params.shape_neg,
                                                                   params.scale_neg,
                                                                   params.frac_pos, deep_accuracy);
  if (!tail.ok()) return std::move(tail).error();
  double nes;
  if (positive) {
    nes = normal_isf(tail->tail);
  } else {
    nes = -normal_isf(tail->tail);
    if (nes == 0.0) nes = -0.0;
  }
  res.pathway = pathway.name;
  res.size = k;
  res.es = es;
  res.nes = nes;
  res.pval = tail->pval;
  out.gamma_cdf_calls = 1;
  out.gamma_fallback_calls = tail->flag != 0 ? 1 : 0;
  return out;
}

}  // namespace tarvelo::blitz
