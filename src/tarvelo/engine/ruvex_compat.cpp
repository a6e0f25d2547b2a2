#include "tarvelo/engine/ruvex_compat.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "tarvelo/base/error.hpp"

namespace tarvelo::ruvex_compat {
namespace {

// Sorts idx[0..len) by values ascending (values distinct or stable on ties).
void sort_indices(std::span<const uint64_t> values, std::vector<size_t>& idx) {
  const size_t len = values.size();
  idx.resize(len);
  std::iota(idx.begin(), idx.end(), size_t{0});
  if (len < 21) {
    for (size_t i = 1; i < len; ++i) {
      const size_t cur = idx[i];
      size_t j = i;
      while (j > 0 && values[idx[j - 1]] > values[cur]) {
        idx[j] = idx[j - 1];
        --j;
      }
      idx[j] = cur;
    }
  } else {
    std::stable_sort(idx.begin(), idx.end(),
                     [&](size_t a, size_t b) { return values[a] < values[b]; });
  }
}

// Adds (dw, dx) to every index j >= j0 of a two-level prefix structure whose
// coarse cells hold 2^shift fine entries each.
inline void range_add(PrefixScorer::Cell* f, size_t fine_len, PrefixScorer::Cell* c,
                      size_t coarse_len, unsigned shift, size_t j0, double dw, double dx) {
  const size_t cell = j0 >> shift;
  const size_t end = std::min((cell + 1) << shift, fine_len);
#if defined(__SSE2__)
  // Both lanes are plain IEEE additions, exactly as the scalar loop below.
  const __m128d d = _mm_set_pd(dx, dw);
  for (size_t j = j0; j < end; ++j) {
    double* p = &f[j].w;
    _mm_storeu_pd(p, _mm_add_pd(_mm_loadu_pd(p), d));
  }
  for (size_t i = cell + 1; i < coarse_len; ++i) {
    double* p = &c[i].w;
    _mm_storeu_pd(p, _mm_add_pd(_mm_loadu_pd(p), d));
  }
#else
  for (size_t j = j0; j < end; ++j) {
    f[j].w += dw;
    f[j].x += dx;
  }
  for (size_t i = cell + 1; i < coarse_len; ++i) {
    c[i].w += dw;
    c[i].x += dx;
  }
#endif
}

}  // namespace

std::vector<size_t> order(std::span<const uint64_t> values) {
  std::vector<size_t> idx;
  sort_indices(values, idx);
  return idx;
}

void PrefixScorer::sort_sample(std::span<const uint64_t> sample, uint64_t n) {
  const size_t k = sample.size();
  if (n <= 0xFFFFFFFFull && k <= 0xFFFFFFFFull) {
    // Positions are distinct, so sorting (position, index) keys packed into
    // one integer gives the same order, several times faster; long samples
    // use a byte-wise radix sort over the bits that N needs.
    keys_.resize(k);
    for (size_t i = 0; i < k; ++i) {
      const uint64_t p = std::min<uint64_t>(sample[i], 0xFFFFFFFFull);
      keys_[i] = (p << 32) | i;
    }
    if (k < 64) {
      std::sort(keys_.begin(), keys_.end());
    } else {
      const unsigned bits = n == 0 ? 1 : 64 - static_cast<unsigned>(__builtin_clzll(n));
      tmp_keys_.resize(k);
      for (unsigned sh = 32; sh < 32 + bits; sh += 8) {
        size_t count[257] = {};
        for (uint64_t key : keys_) ++count[((key >> sh) & 0xFF) + 1];
        for (size_t d = 1; d <= 256; ++d) count[d] += count[d - 1];
        for (uint64_t key : keys_) tmp_keys_[count[(key >> sh) & 0xFF]++] = key;
        keys_.swap(tmp_keys_);
      }
    }
    ord_.resize(k);
    for (size_t r = 0; r < k; ++r) ord_[r] = static_cast<size_t>(keys_[r] & 0xFFFFFFFFull);
  } else {
    sort_indices(sample, ord_);
  }
  // A position outside 1..N or a repeated one would silently corrupt the
  // structure below.
  uint64_t last = 0;
  for (size_t r = 0; r < ord_.size(); ++r) {
    const uint64_t p = sample[ord_[r]];
    if (p <= last || p > n) {
      internal_fault("prefix scores: sample position " + std::to_string(p) +
                     " repeated or outside 1.." + std::to_string(n));
    }
    last = p;
  }
}

void PrefixScorer::cumulative(std::span<const double> ranks, std::span<const uint64_t> sample,
                              ScoreType score_type, double gsea_param, std::span<double> out) {
  const size_t k = sample.size();
  if (out.size() != k) internal_fault("prefix scores: output length differs from the sample");
  if (k == 0) return;
  sort_sample(sample, ranks.size());
  switch (score_type) {
    case ScoreType::kPos:
      stats1(ranks, sample, ord_, false, gsea_param, out);
      return;
    case ScoreType::kNeg:
      stats1(ranks, sample, ord_, true, gsea_param, out);
      for (double& v : out) v = -v;
      return;
    case ScoreType::kStd:
      break;
  }
  other_.resize(k);
  stats1(ranks, sample, ord_, false, gsea_param, out);
  stats1(ranks, sample, ord_, true, gsea_param, other_);
  for (size_t i = 0; i < k; ++i) {
    const double a = out[i], b = other_[i];
    if (a > b) {
      out[i] = a;
    } else if (a < b) {
      out[i] = -b;
    } else if (a == b) {
      out[i] = 0.0;
    }  // a NaN value keeps a
  }
}

// Prefix deviations in O(k^1.5) instead of O(k^2).
//
// Sorted index j (0..k-1) is the j-th sampled position in list order (mirrored
// when rev); index k is the end of the list. A two-level prefix structure holds
// for each index its miss count x (positions above it that are not inserted
// members) and cumulative weight W (inserted weight at or above it). Inserting a
// member is a suffix update: x -= 1, W += w. For the prefix of size k' the
// deviation is max over members of slope * W - x with slope = (N - k') / NR,
// scaled by 1 / (N - k'). Non-members and the end point never beat the member
// or origin before them, so the maximum may be taken over all nodes.
//
// Nodes (origin, sorted indices 0..k) are cut into blocks of about sqrt(k)
// nodes, each with a lower convex chain in the (W, x) plane, linked through
// prev/next (next -1: off the chain). An insertion translates every node from
// the new member on by the same vector, so only the new member's block needs
// its chain repaired at that junction. The maximiser of slope * W - x on a
// chain moves backwards as the slope falls, so each block keeps a cached node
// that is walked back over non-decreasing values.
//
// The walk must also step over equal values: when the last list position is
// sampled but not yet inserted, its node coincides with the end node, the pop
// test keeps both (cross product 0), and stopping at the first equal value
// would hide a better node earlier in the block.
void PrefixScorer::stats1(std::span<const double> ranks, std::span<const uint64_t> sample,
                          std::span<const size_t> ord, bool rev, double gsea_param,
                          std::span<double> out) {
  const size_t k = sample.size();
  const uint64_t n = ranks.size();
  if (out.size() != k || ord.size() != k) {
    internal_fault("prefix scores: order or output length differs from the sample");
  }
  if (k == 0) return;

  size_t b = 2;
  unsigned shift = 1;
  while (b * b <= k) {
    b *= 2;
    ++shift;
  }
  const size_t fine_len = b * b;
  const size_t coarse_len = k / b + 1;
  // One zero guard cell in front of each array stands for the origin (node 0,
  // sorted index -1), so that node lookups need no branch.
  fine_.assign(fine_len + 1, Cell{0.0, 0.0});
  coarse_.assign(coarse_len + 1, Cell{0.0, 0.0});
  Cell* const fc = fine_.data() + 1;
  Cell* const cc = coarse_.data() + 1;

  rank_.resize(k);
  for (size_t r = 0; r < k; ++r) {
    const size_t i = ord[r];
    if (i >= k) internal_fault("prefix scores: order is not a permutation");
    rank_[i] = rev ? k - 1 - r : r;
  }

  // Miss counts before any insertion: the (mirrored) 1-based position of each
  // sorted index, and N at the end index. Adding each gap from its index
  // onward would leave in each coarse cell the position just before the cell
  // and in each fine entry the rest; the values are integers, so they are
  // written directly.
  {
    uint64_t prev = 0;
    double base = 0.0;
    for (size_t r = 0; r <= k; ++r) {
      uint64_t p = n;
      if (r < k) {
        const uint64_t p0 = sample[ord[rev ? k - 1 - r : r]];
        if (p0 == 0 || p0 > n) internal_fault("prefix scores: sample position outside the list");
        p = rev ? n + 1 - p0 : p0;
        if (p <= prev) internal_fault("prefix scores: order does not sort the sample");
      }
      if ((r & (b - 1)) == 0) {
        base = static_cast<double>(prev);
        cc[r >> shift].x = base;
      }
      fc[r].x = static_cast<double>(p) - base;
      prev = p;
    }
  }

  // Weights. Zero (or NaN) weights get a small positive weight so that every
  // set has NR > 0; with integer-scaled ranks that is 1e-5 * 2^-10.
  double w_min = 1e-5;
  for (uint64_t p : sample) {
    const double a = std::fabs(ranks[p - 1]);
    if (a != 0.0 && !std::isnan(a) && a < w_min) w_min = a;
  }
  const double w_eps = w_min * 0.0009765625;
  const bool use_pow = !(std::fabs(gsea_param - 1.0) < 1e-15);
  w_.resize(k);
  for (size_t i = 0; i < k; ++i) {
    double w = std::fmax(std::fabs(ranks[sample[i] - 1]), w_eps);
    if (use_pow) w = std::pow(w, gsea_param);
    w_[i] = w;
  }

  // Hull blocks over nodes 0..k+1; initially each block is a consecutive chain.
  const int64_t last_node = static_cast<int64_t>(k) + 1;
  const int64_t s = static_cast<int64_t>(std::trunc(std::sqrt(static_cast<double>(k + 1))));
  const int64_t nblocks = last_node / s + 1;
  blocks_.resize(static_cast<size_t>(nblocks));
  prev_.resize(k + 2);
  next_.resize(k + 2);
  for (int64_t t = 0; t < nblocks; ++t) {
    const int64_t first = t * s;
    const int64_t last = std::min(first + s - 1, last_node);
    blocks_[t] = Block{first, last, last, std::numeric_limits<double>::infinity()};
    for (int64_t v = first; v <= last; ++v) {
      prev_[v] = v == first ? v : v - 1;
      next_[v] = v == last ? v : v + 1;
    }
  }

  // Node v is sorted index v - 1; node 0 reads the guard cells (-1 >> shift
  // is -1), which stay zero.
  auto node_w = [&](int64_t v) -> double {
    const int64_t j = v - 1;
    return fc[j].w + cc[j >> shift].w;
  };
  auto node_x = [&](int64_t v) -> double {
    const int64_t j = v - 1;
    return fc[j].x + cc[j >> shift].x;
  };


  const double breakpoint_delta = 1e-9 * (static_cast<double>(n) + 1.0);
  double nr = 0.0;
  for (size_t i = 0; i < k; ++i) {
    const size_t j0 = rank_[i];
    const double w = w_[i];
    range_add(fc, fine_len, cc, coarse_len, shift, j0, w, -1.0);
    nr += w;

    // Repair the chain of the new member's block at the junction.
    const int64_t q = static_cast<int64_t>(j0) + 1;
    Block& blk = blocks_[static_cast<size_t>(q / s)];
    int64_t t = std::max(blk.first, q - 1);
    int64_t cur = q;
    int64_t handled = q;
    while (cur <= blk.last) {
      const bool is_last = cur == blk.last;
      const double wc = node_w(cur), xc = node_x(cur);
      double wt = node_w(t), xt = node_x(t);
      for (;;) {
        const int64_t p = prev_[t];
        if (p == t) break;
        const double wp = node_w(p);
        if (wc - wp < 1e-13) break;
        const double xp = node_x(p);
        const double cross = (wc - wt) * (xt - xp) - (xc - xt) * (wt - wp);
        if (cross <= 0.0) break;  // a NaN cross pops
        next_[t] = -1;
        t = p;
        wt = wp;
        xt = xp;
      }
      const int64_t old_next = next_[cur];
      prev_[cur] = t;
      next_[t] = cur;
      handled = cur;
      if (is_last || old_next != -1) break;
      t = cur;
      ++cur;
    }
    blk.cached = std::max(blk.cached, handled);

    // Query the prefix of size i + 1.
    const double nk = static_cast<double>(n - (i + 1));
    const double slope = nk / nr;
    double best = 0.0;
    const Block* repaired = &blk;
    for (Block& bl : blocks_) {
      int64_t c = bl.cached;
      double wc = node_w(c), xc = node_x(c);
      double vc = slope * wc - xc;
      // The walk cannot move while the slope stays above the cached node's
      // breakpoint (see below); the repaired block always walks.
      if (&bl == repaired || !(slope > bl.breakpoint)) {
        for (;;) {
          const int64_t p = prev_[c];
          if (p == c) {
            bl.breakpoint = -std::numeric_limits<double>::infinity();
            break;
          }
          const double wp = node_w(p), xp = node_x(p);
          const double vp = slope * wp - xp;
          if (!(vp >= vc)) {
            // v(p) < v(c) - delta exactly whenever slope > (xc - xp + delta) /
            // (wc - wp); delta exceeds every rounding error of the values and
            // of later translations of both nodes, so above this breakpoint
            // the test above fails as well and need not be evaluated.
            const double dw = wc - wp;
            bl.breakpoint = dw > 0.0 ? (xc - xp + breakpoint_delta) / dw * (1.0 + 1e-12)
                                     : std::numeric_limits<double>::infinity();
            break;
          }
          c = p;
          wc = wp;
          xc = xp;
          vc = vp;
        }
        bl.cached = c;
      }
      if (vc > best) best = vc;
    }
    out[i] = best / nk;
  }
}

std::vector<double> gsea_stats1_f64(std::span<const double> ranks,
                                    std::span<const uint64_t> sample,
                                    std::span<const size_t> ord, bool rev, double gsea_param) {
  std::vector<double> out(sample.size());
  PrefixScorer scorer;
  scorer.stats1(ranks, sample, ord, rev, gsea_param, out);
  return out;
}

std::vector<double> calc_gsea_stat_cumulative_f64(std::span<const double> ranks,
                                                  std::span<const uint64_t> sample,
                                                  ScoreType score_type, double gsea_param) {
  std::vector<double> out(sample.size());
  PrefixScorer scorer;
  scorer.cumulative(ranks, sample, score_type, gsea_param, out);
  return out;
}

BatchCounts empty_batch_counts(size_t n) {
  BatchCounts c;
  c.le_es.assign(n, 0);
  c.ge_es.assign(n, 0);
  c.le_zero.assign(n, 0);
  c.ge_zero.assign(n, 0);
  c.le_zero_sum.assign(n, 0.0);
  c.ge_zero_sum.assign(n, 0.0);
  return c;
}

BatchCounts merge_batch_counts(BatchCounts a, BatchCounts b) {
  const size_t n = a.size();
  if (b.size() != n || a.ge_es.size() != n || a.le_zero.size() != n || a.ge_zero.size() != n ||
      a.le_zero_sum.size() != n || a.ge_zero_sum.size() != n || b.ge_es.size() != n ||
      b.le_zero.size() != n || b.ge_zero.size() != n || b.le_zero_sum.size() != n ||
      b.ge_zero_sum.size() != n) {
    internal_fault("merge_batch_counts: counts of unequal length");
  }
  for (size_t j = 0; j < n; ++j) {
    a.le_es[j] += b.le_es[j];
    a.ge_es[j] += b.ge_es[j];
    a.le_zero[j] += b.le_zero[j];
    a.ge_zero[j] += b.ge_zero[j];
    a.le_zero_sum[j] += b.le_zero_sum[j];
    a.ge_zero_sum[j] += b.ge_zero_sum[j];
  }
  return a;
}

}  // namespace tarvelo::ruvex_compat
