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
  bound_.resize(2 * blocks);
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
  return finish(hits, weights, sum(hits, weights, same));
}

double DecorEsKernel::sum(const uint64_t* hits, const double* weights, uint64_t same) {
  const uint64_t k = k_;
  const double* mags = mags_.data();
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
  plain_ = plain;
  last_nr_ = nr;
  return nr;
}

double DecorEsKernel::finish(const uint64_t* hits, const double* weights, double nr) {
  if (plain_ || !(nr > 0.0) || !(nr <= std::numeric_limits<double>::max())) {
    return score_reference(hits, weights);
  }
  double top, bottom;
  extremes(hits, nr, top, bottom);
  // Positions are not reported by this kernel.
  return pick_decor_score(top, 0, bottom, 0, 0, score_type_).first;
}

DecorEsKernel::LiveView DecorEsKernel::live_view() const {
  const Sums& live = sums_[live_];
  return LiveView{k_, (k_ + kBlock - 1) / kBlock, miss_.data(), live.step.data(), live.cum.data(),
                  live.block_max.data()};
}

void DecorEsKernel::extremes(const uint64_t* hits, double nr, double& top, double& bottom) {
  const auto [k, blocks, miss, step, cum, block_max] = live_view();
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
  top = exact_top;
  bottom = exact_bottom;
}

// A walk of the multilevel tail needs a candidate's score only against its
// level, and score() spends most of its time on the exact extremes: two
// quotients per block bound, and hit-by-hit quotients in the blocks that may
// hold an extreme. at_least() sums exactly as score() does (the sums it
// leaves are score()'s, so keep() and `same` work alike), then bounds the
// extremes with products by the reciprocal inv = fl(1 / nr) instead:
//
//   top'_i = fl(fl(cum_i * inv) - miss_i),  bottom'_i = fl(top'_i - fl(c_i * inv)).
//
// Each differs from score()'s height by at most e = 2^-48. With 0 <= cum_i <=
// nr, cum_i * inv is cum_i / nr times (1 + d), |d| <= u = 2^-53; rounded, it
// is within 3.01u of fl(cum_i / nr) (both quotients are at most 1); the same
// subtraction of miss_i in [0, 1] then rounds values of size at most 1 twice:
// tops differ by at most 5.1u. The step quotients c_i / nr (c_i <= nr) add
// 3.01u and the last subtraction two roundings of values at most 2: bottoms
// differ by at most 12.2u. (nr within [1e-300, 1e300] keeps inv and the
// products in range, and an underflowed quotient loses at most 2^-1075.)
//
// The same monotonicity argument as score()'s bounds each block's product
// tops from above by fl(fl(cum_l * inv) - miss_f), and its product bottoms
// from below by fl(fl(fl(cum_f * inv) - miss_l) - fl(cmax * inv)). So score()'s
// extreme top MT is at most the largest block bound plus e, and at least any
// product top minus e; likewise for the extreme bottom MB. First only the
// block of the largest bound is evaluated (usually it holds the peak); when
// that leaves the level inside the bracket below, every block whose bound
// passes the largest product top so far is, which gives the largest product
// top itself, so MT is within e of it (and the same for the bottoms). Adding
// or subtracting 2e in floating point moves a value of size below 2 by at
// least e, so the rounded ends are still bounds.
//
// The score is MT (positive tail), MB (negative tail) or, for the standard
// score, pick_decor_score(MT, MB). score()'s extremes satisfy MT >= 0 >= MB
// (the last top is 1 - miss >= 0, the first bottom fl(fl(q - m) - q) <= 0),
// and on that domain pick_decor_score is nondecreasing in both arguments: it
// gives MB while MT < -MB, then 0 at MT == -MB, then MT >= -MB >= 0 >= MB.
// So clamping the lower ends to the domain (max with 0 for the top, min with
// 0 for the bottom) and picking from the lower ends and from the upper ends
// brackets the score. A level inside the bracket (ties and near ties of equal
// scores, common with integer and tied ranks; a NaN level) gets no answer.
std::optional<bool> DecorEsKernel::at_least(const uint64_t* hits, const double* weights,
                                            uint64_t same, double level, bool negate) {
  const double nr = sum(hits, weights, same);
  if (plain_ || !(nr >= 1e-300 && nr <= 1e300)) return std::nullopt;
  const auto [k, blocks, miss, step, cum, block_max] = live_view();
  const double inv = 1.0 / nr;
  constexpr double e2 = 0x1p-47;  // 2e
  const auto miss_at = [&](uint64_t i) { return miss[hits[i] - i]; };
  const auto block_top = [&](uint64_t b) {
    double m = -std::numeric_limits<double>::infinity();
    for (uint64_t i = b * kBlock, end = std::min(k, (b + 1) * kBlock); i < end; ++i) {
      const double t = cum[i] * inv - miss_at(i);
      m = t > m ? t : m;
    }
    return m;
  };
  const auto block_bottom = [&](uint64_t b) {
    double m = std::numeric_limits<double>::infinity();
    for (uint64_t i = b * kBlock, end = std::min(k, (b + 1) * kBlock); i < end; ++i) {
      const double t = (cum[i] * inv - miss_at(i)) - step[i] * inv;
      m = t < m ? t : m;
    }
    return m;
  };
  const bool want_top = score_type_ != ScoreType::kNeg;
  const bool want_bottom = score_type_ != ScoreType::kPos;
  // Per block the bound of its product tops (top_bound) and bottoms.
  double* top_bound = bound_.data();
  double* bottom_bound = top_bound + blocks;
  double top_max = 0.0, bottom_min = 0.0;  // the largest and smallest bounds
  double top_in = 0.0, bottom_in = 0.0;    // product heights of evaluated blocks
  uint64_t top_at = 0, bottom_at = 0;
  if (want_top) {
    top_max = -std::numeric_limits<double>::infinity();
    for (uint64_t b = 0; b < blocks; ++b) {
      const uint64_t f = b * kBlock, l = std::min(k, f + kBlock) - 1;
      top_bound[b] = cum[l] * inv - miss_at(f);
      if (top_bound[b] > top_max) { top_max = top_bound[b]; top_at = b; }
    }
    top_in = block_top(top_at);
  }
  if (want_bottom) {
    bottom_min = std::numeric_limits<double>::infinity();
    for (uint64_t b = 0; b < blocks; ++b) {
      const uint64_t f = b * kBlock, l = std::min(k, f + kBlock) - 1;
      bottom_bound[b] = (cum[f] * inv - miss_at(l)) - block_max[b] * inv;
      if (bottom_bound[b] < bottom_min) { bottom_min = bottom_bound[b]; bottom_at = b; }
    }
    bottom_in = block_bottom(bottom_at);
  }
  // 1 or 0 when the level is settled, -1 when not; `above` and `below` bound
  // the product tops from above and the product bottoms from below.
  const auto settle = [&](double above, double below) {
    const double top_lo = std::max(top_in - e2, 0.0), top_hi = above + e2;
    const double bottom_lo = below - e2, bottom_hi = std::min(bottom_in + e2, 0.0);
    double lo = pick_decor_score(top_lo, 0, bottom_lo, 0, 0, score_type_).first;
    double hi = pick_decor_score(top_hi, 0, bottom_hi, 0, 0, score_type_).first;
    if (negate) {
      const double t = lo;
      lo = -hi;
      hi = -t;
    }
    return lo >= level ? 1 : hi < level ? 0 : -1;
  };
  int r = settle(top_max, bottom_min);
  if (r < 0) {
    // Then the product extremes themselves: every block whose bound passes
    // the extreme so far is evaluated, as score() does.
    for (uint64_t b = 0; want_top && b < blocks; ++b) {
      if (b != top_at && top_bound[b] > top_in) top_in = std::max(top_in, block_top(b));
    }
    for (uint64_t b = 0; want_bottom && b < blocks; ++b) {
      if (b != bottom_at && bottom_bound[b] < bottom_in) bottom_in = std::min(bottom_in, block_bottom(b));
    }
    r = settle(top_in, bottom_in);
  }
  if (r < 0) return std::nullopt;
  return r == 1;
}

double DecorEsKernel::score_last(const uint64_t* hits, const double* weights) {
  return finish(hits, weights, last_nr_);
}

}  // namespace tarvelo::decor
