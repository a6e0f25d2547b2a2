#include "tarvelo/engine/esruler_compat.hpp"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

#include "tarvelo/base/error.hpp"
#include "tarvelo/base/interrupt.hpp"
#include "tarvelo/base/numeric.hpp"
#include "tarvelo/engine/rng_compat.hpp"

namespace tarvelo::esruler_compat {
namespace {

using i128 = __int128;
using u128 = unsigned __int128;

// ---------------------------------------------------------------------------
// Exact integer arithmetic.
//
// Scores are compared by cross-multiplying three 64-bit factors. For the
// weights the engine produces (summing to about 2^30) every product fits 128
// bits; C128 evaluates in 128 bits and notes any overflow, and only then is the
// expression evaluated again in 256 bits (Wide), where products of three 64-bit
// values and their sums always fit. Either way the comparison is exact.

struct C128 {
  i128 v;
  bool ovf;
};
inline C128 operator*(C128 a, C128 b) {
  C128 r{0, a.ovf || b.ovf};
  r.ovf |= __builtin_mul_overflow(a.v, b.v, &r.v);
  return r;
}
inline C128 operator+(C128 a, C128 b) {
  C128 r{0, a.ovf || b.ovf};
  r.ovf |= __builtin_add_overflow(a.v, b.v, &r.v);
  return r;
}
inline C128 operator-(C128 a, C128 b) {
  C128 r{0, a.ovf || b.ovf};
  r.ovf |= __builtin_sub_overflow(a.v, b.v, &r.v);
  return r;
}

// Signed 256-bit integer, two's complement, little-endian 64-bit limbs. All
// operations are modulo 2^256, which is exact for the values used here.
struct Wide {
  uint64_t w[4];
};
inline Wide operator+(Wide a, Wide b) {
  Wide r;
  u128 carry = 0;
  for (int i = 0; i < 4; ++i) {
    const u128 t = static_cast<u128>(a.w[i]) + b.w[i] + carry;
    r.w[i] = static_cast<uint64_t>(t);
    carry = t >> 64;
  }
  return r;
}
inline Wide operator-(Wide a) {
  Wide r;
  for (int i = 0; i < 4; ++i) r.w[i] = ~a.w[i];
  return r + Wide{{1, 0, 0, 0}};
}
inline Wide operator-(Wide a, Wide b) { return a + (-b); }
inline Wide operator*(Wide a, Wide b) {
  uint64_t r[4] = {0, 0, 0, 0};
  for (int i = 0; i < 4; ++i) {
    u128 carry = 0;
    for (int j = 0; i + j < 4; ++j) {
      const u128 t = static_cast<u128>(a.w[i]) * b.w[j] + r[i + j] + carry;
      r[i + j] = static_cast<uint64_t>(t);
      carry = t >> 64;
    }
  }
  return Wide{{r[0], r[1], r[2], r[3]}};
}
inline bool is_neg(Wide a) { return static_cast<int64_t>(a.w[3]) < 0; }
inline int cmp(Wide a, Wide b) {
  if (a.w[3] != b.w[3]) return static_cast<int64_t>(a.w[3]) < static_cast<int64_t>(b.w[3]) ? -1 : 1;
  for (int i = 2; i >= 0; --i) {
    if (a.w[i] != b.w[i]) return a.w[i] < b.w[i] ? -1 : 1;
  }
  return 0;
}
inline int sign(Wide a) {
  if (is_neg(a)) return -1;
  return (a.w[0] | a.w[1] | a.w[2] | a.w[3]) != 0 ? 1 : 0;
}
inline Wide abs(Wide a) { return is_neg(a) ? -a : a; }

template <class T>
T mk(int64_t v);
template <>
inline C128 mk<C128>(int64_t v) {
  return C128{v, false};
}
template <>
inline Wide mk<Wide>(int64_t v) {
  const uint64_t ext = v < 0 ? ~uint64_t{0} : 0;
  return Wide{{static_cast<uint64_t>(v), ext, ext, ext}};
}

inline int sign64(int64_t v) { return (v > 0) - (v < 0); }

// Left and right side of "a's value is below b's":
// (a.coef * a.n_minus_k + a.rank_sum * (b.misses - a.misses)) * b.rank_sum
//   < b.coef * a.rank_sum * a.n_minus_k.
template <class T>
std::pair<T, T> below_terms(const Gsea& a, const Gsea& b) {
  const T x = (mk<T>(a.coef) * mk<T>(a.n_minus_k) +
               mk<T>(a.rank_sum) * (mk<T>(b.misses) - mk<T>(a.misses))) *
              mk<T>(b.rank_sum);
  const T y = mk<T>(b.coef) * mk<T>(a.rank_sum) * mk<T>(a.n_minus_k);
  return {x, y};
}

bool value_below(const Gsea& a, const Gsea& b) {
  const auto [x, y] = below_terms<C128>(a, b);
  if (!x.ovf && !y.ovf) return x.v < y.v;
  const auto [xw, yw] = below_terms<Wide>(a, b);
  return cmp(xw, yw) < 0;
}

// Sign of coef / rank_sum - misses / n_minus_k (rank_sum != 0).
int value_sign(const Gsea& g) {
  const Wide num = mk<Wide>(g.coef) * mk<Wide>(g.n_minus_k) - mk<Wide>(g.misses) * mk<Wide>(g.rank_sum);
  return sign(num) * sign64(g.rank_sum) * sign64(g.n_minus_k);
}

// -1, 0, 1 as a's value is below, equal to or above b's.
int compare_values(const Gsea& a, const Gsea& b) {
  if (a.rank_sum == 0 || b.rank_sum == 0) {
    // A set of zero weight never leaves the origin: value 0. (Cross-multiplied
    // by a zero rank sum it would compare equal to every set and break the
    // ordering of the sort and of the split.)
    const int sa = a.rank_sum == 0 ? 0 : value_sign(a);
    const int sb = b.rank_sum == 0 ? 0 : value_sign(b);
    return sa < sb ? -1 : sa > sb ? 1 : 0;
  }
  if (value_below(a, b)) return -1;
  if (value_below(b, a)) return 1;
  return 0;
}

// Wrapping addition: the sums of a ruler's weights cannot overflow for the
// weights the engine produces; for absurd weights they wrap (defined) instead of
// being undefined behaviour.
inline int64_t wrap_add(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}
inline int64_t wrap_sub(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
}

// The fields of a set's score that do not depend on its running sum: N - k,
// the weight total (wrapping) and the hash. Coef and misses stay 0, the origin.
LevelEntry score_totals(std::span<const int64_t> weights, std::span<const uint64_t> gene_hash,
                        std::span<const uint64_t> genes) {
  LevelEntry e;
  Gsea& g = e.gsea;
  g.n_minus_k = static_cast<int64_t>(weights.size()) - static_cast<int64_t>(genes.size());
  int64_t r = 0;
  uint64_t hash = 0;
  for (uint64_t x : genes) {
    r = wrap_add(r, weights[x]);
    hash ^= gene_hash[x];
  }
  g.rank_sum = r;
  g.set_hash = hash;
  return e;
}

// Exact score for any i64 weights (256-bit where needed).
LevelEntry score_generic(std::span<const int64_t> weights, std::span<const uint64_t> gene_hash,
                         std::span<const uint64_t> genes) {
  const int64_t k = static_cast<int64_t>(genes.size());
  LevelEntry e = score_totals(weights, gene_hash, genes);
  Gsea& g = e.gsea;
  const int64_t r = g.rank_sum;
  const int r_sign = sign64(r);
  const Wide rw = mk<Wide>(r);
  const Wide nkw = mk<Wide>(g.n_minus_k);
  int64_t cb = 0, mb = 0;
  int64_t cum = 0;
  Wide extreme = mk<Wide>(0);  // numerator of the two-sided extreme point
  for (int64_t i = 0; i < k; ++i) {
    const int64_t m = static_cast<int64_t>(genes[i]) - i;
    const Wide before = mk<Wide>(cum) * nkw - mk<Wide>(m) * rw;
    if (cmp(abs(before), abs(extreme)) > 0) extreme = before;
    cum = wrap_add(cum, weights[genes[i]]);
    const Wide after = mk<Wide>(cum) * nkw - mk<Wide>(m) * rw;
    if (cmp(abs(after), abs(extreme)) > 0) extreme = after;
    // (cum - cb) * R * (N - k) + (mb - m) * R^2 > 0, i.e. R * D > 0.
    const Wide d = (mk<Wide>(cum) - mk<Wide>(cb)) * nkw + (mk<Wide>(mb) - mk<Wide>(m)) * rw;
    if (sign(d) * r_sign > 0) {
      cb = cum;
      mb = m;
    }
  }
  g.coef = cb;
  g.misses = mb;
  e.es_nonneg = r == 0 || g.n_minus_k == 0 || sign(extreme) * r_sign * sign64(g.n_minus_k) >= 0;
  return e;
}

// The same score when every weight is >= 0 and N times the weight total is
// below 2^62: every point numerator cum * (N - k) - m * R fits 64 bits, and with
// R > 0 the replacement test reduces to comparing numerators.
LevelEntry score_fast(std::span<const int64_t> weights, std::span<const uint64_t> gene_hash,
                      std::span<const uint64_t> genes) {
  const int64_t k = static_cast<int64_t>(genes.size());
  LevelEntry e = score_totals(weights, gene_hash, genes);
  Gsea& g = e.gsea;
  const int64_t r = g.rank_sum;
  if (r == 0) return e;  // never leaves the origin; es_nonneg true
  const int64_t nk = g.n_minus_k;
  int64_t cb = 0, mb = 0, best = 0;
  int64_t cum = 0;
  int64_t extreme = 0;
  for (int64_t i = 0; i < k; ++i) {
    const int64_t m = static_cast<int64_t>(genes[i]) - i;
    const int64_t mr = m * r;
    const int64_t before = cum * nk - mr;
    if (std::abs(before) > std::abs(extreme)) extreme = before;
    cum += weights[genes[i]];
    const int64_t after = cum * nk - mr;
    if (std::abs(after) > std::abs(extreme)) extreme = after;
    if (after > best) {
      best = after;
      cb = cum;
      mb = m;
    }
  }
  g.coef = cb;
  g.misses = mb;
  e.es_nonneg = extreme >= 0;
  return e;
}

// Memory the sets of a ruler need, in bytes; saturates.
uint64_t sets_bytes(uint64_t s, uint64_t k) {
  u128 per_set = static_cast<u128>(k) * sizeof(uint64_t) * 3 + 4 * sizeof(std::vector<uint64_t>) +
                 sizeof(LevelEntry) * 2;
  u128 total = per_set * s;
  return total > std::numeric_limits<uint64_t>::max() ? std::numeric_limits<uint64_t>::max()
                                                      : static_cast<uint64_t>(total);
}

uint64_t physical_memory() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page <= 0) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(page);
}

}  // namespace

bool Gsea::lt_cpp(const Gsea& a, const Gsea& b) {
  const int c = compare_values(a, b);
  if (c != 0) return c < 0;
  return a.set_hash < b.set_hash;
}

bool Gsea::reaches(int64_t xf) const {
  if (rank_sum == 0) return xf <= 0;
  const auto terms = [&](auto tag) {
    using T = decltype(tag);
    const T lhs = (mk<T>(coef) * mk<T>(n_minus_k) - mk<T>(misses) * mk<T>(rank_sum)) *
                  mk<T>(int64_t{1} << 30);
    const T rhs = mk<T>(xf) * mk<T>(rank_sum) * mk<T>(n_minus_k);
    return std::pair<T, T>{lhs, rhs};
  };
  const auto [l, r] = terms(C128{});
  if (!l.ovf && !r.ovf) return l.v >= r.v;
  const auto [lw, rw] = terms(Wide{});
  return cmp(lw, rw) >= 0;
}

LevelEntry score_set(std::span<const int64_t> weights, std::span<const uint64_t> gene_hash,
                     std::span<const uint64_t> genes) {
  return score_generic(weights, gene_hash, genes);
}

EsRulerCompat::EsRulerCompat(std::vector<int64_t> weights, uint64_t sample_size, uint64_t k)
    : weights_(std::move(weights)), sample_size_(sample_size), k_(k) {
  gene_hash_.assign(weights_.size(), 0);
  // The fast paths need every point numerator to fit 64 bits.
  u128 total = 0;
  bool nonneg = true;
  for (int64_t w : weights_) {
    if (w < 0) nonneg = false;
    total += static_cast<u128>(w < 0 ? 0 : w);
  }
  const u128 n = std::max<u128>(weights_.size(), 1);
  fast_ok_ = nonneg && total < (u128{1} << 62) && total * n < (u128{1} << 62);
}

[[gnu::always_inline]] inline uint64_t EsRulerCompat::chunk_of(uint64_t gene) const {
  // The first chunk whose bound exceeds the gene (the bounds ascend); a
  // branch-free count over a handful of chunks.
  const uint64_t* last = chunk_last_.data();
  const uint64_t top = chunk_last_.size() - 1;
  uint64_t c = 0;
  for (uint64_t i = 0; i < top; ++i) c += last[i] <= gene;
  return c;
}

bool EsRulerCompat::resample_genesets(rng_compat::Mt19937& gen) {
  const uint64_t s = sets_.size();
  if (s == 0) return false;
  struct Entry {
    LevelEntry e;
    uint64_t index;
  };
  std::vector<Entry> entries(s);
  const bool fast = fast_ok_ && !force_naive_;
  for (uint64_t i = 0; i < s; ++i) {
    entries[i].e = fast ? score_fast(weights_, gene_hash_, sets_[i])
                        : score_generic(weights_, gene_hash_, sets_[i]);
    entries[i].index = i;
  }
  std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    if (Gsea::lt_cpp(a.e.gsea, b.e.gsea)) return true;
    if (Gsea::lt_cpp(b.e.gsea, a.e.gsea)) return false;
    if (a.e.es_nonneg != b.e.es_nonneg) return !a.e.es_nonneg;
    return a.index < b.index;
  });

  // The split: the entries strictly below the middle one. When there are none
  // (the lower half ties with the middle), everything above the lowest entry.
  const Gsea mid = entries[s / 2].e.gsea;
  uint64_t split = 0;
  for (const Entry& x : entries) split += Gsea::lt_cpp(x.e.gsea, mid) ? 1 : 0;
  if (split == 0) {
    const Gsea first = entries[0].e.gsea;
    uint64_t j = 1;
    while (j < s && !Gsea::lt_cpp(first, entries[j].e.gsea)) ++j;
    if (j == s) return false;
    split = j;
  }

  Level level;
  level.below.reserve(split);
  level.above.reserve(s - split);
  for (uint64_t i = 0; i < split; ++i) level.below.push_back(entries[i].e);
  for (uint64_t i = split; i < s; ++i) level.above.push_back(entries[i].e);
  level.bound = entries[split - 1].e.gsea;

  std::vector<std::vector<uint64_t>> next(s);
  const uint32_t upper = static_cast<uint32_t>(s - split);
  for (uint64_t i = 0; i < split; ++i) {
    const uint32_t r = gen.uniform_below(upper);
    next[i] = sets_[entries[split + r].index];
  }
  for (uint64_t i = split; i < s; ++i) next[i] = sets_[entries[i].index];
  sets_ = std::move(next);
  levels_.push_back(std::move(level));
  last_split_ = split;
  return true;
}

int32_t EsRulerCompat::perturbate(uint64_t k, SampleChunks& chunks, const Gsea& bound,
                                  rng_compat::Mt19937& gen) {
  if (fast_ok_ && !force_naive_) return perturbate_fast(k, chunks, bound, gen);
  return perturbate_naive(k, chunks, bound, gen);
}

namespace {

struct Position {
  uint64_t chunk;
  uint64_t index;
};

// The chunk and index of position p when the chunks are read one after another.
inline Position locate(const SampleChunks& chunks, uint64_t p) {
  uint64_t c = 0;
  while (c + 1 < chunks.genes.size() && p >= chunks.genes[c].size()) {
    p -= chunks.genes[c].size();
    ++c;
  }
  if (p >= chunks.genes[c].size()) internal_fault("ruler chunk position out of range");
  return {c, p};
}

int32_t attempts_for(uint64_t k) {
  return std::max<int32_t>(saturating_cast<int32_t>(static_cast<double>(k) * 0.1), 1);
}

// std::lower_bound over the ascending g[0, size) as an index, without the
// data-dependent branches that make the search of a short chunk for a random
// gene mispredict on every step.
inline size_t lower_index(const uint64_t* g, size_t size, uint64_t y) {
  if (size == 0) return 0;
  const uint64_t* base = g;
  while (size > 1) {
    const size_t half = size / 2;
    base = base[half] < y ? base + half : base;
    size -= half;
  }
  return static_cast<size_t>(base - g) + (*base < y ? 1 : 0);
}

}  // namespace

// Reference: rescores the whole set after every swap.
int32_t EsRulerCompat::perturbate_naive(uint64_t k, SampleChunks& chunks, const Gsea& bound,
                                        rng_compat::Mt19937& gen) {
  const int32_t attempts = attempts_for(k);
  const uint32_t n = static_cast<uint32_t>(weights_.size());
  std::vector<uint64_t> flat;
  int32_t accepted = 0;
  for (int32_t a = 0; a < attempts; ++a) {
    const uint32_t p = gen.uniform_below(static_cast<uint32_t>(k));
    const Position pos = locate(chunks, p);
    auto& from = chunks.genes[pos.chunk];
    const uint64_t old = from[pos.index];
    const uint64_t y = gen.uniform_below(n);
    const uint64_t cy = chunk_of(y);
    auto& to = chunks.genes[cy];
    if (std::binary_search(to.begin(), to.end(), y)) {
      if (y == old) ++accepted;
      continue;
    }
    from.erase(from.begin() + static_cast<ptrdiff_t>(pos.index));
    const auto at = std::lower_bound(to.begin(), to.end(), y);
    const ptrdiff_t iy = at - to.begin();
    to.insert(at, y);
    chunks.sum[pos.chunk] = wrap_sub(chunks.sum[pos.chunk], weights_[old]);
    chunks.sum[cy] = wrap_add(chunks.sum[cy], weights_[y]);

    flat.clear();
    for (const auto& g : chunks.genes) flat.insert(flat.end(), g.begin(), g.end());
    const LevelEntry e = score_generic(weights_, gene_hash_, flat);
    if (Gsea::lt_cpp(bound, e.gsea)) {
      ++accepted;
      chunks.rank_sum = e.gsea.rank_sum;
      chunks.set_hash = e.gsea.set_hash;
    } else {
      to.erase(to.begin() + iy);
      from.insert(from.begin() + static_cast<ptrdiff_t>(pos.index), old);
      chunks.sum[pos.chunk] = wrap_add(chunks.sum[pos.chunk], weights_[old]);
      chunks.sum[cy] = wrap_sub(chunks.sum[cy], weights_[y]);
    }
  }
  return accepted;
}

// The hot loop of the multilevel mode. A move is kept exactly when the bound is
// below the changed set in lt_cpp order, i.e. when some point of the set's
// running sum (the origin or the point just after a hit) "beats" the bound: its
// value is greater, or equal with the set's hash greater than the bound's. With
// point numerator V = cum * (N - k) - m * R and the bound's Nb = cb * (N - k) -
// mb * Rb, that is V * Rb > Nb * R (or >= when the hash is greater): one
// 64x64->128 multiply per point. The swap is decided before the set is touched
// (most swaps deep in the ladder are refused), reading the chunks as if the old
// gene were gone and the new one in place. Two shortcuts find a beating point
// quickly:
//  - peak cache: the last point found to beat the bound is corrected for each
//    swap and tried first;
//  - chunk skip: the point made of all weight up to the end of a chunk at the
//    misses before its first gene bounds every point inside the chunk from
//    above; a chunk whose bound does not beat the bound is skipped whole.
int32_t EsRulerCompat::perturbate_fast(uint64_t k, SampleChunks& chunks, const Gsea& bound,
                                       rng_compat::Mt19937& gen) {
  const int32_t attempts = attempts_for(k);
  const rng_compat::UniformBelow draw_position(static_cast<uint32_t>(k));
  const rng_compat::UniformBelow draw_gene(static_cast<uint32_t>(weights_.size()));
  const int64_t nk = static_cast<int64_t>(weights_.size() - k);
  const int64_t* w = weights_.data();
  const uint64_t* h = gene_hash_.data();
  const size_t nchunks = chunks.genes.size();

  // The bound as a fraction Nb / (Rb * nk); a zero-weight bound has value 0.
  int64_t bound_num = 0;
  int64_t bound_r = 1;
  if (bound.rank_sum != 0) {
    bound_num = bound.coef * nk - bound.misses * bound.rank_sum;
    bound_r = bound.rank_sum;
  }

  int64_t r = chunks.rank_sum;
  uint64_t hash = chunks.set_hash;

  struct Peak {
    bool valid = false;
    uint64_t gene = 0;
    int64_t misses = 0;
    int64_t cum = 0;
  } peak;

  int32_t accepted = 0;
  for (int32_t a = 0; a < attempts; ++a) {
    const uint32_t p = draw_position(gen);
    const Position pos = locate(chunks, p);
    const uint64_t old = chunks.genes[pos.chunk][pos.index];
    const uint64_t y = draw_gene(gen);
    const uint64_t cy = chunk_of(y);
    const auto& to = chunks.genes[cy];
    const size_t at = lower_index(to.data(), to.size(), y);
    if (at != to.size() && to[at] == y) {
      if (y == old) ++accepted;
      continue;
    }

    const int64_t r_new = r - w[old] + w[y];
    const uint64_t hash_new = hash ^ h[old] ^ h[y];
    Peak cand = peak;
    if (cand.valid) {
      if (old == cand.gene) {
        cand.valid = false;
      } else {
        if (old < cand.gene) {
          cand.cum -= w[old];
          cand.misses += 1;
        }
        if (y < cand.gene) {
          cand.cum += w[y];
          cand.misses -= 1;
        }
      }
    }

    bool keep = false;
    const bool hash_gt = hash_new > bound.set_hash;
    if (r_new == 0) {
      // All zero weights: value 0, equal to a bound of value 0.
      keep = bound_num == 0 && hash_gt;
    } else {
      // V * Rb >= T is V * Rb > T - 1 for integers: one comparison either way.
      const i128 thresh = static_cast<i128>(bound_num) * r_new - (hash_gt ? 1 : 0);
      const auto beats = [&](int64_t v) { return static_cast<i128>(v) * bound_r > thresh; };
      if (cand.valid && beats(cand.cum * nk - cand.misses * r_new)) {
        keep = true;
      } else if (beats(0)) {
        keep = true;  // the origin
      } else {
        cand.valid = false;
        int64_t cum_before = 0;
        int64_t idx_before = 0;
        for (size_t c = 0; c < nchunks && !keep; ++c) {
          const auto& genes = chunks.genes[c];
          const uint64_t* g = genes.data();
          const size_t size = genes.size();
          // The chunk as it would be after the swap: without the old gene
          // (position skip), with y merged in at its place.
          const size_t skip = c == pos.chunk ? pos.index : SIZE_MAX;
          const bool has_y = c == cy;
          int64_t sum = chunks.sum[c];
          if (skip != SIZE_MAX) sum -= w[old];
          if (has_y) sum += w[y];
          const size_t new_size = size - (skip != SIZE_MAX) + has_y;
          if (new_size == 0) continue;
          uint64_t first = UINT64_MAX;
          const size_t first_index = skip == 0 ? 1 : 0;
          if (first_index < size) first = g[first_index];
          if (has_y && y < first) first = y;
          const int64_t m_first = static_cast<int64_t>(first) - idx_before;
          const int64_t m_first_r = m_first * r_new;
          if (!beats((cum_before + sum) * nk - m_first_r)) {
            // Skip the chunk. No later point has more weight than the whole
            // set or fewer misses than this chunk's first: when even that
            // point does not beat the bound, nothing after it does.
            if (!beats(r_new * nk - m_first_r)) break;
          } else {
            int64_t cum = cum_before;
            int64_t idx = idx_before;
            size_t j = 0;
            bool pending_y = has_y;
            while (true) {
              if (j == skip) ++j;
              uint64_t next;
              if (pending_y && (j >= size || y < g[j])) {
                next = y;
                pending_y = false;
              } else if (j < size) {
                next = g[j++];
              } else {
                break;
              }
              cum += w[next];
              const int64_t m = static_cast<int64_t>(next) - idx;
              ++idx;
              if (beats(cum * nk - m * r_new)) {
                cand = Peak{true, next, m, cum};
                keep = true;
                break;
              }
            }
          }
          cum_before += sum;
          idx_before += static_cast<int64_t>(new_size);
        }
      }
    }

    if (!keep) continue;
    ++accepted;
    auto& from = chunks.genes[pos.chunk];
    from.erase(from.begin() + static_cast<ptrdiff_t>(pos.index));
    auto& into = chunks.genes[cy];
    // Removing the old gene shifts y's place only when both share the chunk.
    const size_t y_at = cy == pos.chunk && pos.index < at ? at - 1 : at;
    into.insert(into.begin() + static_cast<ptrdiff_t>(y_at), y);
    chunks.sum[pos.chunk] -= w[old];
    chunks.sum[cy] += w[y];
    r = r_new;
    hash = hash_new;
    peak = cand;
  }
  chunks.rank_sum = r;
  chunks.set_hash = hash;
  return accepted;
}

void EsRulerCompat::extend(uint32_t seed, double es, double eps) {
  const uint64_t n = weights_.size();
  const uint64_t s = sample_size_;
  const uint64_t k = k_;
  if (k == 0 || n <= k || s == 0) internal_fault("multilevel ruler needs 1 <= k < N and S >= 1");
  if (sets_bytes(s, k) > physical_memory() || s > sets_.max_size()) throw std::bad_alloc();

  rng_compat::Mt19937 gen = rng_compat::Mt19937::seed(seed);
  for (uint64_t i = 0; i < n; ++i) gene_hash_[i] = gen.next_u32();
  sets_.assign(s, {});
  for (uint64_t i = 0; i < s; ++i) {
    rng_compat::combination(0, n - 1, k, gen, sets_[i]);
    std::sort(sets_[i].begin(), sets_[i].end());
  }
  resample_genesets(gen);

  chunks_ = std::max<uint64_t>(saturating_cast<uint64_t>(std::floor(std::sqrt(static_cast<double>(k)))), 1);
  chunks_ = std::min(chunks_, k);
  chunk_last_.assign(chunks_, 0);
  chunk_last_.back() = n;

  const int64_t esf = saturating_cast<int64_t>(es * 1073741824.0);
  const double log_eps = std::log(eps);
  double depth = 0.0;
  std::vector<SampleChunks> split_sets(s);
  std::vector<uint64_t> column(s);

  while (!levels_.empty()) {
    interrupt::checkpoint();
    const Level& last = levels_.back();
    if (last.bound.reaches(esf)) break;
    for (uint64_t i = last.above.size() + 1; i <= s; ++i) depth += -1.0 / static_cast<double>(i);
    if (eps != 0.0 && depth < log_eps) break;
    const Gsea bound = last.bound;

    // Chunk bounds: the median over the sets of the gene where each chunk
    // starts, so that chunks hold about sqrt(k) genes each.
    uint64_t idx = 0;
    for (uint64_t c = 0; c + 1 < chunks_; ++c) {
      idx += (k + c) / chunks_;
      for (uint64_t i = 0; i < s; ++i) column[i] = sets_[i][idx];
      std::nth_element(column.begin(), column.begin() + static_cast<ptrdiff_t>(s / 2), column.end());
      chunk_last_[c] = column[s / 2];
    }
    for (uint64_t i = 0; i < s; ++i) {
      SampleChunks& sc = split_sets[i];
      sc.sum.assign(chunks_, 0);
      sc.genes.resize(chunks_);
      for (auto& g : sc.genes) g.clear();
      sc.rank_sum = 0;
      sc.set_hash = 0;
      uint64_t c = 0;
      for (uint64_t g : sets_[i]) {
        while (c + 1 < chunks_ && chunk_last_[c] <= g) ++c;
        sc.genes[c].push_back(g);
        sc.sum[c] = wrap_add(sc.sum[c], weights_[g]);
        sc.rank_sum = wrap_add(sc.rank_sum, weights_[g]);
        sc.set_hash ^= gene_hash_[g];
      }
    }

    const int32_t target = saturating_cast<int32_t>(moves_scale_ * static_cast<double>(s) *
                                                    static_cast<double>(k) * 0.5);
    if (target > 0) {
      int64_t moves = 0;
      uint64_t passes = 0;
      while (true) {
        interrupt::checkpoint();
        for (uint64_t i = 0; i < s; ++i) moves += perturbate(k, split_sets[i], bound, gen);
        ++passes;
        if (moves >= target) break;
      }
      for (uint64_t pass = 0; pass < passes; ++pass) {
        for (uint64_t i = 0; i < s; ++i) perturbate(k, split_sets[i], bound, gen);
      }
    }

    for (uint64_t i = 0; i < s; ++i) {
      auto& set = sets_[i];
      set.clear();
      for (const auto& g : split_sets[i].genes) set.insert(set.end(), g.begin(), g.end());
    }
    if (!resample_genesets(gen)) break;
  }
}

}  // namespace tarvelo::esruler_compat
