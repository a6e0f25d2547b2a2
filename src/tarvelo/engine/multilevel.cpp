#include "tarvelo/engine/multilevel.hpp"

#include <cmath>
#include <limits>

#include "tarvelo/base/error.hpp"
#include "tarvelo/base/interrupt.hpp"
#include "tarvelo/base/numeric.hpp"
#include "tarvelo/base/pool.hpp"

namespace tarvelo::multilevel {
namespace {

using esruler_compat::EsRulerCompat;
using esruler_compat::Level;
using esruler_compat::LevelEntry;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Adds -1/i to sum for i from a (>= 1) to b, one term at a time in increasing
// i (b = 2^64 - 1 included without wrapping round).
void add_harmonic_terms(double& sum, uint64_t a, uint64_t b) {
  for (uint64_t i = a; i <= b && i >= a; ++i) sum += -1.0 / static_cast<double>(i);
}

// Sum of -1/i for i from a to b: the discrete ln(a / b).
double harmonic_tail(uint64_t a, uint64_t b) {
  double sum = 0.0;
  add_harmonic_terms(sum, a, b);
  return sum;
}

struct Counts {
  uint64_t all = 0;
  uint64_t nonneg = 0;
};

void count_entry(const LevelEntry& e, Counts& c) {
  ++c.all;
  if (e.es_nonneg) ++c.nonneg;
}

// A score beyond the last bound of a ladder whose moves stalled above that
// bound. The last level's S sets are a fully mixed sample of the sets above
// the bound before it, whose chance exp(l) the earlier levels estimate; c of
// them reach x. The full run would have split further and, in expectation,
// found exp(l) times the share q of such sets that reach x. The estimate
// exp(l) (c + 1) / (S + 1) has expectation exp(l) (S q + 1) / (S + 1) >=
// exp(l) q: it never understates the p-value, unlike reading c = 0 as one set
// in S, and it stays below the chance exp(l) of merely passing the bound
// before.
double stalled_pvalue(const Level& level, int64_t xf, double l, ScoreType score_type,
                      uint64_t sample_size) {
  Counts c;
  for (const LevelEntry& e : level.below) {
    if (e.gsea.reaches(xf)) count_entry(e, c);
  }
  for (const LevelEntry& e : level.above) {
    if (e.gsea.reaches(xf)) count_entry(e, c);
  }
  const uint64_t cnt = score_type == ScoreType::kStd ? c.nonneg : c.all;
  const double share = (static_cast<double>(cnt) + 1.0) / (static_cast<double>(sample_size) + 1.0);
  return std::fmin(std::exp(l) * share, 1.0);
}

}  // namespace

double ladder_pvalue(std::span<const Level> levels, double x, ScoreType score_type,
                     uint64_t sample_size, bool cut_short) {
  if (levels.empty()) return kNaN;
  const int64_t xf = saturating_cast<int64_t>(x * 1073741824.0);
  const auto pick = [&](const Counts& c) { return score_type == ScoreType::kStd ? c.nonneg : c.all; };
  // Terms are added to L one at a time; the final tail is summed on its own
  // and then added.
  double l = 0.0;
  for (const Level& level : levels) {
    if (!level.bound.reaches(xf)) {
      if (cut_short && &level == &levels.back()) {
        return stalled_pvalue(level, xf, l, score_type, sample_size);
      }
      add_harmonic_terms(l, level.above.size() + 1, sample_size);
      continue;
    }
    Counts c;
    for (const LevelEntry& e : level.above) count_entry(e, c);
    for (const LevelEntry& e : level.below) {
      if (e.gsea.reaches(xf)) count_entry(e, c);
    }
    const uint64_t cnt = pick(c);
    return std::fmin(std::exp(l + harmonic_tail(cnt > 0 ? cnt : 1, sample_size)), 1.0);
  }
  // Beyond every bound: the share of the last level's upper sets at or above x.
  const Level& last = levels.back();
  Counts c;
  for (const LevelEntry& e : last.above) {
    if (e.gsea.reaches(xf)) count_entry(e, c);
  }
  const uint64_t cnt = pick(c);
  return std::fmin(std::exp(l + harmonic_tail(cnt > 0 ? cnt : 1, last.above.size())), 1.0);
}

std::vector<double> group_pvalues(uint64_t k, std::span<const double> es,
                                  std::span<const uint64_t> n, uint64_t nperm, double eps,
                                  std::span<const int64_t> scaled_weights, ScoreType score_type,
                                  uint64_t sample_size, uint64_t seed) {
  if (es.size() != n.size()) internal_fault("multilevel group: es and n differ in length");
  interrupt::checkpoint();
  const uint64_t genes = scaled_weights.size();
  const double nperm1 = static_cast<double>(nperm) + 1.0;
  double min_share = std::numeric_limits<double>::infinity();
  for (uint64_t ni : n) min_share = std::fmin(min_share, (static_cast<double>(ni) + 1.0) / nperm1);
  const double eps_group = eps * min_share;

  if (genes == 0 || k == 0) return std::vector<double>(es.size(), 1.0);
  if (k >= genes) internal_fault("multilevel group: pathway size not below the gene count");

  double es_max = -std::numeric_limits<double>::infinity();
  double es_min = std::numeric_limits<double>::infinity();
  for (double v : es) {
    es_max = std::fmax(es_max, v);
    es_min = std::fmin(es_min, v);
  }

  // |weight|, saturating at the one value without a positive counterpart.
  const auto mag = [](int64_t v) {
    return v == std::numeric_limits<int64_t>::min() ? std::numeric_limits<int64_t>::max()
                                                    : (v < 0 ? -v : v);
  };
  std::vector<int64_t> pos(genes), neg(genes);
  for (uint64_t i = 0; i < genes; ++i) {
    pos[i] = mag(scaled_weights[i]);
    neg[genes - 1 - i] = pos[i];
  }
  EsRulerCompat rulers[2] = {EsRulerCompat(std::move(pos), sample_size, k),
                             EsRulerCompat(std::move(neg), sample_size, k)};
  const bool extend[2] = {es_max >= 0, es_min < 0};
  const double target[2] = {es_max, std::fabs(es_min)};
  const uint32_t seed32 = static_cast<uint32_t>(seed);

  // The two rulers share nothing: extend them side by side when both are
  // needed. Each is deterministic, so the result does not depend on threads.
  if (extend[0] && extend[1] && pool::current_threads() >= 2) {
    pool::parallel_for_index(2, [&](size_t i) { rulers[i].extend(seed32, target[i], eps_group); });
  } else {
    for (int i = 0; i < 2; ++i) {
      if (extend[i]) rulers[i].extend(seed32, target[i], eps_group);
    }
  }

  std::vector<double> p(es.size());
  for (size_t i = 0; i < es.size(); ++i) {
    const EsRulerCompat& ruler = es[i] >= 0 ? rulers[0] : rulers[1];
    p[i] = ladder_pvalue(ruler.levels(), std::fabs(es[i]), score_type, sample_size,
                         ruler.cut_short());
  }
  return p;
}

}  // namespace tarvelo::multilevel
