#include "tarvelo/engine/esruler_compat.hpp"

#include <unistd.h>

#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <thread>

#include "tarvelo/base/cpu.hpp"
#include "tarvelo/base/error.hpp"
#include "tarvelo/base/interrupt.hpp"
#include "tarvelo/base/numeric.hpp"
#include "tarvelo/base/pool.hpp"
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

// Slots after each set's genes, all holding the pad (UINT16_MAX or
// UINT32_MAX, above every gene): count_below may read a whole window past the
// last gene.
constexpr uint64_t kSetPad = 16;
// Bytes left unused after each set's entries in the per-set arrays: a cache
// line, so that neighbouring sets, moved by different tasks on different
// cores, never write to one line.
constexpr uint64_t kGapBytes = 64;

// The number of genes below y from g on, where g ascends up to a gene above y
// (the pad guarantees one). Sixteen at a time: the genes below y are a prefix
// of each window, so the count is where the comparison mask first has a zero.
// SSE2 compares signed lanes: both sides are shifted by 2^15 or 2^31.
template <class G>
inline size_t count_below(const G* g, uint32_t y) {
  constexpr bool kNarrow = sizeof(G) == 2;
  const __m128i bias = kNarrow ? _mm_set1_epi16(std::numeric_limits<int16_t>::min())
                               : _mm_set1_epi32(std::numeric_limits<int32_t>::min());
  const __m128i yv = _mm_xor_si128(
      kNarrow ? _mm_set1_epi16(static_cast<int16_t>(y)) : _mm_set1_epi32(static_cast<int32_t>(y)), bias);
  size_t below = 0;
  while (true) {
    const auto lt = [&](int v) {
      const __m128i x = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(g) + v), bias);
      return kNarrow ? _mm_cmplt_epi16(x, yv) : _mm_cmplt_epi32(x, yv);
    };
    const __m128i packed = kNarrow ? _mm_packs_epi16(lt(0), lt(1))
                                   : _mm_packs_epi16(_mm_packs_epi32(lt(0), lt(1)),
                                                     _mm_packs_epi32(lt(2), lt(3)));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(packed));
    if (mask != 0xFFFF) return below + static_cast<size_t>(__builtin_ctz(~mask));
    below += 16;
    g += 16;
  }
}

// After a swap that took a gene out of chunk pc and put one into chunk cy: the
// counts before the chunks after the lower and up to the higher of the two
// drop by one (pc < cy) or grow by one. All `stride` counts (a multiple of 4)
// are visited four at a time, so no branch depends on the chunks' distance.
inline void shift_prefix(uint32_t* pre, uint64_t stride, uint64_t pc, uint64_t cy) {
  const __m128i lo = _mm_set1_epi32(static_cast<int32_t>(std::min(pc, cy)));
  const __m128i hi = _mm_set1_epi32(static_cast<int32_t>(std::max(pc, cy)));
  const __m128i step = _mm_set1_epi32(pc > cy ? 1 : -1);
  __m128i idx = _mm_setr_epi32(0, 1, 2, 3);
  for (uint64_t c = 0; c < stride; c += 4) {
    __m128i* at = reinterpret_cast<__m128i*>(pre + c);
    const __m128i between = _mm_andnot_si128(_mm_cmpgt_epi32(idx, hi), _mm_cmpgt_epi32(idx, lo));
    _mm_storeu_si128(at, _mm_add_epi32(_mm_loadu_si128(at), _mm_and_si128(between, step)));
    idx = _mm_add_epi32(idx, _mm_set1_epi32(4));
  }
}

// count_below, 32 genes of 16 bits or 16 of 32 per step: a window may end 31
// slots past the pad's first, within the pad and the gap after it.
template <class G>
__attribute__((target("avx2"))) inline size_t count_below_avx2(const G* g, uint32_t y) {
  const __m256i* at = reinterpret_cast<const __m256i*>(g);
  size_t below = 0;
  if constexpr (sizeof(G) == 2) {
    const __m256i bias = _mm256_set1_epi16(std::numeric_limits<int16_t>::min());
    const __m256i yv = _mm256_xor_si256(_mm256_set1_epi16(static_cast<int16_t>(y)), bias);
    while (true) {
      // Two mask bits per gene.
      const __m256i x0 = _mm256_xor_si256(_mm256_loadu_si256(at), bias);
      const __m256i x1 = _mm256_xor_si256(_mm256_loadu_si256(at + 1), bias);
      const uint64_t mask = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpgt_epi16(yv, x0))) |
                            static_cast<uint64_t>(static_cast<uint32_t>(
                                _mm256_movemask_epi8(_mm256_cmpgt_epi16(yv, x1))))
                                << 32;
      if (mask != ~uint64_t{0}) return below + static_cast<size_t>(__builtin_ctzll(~mask)) / 2;
      below += 32;
      at += 2;
    }
  } else {
    const __m256i bias = _mm256_set1_epi32(std::numeric_limits<int32_t>::min());
    const __m256i yv = _mm256_xor_si256(_mm256_set1_epi32(static_cast<int32_t>(y)), bias);
    while (true) {
      const __m256i x0 = _mm256_xor_si256(_mm256_loadu_si256(at), bias);
      const __m256i x1 = _mm256_xor_si256(_mm256_loadu_si256(at + 1), bias);
      const unsigned mask =
          static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(yv, x0)))) |
          static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(yv, x1))))
              << 8;
      if (mask != 0xFFFF) return below + static_cast<size_t>(__builtin_ctz(~mask));
      below += 16;
      at += 2;
    }
  }
}

// shift_prefix, eight counts at a time (the counts are a multiple of four: a
// last four are done alone rather than writing into the gap).
__attribute__((target("avx2"))) inline void shift_prefix_avx2(uint32_t* pre, uint64_t stride, uint64_t pc,
                                                              uint64_t cy) {
  const __m256i lo = _mm256_set1_epi32(static_cast<int32_t>(std::min(pc, cy)));
  const __m256i hi = _mm256_set1_epi32(static_cast<int32_t>(std::max(pc, cy)));
  const __m256i step = _mm256_set1_epi32(pc > cy ? 1 : -1);
  __m256i idx = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  uint64_t c = 0;
  for (; c + 8 <= stride; c += 8) {
    __m256i* at = reinterpret_cast<__m256i*>(pre + c);
    const __m256i between =
        _mm256_andnot_si256(_mm256_cmpgt_epi32(idx, hi), _mm256_cmpgt_epi32(idx, lo));
    _mm256_storeu_si256(at, _mm256_add_epi32(_mm256_loadu_si256(at), _mm256_and_si256(between, step)));
    idx = _mm256_add_epi32(idx, _mm256_set1_epi32(8));
  }
  if (c < stride) {
    __m128i* at = reinterpret_cast<__m128i*>(pre + c);
    const __m128i i4 = _mm256_castsi256_si128(idx);
    const __m128i between = _mm_andnot_si128(_mm_cmpgt_epi32(i4, _mm256_castsi256_si128(hi)),
                                             _mm_cmpgt_epi32(i4, _mm256_castsi256_si128(lo)));
    _mm_storeu_si128(at, _mm_add_epi32(_mm_loadu_si128(at),
                                       _mm_and_si128(between, _mm256_castsi256_si128(step))));
  }
}

int32_t attempts_for(uint64_t k) {
  return std::max<int32_t>(saturating_cast<int32_t>(static_cast<double>(k) * 0.1), 1);
}

// Memory the sets of a ruler need, in bytes; saturates. Per set: the sorted
// sets and their copies while resampling, the chunked layout (k slots, a pad,
// the chunk entries and the gaps) and two passes of draws.
uint64_t sets_bytes(uint64_t s, uint64_t k, uint64_t n) {
  const u128 chunks = std::max<uint64_t>(static_cast<uint64_t>(std::sqrt(static_cast<double>(k))), 1);
  const u128 slots = static_cast<u128>(k) + kSetPad + kGapBytes / sizeof(uint16_t);
  const u128 per_set = static_cast<u128>(k) * sizeof(uint64_t) * 2 + slots * sizeof(uint32_t) +
                       (chunks + 4) * sizeof(uint32_t) + chunks * sizeof(int64_t) * 3 + kGapBytes * 4 +
                       static_cast<u128>(attempts_for(k)) * 4 * sizeof(uint32_t) +
                       4 * sizeof(std::vector<uint64_t>) + sizeof(LevelEntry) * 2;
  const u128 total = per_set * s + static_cast<u128>(n) * sizeof(uint16_t);
  return total > std::numeric_limits<uint64_t>::max() ? std::numeric_limits<uint64_t>::max()
                                                      : static_cast<uint64_t>(total);
}

// Below this many attempts a pass runs on the calling thread: handing it out
// would cost more than it saves.
constexpr uint64_t kParallelPassAttempts = 1024;

// Runs f(i) for every set i, on all threads of the current arena when the sets
// are large enough (about `per_set` steps each) to be worth it. The sets are
// independent, so the result does not depend on the threads.
template <class F>
void for_each_set(uint64_t s, uint64_t per_set, F&& f) {
  if (pool::current_threads() < 2 || s < 2 || s * per_set < (uint64_t{1} << 14)) {
    for (uint64_t i = 0; i < s; ++i) f(i);
    return;
  }
  const uint64_t tasks = std::min<uint64_t>(s, pool::current_threads() * 4);
  pool::parallel_for_index(static_cast<size_t>(tasks), [&](size_t t) {
    interrupt::checkpoint();
    for (uint64_t i = t * s / tasks; i < (t + 1) * s / tasks; ++i) f(i);
  });
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

bool EsRulerCompat::resample_genesets(rng_compat::Mt19937& gen) {
  const uint64_t s = sets_.size();
  if (s == 0) return false;
  struct Entry {
    LevelEntry e;
    uint64_t index;
    // The value in double and a bound of its rounding error (see below).
    double approx = 0.0;
    double slack = 0.0;
  };
  std::vector<Entry> entries(s);
  const bool fast = fast_ok_ && !force_naive_;
  const bool scored = scores_ready_ && scores_.size() == s;
  scores_ready_ = false;
  if (scored) {
    for (uint64_t i = 0; i < s; ++i) entries[i] = Entry{scores_[i], i};
  } else {
    for_each_set(s, sets_[0].size(), [&](uint64_t i) {
      entries[i].e = fast ? score_fast(weights_, gene_hash_, sets_[i])
                          : score_generic(weights_, gene_hash_, sets_[i]);
      entries[i].index = i;
    });
  }
  // The exact order cross-multiplies in 128 bits, several times per pair. With
  // weights >= 0 and a positive weight total, a score is the plain fraction
  // coef / R - misses / (N - k), which double arithmetic gets within a few
  // units in the last place (four roundings); two scores whose doubles lie
  // further apart than 1e-9 of their terms are ordered by the doubles, and
  // only the others by the exact comparison. So the order is exactly lt_cpp's.
  if (fast) {
    for (Entry& x : entries) {
      const Gsea& g = x.e.gsea;
      if (g.rank_sum == 0) continue;  // value 0
      const double t1 = static_cast<double>(g.coef) / static_cast<double>(g.rank_sum);
      const double t2 = static_cast<double>(g.misses) / static_cast<double>(g.n_minus_k);
      x.approx = t1 - t2;
      x.slack = 1e-9 * (std::fabs(t1) + std::fabs(t2));
    }
  }
  // -1, 0, 1 as a's score is below, equal to or above b's.
  const auto compare = [fast](const Entry& a, const Entry& b) {
    if (fast) {
      if (a.approx + a.slack < b.approx - b.slack) return -1;
      if (b.approx + b.slack < a.approx - a.slack) return 1;
    }
    return compare_values(a.e.gsea, b.e.gsea);
  };
  // Gsea::lt_cpp: by score, then by set hash.
  const auto less = [&](const Entry& a, const Entry& b) {
    const int c = compare(a, b);
    return c != 0 ? c < 0 : a.e.gsea.set_hash < b.e.gsea.set_hash;
  };
  std::stable_sort(entries.begin(), entries.end(), [&](const Entry& a, const Entry& b) {
    const int c = compare(a, b);
    if (c != 0) return c < 0;
    if (a.e.gsea.set_hash != b.e.gsea.set_hash) return a.e.gsea.set_hash < b.e.gsea.set_hash;
    if (a.e.es_nonneg != b.e.es_nonneg) return !a.e.es_nonneg;
    return a.index < b.index;
  });

  // The split: the entries strictly below the middle one. When there are none
  // (the lower half ties with the middle), everything above the lowest entry.
  const Entry mid = entries[s / 2];
  uint64_t split = 0;
  for (const Entry& x : entries) split += less(x, mid) ? 1 : 0;
  if (split == 0) {
    uint64_t j = 1;
    while (j < s && !less(entries[0], entries[j])) ++j;
    if (j == s) return false;
    split = j;
  }

  Level level;
  level.below.reserve(split);
  level.above.reserve(s - split);
  for (uint64_t i = 0; i < split; ++i) level.below.push_back(entries[i].e);
  for (uint64_t i = split; i < s; ++i) level.above.push_back(entries[i].e);
  level.bound = entries[split - 1].e.gsea;

  // The next sets are copied into the buffers of the sets before last, which
  // hold k genes already: no allocation after the first levels. The lower
  // part copies random upper sets first; then the upper sets are moved.
  std::vector<std::vector<uint64_t>>& next = spare_sets_;
  next.resize(s);
  const uint32_t upper = static_cast<uint32_t>(s - split);
  for (uint64_t i = 0; i < split; ++i) {
    const uint32_t r = gen.uniform_below(upper);
    const std::vector<uint64_t>& from = sets_[entries[split + r].index];
    next[i].assign(from.begin(), from.end());
  }
  // The upper sets are copied above; each is moved to its place once.
  for (uint64_t i = split; i < s; ++i) next[i].swap(sets_[entries[i].index]);
  sets_.swap(next);
  levels_.push_back(std::move(level));
  last_split_ = split;
  return true;
}

int32_t EsRulerCompat::perturbate(uint64_t set, const Gsea& bound, rng_compat::Mt19937& gen) {
  if (set >= chunked_.sets) internal_fault("ruler set index out of range");
  const int32_t attempts = attempts_for(k_);
  std::vector<uint32_t> draws(2 * static_cast<size_t>(attempts));
  draw_moves(gen, static_cast<uint64_t>(attempts), draws.data());
  return perturbate_drawn(set, bound, draws.data(), attempts);
}

void EsRulerCompat::draw_moves(rng_compat::Mt19937& gen, uint64_t attempts, uint32_t* draws) const {
  const rng_compat::UniformBelow draw_position(static_cast<uint32_t>(k_));
  const rng_compat::UniformBelow draw_gene(static_cast<uint32_t>(weights_.size()));
  rng_compat::draw_pairs(gen, draw_position, draw_gene, draws, attempts);
}

int32_t EsRulerCompat::perturbate_drawn(uint64_t i, const Gsea& bound, const uint32_t* draws,
                                        int32_t attempts) {
  if (fast_ok_ && !force_naive_) {
    if (cpu::has_avx2() && !force_sse2_) {
      return chunked_.narrow ? perturbate_fast_avx2<uint16_t>(i, bound, draws, attempts)
                             : perturbate_fast_avx2<uint32_t>(i, bound, draws, attempts);
    }
    return chunked_.narrow ? perturbate_fast<uint16_t, false>(i, bound, draws, attempts)
                           : perturbate_fast<uint32_t, false>(i, bound, draws, attempts);
  }
  return perturbate_naive(i, bound, draws, attempts);
}

namespace {

// The most counted passes one level may take before the ladder is cut short.
//
// Passes run until the sets have made `target` accepted moves, so their number
// is the inverse of the acceptance rate. That rate collapses when the sets'
// scores are discrete and the level's bound sits on a plateau of equal scores
// that the set hashes split (all-zero or heavily tied weights: each level then
// halves the share of accepted swaps), or when the sets hold nearly every gene
// (almost every drawn gene is already in the set). Left alone such a level
// runs for hours. A level is allowed attempts of kCapRatio times its target
// (an acceptance rate down to 1/64; ladders of continuous scores stay above 5%
// even at depths of 1e-50), and never fewer than kCapFloor attempts, so that
// small sets, where a low rate still costs little, are never cut.
constexpr double kCapRatio = 64.0;
constexpr double kCapFloor = 262144.0;

uint64_t pass_cap(uint64_t s, uint64_t k, int32_t target) {
  const double per_pass = static_cast<double>(s) * static_cast<double>(attempts_for(k));
  const double attempts = std::max(kCapRatio * static_cast<double>(target), kCapFloor);
  return std::max<uint64_t>(saturating_cast<uint64_t>(std::ceil(attempts / per_pass)), 1);
}

}  // namespace

// One pass draws every attempt's two numbers first. Each attempt takes exactly
// one position and one gene, and whether a word is rejected depends only on the
// word and the draw's bound, so the stream of a pass does not depend on how the
// moves turn out: set i's draws are the i-th block of the pass's draws, and the
// sets can then move in parallel, each from its own block, exactly as they
// would one after another. On several threads one task draws the next pass
// meanwhile, from where this one ends; the next call uses those draws when it
// starts from that same stream position (it always does inside extend).
int64_t EsRulerCompat::perturbate_all(const Gsea& bound, rng_compat::Mt19937& gen) {
  interrupt::checkpoint();
  const uint64_t s = chunked_.sets;
  const int32_t attempts = attempts_for(k_);
  const size_t per_set = 2 * static_cast<size_t>(attempts);
  const uint64_t pass_attempts = s * static_cast<uint64_t>(attempts);
  const size_t threads = pool::current_threads();
  if (threads < 2 || s < 2 || pass_attempts < kParallelPassAttempts) {
    ahead_valid_ = false;
    draws_.resize(per_set * s);
    draw_moves(gen, pass_attempts, draws_.data());
    int64_t moves = 0;
    for (uint64_t i = 0; i < s; ++i) {
      moves += perturbate_drawn(i, bound, draws_.data() + i * per_set, attempts);
    }
    return moves;
  }

  const bool reuse = ahead_valid_ && ahead_from_.state.index == gen.state.index &&
                     ahead_from_.state.mt == gen.state.mt && ahead_.size() == per_set * s;
  ahead_valid_ = false;
  if (reuse) {
    std::swap(draws_, ahead_);
    gen = ahead_to_;
  } else {
    draws_.resize(per_set * s);
    draw_moves(gen, pass_attempts, draws_.data());
  }
  ahead_from_ = gen;

  // Task 0 draws ahead; the others take contiguous runs of sets, a few per
  // thread so that uneven sets even out.
  const uint64_t tasks = std::min<uint64_t>(s, static_cast<uint64_t>(threads) * 4);
  std::vector<int64_t> moves(tasks, 0);
  pool::parallel_for_index(static_cast<size_t>(tasks + 1), [&](size_t t) {
    interrupt::checkpoint();
    if (t == 0) {
      ahead_.resize(per_set * s);
      ahead_to_ = ahead_from_;
      draw_moves(ahead_to_, pass_attempts, ahead_.data());
      return;
    }
    const uint64_t lo = (t - 1) * s / tasks;
    const uint64_t hi = t * s / tasks;
    int64_t m = 0;
    for (uint64_t i = lo; i < hi; ++i) {
      m += perturbate_drawn(i, bound, draws_.data() + i * per_set, attempts);
    }
    moves[t - 1] = m;
  });
  ahead_valid_ = true;
  int64_t total = 0;
  for (int64_t m : moves) total += m;
  return total;
}

namespace {

// At most this many passes share one parallel region, and at most this many
// words of draws are held for one region.
constexpr uint64_t kRegionPasses = 64;
constexpr uint64_t kRegionWords = uint64_t{1} << 23;

}  // namespace

// A fork and join per pass costs about as much as the moves of a pass at k near
// 200 on eight threads. Set i's moves in a pass depend only on its own state
// and its own block of that pass's draws, so a task can take its sets through
// several passes in a row; only the pass draws must be made in stream order.
// Whichever task first needs a pass draws it (and any before it) under a lock,
// one pass at a time; task 0 does nothing else, so the draws usually run ahead
// of the moves. A task waiting for the lock waits for a thread that is drawing,
// never for one that is waiting for work, so the region cannot deadlock.
// Drawing is the one serial step of a region: under the lock only the words
// are made and checked for rejections, and each task reduces the words of its
// own sets to positions and genes (when no word of the pass was rejected).
void EsRulerCompat::run_passes(const Gsea& bound, rng_compat::Mt19937& gen, uint64_t count,
                               bool snapshot, bool load, bool unload) {
  const uint64_t s = chunked_.sets;
  const int32_t attempts = attempts_for(k_);
  const size_t per_set = 2 * static_cast<size_t>(attempts);
  const size_t per_pass = per_set * s;
  const uint64_t pass_attempts = s * static_cast<uint64_t>(attempts);
  region_draws_.resize(per_pass * count);
  const uint64_t tasks = std::min<uint64_t>(s, static_cast<uint64_t>(pool::current_threads()) * 4);
  if (count > kRegionPasses) internal_fault("ruler region longer than its pass cap");
  region_tasks_ = tasks;
  region_moves_.assign(count * tasks, 0);
  if (snapshot) snapshot_.resize(s * k_);
  scores_ready_ = false;
  if (unload) scores_.resize(s);
  ahead_valid_ = false;

  std::atomic<bool> drawing{false};
  std::atomic<uint64_t> drawn{0};
  rng_compat::Mt19937& cursor = gen;
  const rng_compat::UniformBelow draw_position(static_cast<uint32_t>(k_));
  const rng_compat::UniformBelow draw_gene(static_cast<uint32_t>(weights_.size()));
  region_raw_.assign(count, 0);
  // A pass takes microseconds to draw: a task that finds another one drawing
  // spins instead of sleeping (the wake-up would cost more). It spins on plain
  // reads, so the drawing thread keeps its lines, and after a while it yields
  // its core: on a machine with more busy threads than cores the one drawing
  // may be waiting for one.
  const auto ensure_drawn = [&](uint64_t pass) {
    uint32_t spins = 0;
    while (drawn.load(std::memory_order_acquire) <= pass) {
      if (drawing.load(std::memory_order_relaxed) || drawing.exchange(true, std::memory_order_acquire)) {
        if (++spins < 4096) {
          __builtin_ia32_pause();
        } else {
          std::this_thread::yield();
        }
        continue;
      }
      struct Release {
        std::atomic<bool>& flag;
        ~Release() { flag.store(false, std::memory_order_release); }
      } release{drawing};
      for (uint64_t d = drawn.load(std::memory_order_relaxed); d <= pass; ++d) {
        region_raw_[d] = rng_compat::draw_pair_words(cursor, draw_position, draw_gene,
                                                     region_draws_.data() + d * per_pass,
                                                     pass_attempts);
        drawn.store(d + 1, std::memory_order_release);
      }
    }
  };

  pool::parallel_for_index(static_cast<size_t>(tasks + 1), [&](size_t t) {
    interrupt::checkpoint();
    if (t == 0) {
      for (uint64_t pass = 0; pass < count; ++pass) ensure_drawn(pass);
      return;
    }
    const uint64_t lo = (t - 1) * s / tasks;
    const uint64_t hi = t * s / tasks;
    if (load) {
      for (uint64_t i = lo; i < hi; ++i) load_set(i, sets_[i]);
    }
    if (snapshot) {
      for (uint64_t i = lo; i < hi; ++i) {
        const std::vector<uint64_t> g = chunked_.set_genes(i);
        std::copy(g.begin(), g.end(), snapshot_.data() + i * k_);
      }
    }
    // The moves are counted per task and written once at the end: a shared
    // line written by every task after every set would bounce between cores.
    int64_t moved[kRegionPasses] = {};
    // The words are reduced into a buffer of the task's own: written in
    // place, their lines would turn dirty in this core's cache, and the
    // drawing thread would have to fetch each of them back to draw a later
    // region into it.
    std::vector<uint32_t> own((hi - lo) * per_set);
    for (uint64_t pass = 0; pass < count; ++pass) {
      if (pass > 0) interrupt::checkpoint();
      ensure_drawn(pass);
      const uint32_t* draws = region_draws_.data() + pass * per_pass + lo * per_set;
      if (region_raw_[pass] != 0) {
        rng_compat::finish_pairs(draw_position, draw_gene, draws, own.data(),
                                 (hi - lo) * static_cast<uint64_t>(attempts));
        draws = own.data();
      }
      for (uint64_t i = lo; i < hi; ++i) {
        moved[pass] += perturbate_drawn(i, bound, draws + (i - lo) * per_set, attempts);
      }
    }
    for (uint64_t pass = 0; pass < count; ++pass) region_moves_[pass * tasks + t - 1] = moved[pass];
    if (unload) {
      // Scored here too, by the task that holds the set: resample_genesets
      // then needs no parallel region of its own.
      for (uint64_t i = lo; i < hi; ++i) unload_set(i);
    }
  });
  // Every pass was drawn by the tasks above (each one asks for all of them).
  if (drawn.load() != count) internal_fault("ruler passes left undrawn");
  scores_ready_ = unload;
}

// The counted passes stop at the first pass whose running total of accepted
// moves reaches the target, so a region may only run past a pass when that
// total is known not to reach it there. Every attempt accepts at most one move:
// a region is safe while the moves so far plus one full pass of attempts for
// each pass before its last stay below the target. Beyond that the region
// length is a guess from the acceptance rate (of this level so far, else of the
// level before), aimed at ending at the target; a guess that overshoots is
// rolled back: the sets are reloaded from their genes before the region (the
// fast path's caches only speed up the test, they never change it), the stream
// is reset and exactly the passes up to the stopping one are run again.
bool EsRulerCompat::move_level_parallel(const Gsea& bound, rng_compat::Mt19937& gen, int32_t target,
                                        uint64_t max_passes, double& rate) {
  const uint64_t s = chunked_.sets;
  const uint64_t pass_attempts = s * static_cast<uint64_t>(attempts_for(k_));
  const uint64_t pass_words = 2 * pass_attempts;
  const uint64_t region_cap =
      std::min<uint64_t>(kRegionPasses, std::max<uint64_t>(kRegionWords / pass_words, 1));
  int64_t moves = 0;
  uint64_t passes = 0;
  bool rolled_back = false;
  while (true) {
    const uint64_t left = static_cast<uint64_t>(target - moves);  // moves < target here
    const uint64_t safe = 1 + (left - 1) / pass_attempts;
    uint64_t count = safe;
    if (forced_region_ > 0) {
      count = forced_region_;
    } else if (rate > 0.0) {
      // Aim the second-to-last pass 4 % below the target: the rate drifts by
      // a percent or two from level to level, and a pass's accepted moves vary
      // by far less than that.
      const double guess = 1.0 + std::floor(static_cast<double>(left) / (rate * 1.04));
      count = std::max(count, saturating_cast<uint64_t>(guess));
    }
    count = std::clamp<uint64_t>(count, 1, std::min(region_cap, max_passes - passes));
    const bool speculative = count > safe;
    const rng_compat::Mt19937 start = gen;
    run_passes(bound, gen, count, speculative, /*load=*/passes == 0 && !rolled_back, false);
    uint64_t stop = count;
    int64_t total = moves;
    for (uint64_t p = 0; p < count; ++p) {
      for (uint64_t t = 0; t < region_tasks_; ++t) total += region_moves_[p * region_tasks_ + t];
      if (total >= target) {
        stop = p;
        break;
      }
    }
    if (stop + 1 < count) {
      if (!speculative) internal_fault("ruler passes ran past the target");
      for_each_set(s, k_, [&](uint64_t i) {
        load_set(i, std::span<const uint64_t>(snapshot_.data() + i * k_, k_));
      });
      gen = start;
      run_passes(bound, gen, stop + 1, false, false, false);
      rolled_back = true;
      int64_t again = moves;
      for (uint64_t i = 0; i < (stop + 1) * region_tasks_; ++i) again += region_moves_[i];
      if (again != total) internal_fault("ruler passes not reproduced");
      count = stop + 1;
    }
    moves = total;
    passes += count;
    rate = static_cast<double>(moves) / static_cast<double>(passes);
    if (moves >= target) break;
    if (passes >= max_passes) return false;
  }
  // As many passes again, counted by nobody: all of them in as few regions as
  // the draws' memory allows.
  for (uint64_t done = 0; done < passes;) {
    const uint64_t count = std::min(region_cap, passes - done);
    done += count;
    run_passes(bound, gen, count, false, false, /*unload=*/done == passes);
  }
  return true;
}

// Reference: rescores the whole set after every swap, and lays the set out
// anew from its sorted genes (not through the incremental updates).
int32_t EsRulerCompat::perturbate_naive(uint64_t i, const Gsea& bound, const uint32_t* draws,
                                        int32_t attempts) {
  std::vector<uint64_t> set = chunked_.set_genes(i);
  std::vector<uint64_t> moved;
  int32_t accepted = 0;
  for (int32_t a = 0; a < attempts; ++a) {
    const uint64_t p = draws[2 * a];
    const uint64_t y = draws[2 * a + 1];
    if (p >= set.size()) internal_fault("ruler position out of range");
    const uint64_t old = set[p];
    if (std::binary_search(set.begin(), set.end(), y)) {
      if (y == old) ++accepted;
      continue;
    }
    moved = set;
    moved.erase(moved.begin() + static_cast<ptrdiff_t>(p));
    moved.insert(std::lower_bound(moved.begin(), moved.end(), y), y);
    const LevelEntry e = score_generic(weights_, gene_hash_, moved);
    if (Gsea::lt_cpp(bound, e.gsea)) {
      ++accepted;
      set.swap(moved);
      load_set(i, set);
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
template <class G, bool kAvx2>
int32_t EsRulerCompat::perturbate_fast(uint64_t i, const Gsea& bound, const uint32_t* draws,
                                       int32_t attempts) {
  SampleChunks& L = chunked_;
  const uint64_t nchunks = L.chunks;
  const int64_t nk = static_cast<int64_t>(weights_.size() - k_);
  const int64_t* w = weights_.data();
  const uint16_t* gene_chunk = L.gene_chunk.data();
  G* genes = L.genes_of<G>(i);
  const uint64_t pstride = L.prefix_stride;
  uint32_t* pre = L.prefix.data() + i * pstride;
  int64_t* sum = L.sum.data() + i * L.chunk_stride;

  // The bound as a fraction Nb / (Rb * nk); a zero-weight bound has value 0.
  int64_t bound_num = 0;
  int64_t bound_r = 1;
  if (bound.rank_sum != 0) {
    bound_num = bound.coef * nk - bound.misses * bound.rank_sum;
    bound_r = bound.rank_sum;
  }

  // Inside the scan every point is tested against the same threshold: with
  // Rb > 0, V * Rb > T holds exactly when V > floor(T / Rb). With Nb = q0 * Rb +
  // rem0 (0 <= rem0 < Rb) and T = Nb * R - h, that floor is q0 * R +
  // floor((rem0 * R - h) / Rb): one division per scanned attempt instead of a
  // 128-bit product per point.
  const bool floor_ok = bound_r > 0;
  int64_t q0 = 0;
  uint64_t rem0 = 0;
  if (floor_ok) {
    q0 = bound_num / bound_r;
    int64_t rm = bound_num % bound_r;
    if (rm < 0) {
      --q0;
      rm += bound_r;
    }
    rem0 = static_cast<uint64_t>(rm);
  }

  SampleChunks::SetState& state = L.state[i];
  int64_t r = state.rank_sum;
  uint64_t hash = state.set_hash;
  using Peak = SampleChunks::Peak;
  Peak peak = state.peak;
  int64_t* local_r = L.peak_r.data() + i * L.chunk_stride;
  int64_t* local_max = L.peak_local.data() + i * L.chunk_stride;

  const SampleChunks::GeneInfo* info = L.gene_info.data();
  // The draws are known in advance: the lines the next attempts read at random
  // (the drawn gene's chunk, weight and hash) are requested early, so their
  // misses overlap with the work of the attempts before.
  constexpr int32_t kAhead = 2;
  for (int32_t a = 0; a < attempts && a < kAhead; ++a) {
    const uint32_t y = draws[2 * a + 1];
    __builtin_prefetch(info + y);
  }

  int32_t accepted = 0;
  for (int32_t a = 0; a < attempts; ++a) {
    const uint32_t p = draws[2 * a];
    const uint32_t y = draws[2 * a + 1];
    if (a + kAhead < attempts) {
      const uint32_t y_next = draws[2 * (a + kAhead) + 1];
      __builtin_prefetch(info + y_next);
      __builtin_prefetch(gene_chunk + y_next);
    }
    const uint32_t old = genes[p];
    // y's place in the set (past the genes below it, all in chunks up to its
    // own) tells whether y is in the set already, and is where a kept swap
    // puts it.
    const uint64_t cy = gene_chunk[y];
    const size_t q = pre[cy] + (kAvx2 ? count_below_avx2(genes + pre[cy], y)
                                      : count_below(genes + pre[cy], y));
    if (genes[q] == y) {
      if (y == old) ++accepted;
      continue;
    }
    const uint64_t pc = gene_chunk[old];
    const size_t pidx = p - pre[pc];
    const SampleChunks::GeneInfo gi_old = info[old];
    const SampleChunks::GeneInfo gi_y = info[y];

    const int64_t r_new = r - gi_old.weight + gi_y.weight;
    const uint64_t hash_new = hash ^ gi_old.hash ^ gi_y.hash;
    Peak cand = peak;
    if (cand.valid) {
      if (old == cand.gene) {
        cand.valid = false;
      } else {
        if (old < cand.gene) {
          cand.cum -= gi_old.weight;
          cand.misses += 1;
        }
        if (y < cand.gene) {
          cand.cum += gi_y.weight;
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
        // The least numerator that beats, clamped to 64 bits (every true point
        // numerator lies within +-2^62, fast_ok_), or the 128-bit test when the
        // floor does not apply.
        const bool use_floor = floor_ok && r_new > 0;
        int64_t vmin = 0;
        if (use_floor) {
          const uint64_t hg = hash_gt ? 1 : 0;
          const uint64_t rb = static_cast<uint64_t>(bound_r);
          uint64_t prod;
          i128 low;
          if (!__builtin_mul_overflow(rem0, static_cast<uint64_t>(r_new), &prod)) {
            low = prod < hg ? i128{-1} : static_cast<i128>((prod - hg) / rb);
          } else {
            low = static_cast<i128>((static_cast<u128>(rem0) * static_cast<uint64_t>(r_new) - hg) / rb);
          }
          const i128 f = static_cast<i128>(q0) * r_new + low;
          constexpr i128 kMax = std::numeric_limits<int64_t>::max();
          constexpr i128 kMin = std::numeric_limits<int64_t>::min();
          vmin = static_cast<int64_t>(f > kMax ? kMax : f < kMin ? kMin : f);
        }
        // The scan, instantiated for each form of the test so that the common
        // one compiles to a plain comparison.
        const auto scan = [&](const auto& passes) __attribute__((always_inline)) {
          int64_t cum_before = 0;
          int64_t idx_before = 0;
          for (uint64_t c = 0; c < nchunks && !keep; ++c) {
            const G* g = genes + pre[c];
            const size_t size = pre[c + 1] - pre[c];
            // The chunk as it would be after the swap: without the old gene
            // (position skip), with y merged in at its place. Most chunks are
            // neither and are read as they are.
            const bool has_old = c == pc;
            const bool has_y = c == cy;
            int64_t csum = sum[c];
            size_t new_size = size;
            uint64_t first;
            if (!(has_old | has_y)) [[likely]] {
              if (size == 0) continue;
              first = g[0];
            } else {
              if (has_old) csum -= gi_old.weight;
              if (has_y) csum += gi_y.weight;
              new_size = size - has_old + has_y;
              if (new_size == 0) continue;
              first = UINT64_MAX;
              const size_t first_index = has_old && pidx == 0 ? 1 : 0;
              if (first_index < size) first = g[first_index];
              if (has_y && y < first) first = y;
            }
            const size_t skip = has_old ? pidx : SIZE_MAX;
            const int64_t m_first = static_cast<int64_t>(first) - idx_before;
            const int64_t m_first_r = m_first * r_new;
            if (!passes((cum_before + csum) * nk - m_first_r)) {
              // Skip the chunk. No later point has more weight than the whole
              // set or fewer misses than this chunk's first: when even that
              // point does not beat the bound, nothing after it does.
              if (!passes(r_new * nk - m_first_r)) break;
            } else if (skip == SIZE_MAX && !has_y) {
              // A chunk the swap leaves alone: its points are base + L_j with
              // L_j = w_j * nk - (g_j - j) * r_new. Its cached maximum of L_j
              // at weight total R bounds L_j at r_new from above, since
              // L_j(r_new) = L_j(R) - (g_j - j) * (r_new - R) and g_j - j grows
              // with j. Only when that bound beats is the chunk walked; a walk
              // that finds nothing leaves the exact maximum at r_new behind.
              // All true point numerators lie within +-2^62 (fast_ok_), so the
              // bound may be clamped there and point sums wrap back exactly.
              const int64_t base = cum_before * nk + idx_before * r_new;
              const int64_t d = r_new - local_r[c];
              const int64_t slope =
                  d >= 0 ? static_cast<int64_t>(g[0])
                         : static_cast<int64_t>(g[size - 1]) - static_cast<int64_t>(size - 1);
              const i128 ub = static_cast<i128>(base) + local_max[c] - static_cast<i128>(slope) * d;
              constexpr int64_t kLim = int64_t{1} << 62;
              const int64_t ub64 = ub > kLim ? kLim : ub < -kLim ? -kLim : static_cast<int64_t>(ub);
              if (passes(ub64)) {
                int64_t lw = 0;
                int64_t best = std::numeric_limits<int64_t>::min();
                for (size_t j = 0; j < size; ++j) {
                  lw += w[g[j]];
                  const int64_t lj = lw * nk - (static_cast<int64_t>(g[j]) - static_cast<int64_t>(j)) * r_new;
                  if (passes(wrap_add(base, lj))) {
                    cand = Peak{true, g[j], static_cast<int64_t>(g[j]) - idx_before - static_cast<int64_t>(j),
                                cum_before + lw};
                    keep = true;
                    break;
                  }
                  best = std::max(best, lj);
                }
                if (!keep) {
                  local_r[c] = r_new;
                  local_max[c] = best;
                }
              }
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
                if (passes(cum * nk - m * r_new)) {
                  cand = Peak{true, next, m, cum};
                  keep = true;
                  break;
                }
              }
            }
            cum_before += csum;
            idx_before += static_cast<int64_t>(new_size);
          }
        };
        if (use_floor) {
          scan([vmin](int64_t v) { return v > vmin; });
        } else {
          scan(beats);
        }
      }
    }

    if (!keep) continue;
    ++accepted;
    // The genes between the old one's place and y's move by one place towards
    // the old one's. Which way is a coin toss, so it is not branched on: the
    // run is [lo, hi) either way, read one place further (old gene below y)
    // or written one place further.
    const size_t up = old < y ? 1 : 0;
    const size_t hole = q - up;
    const size_t lo = std::min<size_t>(p, hole);
    const size_t hi = std::max<size_t>(p, hole);
    std::memmove(genes + lo + (1 - up), genes + lo + up, (hi - lo) * sizeof(G));
    genes[hole] = static_cast<G>(y);
    // The chunks between the two lose (old gene below y) or gain one gene
    // before them: a pass over all counts, no branch on how far apart.
    if constexpr (kAvx2) {
      shift_prefix_avx2(pre, L.prefix_count, pc, cy);
    } else {
      shift_prefix(pre, L.prefix_count, pc, cy);
    }
    sum[pc] -= gi_old.weight;
    sum[cy] += gi_y.weight;
    r = r_new;
    hash = hash_new;
    peak = cand;
    // As forget_chunk_peak, through the local pointers.
    local_r[pc] = 0;
    local_max[pc] = int64_t{1} << 62;
    local_r[cy] = 0;
    local_max[cy] = int64_t{1} << 62;
  }
  state.rank_sum = r;
  state.set_hash = hash;
  state.peak = peak;
  return accepted;
}

// perturbate_fast with the AVX2 helpers, compiled for AVX2 (the attributes are
// on the declaration): flatten inlines every call, helpers included, so that
// none runs as a separate call per attempt.
template <class G>
int32_t EsRulerCompat::perturbate_fast_avx2(uint64_t i, const Gsea& bound, const uint32_t* draws,
                                            int32_t attempts) {
  return perturbate_fast<G, true>(i, bound, draws, attempts);
}

void EsRulerCompat::forget_chunk_peak(uint64_t i, uint64_t c) {
  // Every local point numerator lies within +-2^62 (fast_ok_): a bound that
  // holds for any chunk, to be tightened by the next walk of the chunk.
  chunked_.peak_r[i * chunked_.chunk_stride + c] = 0;
  chunked_.peak_local[i * chunked_.chunk_stride + c] = int64_t{1} << 62;
}

std::vector<uint64_t> SampleChunks::set_genes(uint64_t i) const {
  std::vector<uint64_t> out;
  copy_genes(i, out);
  return out;
}

void SampleChunks::copy_genes(uint64_t i, std::vector<uint64_t>& out) const {
  if (narrow) {
    const uint16_t* g = genes_of<uint16_t>(i);
    out.assign(g, g + k);
  } else {
    const uint32_t* g = genes_of<uint32_t>(i);
    out.assign(g, g + k);
  }
}

void EsRulerCompat::load_set(uint64_t i, std::span<const uint64_t> set) {
  SampleChunks& L = chunked_;
  const uint64_t n = weights_.size();
  if (set.size() != L.k) internal_fault("ruler set of the wrong size");
  uint32_t* pre = L.prefix.data() + i * L.prefix_stride;
  int64_t* sum = L.sum.data() + i * L.chunk_stride;
  const SampleChunks::GeneInfo* info = L.gene_info.data();
  int64_t r = 0;
  uint64_t hash = 0;
  size_t j = 0;
  pre[0] = 0;
  for (uint64_t c = 0; c < L.chunks; ++c) {
    uint64_t count = 0;
    int64_t chunk_sum = 0;
    while (j < set.size() && set[j] < n && L.gene_chunk[set[j]] == c) {
      const uint64_t g = set[j];
      if (j > 0 && set[j - 1] >= g) internal_fault("ruler set not ascending and distinct");
      chunk_sum = wrap_add(chunk_sum, info[g].weight);
      r = wrap_add(r, info[g].weight);
      hash ^= info[g].hash;
      ++count;
      ++j;
    }
    sum[c] = chunk_sum;
    pre[c + 1] = static_cast<uint32_t>(pre[c] + count);
  }
  if (j != set.size()) internal_fault("ruler set not ascending or out of range");
  const auto store = [&](auto* genes) {
    using G = std::remove_pointer_t<decltype(genes)>;
    for (size_t x = 0; x < L.k; ++x) genes[x] = static_cast<G>(set[x]);
    std::fill(genes + L.k, genes + L.stride, static_cast<G>(L.pad()));
  };
  if (L.narrow) {
    store(L.genes_of<uint16_t>(i));
  } else {
    store(L.genes_of<uint32_t>(i));
  }
  L.state[i] = SampleChunks::SetState{r, hash, SampleChunks::Peak{}};
  for (uint64_t c = 0; c < L.chunks; ++c) forget_chunk_peak(i, c);
}

void EsRulerCompat::chunk_sets() {
  chunk_layout();
  for_each_set(sets_.size(), k_, [&](uint64_t i) { load_set(i, sets_[i]); });
}

void EsRulerCompat::chunk_layout() {
  SampleChunks& L = chunked_;
  const uint64_t n = weights_.size();
  const uint64_t nc = chunk_last_.size();
  if (nc == 0 || nc > 65536 || n > UINT32_MAX || k_ >= n) {
    internal_fault("ruler chunk layout out of range");
  }
  const uint64_t s = sets_.size();
  L.sets = s;
  L.chunks = nc;
  L.k = k_;
  // Chunk c holds the genes below bound c and at or above bound c - 1 (the
  // last chunk: up to N).
  // The bounds move little from level to level, and the table's lines were
  // read by every core in the level before: only entries that change are
  // written, so the rest are not taken from the other cores' caches.
  L.gene_chunk.resize(n);
  uint16_t* gene_chunk = L.gene_chunk.data();
  uint64_t lo = 0;
  for (uint64_t c = 0; c < nc; ++c) {
    const uint64_t hi = c + 1 < nc ? std::clamp(chunk_last_[c], lo, n) : n;
    const __m128i cv = _mm_set1_epi16(static_cast<int16_t>(c));
    uint64_t g = lo;
    for (; g + 8 <= hi; g += 8) {
      __m128i* at = reinterpret_cast<__m128i*>(gene_chunk + g);
      if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_loadu_si128(at), cv)) != 0xFFFF) _mm_storeu_si128(at, cv);
    }
    for (; g < hi; ++g) {
      if (gene_chunk[g] != c) gene_chunk[g] = static_cast<uint16_t>(c);
    }
    lo = hi;
  }
  // Each set's entries end at least a cache line before the next set's begin
  // (the tasks of a region move neighbouring sets on different cores).
  L.stride = k_ + kSetPad + kGapBytes / sizeof(uint16_t);
  // The weights and hashes stay the same for all levels of a ladder: the
  // table is built once per extend (an O(N) serial step per level otherwise).
  if (!gene_info_ready_ || L.gene_info.size() != n) {
    L.gene_info.resize(n);
    for (uint64_t g = 0; g < n; ++g) L.gene_info[g] = SampleChunks::GeneInfo{weights_[g], gene_hash_[g]};
    gene_info_ready_ = true;
  }
  // The pad must exceed every gene.
  L.narrow = n < UINT16_MAX && !force_wide_;
  if (L.narrow) {
    L.genes16.resize(s * L.stride);
    L.genes32 = {};
  } else {
    L.genes32.resize(s * L.stride);
    L.genes16 = {};
  }
  L.prefix_count = (nc + 4) / 4 * 4;
  L.prefix_stride = L.prefix_count + kGapBytes / sizeof(uint32_t);
  L.chunk_stride = nc + kGapBytes / sizeof(int64_t);
  // load_set fills each set's entries; the pads and gaps are never read
  // (shift_prefix writes the padded counts back unchanged).
  L.prefix.resize(s * L.prefix_stride);
  L.sum.resize(s * L.chunk_stride);
  L.state.resize(s);
  L.peak_r.resize(s * L.chunk_stride);
  L.peak_local.resize(s * L.chunk_stride);
}

void EsRulerCompat::unload_set(uint64_t i) {
  // Into the set's own buffer: no allocation per set and level.
  chunked_.copy_genes(i, sets_[i]);
  scores_[i] = fast_ok_ && !force_naive_ ? score_chunked(i)
                                         : score_generic(weights_, gene_hash_, sets_[i]);
}

void EsRulerCompat::unchunk_sets() {
  scores_.resize(sets_.size());
  for_each_set(sets_.size(), k_, [&](uint64_t i) { unload_set(i); });
  scores_ready_ = true;
}

// score_fast, walking only the chunks that may hold a point that matters. The
// points after the genes of chunk c are at most the point of the weight up to
// the chunk's end at the misses before its first gene (weights >= 0, misses
// never fall); the points before them are at least the point of the weight
// before the chunk at the misses before its last gene.
//
// The sign of the two-sided score is that of the first point of greatest
// magnitude. Only points after genes can be the positive one (a positive point
// before gene j is at most the one after it) and only points before genes the
// negative one (a negative point after gene j is at least the one before gene
// j + 1, and the last point after a gene is >= 0). So once the greatest point
// after a gene is known, the score is negative exactly when some point before
// a gene lies below its negation, or equals it no later (the point before gene
// j comes before the one after it). The sets of a ladder score well above 0:
// the second walk skips nearly every chunk, and the first walks the few near
// the peak.
LevelEntry EsRulerCompat::score_chunked(uint64_t i) const {
  return chunked_.narrow ? score_chunked_as<uint16_t>(i) : score_chunked_as<uint32_t>(i);
}

template <class G>
LevelEntry EsRulerCompat::score_chunked_as(uint64_t i) const {
  const SampleChunks& L = chunked_;
  LevelEntry e;
  Gsea& g = e.gsea;
  g.n_minus_k = static_cast<int64_t>(weights_.size() - k_);
  g.rank_sum = L.state[i].rank_sum;
  g.set_hash = L.state[i].set_hash;
  const int64_t r = g.rank_sum;
  if (r == 0) return e;  // never leaves the origin; es_nonneg true
  const int64_t nk = g.n_minus_k;
  const G* genes = L.genes_of<G>(i);
  const uint32_t* pre = L.prefix.data() + i * L.prefix_stride;
  const int64_t* sum = L.sum.data() + i * L.chunk_stride;
  const SampleChunks::GeneInfo* info = L.gene_info.data();
  const auto misses = [&](uint64_t j) {
    return static_cast<int64_t>(genes[j]) - static_cast<int64_t>(j);
  };

  // The greatest point after a gene, first of its value. It is at least the
  // point the moves last found beating the bound (a point of the set as it
  // is): a chunk that cannot reach that holds none of the greatest points.
  const SampleChunks::Peak& peak = L.state[i].peak;
  const int64_t reached = peak.valid ? peak.cum * nk - peak.misses * r : 0;
  int64_t best = 0, cb = 0, mb = 0;
  uint64_t best_at = 0;
  int64_t cum_before = 0;
  for (uint64_t c = 0; c < L.chunks; ++c) {
    const uint64_t first = pre[c];
    const uint64_t end = pre[c + 1];
    if (first == end) continue;  // (sum[c] is 0)
    const int64_t top = (cum_before + sum[c]) * nk - misses(first) * r;
    if (top > best && top >= reached) {
      int64_t cum = cum_before;
      for (uint64_t j = first; j < end; ++j) {
        cum += info[genes[j]].weight;
        const int64_t m = misses(j);
        const int64_t after = cum * nk - m * r;
        if (after > best) {
          best = after;
          cb = cum;
          mb = m;
          best_at = j;
        }
      }
    }
    cum_before += sum[c];
  }
  g.coef = cb;
  g.misses = mb;

  // A point before a gene that outweighs it. (At best == 0 the origin comes
  // first: only a negative point does.)
  const auto outweighs = [&](int64_t v, uint64_t j) {
    return v < -best || (v == -best && best > 0 && j <= best_at);
  };
  cum_before = 0;
  for (uint64_t c = 0; c < L.chunks && e.es_nonneg; ++c) {
    const uint64_t first = pre[c];
    const uint64_t end = pre[c + 1];
    if (first != end && outweighs(cum_before * nk - misses(end - 1) * r, first)) {
      int64_t cum = cum_before;
      for (uint64_t j = first; j < end; ++j) {
        if (outweighs(cum * nk - misses(j) * r, j)) {
          e.es_nonneg = false;
          break;
        }
        cum += info[genes[j]].weight;
      }
    }
    cum_before += sum[c];
  }
  return e;
}

void EsRulerCompat::extend(uint32_t seed, double es, double eps) {
  const uint64_t n = weights_.size();
  const uint64_t s = sample_size_;
  const uint64_t k = k_;
  if (k == 0 || n <= k || s == 0) internal_fault("multilevel ruler needs 1 <= k < N and S >= 1");
  if (n > UINT32_MAX) internal_fault("multilevel ruler needs fewer than 2^32 genes");
  if (sets_bytes(s, k, n) > physical_memory() || s > sets_.max_size()) throw std::bad_alloc();

  cut_short_ = false;
  rng_compat::Mt19937 gen = rng_compat::Mt19937::seed(seed);
  // The stream's next n words, made a block at a time.
  for (uint64_t i = 0; i < n;) {
    uint32_t words[1024];
    const uint64_t m = std::min<uint64_t>(n - i, 1024);
    gen.state.fill_tempered(words, m);
    for (uint64_t j = 0; j < m; ++j) gene_hash_[i + j] = words[j];
    i += m;
  }
  gene_info_ready_ = false;
  sets_.assign(s, {});
  // The draws in stream order; the sorts on all threads.
  for (uint64_t i = 0; i < s; ++i) rng_compat::combination(0, n - 1, k, gen, sets_[i]);
  for_each_set(s, k, [&](uint64_t i) { std::sort(sets_[i].begin(), sets_[i].end()); });
  resample_genesets(gen);

  chunks_ = std::max<uint64_t>(saturating_cast<uint64_t>(std::floor(std::sqrt(static_cast<double>(k)))), 1);
  chunks_ = std::min(chunks_, k);
  chunk_last_.assign(chunks_, 0);
  chunk_last_.back() = n;

  const int64_t esf = saturating_cast<int64_t>(es * 1073741824.0);
  const double log_eps = std::log(eps);
  double depth = 0.0;
  std::vector<uint64_t> column(s);
  // Accepted moves per counted pass, carried from level to level: it sizes the
  // parallel regions of passes (never the results).
  double rate = 0.0;

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
    const bool parallel = pool::current_threads() >= 2 && s >= 2 &&
                          s * static_cast<uint64_t>(attempts_for(k)) >= kParallelPassAttempts;
    const int32_t target = saturating_cast<int32_t>(moves_scale_ * static_cast<double>(s) *
                                                    static_cast<double>(k) * 0.5);
    if (target > 0 && parallel) {
      // The sets are laid out by the first region of passes and read back by
      // the last, each by the task that moves it: two fewer fork-joins a level.
      chunk_layout();
      if (!move_level_parallel(bound, gen, target, pass_cap(s, k, target), rate)) {
        // As below: the level's moves were cut short.
        cut_short_ = true;
        return;
      }
    } else {
      chunk_sets();
    }
    if (target > 0 && !parallel) {
      const uint64_t max_passes = pass_cap(s, k, target);
      int64_t moves = 0;
      uint64_t passes = 0;
      while (true) {
        moves += perturbate_all(bound, gen);
        ++passes;
        if (moves >= target) break;
        if (passes >= max_passes) {
          // The sets barely move above this bound: stop the ladder at the
          // last level, whose sets were still mixed in full.
          cut_short_ = true;
          return;
        }
      }
      for (uint64_t pass = 0; pass < passes; ++pass) perturbate_all(bound, gen);
    }

    if (target <= 0 || !parallel) unchunk_sets();
    if (!resample_genesets(gen)) break;
  }
}

}  // namespace tarvelo::esruler_compat
