// Random streams of the engine.
//
// Permutation p-values must be reproducible from the seed alone, bit for bit, on
// every platform, so every generator here is written out operation by operation
// rather than taken from <random>:
//
//  - RMt19937SeedCompat: R's Mersenne-Twister as R's set.seed() seeds it, with
//    R's unif_rand() and its "Rejection" uniform index (R >= 3.6 sample.kind).
//    Used to derive batch seeds and the multilevel seed.
//  - RLecuyerCmrgSeedCompat: R's L'Ecuyer-CMRG with R's seeding and R's
//    equal-probability sampling without replacement.
//  - Mt19937: the standard MT19937 (identical to std::mt19937) with its own
//    uniform-integer rule, plus combination(), the subset sampler of the
//    permutation kernels and the multilevel ruler.
//  - splitmix64: the standard SplitMix64 output function.
//
// All generators are plain values owned by one thread at a time. Broken caller
// invariants throw InternalError (error.hpp); nothing here aborts.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace tarvelo::rng_compat {

// 624 words of MT19937 state and the position of the next word to read (624:
// regenerate before the next read). Shared by the R-seeded and the standard
// generator: only their seeding and the use of the tempered words differ.
struct Mt19937Words {
  static constexpr uint64_t kN = 624;
  std::array<uint32_t, kN> mt{};
  uint64_t index = kN;

  // The next tempered 32-bit word.
  uint32_t next_tempered() {
    if (index >= kN) regenerate();
    uint32_t y = mt[index++];
    y ^= y >> 11;
    y ^= (y << 7) & 0x9d2c5680u;
    y ^= (y << 15) & 0xefc60000u;
    y ^= y >> 18;
    return y;
  }

  // The next n tempered words, as n calls of next_tempered would give them,
  // tempered a run of the state at a time (four words per step where SSE2 is
  // there, which every x86-64 has).
  void fill_tempered(uint32_t* out, uint64_t n);

  void regenerate();
};

// The standard MT19937 initialisation (init_genrand) of the 624 state words
// from a 32-bit seed; shared by every generator that seeds the standard way.
void mt19937_init_words(uint32_t seed, std::array<uint32_t, Mt19937Words::kN>& words);

// R's Mersenne-Twister generator, seeded by set.seed(seed) under
// RNGkind("Mersenne-Twister", "Inversion", "Rejection").
struct RMt19937SeedCompat {
  Mt19937Words state;

  // Equivalent to R's set.seed(seed) (seed as R's 32-bit integer reinterpreted
  // as unsigned). The words are R's .Random.seed[3:626].
  static RMt19937SeedCompat set_seed(uint32_t seed);

  // R's unif_rand(): a double in (0, 1); a tempered word of 0 gives 2^-33
  // (R's fix-up) instead of 0.
  double unif_rand();

  // R's R_unif_index(dn) with sample.kind "Rejection": uniform in [0, dn).
  // dn = 0 returns 0 without drawing.
  uint64_t r_unif_index_with_kind(uint64_t dn);
};

// Reusable scratch for RLecuyerCmrgSeedCompat::sample_int_no_replace_with_kind:
// a lazily-materialised pool [1..n] whose overwritten slots carry the current
// generation stamp, so each call costs O(size) instead of O(n) after the first.
// Owned by one caller (not thread-safe); may be reused with any n.
class SampleIntScratch {
 public:
  SampleIntScratch() = default;

 private:
  friend struct RLecuyerCmrgSeedCompat;
  friend void testing_set_sample_scratch_generation(SampleIntScratch&, uint32_t);
  friend uint32_t testing_sample_scratch_generation(const SampleIntScratch&);

  // Starts a call over a pool of n slots and returns its stamp.
  uint32_t begin(uint64_t n);

  std::vector<uint64_t> value_;
  std::vector<uint32_t> stamp_;
  uint32_t generation_ = 0;
};

// R's L'Ecuyer-CMRG generator (MRG32k3a) under
// RNGkind("L'Ecuyer-CMRG", sample.kind = "Rejection"). s[0..2] is the first
// component, s[3..5] the second; R's .Random.seed[2:7] as unsigned words.
struct RLecuyerCmrgSeedCompat {
  std::array<uint32_t, 6> s{};

  // Equivalent to R's set.seed(seed).
  static RLecuyerCmrgSeedCompat set_seed(uint32_t seed);

  // R's unif_rand() for this generator: a double in (0, 1), no fix-up.
  double unif_rand();

  // R's R_unif_index(dn), "Rejection" kind, on this generator.
  uint64_t r_unif_index_with_kind(uint64_t dn);

  // R's sample.int(n, size) without replacement (useHash = FALSE): `size`
  // distinct values in [1, n], in draw order. size > n throws InternalError.
  std::vector<uint64_t> sample_int_no_replace_with_kind(uint64_t n, uint64_t size);

  // The same draws and the same result, written to `out` (replacing its
  // contents), in O(size) time per call once `scratch` has grown to n.
  void sample_int_no_replace_with_kind(uint64_t n, uint64_t size, SampleIntScratch& scratch,
                                       std::vector<uint64_t>& out);
};

// The standard MT19937 (the stream of std::mt19937 for the same seed).
struct Mt19937 {
  Mt19937Words state;  // all zero until seeded: use Mt19937::seed

  static Mt19937 seed(uint32_t s);

  uint32_t next_u32() { return state.next_tempered(); }

  // Uniform in [0, m): rejects x >= floor(0xFFFFFFFF / m) * m, then x mod m.
  // m = 0 throws InternalError.
  uint32_t uniform_below(uint32_t m);
};

// Mt19937::uniform_below for one bound drawn from many times: the same values
// from the same stream, with the rejection limit computed once and the
// remainder taken by multiplication (Lemire's fastmod, exact for every 32-bit
// x and m) instead of a division per draw.
class UniformBelow {
 public:
  // m = 0 throws InternalError.
  explicit UniformBelow(uint32_t m);

  uint32_t operator()(Mt19937& mt) const {
    uint32_t x;
    do {
      x = mt.next_u32();
    } while (x >= limit_);
    return mod(x);
  }

  uint32_t bound() const { return m_; }
  // Words at or above this are rejected.
  uint32_t limit() const { return limit_; }

  // x mod m. Exposed for tests.
  uint32_t mod(uint32_t x) const {
    const uint64_t low = magic_ * x;
    return static_cast<uint32_t>((static_cast<unsigned __int128>(low) * m_) >> 64);
  }

 private:
  uint32_t m_;
  uint32_t limit_;
  uint64_t magic_;  // ceil(2^64 / m), 0 for m = 1 (every remainder is 0)
};

// `pairs` pairs of draws (first, then second) written to out[2a] and
// out[2a + 1]: the same values, and the stream left at the same place, as
// calling first(mt) and second(mt) in turn. The words are tempered in a batch
// and checked against both rejection limits four at a time; only when one is
// rejected are they taken one by one.
void draw_pairs(Mt19937& mt, const UniformBelow& first, const UniformBelow& second, uint32_t* out,
                uint64_t pairs);

// draw_pairs in two steps, so that the reduction of the words can be spread
// over threads. Advances the stream as draw_pairs does. Returns true when no
// word was rejected: out then holds the raw words, and finish_pairs on any
// run of whole pairs of them (starting at an even word) gives those draws in
// its own out (which may be the words themselves); returns false when out
// already holds the draws.
bool draw_pair_words(Mt19937& mt, const UniformBelow& first, const UniformBelow& second,
                     uint32_t* out, uint64_t pairs);
void finish_pairs(const UniformBelow& first, const UniformBelow& second, const uint32_t* words,
                  uint32_t* out, uint64_t pairs);

// The standard SplitMix64 output for state x: splitmix64_mix(x + golden gamma).
uint64_t splitmix64(uint64_t x);
// SplitMix64's output mix alone (the state already advanced).
uint64_t splitmix64_mix(uint64_t z);

// k distinct integers of [a, b], in the order the permutation kernels read
// prefixes of. Rejection sampling on per-thread generation-stamped markers when
// k < n / 2 (n = b - a + 1), else Floyd's selection followed by a Fisher-Yates
// shuffle. k = 0 or k > n gives an empty vector. b < a - 1, or n > 2^32 - 1,
// throws InternalError.
std::vector<uint64_t> combination(uint64_t a, uint64_t b, uint64_t k, Mt19937& mt);

// The same, writing into `out` (replacing its contents) to reuse its storage.
void combination(uint64_t a, uint64_t b, uint64_t k, Mt19937& mt, std::vector<uint64_t>& out);

// R's ceil(log2(dn)) as the uniform index computes it (exposed for tests).
int r_index_bits(uint64_t dn);

// Test hooks: the calling thread's combination() marker generation (created
// empty on first use) and the scratch generation of a SampleIntScratch.
void testing_set_comb_marker_generation(uint32_t generation);
uint32_t testing_comb_marker_generation();
void testing_set_sample_scratch_generation(SampleIntScratch& scratch, uint32_t generation);
uint32_t testing_sample_scratch_generation(const SampleIntScratch& scratch);

}  // namespace tarvelo::rng_compat
