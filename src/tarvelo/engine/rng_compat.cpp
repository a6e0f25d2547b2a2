#include "tarvelo/engine/rng_compat.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <pthread.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "tarvelo/base/error.hpp"
#include "tarvelo/base/numeric.hpp"

namespace tarvelo::rng_compat {

// R's bits = (int) ceil(log2(dn)). Up to 2^32 this is the bit width of dn - 1
// (log2 is within an ulp, far closer than the 1.4 * 2^-32 that separates
// log2(dn) from an integer there), which spares the libm call on the hot path.
int r_index_bits(uint64_t dn) {
  if (dn <= (uint64_t{1} << 32)) return std::bit_width(dn - 1);
  return saturating_cast<int32_t>(std::ceil(std::log2(static_cast<double>(dn))));
}

namespace {

// R's initial scrambling of a seed: fifty steps of w = 69069 w + 1, folded
// into one affine map modulo 2^32.
constexpr uint32_t scramble_seed(uint32_t seed) { return 0x419b14e9u * seed + 0x8c93bb5eu; }
constexpr uint32_t lcg_step(uint32_t w) { return 69069u * w + 1u; }
static_assert([] {
  uint32_t w = 12345;
  for (int i = 0; i < 50; ++i) w = lcg_step(w);
  return w == scramble_seed(12345);
}());

constexpr int64_t kLecuyerM1 = 4294967087;
constexpr int64_t kLecuyerM2 = 4294944443;

// R's R_unif_index with sample.kind "Rejection": take floor(bits / 16) + 1
// 16-bit chunks of unif_rand(), the first one most significant, keep the low
// `bits` bits and reject values >= dn. R's accumulator is a signed 64-bit
// integer that wraps once four chunks are drawn (bits >= 48); only the masked
// low bits are used, and the unsigned wrap here yields the same bits.
template <class Gen>
uint64_t unif_index_rejection(Gen& gen, uint64_t dn) {
  if (dn == 0) return 0;
  const int bits = r_index_bits(dn);
  if (bits < 0) return 0;
  const uint64_t mask = bits >= 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1;
  // R takes floor(); for an unsigned result the saturating cast alone gives
  // the same (it truncates, and every value below 1 becomes 0 either way).
  for (;;) {
    uint64_t v = 0;
    for (int c = 0; c <= bits; c += 16) {
      v = v * 65536u + saturating_cast<uint64_t>(gen.unif_rand() * 65536.0);
    }
    v &= mask;
    if (v < dn) return v;
  }
}

void check_sample_size(uint64_t n, uint64_t size) {
  if (size > n) {
    internal_fault("sample_int_no_replace: size (" + std::to_string(size) + ") must be <= n (" +
                   std::to_string(n) + ")");
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// MT19937 core

void Mt19937Words::regenerate() {
  constexpr uint32_t kUpper = 0x80000000u, kLower = 0x7fffffffu, kMatrix = 0x9908b0dfu;
  constexpr uint64_t kM = 397;
  auto twist = [](uint32_t hi, uint32_t lo, uint32_t far) {
    const uint32_t y = (hi & kUpper) | (lo & kLower);
    return far ^ (y >> 1) ^ ((y & 1u) ? kMatrix : 0u);
  };
  // The textbook loop over i with indices (i + 1) mod N and (i + M) mod N, split
  // where the indices wrap. Words below i are already the new ones, as there.
  uint64_t i = 0;
#if defined(__SSE2__)
  // Four words per step: a step reads words i+1..i+4 not yet renewed and, past
  // N - M, renewed words at least N - M = 227 places back, so the steps see
  // exactly what the one-word loop sees.
  const __m128i upper = _mm_set1_epi32(static_cast<int>(kUpper));
  const __m128i lower = _mm_set1_epi32(static_cast<int>(kLower));
  const __m128i matrix = _mm_set1_epi32(static_cast<int>(kMatrix));
  const __m128i one = _mm_set1_epi32(1);
  const auto twist4 = [&](uint64_t at, uint64_t far) {
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(mt.data() + at));
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(mt.data() + at + 1));
    const __m128i fa = _mm_loadu_si128(reinterpret_cast<const __m128i*>(mt.data() + far));
    const __m128i y = _mm_or_si128(_mm_and_si128(hi, upper), _mm_and_si128(lo, lower));
    const __m128i odd = _mm_sub_epi32(_mm_setzero_si128(), _mm_and_si128(y, one));
    const __m128i out = _mm_xor_si128(_mm_xor_si128(fa, _mm_srli_epi32(y, 1)), _mm_and_si128(odd, matrix));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(mt.data() + at), out);
  };
  for (; i + 4 <= kN - kM; i += 4) twist4(i, i + kM);
#endif
  for (; i < kN - kM; ++i) mt[i] = twist(mt[i], mt[i + 1], mt[i + kM]);
#if defined(__SSE2__)
  for (; i + 4 <= kN - 1; i += 4) twist4(i, i + kM - kN);
#endif
  for (; i < kN - 1; ++i) mt[i] = twist(mt[i], mt[i + 1], mt[i + kM - kN]);
  mt[kN - 1] = twist(mt[kN - 1], mt[0], mt[kM - 1]);
  index = 0;
}

void Mt19937Words::fill_tempered(uint32_t* out, uint64_t n) {
  while (n > 0) {
    if (index >= kN) regenerate();
    const uint64_t run = std::min<uint64_t>(n, kN - index);
    const uint32_t* src = mt.data() + index;
    uint64_t i = 0;
#if defined(__SSE2__)
    const __m128i mask_b = _mm_set1_epi32(static_cast<int>(0x9d2c5680u));
    const __m128i mask_c = _mm_set1_epi32(static_cast<int>(0xefc60000u));
    for (; i + 4 <= run; i += 4) {
      __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
      y = _mm_xor_si128(y, _mm_srli_epi32(y, 11));
      y = _mm_xor_si128(y, _mm_and_si128(_mm_slli_epi32(y, 7), mask_b));
      y = _mm_xor_si128(y, _mm_and_si128(_mm_slli_epi32(y, 15), mask_c));
      y = _mm_xor_si128(y, _mm_srli_epi32(y, 18));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), y);
    }
#endif
    for (; i < run; ++i) {
      uint32_t y = src[i];
      y ^= y >> 11;
      y ^= (y << 7) & 0x9d2c5680u;
      y ^= (y << 15) & 0xefc60000u;
      y ^= y >> 18;
      out[i] = y;
    }
    index += run;
    out += run;
    n -= run;
  }
}

// ---------------------------------------------------------------------------
// R's Mersenne-Twister

RMt19937SeedCompat RMt19937SeedCompat::set_seed(uint32_t seed) {
  RMt19937SeedCompat r;
  uint32_t w = scramble_seed(seed);
  w = lcg_step(w);  // R's slot for the word index (.Random.seed[2]), overwritten
  for (auto& word : r.state.mt) {
    w = lcg_step(w);
    word = w;
  }
  r.state.index = Mt19937Words::kN;
  return r;
}

double RMt19937SeedCompat::unif_rand() {
  const double u = static_cast<double>(state.next_tempered()) * 2.3283064365386963e-10;
  // R's fixup(): keep the value strictly inside (0, 1). Only u = 0 can occur.
  constexpr double kHalfI2_32m1 = 0.5 * 2.328306437080797e-10;
  if (u <= 0.0) return kHalfI2_32m1;
  if (1.0 - u <= 0.0) return 1.0 - kHalfI2_32m1;
  return u;
}

uint64_t RMt19937SeedCompat::r_unif_index_with_kind(uint64_t dn) {
  return unif_index_rejection(*this, dn);
}

// ---------------------------------------------------------------------------
// R's L'Ecuyer-CMRG

RLecuyerCmrgSeedCompat RLecuyerCmrgSeedCompat::set_seed(uint32_t seed) {
  RLecuyerCmrgSeedCompat r;
  uint32_t w = scramble_seed(seed);
  for (auto& s : r.s) {
    w = lcg_step(w);
    while (w >= static_cast<uint64_t>(kLecuyerM2)) w = lcg_step(w);
    s = w;
  }
  return r;
}

double RLecuyerCmrgSeedCompat::unif_rand() {
  int64_t p1 = 1403580 * static_cast<int64_t>(s[1]) - 810728 * static_cast<int64_t>(s[0]);
  p1 -= (p1 / kLecuyerM1) * kLecuyerM1;
  if (p1 < 0) p1 += kLecuyerM1;
  s[0] = s[1];
  s[1] = s[2];
  s[2] = static_cast<uint32_t>(p1);

  int64_t p2 = 527612 * static_cast<int64_t>(s[5]) - 1370589 * static_cast<int64_t>(s[3]);
  p2 -= (p2 / kLecuyerM2) * kLecuyerM2;
  if (p2 < 0) p2 += kLecuyerM2;
  s[3] = s[4];
  s[4] = s[5];
  s[5] = static_cast<uint32_t>(p2);

  const int64_t d = p1 > p2 ? p1 - p2 : p1 - p2 + kLecuyerM1;
  return static_cast<double>(d) * 2.328306549295727688e-10;
}

uint64_t RLecuyerCmrgSeedCompat::r_unif_index_with_kind(uint64_t dn) {
  return unif_index_rejection(*this, dn);
}

std::vector<uint64_t> RLecuyerCmrgSeedCompat::sample_int_no_replace_with_kind(uint64_t n,
                                                                             uint64_t size) {
  check_sample_size(n, size);
  std::vector<uint64_t> out;
  if (size == 0) return out;
  out.reserve(size);
  std::vector<uint64_t> pool(n);
  for (uint64_t i = 0; i < n; ++i) pool[i] = i + 1;
  for (uint64_t i = 0; i < size; ++i) {
    const uint64_t m = n - i;
    const uint64_t j = r_unif_index_with_kind(m);
    out.push_back(pool[j]);
    pool[j] = pool[m - 1];
  }
  return out;
}

uint32_t SampleIntScratch::begin(uint64_t n) {
  if (n > stamp_.size()) {
    stamp_.resize(n, 0);
    value_.resize(n);
  }
  if (generation_ == 0xFFFFFFFFu) {
    std::fill(stamp_.begin(), stamp_.end(), 0u);
    generation_ = 1;
  } else {
    ++generation_;
  }
  return generation_;
}

void RLecuyerCmrgSeedCompat::sample_int_no_replace_with_kind(uint64_t n, uint64_t size,
                                                             SampleIntScratch& scratch,
                                                             std::vector<uint64_t>& out) {
  check_sample_size(n, size);
  out.clear();
  if (size == 0) return;
  out.reserve(size);
  // Slot j holds j + 1 unless stamped with this call's generation, in which
  // case value_[j] holds what the pool would hold after the swaps so far.
  const uint32_t g = scratch.begin(n);
  uint32_t* const stamp = scratch.stamp_.data();
  uint64_t* const value = scratch.value_.data();
  for (uint64_t i = 0; i < size; ++i) {
    const uint64_t m = n - i;
    const uint64_t j = r_unif_index_with_kind(m);
    out.push_back(stamp[j] == g ? value[j] : j + 1);
    const uint64_t last = m - 1;
    value[j] = stamp[last] == g ? value[last] : last + 1;
    stamp[j] = g;
  }
}

void testing_set_sample_scratch_generation(SampleIntScratch& scratch, uint32_t generation) {
  scratch.generation_ = generation;
}

uint32_t testing_sample_scratch_generation(const SampleIntScratch& scratch) {
  return scratch.generation_;
}

// ---------------------------------------------------------------------------
// Standard MT19937

void mt19937_init_words(uint32_t seed, std::array<uint32_t, Mt19937Words::kN>& words) {
  words[0] = seed;
  for (uint32_t i = 1; i < Mt19937Words::kN; ++i)
    words[i] = 1812433253u * (words[i - 1] ^ (words[i - 1] >> 30)) + i;
}

Mt19937 Mt19937::seed(uint32_t s) {
  Mt19937 r{};
  mt19937_init_words(s, r.state.mt);
  r.state.index = Mt19937Words::kN;
  return r;
}

uint32_t Mt19937::uniform_below(uint32_t m) {
  if (m == 0) internal_fault("uniform_below: bound must be at least 1");
  const uint32_t limit = (0xFFFFFFFFu / m) * m;
  uint32_t x;
  do {
    x = next_u32();
  } while (x >= limit);
  return x % m;
}

UniformBelow::UniformBelow(uint32_t m) : m_(m) {
  if (m == 0) internal_fault("uniform_below: bound must be at least 1");
  limit_ = (0xFFFFFFFFu / m) * m;
  magic_ = ~uint64_t{0} / m + 1;
}

namespace {

// Whether every x[i] < limit.
bool all_below(const uint32_t* x, uint64_t n, uint32_t limit) {
  uint64_t i = 0;
  bool below = true;
#if defined(__SSE2__)
  if (limit == 0) return n == 0;
  // Unsigned x >= limit as a signed comparison with the top bits flipped.
  const __m128i flip = _mm_set1_epi32(static_cast<int>(0x80000000u));
  const __m128i top = _mm_xor_si128(_mm_set1_epi32(static_cast<int>(limit - 1)), flip);
  __m128i any = _mm_setzero_si128();
  for (; i + 4 <= n; i += 4) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x + i));
    any = _mm_or_si128(any, _mm_cmpgt_epi32(_mm_xor_si128(v, flip), top));
  }
  below = _mm_movemask_epi8(any) == 0;
#endif
  for (; i < n; ++i) below &= x[i] < limit;
  return below;
}

}  // namespace

void draw_pairs(Mt19937& mt, const UniformBelow& first, const UniformBelow& second, uint32_t* out,
                uint64_t pairs) {
  if (draw_pair_words(mt, first, second, out, pairs)) finish_pairs(first, second, out, out, pairs);
}

void finish_pairs(const UniformBelow& first, const UniformBelow& second, const uint32_t* words,
                  uint32_t* out, uint64_t pairs) {
  for (uint64_t a = 0; a < pairs; ++a) {
    out[2 * a] = first.mod(words[2 * a]);
    out[2 * a + 1] = second.mod(words[2 * a + 1]);
  }
}

bool draw_pair_words(Mt19937& mt, const UniformBelow& first, const UniformBelow& second,
                     uint32_t* out, uint64_t pairs) {
  const uint64_t n = 2 * pairs;
  // Every pair takes at least two words: these are all used whatever happens.
  mt.state.fill_tempered(out, n);
  if (all_below(out, n, std::min(first.limit(), second.limit()))) return true;
  // Some word may be rejected: follow the draws through the words, taking more
  // from the stream past their end. Draw j never reads a word before word j,
  // so the results can overwrite the words in place.
  uint64_t next = 0;
  const auto word = [&]() { return next < n ? out[next++] : (++next, mt.next_u32()); };
  for (uint64_t j = 0; j < n; ++j) {
    const UniformBelow& u = (j & 1) == 0 ? first : second;
    uint32_t x;
    do {
      x = word();
    } while (x >= u.limit());
    out[j] = u.mod(x);
  }
  return false;
}

uint64_t splitmix64_mix(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return z ^ (z >> 31);
}

uint64_t splitmix64(uint64_t x) { return splitmix64_mix(x + 0x9e3779b97f4a7c15ull); }

// ---------------------------------------------------------------------------
// combination

namespace {

// Per-thread "taken" markers of combination(). A mark equal to the current
// generation means taken in the current call, so no call clears the array
// except when the generation counter wraps.
struct CombMarker {
  bool created = false;
  bool in_use = false;
  uint32_t generation = 0;
  std::vector<uint32_t> marks;
};

// Each thread's marker hangs off a pthread key, not a thread_local: the C
// library registers a thread_local's destructor at its first use in every
// thread, an allocation whose failure aborts the process. The key's
// destructor frees the marker when its thread ends.
void free_marker(void* marker) { delete static_cast<CombMarker*>(marker); }

pthread_key_t marker_key() {
  static const pthread_key_t key = [] {
    pthread_key_t k;
    if (pthread_key_create(&k, free_marker) != 0) throw std::bad_alloc();
    return k;
  }();
  return key;
}

CombMarker& this_thread_marker() {
  const pthread_key_t key = marker_key();
  if (void* p = pthread_getspecific(key)) return *static_cast<CombMarker*>(p);
  auto marker = std::make_unique<CombMarker>();
  if (pthread_setspecific(key, marker.get()) != 0) throw std::bad_alloc();
  return *marker.release();
}

constexpr uint64_t kMinMarks = 10000;

// Exclusive use of this thread's marker for the duration of one call.
class MarkerBorrow {
 public:
  MarkerBorrow() : m_(this_thread_marker()) {
    if (m_.in_use) internal_fault("combination: marker already in use on this thread");
    if (!m_.created) {
      m_.marks.assign(kMinMarks, 0u);
      m_.generation = 0;
      m_.created = true;
    }
    m_.in_use = true;
  }
  ~MarkerBorrow() { m_.in_use = false; }
  MarkerBorrow(const MarkerBorrow&) = delete;
  MarkerBorrow& operator=(const MarkerBorrow&) = delete;

  CombMarker& operator*() { return m_; }
  CombMarker* operator->() { return &m_; }

 private:
  CombMarker& m_;
};

}  // namespace

void combination(uint64_t a, uint64_t b, uint64_t k, Mt19937& mt, std::vector<uint64_t>& out) {
  out.clear();
  // b = a - 1 is the empty range. Anything below it would wrap n around; a
  // range wider than 32 bits cannot be drawn with 32-bit bounds.
  uint64_t n = 0;
  if (b >= a) {
    if (b - a >= 0xFFFFFFFFull) {
      internal_fault("combination: range [" + std::to_string(a) + ", " + std::to_string(b) +
                     "] has more than 2^32 - 1 values");
    }
    n = b - a + 1;
  } else if (b != a - 1) {
    internal_fault("combination: invalid range [" + std::to_string(a) + ", " + std::to_string(b) +
                   "]");
  }

  MarkerBorrow marker;
  std::vector<uint32_t>& marks = marker->marks;
  if (n > marks.size()) marks.resize(n, 0u);
  if (marker->generation == 0xFFFFFFFFu) {
    std::fill(marks.begin(), marks.end(), 0u);
    marker->generation = 1;
  } else {
    ++marker->generation;
  }
  const uint32_t g = marker->generation;

  if (static_cast<double>(n) * 0.5 > static_cast<double>(k)) {
    if (k == 0) return;
    out.reserve(k);
    // One bound for every draw: its rejection limit and remainder are set up
    // once rather than with two divisions per draw.
    const UniformBelow below(static_cast<uint32_t>(n));
    while (out.size() < k) {
      const uint32_t x = below(mt);
      if (marks[x] == g) continue;
      marks[x] = g;
      out.push_back(a + x);
    }
    return;
  }

  // Floyd's selection: every draw adds exactly one new value.
  if (n - k >= n) return;  // k = 0 or k > n
  out.reserve(k);
  for (uint64_t r = n - k; r < n; ++r) {
    const uint32_t x = mt.uniform_below(static_cast<uint32_t>(r + 1));
    if (marks[x] == g) {
      marks[r] = g;
      out.push_back(a + r);
    } else {
      marks[x] = g;
      out.push_back(a + x);
    }
  }
  // Floyd's order is biased (late draws favour high values); shuffle it.
  if (k >= 2) {
    for (uint64_t i = k - 1; i >= 1; --i) {
      const uint32_t j = mt.uniform_below(static_cast<uint32_t>(i + 1));
      std::swap(out[i], out[j]);
    }
  }
}

std::vector<uint64_t> combination(uint64_t a, uint64_t b, uint64_t k, Mt19937& mt) {
  std::vector<uint64_t> out;
  combination(a, b, k, mt, out);
  return out;
}

void testing_set_comb_marker_generation(uint32_t generation) {
  MarkerBorrow marker;
  marker->generation = generation;
}

uint32_t testing_comb_marker_generation() {
  MarkerBorrow marker;
  return marker->generation;
}

}  // namespace tarvelo::rng_compat
