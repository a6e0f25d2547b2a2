#include "tarvelo/engine/ruvex_compat.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <string>

#include <atomic>
#include <cstring>

#include "tarvelo/base/cpu.hpp"
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

// ---------------------------------------------------------------------------
// Block-wise prefix scores, written once over a vector width L and compiled
// for each instruction set the dispatcher below may pick. Every lane performs
// the scalar operations in the scalar order (no contraction, no reassociation:
// the build has -ffp-contract=off), and the only reductions are maxima of
// NaN-free lanes, so the width does not change any result.

// Vector arguments of the always-inlined helpers never cross a call: the
// warning about their calling convention is moot (it is reported at the end of
// the file, hence not popped).
#pragma GCC diagnostic ignored "-Wpsabi"

// Per-block arrays are padded to a multiple of the widest vector.
constexpr size_t kMaxLanes = 8;
constexpr double kInf = std::numeric_limits<double>::infinity();

template <int L>
struct Lanes {
  typedef double D __attribute__((vector_size(8 * L)));
  typedef long long M __attribute__((vector_size(8 * L)));
};

template <int L>
[[gnu::always_inline]] inline typename Lanes<L>::D load(const double* p) {
  typename Lanes<L>::D v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
template <int L>
[[gnu::always_inline]] inline void store(double* p, typename Lanes<L>::D v) {
  std::memcpy(p, &v, sizeof v);
}
template <int L>
[[gnu::always_inline]] inline typename Lanes<L>::D splat(double x) {
  typename Lanes<L>::D v;
  for (int l = 0; l < L; ++l) v[l] = x;
  return v;
}
template <int L>
[[gnu::always_inline]] inline typename Lanes<L>::M lane_index(size_t first) {
  static constexpr long long kIota[8] = {0, 1, 2, 3, 4, 5, 6, 7};
  typename Lanes<L>::M v;
  std::memcpy(&v, kIota, sizeof v);
  return v + static_cast<long long>(first);
}
// Whether the instruction set selects between vectors (and compares 64-bit
// lanes) in one instruction: AVX2 does; SSE2, the generic path on x86-64,
// takes several, so there the loops touch only the lanes that change.
template <int L>
constexpr bool kBlendLanes = L >= 4;

// Largest lane; the lanes hold no NaN, so the order of comparison is free.
template <int L>
[[gnu::always_inline]] inline double max_lane(typename Lanes<L>::D v) {
  double m = v[0];
  for (int l = 1; l < L; ++l) m = v[l] > m ? v[l] : m;
  return m;
}

// State of one prefix-score pass (see PrefixScorer::stats1).
struct PrefixPass {
  double* fw;  // fine cells: cumulative weight and miss count, nblocks * b
  double* fx;
  double* cw;  // coarse cells, one per block, `padded` entries
  double* cx;
  double* best_fw;  // per block: fine cells of its best node
  double* best_fx;
  double* breakpoint;  // per block: the best node stays best while slope > this
  size_t* best_at;     // per block: the fine index of its best node
  double* values;      // scratch of b node values
  const size_t* rank;  // sorted index of each member, in draw order
  const double* w;     // weight of each member, in draw order
  const double* slope;  // per prefix: (N - k') / NR
  double* out;
  size_t k;
  uint64_t n;
  size_t b;  // nodes per block, a power of two
  unsigned shift;
  size_t nblocks;
  size_t padded;
  double delta;
};

// Block t's best node at `slope`, over all its nodes (the first one of the
// largest value), and the slope down to which it stays best.
//
// Within a block W never decreases with the index (the fine cells receive the
// same additions, later ones a few more, and rounding is monotone). A node p
// with Wp < Wc overtakes the best node c only below (xc - xp) / (Wc - Wp); with
// delta added, v(p) < v(c) - delta holds exactly above the breakpoint, and
// delta exceeds every rounding error of the values and of the translations
// later insertions apply to the whole block (they change only its coarse cell,
// so each node's W stays within an ulp of an exact common translation). A node
// with Wp >= Wc falls further behind as the slope falls; if it is within delta
// of c already (a tie, or the last list position coinciding with the end of
// the list) the block is recomputed at the next query instead.
template <int L>
[[gnu::always_inline]] inline void refresh_block(const PrefixPass& s, size_t t, double slope) {
  using D = typename Lanes<L>::D;
  using M = typename Lanes<L>::M;
  const size_t first = t * s.b, end = first + s.b;
  const D cw = splat<L>(s.cw[t]), cx = splat<L>(s.cx[t]), sl = splat<L>(slope);
  // Per lane the largest value and the first node holding it.
  D acc = splat<L>(-kInf);
  M at = lane_index<L>(first);
  M idx = at;
  for (size_t j = first; j < end; j += L, idx += L) {
    const D v = sl * (load<L>(s.fw + j) + cw) - (load<L>(s.fx + j) + cx);
    store<L>(s.values + (j - first), v);
    const M better = v > acc;
    acc = better ? v : acc;
    at = better ? idx : at;
  }
  const double m = max_lane<L>(acc);
  // The first node of value m, without a data-dependent branch.
  const M first_at = acc == splat<L>(m) ? at : lane_index<L>(0) * 0 + static_cast<long long>(end);
  size_t c = end;
  for (int l = 0; l < L; ++l) {
    const size_t a = static_cast<size_t>(first_at[l]);
    c = a < c ? a : c;
  }
  if (!(m > -kInf)) {
    // No node has a value (NaN slope or weights): recompute at every query.
    s.best_fw[t] = s.fw[first];
    s.best_fx[t] = s.fx[first];
    s.best_at[t] = first;
    s.breakpoint[t] = kInf;
    return;
  }
  const D wc = splat<L>(s.fw[c] + s.cw[t]), xc = splat<L>(s.fx[c] + s.cx[t]);
  const D vc = splat<L>(m), delta = splat<L>(s.delta), one = splat<L>(1.0);
  const D slack = splat<L>(1.0 + 1e-12), inf = splat<L>(kInf), ninf = splat<L>(-kInf);
  const M best = lane_index<L>(0) * 0 + static_cast<long long>(c);
  D bp = ninf;
  // Up to the vector holding c the nodes may lie lower (Wp < Wc); past it W
  // never decreases and only ties can matter.
  const size_t split = (c & ~static_cast<size_t>(L - 1)) + L;
  auto candidate = [&](size_t j) {
    const D w = load<L>(s.fw + j) + cw;
    const D x = load<L>(s.fx + j) + cx;
    const D v = load<L>(s.values + (j - first));
    const D dw = wc - w;
    const M lower = dw > 0.0;
    D r = (xc - x + delta) / (lower ? dw : one) * slack;
    r = r == r ? r : inf;
    const M apart = vc - v >= delta;
    return lower ? r : (apart ? ninf : inf);
  };
  for (size_t j = first; j + L < split; j += L) {
    const D cand = candidate(j);
    bp = cand > bp ? cand : bp;
  }
  {
    // The vector holding c: c itself is no candidate.
    const size_t j = split - L;
    D cand = candidate(j);
    cand = lane_index<L>(j) == best ? ninf : cand;
    bp = cand > bp ? cand : bp;
  }
  for (size_t j = split; j < end; j += L) {
    const M apart = vc - load<L>(s.values + (j - first)) >= delta;
    bp = apart ? bp : inf;
  }
  s.breakpoint[t] = max_lane<L>(bp);
  s.best_fw[t] = s.fw[c];
  s.best_fx[t] = s.fx[c];
  s.best_at[t] = c;
}

// After member j0 joined block t (its fine cells already updated): whether
// the block's best node c is still best at `slope` without a rescan, updating
// its cached cells and breakpoint if so.
//
// It must have been best before the insertion at this slope (slope above the
// breakpoint). The insertion moves the nodes from j0 on by one common
// translation (W + w, x - 1), within the rounding that delta covers, and
// leaves the others alone:
// - j0 <= c: c moves with the nodes from j0 on, so they keep their standing
//   against c; the nodes before j0 fall behind c (c gains w and a hit). For a
//   node with Wp < Wc its ratio (xc - xp + delta) / (Wc - Wp) falls by about
//   1 / (Wc - Wp + w) relative to itself, far more than rounding, so the old
//   breakpoint still bounds it; a node with Wp = Wc before becomes lower
//   with a negative numerator (it was at least delta below c, or the
//   breakpoint is infinite already), bounded by 0.
// - j0 > c: only the nodes from j0 on gain; c stays best if they are all at
//   least delta below it, as a rescan would require of nodes after c. Nodes
//   before j0 keep their breakpoints.
//
// Member j0 of weight w joins block t: W += w, x -= 1 on its fine cells from
// j0 on (the lanes below kept by selection, not by adding zero). Returns
// whether the block's best node stays best without a rescan; in the case
// j0 > c the nodes that gain are checked while they are updated.
template <int L>
[[gnu::always_inline]] inline bool insert_keeping_best(const PrefixPass& s, size_t t, size_t j0,
                                                       double w, double slope) {
  using D = typename Lanes<L>::D;
  using M = typename Lanes<L>::M;
  const bool was_best = slope > s.breakpoint[t];
  const size_t c = s.best_at[t];
  const D add_w = splat<L>(w), add_x = splat<L>(-1.0);
  const M from = lane_index<L>(0) * 0 + static_cast<long long>(j0);
  const size_t end = (t + 1) * s.b;
  const size_t first = t * s.b;
  if (!was_best || j0 <= c) {
    if constexpr (kBlendLanes<L>) {
      // Every vector of the block, those before j0 stored unchanged: a fixed
      // trip count, where one from j0 on would mispredict its exit.
      M idx = lane_index<L>(first);
      for (size_t j = first; j < end; j += L, idx += L) {
        const M hit = idx >= from;
        const D fw = load<L>(s.fw + j), fx = load<L>(s.fx + j);
        store<L>(s.fw + j, hit ? fw + add_w : fw);
        store<L>(s.fx + j, hit ? fx + add_x : fx);
      }
    } else {
      size_t j = j0 & ~static_cast<size_t>(L - 1);
      const M hit = lane_index<L>(j) >= from;
      const D fw = load<L>(s.fw + j), fx = load<L>(s.fx + j);
      store<L>(s.fw + j, hit ? fw + add_w : fw);
      store<L>(s.fx + j, hit ? fx + add_x : fx);
      for (j += L; j < end; j += L) {
        store<L>(s.fw + j, load<L>(s.fw + j) + add_w);
        store<L>(s.fx + j, load<L>(s.fx + j) + add_x);
      }
    }
    if (!was_best) return false;
    s.best_fw[t] = s.fw[c];
    s.best_fx[t] = s.fx[c];
    s.breakpoint[t] = s.breakpoint[t] > 0.0 ? s.breakpoint[t] : 0.0;
    return true;
  }
  const double cw = s.cw[t], cx = s.cx[t];
  const double vc = slope * (s.best_fw[t] + cw) - (s.best_fx[t] + cx);
  const D vcv = splat<L>(vc), delta = splat<L>(s.delta), sl = splat<L>(slope);
  const D cwv = splat<L>(cw), cxv = splat<L>(cx);
  M close = lane_index<L>(0) * 0;
  size_t j = j0 & ~static_cast<size_t>(L - 1);
  {
    const M hit = lane_index<L>(j) >= from;
    D fw = load<L>(s.fw + j), fx = load<L>(s.fx + j);
    fw = hit ? fw + add_w : fw;
    fx = hit ? fx + add_x : fx;
    store<L>(s.fw + j, fw);
    store<L>(s.fx + j, fx);
    const D v = sl * (fw + cwv) - (fx + cxv);
    const M apart = vcv - v >= delta;
    close = hit ? ~apart : close;
  }
  for (j += L; j < end; j += L) {
    const D fw = load<L>(s.fw + j) + add_w, fx = load<L>(s.fx + j) + add_x;
    store<L>(s.fw + j, fw);
    store<L>(s.fx + j, fx);
    const D v = sl * (fw + cwv) - (fx + cxv);
    close |= ~(vcv - v >= delta);
  }
  long long any = 0;
  for (int l = 0; l < L; ++l) any |= close[l];
  return any == 0;
}

// Inserts the members in draw order and scores each prefix.
template <int L>
[[gnu::always_inline]] inline void insert_and_score(const PrefixPass& pass) {
  // A local copy: stores into the cells cannot alias it, so its fields stay
  // in registers.
  const PrefixPass s = pass;
  using D = typename Lanes<L>::D;
  using M = typename Lanes<L>::M;
  const M none = lane_index<L>(0) * 0;
  for (size_t i = 0; i < s.k; ++i) {
    const size_t j0 = s.rank[i];
    const double w = s.w[i];
    const size_t cell = j0 >> s.shift;
    const double nk = static_cast<double>(s.n - (i + 1));
    const double slope = s.slope[i];
    const D sl = splat<L>(slope);

    // The new member's block, rescanned unless its best node stays best.
    if (!insert_keeping_best<L>(s, cell, j0, w, slope)) refresh_block<L>(s, cell, slope);

    // Later blocks move as a whole: W += w, x -= 1 on their coarse cells. In
    // the same pass, every block's best node is valued from the per-block copy
    // of its fine cells; it stays best while the slope is above its breakpoint.
    const D add_w = splat<L>(w), add_x = splat<L>(-1.0);
    const M cell_v = none + static_cast<long long>(cell);
    D acc = splat<L>(0.0);
    M stale = none;
    // The vector of blocks at t, lane indices idx: the blocks after the new
    // member's move, the new member's own is not judged stale here.
    const auto moved_in_part = [&](size_t t, M idx) {
      const M later = idx > cell_v;
      D cw = load<L>(s.cw + t), cx = load<L>(s.cx + t);
      cw = later ? cw + add_w : cw;
      cx = later ? cx + add_x : cx;
      store<L>(s.cw + t, cw);
      store<L>(s.cx + t, cx);
      const D v = sl * (load<L>(s.best_fw + t) + cw) - (load<L>(s.best_fx + t) + cx);
      acc = v > acc ? v : acc;
      const M fresh = sl > load<L>(s.breakpoint + t);
      stale |= idx == cell_v ? none : ~fresh;
    };
    if constexpr (kBlendLanes<L>) {
      // One run over all blocks, the new member's and those before it stored
      // unchanged: a split there would mispredict its loop exits.
      M idx = lane_index<L>(0);
      for (size_t t = 0; t < s.padded; t += L, idx += L) moved_in_part(t, idx);
    } else {
      // Three runs: the vectors before the one holding the new member's block
      // keep their coarse cells, the vectors after it all move.
      const size_t tc = cell & ~static_cast<size_t>(L - 1);
      for (size_t t = 0; t < tc; t += L) {
        const D v = sl * (load<L>(s.best_fw + t) + load<L>(s.cw + t)) -
                    (load<L>(s.best_fx + t) + load<L>(s.cx + t));
        acc = v > acc ? v : acc;
        stale |= ~(sl > load<L>(s.breakpoint + t));
      }
      moved_in_part(tc, lane_index<L>(tc));
      for (size_t t = tc + L; t < s.padded; t += L) {
        const D cw = load<L>(s.cw + t) + add_w, cx = load<L>(s.cx + t) + add_x;
        store<L>(s.cw + t, cw);
        store<L>(s.cx + t, cx);
        const D v = sl * (load<L>(s.best_fw + t) + cw) - (load<L>(s.best_fx + t) + cx);
        acc = v > acc ? v : acc;
        stale |= ~(sl > load<L>(s.breakpoint + t));
      }
    }
    long long any_stale = 0;
    for (int l = 0; l < L; ++l) any_stale |= stale[l];
    if (any_stale != 0) {
      if (s.nblocks <= 64) {
        // The stale blocks as bits, read a vector at a time: one branch per
        // stale block rather than one per block.
        uint64_t bits = 0;
        for (size_t t = 0; t < s.nblocks; t += L) {
          const M st = ~(sl > load<L>(s.breakpoint + t));
          for (int l = 0; l < L; ++l) bits |= static_cast<uint64_t>(st[l] & 1) << (t + l);
        }
        bits &= ~(uint64_t{1} << cell);
        if (s.nblocks < 64) bits &= (uint64_t{1} << s.nblocks) - 1;
        for (; bits != 0; bits &= bits - 1) {
          refresh_block<L>(s, static_cast<size_t>(__builtin_ctzll(bits)), slope);
        }
      } else {
        for (size_t t = 0; t < s.nblocks; ++t) {
          if (t != cell && !(slope > s.breakpoint[t])) refresh_block<L>(s, t, slope);
        }
      }
      acc = splat<L>(0.0);
      for (size_t t = 0; t < s.padded; t += L) {
        const D v = sl * (load<L>(s.best_fw + t) + load<L>(s.cw + t)) -
                    (load<L>(s.best_fx + t) + load<L>(s.cx + t));
        acc = v > acc ? v : acc;
      }
    }
    // The score is the largest value of all blocks' best nodes, the origin's
    // 0 included.
    s.out[i] = max_lane<L>(acc) / nk;
  }
}

[[gnu::flatten]] void insert_and_score_generic(const PrefixPass& s) { insert_and_score<2>(s); }

#if defined(__x86_64__) || defined(__i386__)
#define TARVELO_PREFIX_AVX2 1
__attribute__((target("avx2"), flatten)) void insert_and_score_avx2(const PrefixPass& s) {
  insert_and_score<4>(s);
}
#endif

std::atomic<int> forced_path{static_cast<int>(PrefixPath::kAuto)};

void run_prefix_pass(const PrefixPass& s) {
  PrefixPath path = static_cast<PrefixPath>(forced_path.load(std::memory_order_relaxed));
  if (path == PrefixPath::kAuto) path = cpu::has_avx2() ? PrefixPath::kAvx2 : PrefixPath::kGeneric;
#ifdef TARVELO_PREFIX_AVX2
  // Blocks narrower than the vector (k < 4) take the generic path.
  if (path == PrefixPath::kAvx2 && s.b >= 4) {
    insert_and_score_avx2(s);
    return;
  }
#endif
  insert_and_score_generic(s);
}

}  // namespace

std::vector<size_t> order(std::span<const uint64_t> values) {
  std::vector<size_t> idx;
  sort_indices(values, idx);
  return idx;
}

void PrefixScorer::sort_sample(std::span<const uint64_t> sample, uint64_t n) {
  const size_t k = sample.size();
  if (n <= kBitmapMaxN && n / 64 <= 8 * static_cast<uint64_t>(k) + 64) {
    // The sample is dense enough in 1..N that marking its positions in a
    // bitmap and reading the bits back in order costs less than any sort:
    // one word per 64 positions, one step per member. The bitmap is left
    // all clear for the next call.
    const size_t words = static_cast<size_t>(n / 64 + 1);
    if (bitmap_.size() < words) bitmap_.resize(words, 0);
    if (slot_.size() < n + 1) slot_.resize(static_cast<size_t>(n + 1));
    for (size_t i = 0; i < k; ++i) {
      const uint64_t p = sample[i];
      const uint64_t bit = uint64_t{1} << (p & 63);
      if (p == 0 || p > n || (bitmap_[p >> 6] & bit) != 0) {
        std::fill(bitmap_.begin(), bitmap_.end(), uint64_t{0});
        internal_fault("prefix scores: sample position " + std::to_string(p) +
                       " repeated or outside 1.." + std::to_string(n));
      }
      bitmap_[p >> 6] |= bit;
      slot_[p] = static_cast<uint32_t>(i);
    }
    ord_.resize(k);
    size_t r = 0;
    for (size_t w = 0; w < words; ++w) {
      uint64_t x = bitmap_[w];
      if (x == 0) continue;
      bitmap_[w] = 0;
      for (; x != 0; x &= x - 1) {
        ord_[r++] = slot_[w * 64 + static_cast<size_t>(__builtin_ctzll(x))];
      }
    }
    return;
  }
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
  {
    // The mirrored pass inserts the same weights in the same order: it reuses
    // the weights and slopes of the forward one.
    struct Reuse {
      bool& flag;
      ~Reuse() { flag = false; }
    } reuse{reuse_weights_};
    reuse_weights_ = true;
    stats1(ranks, sample, ord_, true, gsea_param, other_);
  }
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
// or origin before them, so the maximum is taken over all nodes.
//
// The indices are cut into blocks, one per coarse cell of b = 2^shift fine
// cells. An insertion changes the geometry only of the new member's block;
// later blocks move as a whole through their coarse cells. So after each
// insertion the new member's block is rescanned in full, and any other block
// only once the falling slope passes its breakpoint; the remaining blocks'
// best nodes are read from a per-block copy of their fine cells, the values of
// all blocks in a few vector operations.
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
  const size_t nblocks = k / b + 1;
  const size_t padded = (nblocks + kMaxLanes - 1) / kMaxLanes * kMaxLanes;
  // Cells past the end index hold no node: an infinite miss count keeps their
  // values at -inf (or NaN), below every node. The fine cells up to the end
  // index and the coarse cells of the real blocks are all written below, so
  // only the rest is filled here.
  fw_.assign(nblocks * b, 0.0);
  fx_.resize(nblocks * b);
  std::fill(fx_.begin() + static_cast<ptrdiff_t>(k + 1), fx_.end(), kInf);
  cw_.assign(padded, 0.0);
  cx_.resize(padded);
  std::fill(cx_.begin() + static_cast<ptrdiff_t>(nblocks), cx_.end(), kInf);
  best_fw_.assign(padded, 0.0);
  best_fx_.assign(padded, 0.0);
  best_at_.assign(padded, 0);
  // Every block is scanned at the first query; padding blocks never are.
  breakpoint_.resize(padded);
  std::fill(breakpoint_.begin(), breakpoint_.begin() + static_cast<ptrdiff_t>(nblocks), kInf);
  std::fill(breakpoint_.begin() + static_cast<ptrdiff_t>(nblocks), breakpoint_.end(), -kInf);
  values_.resize(b);

  rank_.resize(k);
  {
    // Local pointers: the stores into the cells could otherwise alias the
    // vectors' own pointers, which would then be reloaded at every member.
    const size_t* ordp = ord.data();
    size_t* rank = rank_.data();
    for (size_t r = 0; r < k; ++r) {
      const size_t i = ordp[r];
      if (i >= k) internal_fault("prefix scores: order is not a permutation");
      rank[i] = rev ? k - 1 - r : r;
    }
  }

  // Miss counts before any insertion: the (mirrored) 1-based position of each
  // sorted index, and N at the end index. Adding each gap from its index
  // onward would leave in each coarse cell the position just before the cell
  // and in each fine entry the rest; the values are integers, so they are
  // written directly.
  {
    const size_t* ordp = ord.data();
    const uint64_t* pos = sample.data();
    double* fx = fx_.data();
    double* cx = cx_.data();
    const size_t mask = b - 1;
    uint64_t prev = 0;
    double base = 0.0;
    auto put = [&](size_t r, uint64_t p) {
      if (p <= prev) internal_fault("prefix scores: order does not sort the sample");
      if ((r & mask) == 0) {
        base = static_cast<double>(prev);
        cx[r >> shift] = base;
      }
      fx[r] = static_cast<double>(p) - base;
      prev = p;
    };
    for (size_t r = 0; r < k; ++r) {
      const uint64_t p0 = pos[ordp[rev ? k - 1 - r : r]];
      if (p0 == 0 || p0 > n) internal_fault("prefix scores: sample position outside the list");
      put(r, rev ? n + 1 - p0 : p0);
    }
    // The end index: N stays above every position, so the check never fires.
    if ((k & mask) == 0) {
      base = static_cast<double>(prev);
      cx[k >> shift] = base;
    }
    fx[k] = static_cast<double>(n) - base;
  }

  if (!reuse_weights_) {
    // Weights. Zero (or NaN) weights get a small positive weight so that every
    // set has NR > 0; with integer-scaled ranks that is 1e-5 * 2^-10. The
    // absolute ranks are gathered once, kept in w_ until the floor is known.
    w_.resize(k);
    double* wv = w_.data();
    const uint64_t* pos = sample.data();
    const double* rk = ranks.data();
    double w_min = 1e-5;
    for (size_t i = 0; i < k; ++i) {
      const double a = std::fabs(rk[pos[i] - 1]);
      wv[i] = a;
      if (a != 0.0 && !std::isnan(a) && a < w_min) w_min = a;
    }
    const double w_eps = w_min * 0.0009765625;
    const bool use_pow = !(std::fabs(gsea_param - 1.0) < 1e-15);
    // The slopes ahead of the insertions: each insertion's work depends on its
    // slope, and a division there would stall it at every step.
    slope_.resize(k);
    double* sl = slope_.data();
    double nr = 0.0;
    for (size_t i = 0; i < k; ++i) {
      // fmax(|r|, w_eps), NaN giving w_eps, inline.
      const double a = wv[i];
      double w = a > w_eps ? a : w_eps;
      if (use_pow) w = std::pow(w, gsea_param);
      wv[i] = w;
      nr += w;
      sl[i] = static_cast<double>(n - (i + 1)) / nr;
    }
  }

  PrefixPass pass;
  pass.fw = fw_.data();
  pass.fx = fx_.data();
  pass.cw = cw_.data();
  pass.cx = cx_.data();
  pass.best_fw = best_fw_.data();
  pass.best_fx = best_fx_.data();
  pass.breakpoint = breakpoint_.data();
  pass.best_at = best_at_.data();
  pass.values = values_.data();
  pass.rank = rank_.data();
  pass.w = w_.data();
  pass.slope = slope_.data();
  pass.out = out.data();
  pass.k = k;
  pass.n = n;
  pass.b = b;
  pass.shift = shift;
  pass.nblocks = nblocks;
  pass.padded = padded;
  pass.delta = 1e-9 * (static_cast<double>(n) + 1.0);
  run_prefix_pass(pass);
}

std::vector<PrefixPath> available_prefix_paths() {
  std::vector<PrefixPath> paths = {PrefixPath::kGeneric};
  if (cpu::has_avx2()) paths.push_back(PrefixPath::kAvx2);
  return paths;
}

void force_prefix_path(PrefixPath path) {
  if (path == PrefixPath::kAvx2 && !cpu::has_avx2()) {
    internal_fault("prefix scores: this processor cannot run the AVX2 path");
  }
  forced_path.store(static_cast<int>(path), std::memory_order_relaxed);
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
