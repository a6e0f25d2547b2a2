#include "tarvelo/decor/tail.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <numeric>
#include <vector>

#include "tarvelo/decor/es.hpp"
#include "tarvelo/base/error.hpp"
#include "tarvelo/base/search.hpp"
#include "tarvelo/base/interrupt.hpp"
#include "tarvelo/engine/rng_compat.hpp"

namespace tarvelo::decor {
namespace {

constexpr uint64_t kMaxLevels = 256;

// The walks of one level may make at most kStallRatio times the attempts
// their accepted moves need (sample size times goal), and never fewer than
// kStallFloor attempts. Past that the moves above the level are so rare
// (sets that hold nearly every gene: almost every candidate is already in
// the set; scores with few distinct values) that the level would run for
// hours; normal ladders accept most moves. The estimate then returns nothing
// and the pathway keeps its permutation p-value: that estimate is never
// below, in expectation, the tail probability the full ladder would estimate.
constexpr double kStallRatio = 64.0;
constexpr double kStallFloor = 262144.0;

uint64_t saturating_mul(uint64_t a, uint64_t b) {
  uint64_t r;
  return __builtin_mul_overflow(a, b, &r) ? std::numeric_limits<uint64_t>::max() : r;
}

// Less-than on scores with NaN ordered last: identical to plain less-than
// whenever no score is NaN, and a strict weak order when one is.
bool score_less(double a, double b) {
  if (std::isnan(a)) return false;
  if (std::isnan(b)) return true;
  return a < b;
}

}  // namespace

uint32_t tail_seed32(uint64_t index, uint64_t seed) {
  const uint64_t z = rng_compat::splitmix64_mix((index + 0x9e3779b97f59be58ULL) ^ seed);
  const uint32_t s = static_cast<uint32_t>(z >> 32) ^ static_cast<uint32_t>(z);
  return s <= 1 ? 1 : s;
}

std::optional<double> run_decor_multilevel_tail(std::span<const double> ranks,
                                                std::span<const double> weights, uint64_t n,
                                                ScoreType score_type, uint64_t sample_size,
                                                uint32_t seed32, double es, double target) {
  const uint64_t k = weights.size();
  if (k == 0 || k >= n || !std::isfinite(es) || es == 0.0) return 1.0;
  if (ranks.size() < n) internal_fault("decor tail: ranks shorter than the ranked list");
  // The walk draws positions with a 32-bit uniform; the ranked list of an
  // analysis never comes near that size.
  if (n > 0xFFFFFFFFULL) internal_fault("decor tail: ranked list too long for 32-bit draws");
  const uint64_t sp = std::max<uint64_t>(sample_size, 3);
  if (sp > 0xFFFFFFFFULL || sp > std::numeric_limits<size_t>::max() / (k * 2 * sizeof(uint64_t)))
    throw std::bad_alloc();

  rng_compat::Mt19937 mt = rng_compat::Mt19937::seed(seed32);
  const double l_target = std::log(target);  // -inf for 0
  const bool negate = es < 0.0;
  const double t = std::fabs(es);
  std::vector<double> magnitudes(n);
  for (uint64_t i = 0; i < n; ++i) magnitudes[i] = std::fabs(ranks[i]);
  DecorEsKernel kernel(magnitudes, k, score_type);
  auto oriented = [&](const uint64_t* g, uint64_t same) {
    const double e = kernel.score(g, weights.data(), same);
    return negate ? -e : e;
  };

  // Population in draw order (genes flat, k per set) and its sorted copy.
  std::vector<uint64_t> genes(sp * k), sorted_genes(sp * k);
  std::vector<double> scores(sp), sorted_scores(sp);
  std::vector<size_t> order(sp);
  std::vector<uint64_t> draw;
  for (uint64_t s = 0; s < sp; ++s) {
    rng_compat::combination(0, n - 1, k, mt, draw);
    std::sort(draw.begin(), draw.end());
    std::copy(draw.begin(), draw.end(), genes.begin() + s * k);
    scores[s] = oriented(&genes[s * k], 0);
  }

  std::vector<uint64_t> cur(k), cand(k);
  uint64_t levels = 0;
  double previous = -std::numeric_limits<double>::infinity();
  double lp = 0.0;
  const uint64_t h = sp / 2;
  const uint64_t goal = std::max<uint64_t>(k / 2, 1);
  const uint64_t max_attempts = saturating_mul(saturating_mul(16, goal), std::max<uint64_t>(k, 8));
  const double stall_attempts =
      std::max(kStallRatio * static_cast<double>(sp) * static_cast<double>(goal), kStallFloor);
  for (;;) {
    interrupt::checkpoint();
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return score_less(scores[a], scores[b]); });
    for (uint64_t s = 0; s < sp; ++s) {
      sorted_scores[s] = scores[order[s]];
      std::copy_n(genes.begin() + order[s] * k, k, sorted_genes.begin() + s * k);
    }
    const double median = sorted_scores[h];
    if (!std::isfinite(median)) return std::nullopt;
    if (median >= t) {
      const uint64_t c = static_cast<uint64_t>(
          std::count_if(sorted_scores.begin(), sorted_scores.end(), [&](double x) { return x >= t; }));
      if (c == 0) return std::nullopt;
      double harmonic = 0.0;
      for (uint64_t i = c; i <= sp; ++i) harmonic += -1.0 / static_cast<double>(i);
      return std::fmin(1.0, std::exp(lp + harmonic));
    }
    ++levels;
    uint64_t m = static_cast<uint64_t>(
        std::count_if(sorted_scores.begin(), sorted_scores.end(), [&](double x) { return x < median; }));
    if (m == 0) {
      const double lowest = sorted_scores[0];
      while (m < sp && sorted_scores[m] == lowest) ++m;
      if (m == sp) return std::nullopt;
    }
    const double level = sorted_scores[m - 1];
    if (level <= previous) return std::nullopt;
    for (uint64_t i = sp - m + 1; i <= sp; ++i) lp += -1.0 / static_cast<double>(i);
    if (target > 0.0 && lp < l_target) return std::fmin(1.0, std::exp(lp));

    // Refill from the survivors sorted_*[m, sp).
    const uint32_t survivors = static_cast<uint32_t>(sp - m);
    uint64_t level_attempts = 0;
    for (uint64_t s = 0; s < sp; ++s) {
      // A walk can take up to 16 k^2 attempts when moves above the level are
      // rare: let a stop request in between.
      interrupt::checkpoint();
      const uint64_t pick = m + mt.uniform_below(survivors);
      std::copy_n(sorted_genes.begin() + pick * k, k, cur.begin());
      // Within the walk a score matters only against the level: at_least()
      // settles most candidates from bounds on their extremes, and the set
      // the walk ends on is scored at the end unless its score is known
      // (cur_exact). cur_above stands for cur_score >= level.
      double cur_score = sorted_scores[pick];
      bool cur_exact = true;
      bool cur_above = cur_score >= level;
      // The kernel sums each candidate from the first hit it changes, on top
      // of the sums of the current set.
      oriented(cur.data(), 0);
      kernel.keep();
      std::copy(cur.begin(), cur.end(), cand.begin());
      uint64_t accepted = 0, attempts = 0;
      while (accepted < goal && attempts < max_attempts) {
        ++attempts;
        const uint64_t slot = mt.uniform_below(static_cast<uint32_t>(k));
        const uint64_t j = mt.uniform_below(static_cast<uint32_t>(n));
        if (j == cur[slot]) {
          // The unchanged set scores as it did.
          if (cur_above) ++accepted;
          continue;
        }
        // j's place among the current genes tells whether it is one of them
        // and where it goes.
        const size_t at = count_before(cur.data(), k, [j](uint64_t g) { return g < j; });
        if (at < k && cur[at] == j) continue;
        // Replace slot by j at its sorted place: the genes in between move by
        // one (cand holds the current set: only that run differs afterwards).
        const size_t p = at > slot ? at - 1 : at;
        if (p > slot) {
          std::memmove(&cand[slot], &cand[slot + 1], (p - slot) * sizeof(uint64_t));
        } else if (p < slot) {
          std::memmove(&cand[p + 1], &cand[p], (slot - p) * sizeof(uint64_t));
        }
        cand[p] = j;
        const uint64_t same = std::min<uint64_t>(p, slot);
        bool above;
        double sc = 0.0;
        const std::optional<bool> settled =
            kernel.at_least(cand.data(), weights.data(), same, level, negate);
        if (settled) {
          above = *settled;
        } else {
          sc = kernel.score_last(cand.data(), weights.data());
          if (negate) sc = -sc;
          above = sc >= level;
        }
        if (above) {
          kernel.keep();
          cur.swap(cand);
          cur_score = sc;
          cur_exact = !settled;
          cur_above = true;
          ++accepted;
        }
        const size_t lo = std::min<size_t>(p, slot), hi = std::max<size_t>(p, slot) + 1;
        std::copy(cur.begin() + static_cast<ptrdiff_t>(lo), cur.begin() + static_cast<ptrdiff_t>(hi),
                  cand.begin() + static_cast<ptrdiff_t>(lo));
      }
      // The kept sums are cur's: only the last block is summed again.
      if (!cur_exact) cur_score = oriented(cur.data(), k);
      std::copy(cur.begin(), cur.end(), genes.begin() + s * k);
      scores[s] = cur_score;
      level_attempts += attempts;
      if (static_cast<double>(level_attempts) > stall_attempts) return std::nullopt;
    }
    previous = level;
    if (levels >= kMaxLevels) return std::nullopt;
  }
}

}  // namespace tarvelo::decor
