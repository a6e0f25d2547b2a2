#include "tarvelo/decor/es.hpp"

#include <cmath>
#include <limits>

#include "tarvelo/base/error.hpp"

namespace tarvelo::decor {
namespace {

// The running sum over k sorted hits: step |rank| x weight normalised by their
// total, miss terms (h - i) / (n - k), and the extreme deviations. mag(h) is
// |rank| at position h and miss(m) is m / (n - k); the two callers differ only
// in how these are obtained, never in the operations or their order.
template <class Mag, class Miss>
inline std::pair<double, uint64_t> weighted_es(const uint64_t* hits, const double* weights,
                                               uint64_t k, Mag mag, Miss miss,
                                               ScoreType score_type) {
  // Two passes: the normaliser must be complete before the first step.
  double nr = 0.0;
  for (uint64_t i = 0; i < k; ++i) nr += mag(hits[i]) * weights[i];
  double max_top = -std::numeric_limits<double>::infinity();
  double min_bottom = std::numeric_limits<double>::infinity();
  uint64_t i_max = 0, i_min = 0;
  if (nr != 0.0) {
    double cum = 0.0;
    for (uint64_t i = 0; i < k; ++i) {
      const double c = mag(hits[i]) * weights[i];
      cum += c;
      const double top = cum / nr - miss(hits[i] - i);
      const double bottom = top - c / nr;
      if (top > max_top) { max_top = top; i_max = i; }
      if (bottom < min_bottom) { min_bottom = bottom; i_min = i; }
    }
  } else {
    // Every step weighs nothing: fall back to equal steps of 1/k.
    const double step = 1.0 / static_cast<double>(k);
    for (uint64_t i = 0; i < k; ++i) {
      const double top = step * static_cast<double>(i + 1) - miss(hits[i] - i);
      const double bottom = top - step;
      if (top > max_top) { max_top = top; i_max = i; }
      if (bottom < min_bottom) { min_bottom = bottom; i_min = i; }
    }
  }
  return pick_decor_score(max_top, hits[i_max], min_bottom, hits[i_min], hits[0], score_type);
}

}  // namespace

std::pair<double, uint64_t> calculate_es_decor_prechecked(std::span<const double> ranks,
                                                          std::span<const uint64_t> hits,
                                                          std::span<const double> weights,
                                                          uint64_t n, ScoreType score_type) {
  const size_t k = hits.size();
  if (k == 0) return {0.0, 0};
  if (n == k) return {0.0, hits[0]};
  const double d = static_cast<double>(n - k);
  const double* r = ranks.data();
  return weighted_es(
      hits.data(), weights.data(), k, [r](uint64_t h) { return std::fabs(r[h]); },
      [d](uint64_t m) { return static_cast<double>(m) / d; }, score_type);
}

DecorEsKernel::DecorEsKernel(std::span<const double> magnitudes, uint64_t k,
                             ScoreType score_type)
    : mags_(magnitudes), k_(k), score_type_(score_type) {
  const uint64_t n = magnitudes.size();
  if (k == 0 || k >= n) internal_fault("decor score kernel: set size outside [1, n)");
  const double d = static_cast<double>(n - k);
  miss_.resize(n - k + 1);
  for (uint64_t m = 0; m <= n - k; ++m) miss_[m] = static_cast<double>(m) / d;
  const uint64_t blocks = (k + kBlock - 1) / kBlock;
  for (Sums& x : sums_) {
    x.step.resize(k);
    x.cum.resize(k);
    x.block_max.resize(blocks);
    x.block_bad.resize(blocks);
  }
  bound_.resize(blocks);
}

// The scored copy becomes the kept one; the old kept copy, which agrees with
// it before the first block the last score summed, is the next to be scored.
void DecorEsKernel::keep() {
  live_ ^= 1;
  agree_ = have_kept_ ? scored_from_ : 0;
  have_kept_ = true;
}

double DecorEsKernel::score_reference(const uint64_t* hits, const double* weights) const {
  // The quotient (h - i) / (n - k) comes from the table instead of a division.
  const double* mags = mags_.data();
  const double* miss = miss_.data();
  return weighted_es(
             hits, weights, k_, [mags](uint64_t h) { return mags[h]; },
             [miss](uint64_t m) { return miss[m]; }, score_type_)
      .first;
}

// Division throughput bounds the plain loop: two quotients by the total nr per
// hit. Only the extreme heights are needed, so the hits are taken in blocks,
// each block is first bounded from its ends, and only blocks whose bound can
// still move an extreme are evaluated hit by hit (for sets of distinct scores,
// a few blocks around the peak and the trough).
//
// The bounds are exact, not estimates. With every step c_i >= 0 and finite
// and 0 < nr finite, the running sums cum_i (the partial sums of nr, the same
// additions in the same order) do not decrease along the set, nor do the miss
// terms miss(h_i - i), and correctly rounded division and subtraction are
// monotone in each argument. So within a block from hit f to hit l, every top
// fl(fl(cum_i / nr) - miss_i) is at most fl(fl(cum_l / nr) - miss_f), and
// every bottom fl(top_i - fl(c_i / nr)) is at least
// fl(fl(fl(cum_f / nr) - miss_l) - fl(cmax / nr)) with cmax the block's
// largest step. A block whose bound does not pass the extreme found so far
// cannot change it. Anything else (a negative or non-finite step, a zero
// total) takes the plain loop.
//
// A set that differs from the kept one only from hit `same` on (a move of the
// multilevel tail) shares the running sums of the blocks before that hit: they
// are taken from the kept set, and the sum goes on from the last of them, so
// every later sum is the one a fresh pass would reach.
double DecorEsKernel::score(const uint64_t* hits, const double* weights, uint64_t same) {
  const uint64_t k = k_;
  const double* mags = mags_.data();
  const double* miss = miss_.data();
  Sums& live = sums_[live_];
  double* step = live.step.data();
  double* cum = live.cum.data();
  double* block_max = live.block_max.data();
  uint8_t* block_bad = live.block_bad.data();
  const uint64_t blocks = (k + kBlock - 1) / kBlock;
  // At least the last block is summed: it holds the total.
  const uint64_t first = have_kept_ ? std::min(same, k - 1) / kBlock : 0;
  if (agree_ < first) {
    const Sums& kept = sums_[live_ ^ 1];
    const uint64_t lo = agree_ * kBlock, hi = first * kBlock;
    std::copy(kept.step.begin() + lo, kept.step.begin() + hi, live.step.begin() + lo);
    std::copy(kept.cum.begin() + lo, kept.cum.begin() + hi, live.cum.begin() + lo);
    std::copy(kept.block_max.begin() + agree_, kept.block_max.begin() + first,
              live.block_max.begin() + agree_);
    std::copy(kept.block_bad.begin() + agree_, kept.block_bad.begin() + first,
              live.block_bad.begin() + agree_);
  }
  agree_ = first;
  scored_from_ = first;
  double nr = first > 0 ? cum[first * kBlock - 1] : 0.0;
  bool plain = false;
  for (uint64_t b = 0; b < first; ++b) plain |= block_bad[b] != 0;
  for (uint64_t b = first; b < blocks; ++b) {
    const uint64_t end = std::min(k, (b + 1) * kBlock);
    double cmax = 0.0;
    bool bad = false;
    for (uint64_t i = b * kBlock; i < end; ++i) {
      const double c = mags[hits[i]] * weights[i];
      bad |= !(c >= 0.0);
      cmax = c > cmax ? c : cmax;
      step[i] = c;
      nr += c;
      cum[i] = nr;
    }
    block_max[b] = cmax;
    block_bad[b] = bad;
    plain |= bad;
  }
  if (plain || !(nr > 0.0) || !(nr <= std::numeric_limits<double>::max())) {
    return score_reference(hits, weights);
  }
  const auto miss_at = [&](uint64_t i) { return miss[hits[i] - i]; };
  const auto top_bound = [&](uint64_t b) {
    const uint64_t f = b * kBlock, l = std::min(k, f + kBlock) - 1;
    return cum[l] / nr - miss_at(f);
  };
  const auto bottom_bound = [&](uint64_t b) {
    const uint64_t f = b * kBlock, l = std::min(k, f + kBlock) - 1;
    return (cum[f] / nr - miss_at(l)) - block_max[b] / nr;
  };

  // Inside a block the heights are first taken with the reciprocal of the
  // total, a product instead of a quotient: each height is a value in [-1, 1]
  // made with at most four roundings either way, so the product form is
  // within 1e-13 of the exact one. Only hits within twice that of the block's
  // best product form can hold its exact extreme; the others are passed over.
  // (A total so small or large that its reciprocal loses range divides
  // everywhere.)
  const double inv = 1.0 / nr;
  const bool screen = nr >= 1e-300 && nr <= 1e300;
  constexpr double kScreen = 2e-13;
  double approx[kBlock];

  // The exact extremes, as the plain loop computes them: the block of the
  // best bound first, then every block whose bound passes the extreme so far.
  double exact_top = -std::numeric_limits<double>::infinity();
  double exact_bottom = std::numeric_limits<double>::infinity();
  if (score_type_ != ScoreType::kNeg) {
    double* bound = bound_.data();
    uint64_t first = 0;
    for (uint64_t b = 0; b < blocks; ++b) {
      bound[b] = top_bound(b);
      if (bound[b] > bound[first]) first = b;
    }
    for (uint64_t j = 0; j < blocks; ++j) {
      const uint64_t b = j == 0 ? first : j <= first ? j - 1 : j;
      if (!(bound[b] > exact_top)) continue;
      const uint64_t begin = b * kBlock, end = std::min(k, (b + 1) * kBlock);
      double cut = -std::numeric_limits<double>::infinity();
      if (screen) {
        double best = cut;
        for (uint64_t i = begin; i < end; ++i) {
          approx[i - begin] = cum[i] * inv - miss_at(i);
          best = approx[i - begin] > best ? approx[i - begin] : best;
        }
        cut = best - kScreen;
      }
      for (uint64_t i = begin; i < end; ++i) {
        if (screen && approx[i - begin] < cut) continue;
        const double t = cum[i] / nr - miss_at(i);
        if (t > exact_top) exact_top = t;
      }
    }
  }
  if (score_type_ != ScoreType::kPos) {
    double* bound = bound_.data();
    uint64_t first = 0;
    for (uint64_t b = 0; b < blocks; ++b) {
      bound[b] = bottom_bound(b);
      if (bound[b] < bound[first]) first = b;
    }
    for (uint64_t j = 0; j < blocks; ++j) {
      const uint64_t b = j == 0 ? first : j <= first ? j - 1 : j;
      if (!(bound[b] < exact_bottom)) continue;
      const uint64_t begin = b * kBlock, end = std::min(k, (b + 1) * kBlock);
      double cut = std::numeric_limits<double>::infinity();
      if (screen) {
        double best = cut;
        for (uint64_t i = begin; i < end; ++i) {
          approx[i - begin] = (cum[i] * inv - miss_at(i)) - step[i] * inv;
          best = approx[i - begin] < best ? approx[i - begin] : best;
        }
        cut = best + kScreen;
      }
      for (uint64_t i = begin; i < end; ++i) {
        if (screen && approx[i - begin] > cut) continue;
        const double t = cum[i] / nr - miss_at(i);
        const double bt = t - step[i] / nr;
        if (bt < exact_bottom) exact_bottom = bt;
      }
    }
  }
  // Positions are not reported by this kernel.
  return pick_decor_score(exact_top, 0, exact_bottom, 0, 0, score_type_).first;
}

}  // namespace tarvelo::decor
