// The multilevel ruler: exact comparisons (against GMP rationals), scoring
// (against a brute-force walk), resampling on hand-built populations, and the
// fast swap test against full rescoring on the same random stream.
#include <gmp.h>
#include <gtest/gtest.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "tarvelo/base/cpu.hpp"
#include "tarvelo/base/pool.hpp"
#include "tarvelo/engine/esruler_compat.hpp"
#include "tarvelo/engine/rng_compat.hpp"
#include "fixture_util.hpp"

namespace tarvelo::esruler_compat {
namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

using fixture::sanitizer_build;

// Exact value coef / rank_sum - misses / n_minus_k; 0 for a zero rank sum.
class Rational {
 public:
  explicit Rational(const Gsea& g) {
    mpq_init(q_);
    if (g.rank_sum == 0) return;
    mpq_t a, b;
    mpq_inits(a, b, nullptr);
    set(a, g.coef, g.rank_sum);
    set(b, g.misses, g.n_minus_k);
    mpq_sub(q_, a, b);
    mpq_clears(a, b, nullptr);
  }
  // x as the fixed-point value xf / 2^30.
  static Rational fixed(int64_t xf) {
    Gsea g{int64_t{1} << 30, xf, 1, 0, 0};
    return Rational(g);
  }
  ~Rational() { mpq_clear(q_); }
  Rational(const Rational&) = delete;
  int cmp(const Rational& o) const { return mpq_cmp(q_, o.q_); }
  int sign() const { return mpq_sgn(q_); }
  // Compares |this| with |o|.
  int cmp_abs(const Rational& o) const {
    mpq_t a, b;
    mpq_inits(a, b, nullptr);
    mpq_abs(a, q_);
    mpq_abs(b, o.q_);
    const int c = mpq_cmp(a, b);
    mpq_clears(a, b, nullptr);
    return c;
  }

 private:
  static void set(mpq_t out, int64_t num, int64_t den) {
    mpz_t n, d;
    mpz_inits(n, d, nullptr);
    set_z(n, num);
    set_z(d, den);
    mpq_set_num(out, n);
    mpq_set_den(out, d);
    mpq_canonicalize(out);
    mpz_clears(n, d, nullptr);
  }
  static void set_z(mpz_t z, int64_t v) {
    // Via two halves: mpz_set_si takes a long, fine on LP64, but keep it explicit.
    mpz_set_si(z, static_cast<long>(v));
  }
  mpq_t q_;
};

bool oracle_lt(const Gsea& a, const Gsea& b) {
  const int c = Rational(a).cmp(Rational(b));
  return c != 0 ? c < 0 : a.set_hash < b.set_hash;
}

Gsea random_gsea(std::mt19937_64& rng, bool extreme) {
  Gsea g;
  std::uniform_int_distribution<int64_t> any(kMin, kMax);
  std::uniform_int_distribution<int64_t> small(0, 40);
  const auto pick = [&](int64_t lo_bits) {
    if (extreme && rng() % 2) return any(rng);
    return small(rng) * lo_bits;
  };
  g.n_minus_k = extreme && rng() % 2 ? (any(rng) & kMax) | 1 : 1 + small(rng);
  // Rank sums are sums of non-negative weights (for a negative one the written
  // cross-multiplication is not the value order, and no ruler produces one).
  g.rank_sum = rng() % 8 == 0 ? 0 : pick(1 << 20) & kMax;
  g.coef = g.rank_sum == 0 ? 0 : pick(1 << 20);
  g.misses = g.rank_sum == 0 ? 0 : pick(1);
  g.set_hash = rng() % 4;
  return g;
}

TEST(GseaTest, LtCppIsTheExactOrderWithHashTies) {
  std::mt19937_64 rng(7);
  for (bool extreme : {false, true}) {
    for (int i = 0; i < 20000; ++i) {
      Gsea a = random_gsea(rng, extreme);
      Gsea b = random_gsea(rng, extreme);
      b.n_minus_k = a.n_minus_k;  // one ruler: one set size
      ASSERT_EQ(Gsea::lt_cpp(a, b), oracle_lt(a, b))
          << a.coef << "/" << a.rank_sum << "-" << a.misses << "/" << a.n_minus_k << " vs "
          << b.coef << "/" << b.rank_sum << "-" << b.misses << "/" << b.n_minus_k;
    }
  }
  // Equal values: the hash decides; equal value and hash: neither is below.
  const Gsea a{10, 5, 90, 3, 1};
  const Gsea c{20, 10, 90, 3, 2};  // 10/20 - 3/90 == 5/10 - 3/90
  EXPECT_TRUE(Gsea::lt_cpp(a, c));
  EXPECT_FALSE(Gsea::lt_cpp(c, a));
  EXPECT_FALSE(Gsea::lt_cpp(a, a));
}

TEST(GseaTest, ZeroWeightSetsHaveValueZero) {
  const Gsea zero_lo{0, 0, 100, 0, 1};
  const Gsea zero_hi{0, 0, 100, 0, 9};
  const Gsea positive{50, 10, 100, 1, 5};   // 10/50 - 1/100 > 0
  const Gsea at_zero{50, 0, 100, 0, 5};     // the origin: value 0
  // Below every set with a positive value, whatever the hashes.
  EXPECT_TRUE(Gsea::lt_cpp(zero_hi, positive));
  EXPECT_FALSE(Gsea::lt_cpp(positive, zero_hi));
  // Among value-0 sets the hash decides.
  EXPECT_TRUE(Gsea::lt_cpp(zero_lo, at_zero));
  EXPECT_TRUE(Gsea::lt_cpp(at_zero, zero_hi));
  EXPECT_TRUE(Gsea::lt_cpp(zero_lo, zero_hi));
  // Reaches only x = 0.
  EXPECT_TRUE(zero_lo.reaches(0));
  EXPECT_FALSE(zero_lo.reaches(1));

  // A strict weak order over a mixed population: sorting agrees with the oracle.
  std::mt19937_64 rng(11);
  std::vector<Gsea> pop;
  for (int i = 0; i < 300; ++i) {
    Gsea g = random_gsea(rng, false);
    g.n_minus_k = 37;
    pop.push_back(g);
  }
  std::vector<Gsea> sorted = pop;
  std::sort(sorted.begin(), sorted.end(), Gsea::lt_cpp);
  for (size_t i = 0; i + 1 < sorted.size(); ++i) {
    EXPECT_FALSE(oracle_lt(sorted[i + 1], sorted[i])) << i;
  }
}

TEST(GseaTest, ReachesIsExactAtTheFixedPointBoundary) {
  std::mt19937_64 rng(3);
  for (bool extreme : {false, true}) {
    for (int i = 0; i < 20000; ++i) {
      Gsea g = random_gsea(rng, extreme);
      if (g.rank_sum == 0) continue;
      if (rng() % 2) g.rank_sum = -g.rank_sum;  // reaches() keeps the written form
      std::uniform_int_distribution<int64_t> xs(extreme ? kMin : -(1 << 20), extreme ? kMax : 1 << 20);
      const int64_t xf = xs(rng);
      // value * 2^30 >= xf, multiplied through by rank_sum * n_minus_k as written
      // (for a negative rank sum the inequality flips with it).
      const int c = Rational(g).cmp(Rational::fixed(xf));
      const bool positive_den = (g.rank_sum > 0) == (g.n_minus_k > 0);
      ASSERT_EQ(g.reaches(xf), positive_den ? c >= 0 : c <= 0) << i;
    }
  }
  // Exactly on the boundary: 1/2 - 0 = 2^29 / 2^30.
  const Gsea half{4, 2, 10, 0, 0};
  EXPECT_TRUE(half.reaches(int64_t{1} << 29));
  EXPECT_FALSE(half.reaches((int64_t{1} << 29) + 1));
}

// Brute-force score: the first strictly greatest point after a hit, and the
// sign of the first point of strictly greatest magnitude, in exact rationals.
LevelEntry brute_score(const std::vector<int64_t>& w, const std::vector<uint64_t>& hash,
                       const std::vector<uint64_t>& genes) {
  const int64_t n = static_cast<int64_t>(w.size());
  const int64_t k = static_cast<int64_t>(genes.size());
  LevelEntry e;
  e.gsea.n_minus_k = n - k;
  for (uint64_t g : genes) {
    e.gsea.rank_sum += w[g];
    e.gsea.set_hash ^= hash[g];
  }
  const auto value = [&](int64_t c, int64_t m) {
    Gsea t = e.gsea;
    t.coef = c;
    t.misses = m;
    return t;
  };
  if (e.gsea.rank_sum == 0) return e;
  Gsea best = value(0, 0);
  Gsea extreme = value(0, 0);
  int64_t cum = 0;
  for (int64_t i = 0; i < k; ++i) {
    const int64_t m = static_cast<int64_t>(genes[i]) - i;
    const Gsea before = value(cum, m);
    if (Rational(before).cmp_abs(Rational(extreme)) > 0) extreme = before;
    cum += w[genes[i]];
    const Gsea after = value(cum, m);
    if (Rational(after).cmp_abs(Rational(extreme)) > 0) extreme = after;
    if (Rational(after).cmp(Rational(best)) > 0) best = after;
  }
  const bool extreme_neg = Rational(extreme).sign() < 0;
  e.gsea.coef = best.coef;
  e.gsea.misses = best.misses;
  e.es_nonneg = !extreme_neg;
  return e;
}

TEST(ScoreSetTest, MatchesBruteForce) {
  std::mt19937_64 rng(5);
  for (int trial = 0; trial < 400; ++trial) {
    const uint64_t n = 2 + rng() % 40;
    const uint64_t k = 1 + rng() % (n - 1);
    std::vector<int64_t> w(n);
    for (auto& x : w) x = rng() % 3 == 0 ? 0 : static_cast<int64_t>(rng() % 1000);
    if (trial % 5 == 0) std::sort(w.rbegin(), w.rend());
    std::vector<uint64_t> hash(n);
    for (auto& h : hash) h = rng();
    std::vector<uint64_t> all(n);
    for (uint64_t i = 0; i < n; ++i) all[i] = i;
    std::shuffle(all.begin(), all.end(), rng);
    std::vector<uint64_t> genes(all.begin(), all.begin() + static_cast<ptrdiff_t>(k));
    std::sort(genes.begin(), genes.end());
    ASSERT_EQ(score_set(w, hash, genes), brute_score(w, hash, genes)) << trial;
  }
  // A set whose running sum only falls: the origin is its best point, and its
  // two-sided score is negative.
  const std::vector<int64_t> w = {5, 5, 5, 1};
  const std::vector<uint64_t> h = {1, 2, 4, 8};
  const LevelEntry e = score_set(w, h, std::vector<uint64_t>{3});
  EXPECT_EQ(e.gsea.coef, 0);
  EXPECT_EQ(e.gsea.misses, 0);
  EXPECT_FALSE(e.es_nonneg);
  EXPECT_EQ(e.gsea.set_hash, 8u);
}

// --- resample_genesets on hand-built populations ---------------------------

EsRulerCompat ruler_with_sets(std::vector<int64_t> w, std::vector<std::vector<uint64_t>> sets) {
  const uint64_t k = sets[0].size();
  EsRulerCompat r(std::move(w), sets.size(), k);
  auto& h = r.gene_hash_for_testing();
  for (uint64_t i = 0; i < h.size(); ++i) h[i] = uint64_t{1} << i;
  r.sets_for_testing() = std::move(sets);
  return r;
}

TEST(ResampleTest, SplitsAtTheMiddleAndRefillsFromAbove) {
  // Decreasing weights: a set scores higher the earlier its gene.
  const std::vector<int64_t> w = {9, 8, 7, 6, 5, 4, 3, 2, 1, 1};
  auto r = ruler_with_sets(w, {{5}, {0}, {7}, {2}, {1}});
  auto gen = rng_compat::Mt19937::seed(1);
  ASSERT_TRUE(r.resample_genesets(gen));
  ASSERT_EQ(r.levels().size(), 1u);
  const Level& level = r.levels()[0];
  // Scores ascend {7}, {5}, {2}, {1}, {0}; the middle is {2}; two sets below.
  EXPECT_EQ(r.last_split(), 2u);
  ASSERT_EQ(level.below.size(), 2u);
  ASSERT_EQ(level.above.size(), 3u);
  EXPECT_EQ(level.bound, level.below.back().gsea);
  EXPECT_EQ(level.below[0].gsea.set_hash, uint64_t{1} << 7);
  EXPECT_EQ(level.above[0].gsea.set_hash, uint64_t{1} << 2);
  for (const auto& e : level.above) EXPECT_TRUE(Gsea::lt_cpp(level.bound, e.gsea));
  // The upper sets in ascending order, the two refilled slots copies of them.
  const auto& sets = r.sets_for_testing();
  EXPECT_EQ(sets[2], std::vector<uint64_t>{2});
  EXPECT_EQ(sets[3], std::vector<uint64_t>{1});
  EXPECT_EQ(sets[4], std::vector<uint64_t>{0});
  for (int i = 0; i < 2; ++i) {
    EXPECT_TRUE(sets[i] == std::vector<uint64_t>{2} || sets[i] == std::vector<uint64_t>{1} ||
                sets[i] == std::vector<uint64_t>{0});
  }
}

TEST(ResampleTest, TiesAtTheMiddleAndAlikeSets) {
  const std::vector<int64_t> w = {9, 8, 7, 6, 5, 4, 3, 2, 1, 1};
  // Three copies of the lowest set fill the middle: nothing is strictly below
  // it, so the split falls after the last copy.
  auto r = ruler_with_sets(w, {{6}, {0}, {6}, {1}, {6}});
  auto gen = rng_compat::Mt19937::seed(1);
  ASSERT_TRUE(r.resample_genesets(gen));
  EXPECT_EQ(r.last_split(), 3u);
  EXPECT_EQ(r.levels()[0].above.size(), 2u);

  // All sets alike: no level, nothing changes, no draw.
  auto same = ruler_with_sets(w, {{3}, {3}, {3}});
  auto g2 = rng_compat::Mt19937::seed(1);
  EXPECT_FALSE(same.resample_genesets(g2));
  EXPECT_TRUE(same.levels().empty());
  EXPECT_EQ(g2.next_u32(), rng_compat::Mt19937::seed(1).next_u32());

  // A single set never makes a level.
  auto one = ruler_with_sets(w, {{4}});
  EXPECT_FALSE(one.resample_genesets(g2));
}

// --- extend: fast swap test against full rescoring --------------------------

std::vector<int64_t> test_weights(std::mt19937_64& rng, uint64_t n, int style) {
  std::vector<int64_t> w(n);
  for (uint64_t i = 0; i < n; ++i) {
    switch (style) {
      case 0: w[i] = static_cast<int64_t>(rng() % (1 << 20)); break;          // arbitrary
      case 1: w[i] = static_cast<int64_t>(n - i) * 1000; break;               // decreasing
      case 2: w[i] = rng() % 2 ? 0 : static_cast<int64_t>(rng() % 4); break;  // zeros, ties
      default: w[i] = i < n / 3 ? 1 : 0; break;                               // few nonzero
    }
  }
  return w;
}

TEST(EsRulerTest, FastPerturbateGivesTheSameLevelsAsFullRescoring) {
  const int seeds = sanitizer_build() ? 6 : 40;
  std::mt19937_64 rng(99);
  int with_levels = 0;
  for (int trial = 0; trial < seeds; ++trial) {
    const uint64_t ks[] = {1, 2, 5, 17, 40};
    const uint64_t k = ks[trial % 5];
    const uint64_t n = k + 1 + rng() % 150;
    const auto w = test_weights(rng, n, trial % 4);
    const uint64_t s = 1 + rng() % 40;
    const uint32_t seed = static_cast<uint32_t>(rng());
    const double eps = trial % 3 == 0 ? 0.0 : 1e-6;
    EsRulerCompat fast(w, s, k), naive(w, s, k);
    naive.set_naive_perturbate_for_testing(true);
    fast.extend(seed, 0.9, eps);
    naive.extend(seed, 0.9, eps);
    ASSERT_EQ(fast.levels().size(), naive.levels().size()) << trial;
    for (size_t i = 0; i < fast.levels().size(); ++i) {
      ASSERT_EQ(fast.levels()[i], naive.levels()[i]) << trial << " level " << i;
    }
    EXPECT_EQ(fast.sets_for_testing(), naive.sets_for_testing()) << trial;
    with_levels += fast.levels().size() > 1;
  }
  EXPECT_GT(with_levels, seeds / 2);
}

TEST(EsRulerTest, LadderInvariants) {
  std::mt19937_64 rng(1);
  const auto w = test_weights(rng, 300, 0);
  EsRulerCompat r(w, 31, 12);
  r.extend(12345, 0.7, 0.0);
  ASSERT_GT(r.levels().size(), 3u);
  for (size_t i = 0; i < r.levels().size(); ++i) {
    const Level& level = r.levels()[i];
    EXPECT_EQ(level.below.size() + level.above.size(), 31u);
    EXPECT_TRUE(std::is_sorted(level.above.begin(), level.above.end(),
                               [](const LevelEntry& a, const LevelEntry& b) {
                                 return Gsea::lt_cpp(a.gsea, b.gsea);
                               }));
    for (const auto& e : level.above) EXPECT_TRUE(Gsea::lt_cpp(level.bound, e.gsea));
    // Moves never let a set fall to the bound: the next level starts above it.
    if (i + 1 < r.levels().size()) {
      EXPECT_TRUE(Gsea::lt_cpp(level.bound, r.levels()[i + 1].below.front().gsea));
    }
  }
  // It stopped because the last bound reached 0.7, and no earlier one did.
  const int64_t xf = static_cast<int64_t>(0.7 * 1073741824.0);
  EXPECT_TRUE(r.levels().back().bound.reaches(xf));
  EXPECT_FALSE(r.levels()[r.levels().size() - 2].bound.reaches(xf));
  // Every set stays sorted, distinct and in range.
  for (const auto& set : r.sets_for_testing()) {
    EXPECT_EQ(set.size(), 12u);
    EXPECT_TRUE(std::adjacent_find(set.begin(), set.end(), std::greater_equal<>()) == set.end());
    EXPECT_LT(set.back(), 300u);
  }
}

TEST(EsRulerTest, DepthLimitAndDegenerateRulers) {
  std::mt19937_64 rng(2);
  const auto w = test_weights(rng, 200, 0);
  // eps stops the ladder once the estimate is below it: 1e-3 needs about ten
  // halvings, far fewer than reaching a score of 0.99.
  EsRulerCompat shallow(w, 21, 10);
  shallow.extend(7, 0.99, 1e-3);
  EXPECT_GE(shallow.levels().size(), 5u);
  EXPECT_LE(shallow.levels().size(), 20u);

  // One set: no level at all.
  EsRulerCompat single(w, 1, 10);
  single.extend(7, 0.5, 0.0);
  EXPECT_TRUE(single.levels().empty());

  // All weights zero: every set scores alike (value 0) except for hashes, and
  // reaches a positive x never.
  EsRulerCompat flat(std::vector<int64_t>(50, 0), 11, 3);
  flat.extend(7, 0.5, 1e-4);
  for (const auto& level : flat.levels()) EXPECT_FALSE(level.bound.reaches(1));
}

TEST(EsRulerTest, HugeWeightsStayExact) {
  // Weights near the 64-bit limit leave the fast path; scores and comparisons
  // still hold exactly and nothing overflows (sanitizer build).
  std::vector<int64_t> w(40);
  for (size_t i = 0; i < w.size(); ++i) w[i] = (kMax / 64) - static_cast<int64_t>(i) * 997;
  EsRulerCompat r(w, 9, 4);
  r.extend(3, 0.95, 1e-4);
  EXPECT_FALSE(r.levels().empty());
  std::vector<uint64_t> hash(40);
  for (size_t i = 0; i < 40; ++i) hash[i] = i;
  const std::vector<uint64_t> genes = {0, 5, 17, 39};
  EXPECT_EQ(score_set(w, hash, genes), brute_score(w, hash, genes));
}

TEST(EsRulerTest, HugeSampleSizeIsAnAllocationFailure) {
  EsRulerCompat r(std::vector<int64_t>(100, 1), uint64_t{1} << 40, 10);
  EXPECT_THROW(r.extend(1, 0.5, 0.0), std::bad_alloc);
}

}  // namespace
}  // namespace tarvelo::esruler_compat

namespace tarvelo::esruler_compat {
namespace {

TEST(PerturbateTest, RedrawingTheRemovedGeneCountsWithoutChange) {
  // k = 1 among 10 genes, one chunk, a bound no set can beat: a swap is always
  // undone, and only drawing the set's own gene back counts.
  for (bool naive : {false, true}) {
    std::vector<int64_t> w(10, 5);
    EsRulerCompat r(w, 1, 1);
    r.set_naive_perturbate_for_testing(naive);
    r.sets_for_testing() = {{4}};
    r.chunk_last_for_testing() = {10};
    r.chunk_sets_for_testing();
    const Gsea unbeatable{5, 5, 9, 0, ~uint64_t{0}};  // value 1, the largest hash
    auto gen = rng_compat::Mt19937::seed(42);
    auto replay = rng_compat::Mt19937::seed(42);
    int32_t expected = 0;
    int32_t got = 0;
    for (int call = 0; call < 200; ++call) {
      got += r.perturbate(0, unbeatable, gen);
      replay.uniform_below(1);                     // position
      expected += replay.uniform_below(10) == 4;  // gene
    }
    EXPECT_EQ(got, expected) << naive;
    EXPECT_GT(expected, 5);
    EXPECT_EQ(r.chunks_for_testing().set_genes(0), std::vector<uint64_t>{4});
    EXPECT_EQ(r.chunks_for_testing().sum[0], 5);
  }
}

// --- the chunked layout and parallel passes ----------------------------------

// Order-sensitive digest of a ladder.
uint64_t ladder_digest(const EsRulerCompat& r) {
  uint64_t h = 0xcbf29ce484222325ull;
  const auto mix = [&](uint64_t v) {
    h ^= v;
    h *= 0x100000001b3ull;
    h ^= h >> 29;
  };
  for (const Level& level : r.levels()) {
    for (const auto* list : {&level.below, &level.above}) {
      for (const LevelEntry& e : *list) {
        mix(static_cast<uint64_t>(e.gsea.rank_sum));
        mix(static_cast<uint64_t>(e.gsea.coef));
        mix(static_cast<uint64_t>(e.gsea.misses));
        mix(e.gsea.set_hash);
        mix(e.es_nonneg);
      }
    }
  }
  mix(r.levels().size());
  return h;
}

// Two rulers of the same weights, set up to work differently, extended from
// the same seed: the same ladder, ending on the same sets.
void expect_same_ladders(EsRulerCompat& a, EsRulerCompat& b, uint32_t seed, const std::string& what) {
  a.extend(seed, 1.0, 1e-6);
  b.extend(seed, 1.0, 1e-6);
  EXPECT_GT(a.levels().size(), 3u) << what;
  EXPECT_EQ(ladder_digest(a), ladder_digest(b)) << what;
  EXPECT_EQ(a.sets_for_testing(), b.sets_for_testing()) << what;
}

// The layout's own view of set i must agree with its chunk sums, totals and
// chunk counts, and its genes must be distinct.
void expect_layout_consistent(const EsRulerCompat& r, const std::vector<int64_t>& w, uint64_t i) {
  const SampleChunks& l = r.chunks_for_testing();
  const std::vector<uint64_t> genes = l.set_genes(i);
  ASSERT_EQ(genes.size(), l.k);
  ASSERT_TRUE(std::adjacent_find(genes.begin(), genes.end(), std::greater_equal<>()) == genes.end());
  // The slots after the genes stay above every gene: the search for a new
  // gene's place relies on meeting one there.
  for (uint64_t j = l.k; j < l.stride; ++j) ASSERT_EQ(l.slot(i, j), l.pad()) << j;
  int64_t total = 0;
  for (uint64_t g : genes) total += w[g];
  EXPECT_EQ(l.state[i].rank_sum, total);
  int64_t chunk_total = 0;
  for (uint64_t c = 0; c < l.chunks; ++c) chunk_total += l.sum[i * l.chunk_stride + c];
  EXPECT_EQ(chunk_total, total);
  for (uint64_t p = 0; p < l.k; ++p) {
    const uint64_t c = l.gene_chunk[genes[p]];
    EXPECT_LE(l.prefix[i * l.prefix_stride + c], p);
    EXPECT_GT(l.prefix[i * l.prefix_stride + c + 1], p);
  }
}

// The settings of set_sse2_moves_for_testing that run different code here:
// SSE2 only, then AVX2 where the processor has it.
std::vector<bool> sse2_settings() {
  if (cpu::has_avx2()) return {true, false};
  return {true};
}

// A ruler moved by the fast path (on SSE2 only with `sse2`) and its twin moved
// by full rescoring, both extended from the same weights and seed.
struct RulerTwins {
  EsRulerCompat fast, naive;
  RulerTwins(const std::vector<int64_t>& w, uint64_t s, uint64_t k, uint32_t seed, double eps,
             bool sse2 = false)
      : fast(w, s, k), naive(w, s, k) {
    fast.set_sse2_moves_for_testing(sse2);
    fast.extend(seed, 0.99, eps);
    naive.extend(seed, 0.99, eps);
    naive.set_naive_perturbate_for_testing(true);
  }
  // Lays both out with the fast ruler's chunk bounds.
  void lay_out() {
    naive.chunk_last_for_testing() = fast.chunk_last_for_testing();
    fast.chunk_sets_for_testing();
    naive.chunk_sets_for_testing();
  }
  // One pass of each from equal streams must accept as many moves and leave
  // the same sets.
  void expect_same_pass(const Gsea& bound, rng_compat::Mt19937& g1, rng_compat::Mt19937& g2,
                        const std::string& where) {
    ASSERT_EQ(fast.perturbate_all(bound, g1), naive.perturbate_all(bound, g2)) << where;
    for (uint64_t i = 0; i < fast.chunks_for_testing().sets; ++i) {
      ASSERT_EQ(fast.chunks_for_testing().set_genes(i), naive.chunks_for_testing().set_genes(i))
          << where << " set " << i;
    }
  }
};

// Twins a few levels deep, both laid out with the chunk bounds `pick_bounds`
// chooses; then `passes` passes at the last bound from the same stream must
// keep the same sets and counts, and the fast layout must stay consistent. On
// each instruction set, with the same bounds.
template <class PickBounds>
void expect_moves_match_rescoring(const std::vector<int64_t>& w, uint64_t s, uint64_t k,
                                  uint32_t seed, int passes, int trial, PickBounds pick_bounds) {
  std::vector<uint64_t> bounds;
  for (bool sse2 : sse2_settings()) {
    const std::string where = std::to_string(trial) + (sse2 ? " sse2" : " avx2");
    RulerTwins t(w, s, k, seed, 1e-2, sse2);
    ASSERT_FALSE(t.fast.levels().empty()) << where;
    if (bounds.empty()) {
      pick_bounds(t.fast.chunk_last_for_testing());
      bounds = t.fast.chunk_last_for_testing();
    }
    t.fast.chunk_last_for_testing() = bounds;
    // Genes of 16 bits in even trials, of 32 in odd ones.
    t.fast.set_wide_genes_for_testing(trial % 2 == 1);
    t.lay_out();
    const Gsea bound = t.fast.levels().back().bound;
    auto g1 = rng_compat::Mt19937::seed(seed + 1);
    auto g2 = g1;
    for (int pass = 0; pass < passes; ++pass) {
      ASSERT_NO_FATAL_FAILURE(t.expect_same_pass(bound, g1, g2, where));
      ASSERT_EQ(g1.next_u32(), g2.next_u32());
    }
    for (uint64_t i = 0; i < s; ++i) expect_layout_consistent(t.fast, w, i);
  }
}

TEST(ChunkedPassTest, FlatMovesMatchFullRescoringPassByPass) {
  // Random rulers, moved pass by pass at a level's bound: the fast moves on the
  // flat layout and the full rescoring (which lays each changed set out anew)
  // keep the same sets, counts and stream, and the layout stays consistent.
  std::mt19937_64 rng(123);
  const int trials = sanitizer_build() ? 4 : 24;
  for (int trial = 0; trial < trials; ++trial) {
    const uint64_t ks[] = {3, 9, 30, 64};
    const uint64_t k = ks[trial % 4];
    const uint64_t n = k + 2 + rng() % 300;
    const auto w = test_weights(rng, n, trial % 3);
    const uint64_t s = 2 + rng() % 30;
    const uint32_t seed = static_cast<uint32_t>(rng());
    // Chunk bounds at random (some chunks empty or narrow): the layout must
    // not depend on them being medians.
    expect_moves_match_rescoring(w, s, k, seed, 6, trial, [&](std::vector<uint64_t>& chunk_last) {
      for (auto& b : chunk_last) b = rng() % n;
      std::sort(chunk_last.begin(), chunk_last.end());
    });
  }
}

TEST(ChunkedPassTest, ScoresFromTheLayoutMatchScoreSet) {
  // The scores read from the layout skip chunks by bounds and by the moves'
  // peak cache; they must equal full scoring on any chunk bounds, both right
  // after the sets are laid out (no peak known) and after passes of moves.
  // Small integer weights make the greatest and the least point tie in
  // magnitude, where the sign goes to the earlier one.
  std::mt19937_64 rng(77);
  const int trials = sanitizer_build() ? 6 : 40;
  int negative = 0;
  for (int trial = 0; trial < trials; ++trial) {
    const uint64_t ks[] = {2, 5, 16, 45};
    const uint64_t k = ks[trial % 4];
    const uint64_t n = k + 2 + rng() % 120;
    const auto w = test_weights(rng, n, trial % 4);
    const uint64_t s = 2 + rng() % 20;
    EsRulerCompat r(w, s, k);
    r.extend(static_cast<uint32_t>(rng()), 0.99, 1e-2);
    if (trial % 2 == 1) {
      // Random sets instead of the ladder's: many score below 0.
      auto pick = rng_compat::Mt19937::seed(static_cast<uint32_t>(rng()));
      for (auto& set : r.sets_for_testing()) {
        rng_compat::combination(0, n - 1, k, pick, set);
        std::sort(set.begin(), set.end());
      }
    }
    auto& chunk_last = r.chunk_last_for_testing();
    for (auto& b : chunk_last) b = rng() % n;
    std::sort(chunk_last.begin(), chunk_last.end());
    r.set_wide_genes_for_testing(trial % 4 >= 2);
    r.chunk_sets_for_testing();
    const Gsea bound = r.levels().empty() || trial % 2 == 1 ? Gsea{} : r.levels().back().bound;
    auto gen = rng_compat::Mt19937::seed(static_cast<uint32_t>(rng()));
    for (int pass = 0; pass < 4; ++pass) {
      if (pass > 0) r.perturbate_all(bound, gen);
      for (uint64_t i = 0; i < s; ++i) {
        const LevelEntry e = r.chunked_score_for_testing(i);
        ASSERT_EQ(e, score_set(w, r.gene_hash_for_testing(), r.chunks_for_testing().set_genes(i)))
            << trial << " pass " << pass << " set " << i;
        negative += e.es_nonneg ? 0 : 1;
      }
    }
  }
  EXPECT_GT(negative, 0);
  // Equal weights, two genes of four: {1, 2} dips to -2 before rising to 2,
  // {0, 3} rises to 2 first.
  const std::vector<int64_t> w = {1, 1, 1, 1};
  EsRulerCompat r(w, 2, 2);
  r.sets_for_testing() = {{1, 2}, {0, 3}};
  r.chunk_last_for_testing() = {2, 4};
  r.chunk_sets_for_testing();
  for (uint64_t i = 0; i < 2; ++i) {
    const LevelEntry e = r.chunked_score_for_testing(i);
    EXPECT_EQ(e, score_set(w, r.gene_hash_for_testing(), r.sets_for_testing()[i])) << i;
    EXPECT_EQ(e.es_nonneg, i == 1) << i;
  }
  // The two extremes around one gene: -1 before it, 1 after it.
  const std::vector<int64_t> w3 = {0, 1, 0};
  EsRulerCompat one(w3, 1, 1);
  one.sets_for_testing() = {{1}};
  one.chunk_last_for_testing() = {3};
  one.chunk_sets_for_testing();
  EXPECT_EQ(one.chunked_score_for_testing(0), score_set(w3, one.gene_hash_for_testing(), {{1}}));
  EXPECT_FALSE(one.chunked_score_for_testing(0).es_nonneg);
}

TEST(ChunkedPassTest, MovesMatchFullRescoringInWideChunks) {
  // A drawn gene's place is searched sixteen genes at a time within its chunk,
  // and past the last gene of the set in the last chunk. With one to three
  // chunks for up to 150 genes the searches span many windows and often end
  // in the slots after the set; the moves still agree with full rescoring.
  std::mt19937_64 rng(77);
  const int trials = sanitizer_build() ? 3 : 12;
  for (int trial = 0; trial < trials; ++trial) {
    const uint64_t ks[] = {15, 16, 17, 40, 150};
    const uint64_t k = ks[trial % 5];
    const uint64_t n = k + 5 + rng() % 400;
    const auto w = test_weights(rng, n, trial % 3);
    const uint64_t s = 2 + rng() % 12;
    const uint32_t seed = static_cast<uint32_t>(rng());
    // Bounds near the top leave the last chunk nearly all of the genes.
    expect_moves_match_rescoring(w, s, k, seed, 5, trial, [&](std::vector<uint64_t>& chunk_last) {
      chunk_last.assign(1 + trial % 3, n);
      for (size_t c = 0; c + 1 < chunk_last.size(); ++c) chunk_last[c] = rng() % (n / 8 + 1);
      std::sort(chunk_last.begin(), chunk_last.end());
    });
  }
}

TEST(ChunkedPassTest, MovesMatchFullRescoringAtExactTiesAndHugeWeights) {
  // The fast moves compare each point against one threshold derived from the
  // bound and the set's total by a division. Where that division is off by
  // one, points that tie the bound exactly (decided by the hashes) or weights
  // whose products leave 64 bits would be misjudged. Weights here are few
  // distinct multiples of one unit, so points tie the bound often; the unit
  // is 1, 2^20 or 2^48 (the last makes rem * R exceed 64 bits). Bounds are
  // the ladder's own and scores of random sets, moved pass by pass against
  // full rescoring.
  std::mt19937_64 rng(2024);
  const int trials = sanitizer_build() ? 6 : 36;
  for (int trial = 0; trial < trials; ++trial) {
    const int64_t units[] = {1, int64_t{1} << 20, int64_t{1} << 48};
    const int64_t unit = units[trial % 3];
    const uint64_t k = 2 + rng() % 12;
    const uint64_t n = k + 3 + rng() % 60;
    std::vector<int64_t> w(n);
    const uint64_t levels = trial % 2 == 0 ? 2 : 4;  // binary weights tie most
    for (auto& x : w) x = unit * static_cast<int64_t>(rng() % levels);
    w[rng() % n] += unit;  // at least one nonzero weight
    const uint64_t s = 2 + rng() % 20;
    const uint32_t seed = static_cast<uint32_t>(rng());
    RulerTwins t(w, s, k, seed, 1e-3);
    t.lay_out();
    EsRulerCompat& fast = t.fast;
    for (int round = 0; round < 4; ++round) {
      Gsea bound;
      if (round == 0 && !fast.levels().empty()) {
        bound = fast.levels().back().bound;
      } else {
        std::vector<uint64_t> genes;
        auto pick = rng_compat::Mt19937::seed(static_cast<uint32_t>(rng()));
        rng_compat::combination(0, n - 1, k, pick, genes);
        std::sort(genes.begin(), genes.end());
        bound = score_set(w, fast.gene_hash_for_testing(), genes).gsea;
      }
      auto g1 = rng_compat::Mt19937::seed(seed + static_cast<uint32_t>(round));
      auto g2 = g1;
      for (int pass = 0; pass < 3; ++pass) {
        ASSERT_NO_FATAL_FAILURE(t.expect_same_pass(
            bound, g1, g2, std::to_string(trial) + " round " + std::to_string(round)));
      }
      ASSERT_EQ(g1.next_u32(), g2.next_u32());
    }
    for (uint64_t i = 0; i < s; ++i) expect_layout_consistent(fast, w, i);
  }
}

TEST(ChunkedPassTest, RelayoutsFollowTheNewBounds) {
  // Each level lays the sets out anew with bounds that moved a little; the
  // gene-to-chunk table is rewritten only where it changed, eight genes at a
  // time, and the count arrays are reused. After every relayout, with bounds
  // of any number and spacing, the table must be that of the new bounds and
  // the moves must still match full rescoring.
  std::mt19937_64 rng(808);
  const int trials = sanitizer_build() ? 2 : 8;
  for (int trial = 0; trial < trials; ++trial) {
    const uint64_t k = 5 + rng() % 60;
    const uint64_t n = k + 9 + rng() % 700;
    const auto w = test_weights(rng, n, trial % 3);
    const uint64_t s = 2 + rng() % 12;
    const uint32_t seed = static_cast<uint32_t>(rng());
    RulerTwins t(w, s, k, seed, 1e-2);
    auto g1 = rng_compat::Mt19937::seed(seed + 7);
    auto g2 = g1;
    std::vector<uint64_t> bounds(1 + rng() % 6);
    for (int round = 0; round < 6; ++round) {
      // Half the rounds nudge the bounds by a few genes, half draw them anew.
      if (round % 2 == 0) {
        bounds.resize(1 + rng() % 6);
        for (auto& b : bounds) b = rng() % (n + 1);
      } else {
        for (auto& b : bounds) b = std::min<uint64_t>(n, b + rng() % 17);
      }
      std::sort(bounds.begin(), bounds.end());
      t.fast.chunk_last_for_testing() = bounds;
      t.lay_out();
      const SampleChunks& l = t.fast.chunks_for_testing();
      uint64_t chunk = 0;
      for (uint64_t g = 0; g < n; ++g) {
        while (chunk + 1 < bounds.size() && g >= bounds[chunk]) ++chunk;
        ASSERT_EQ(l.gene_chunk[g], chunk) << trial << " round " << round << " gene " << g;
      }
      const Gsea bound = t.fast.levels().empty() ? Gsea{} : t.fast.levels().back().bound;
      ASSERT_NO_FATAL_FAILURE(t.expect_same_pass(bound, g1, g2, std::to_string(trial)));
      for (uint64_t i = 0; i < s; ++i) expect_layout_consistent(t.fast, w, i);
    }
  }
}

TEST(ChunkedPassTest, GenesOf16And32BitsGiveTheSameLadders) {
  // Below 65,535 genes the sets are laid out in 16 bits. Whole ladders in 32
  // bits must match them, and a ranking too long for 16 bits must move like
  // full rescoring (the trial's seed picks the chunk bounds at random).
  std::mt19937_64 rng(65535);
  const int trials = sanitizer_build() ? 2 : 6;
  for (int trial = 0; trial < trials; ++trial) {
    const uint64_t k = 10 + rng() % 150;
    const uint64_t n = k + 50 + rng() % 5000;
    const auto w = test_weights(rng, n, trial % 3);
    const uint64_t s = 20 + rng() % 60;
    const uint32_t seed = static_cast<uint32_t>(rng());
    EsRulerCompat narrow(w, s, k), wide(w, s, k);
    wide.set_wide_genes_for_testing(true);
    expect_same_ladders(narrow, wide, seed, std::to_string(trial));
    EXPECT_TRUE(narrow.chunks_for_testing().narrow);
    EXPECT_FALSE(wide.chunks_for_testing().narrow);
  }
  const uint64_t n = 70000;
  const auto w = test_weights(rng, n, 0);
  expect_moves_match_rescoring(w, 12, 40, 99, 3, 0, [&](std::vector<uint64_t>& chunk_last) {
    for (auto& b : chunk_last) b = rng() % n;
    std::sort(chunk_last.begin(), chunk_last.end());
  });
}

TEST(ChunkedPassTest, MovesOnSse2AndAvx2GiveTheSameLadders) {
  // The AVX2 moves search 32 genes of 16 bits (16 of 32) at a time and shift
  // eight chunk counts at a time, a last four alone. Sets of up to 600 genes
  // (chunks of over 20: searches past one window of 32-bit genes) and counts
  // that end in a last four and that do not, in 16 and 32 bits: whole ladders
  // must be those of SSE2.
  if (!cpu::has_avx2()) GTEST_SKIP() << "no AVX2 here";
  std::mt19937_64 rng(256);
  const int trials = sanitizer_build() ? 2 : 8;
  for (int trial = 0; trial < trials; ++trial) {
    const uint64_t k = trial < 2 ? 400 + rng() % 200 : 10 + rng() % 250;
    const uint64_t n = k + 50 + rng() % 3000;
    const auto w = test_weights(rng, n, trial % 3);
    const uint64_t s = 20 + rng() % 40;
    const uint32_t seed = static_cast<uint32_t>(rng());
    EsRulerCompat sse2(w, s, k), avx2(w, s, k);
    sse2.set_sse2_moves_for_testing(true);
    sse2.set_wide_genes_for_testing(trial % 2 == 1);
    avx2.set_wide_genes_for_testing(trial % 2 == 1);
    expect_same_ladders(sse2, avx2, seed, std::to_string(trial) + " k " + std::to_string(k));
  }
}

TEST(ChunkedPassTest, LaddersDoNotDependOnTheThreadCount) {
  // Rulers large enough for the passes to run in parallel (and some too small
  // to), on arenas of 1, 2, 3 and 8 threads: identical ladders and sets.
  std::mt19937_64 rng(321);
  const int trials = sanitizer_build() ? 2 : 6;
  for (int trial = 0; trial < trials; ++trial) {
    const uint64_t k = trial % 3 == 0 ? 12 : 130 + rng() % 100;
    const uint64_t n = k + 100 + rng() % 2000;
    const auto w = test_weights(rng, n, trial % 2 == 0 ? 0 : 2);
    const uint64_t s = 81 + rng() % 40;
    const uint32_t seed = static_cast<uint32_t>(rng());
    const double eps = sanitizer_build() ? 1e-3 : 1e-8;
    uint64_t reference = 0;
    std::vector<std::vector<uint64_t>> reference_sets;
    for (int threads : {1, 2, 3, 8}) {
      tbb::task_arena arena(threads);
      EsRulerCompat r(w, s, k);
      pool::execute_in(arena, [&] { r.extend(seed, 1.0, eps); });
      if (threads == 1) {
        reference = ladder_digest(r);
        reference_sets = r.sets_for_testing();
        EXPECT_GT(r.levels().size(), 3u);
      } else {
        EXPECT_EQ(ladder_digest(r), reference) << trial << " threads " << threads;
        EXPECT_EQ(r.sets_for_testing(), reference_sets) << trial << " threads " << threads;
      }
    }
  }
}

TEST(ChunkedPassTest, PassesRunInRegionsGiveTheLaddersOfOnePassAtATime) {
  // Several passes per parallel region, with the region lengths chosen from the
  // acceptance rate or forced far past the target (every level then rolls its
  // sets and the stream back): the ladders and final sets of one thread (the
  // sets are refilled from the stream after the last passes, so they also show
  // where the passes left it).
  // Continuous weights need a few passes per level; tied and zero weights need
  // many, and may be cut short.
  struct Case {
    uint64_t n, k, s;
    int style;
  };
  const Case cases[] = {{1500, 100, 103, 0}, {900, 230, 61, 1}, {3000, 400, 41, 0},
                        {700, 120, 97, 2},   {5000, 160, 80, 3}};
  std::mt19937_64 rng(77);
  for (const Case& c : cases) {
    if (sanitizer_build() && c.k > 150) continue;
    const auto w = test_weights(rng, c.n, c.style);
    const uint32_t seed = static_cast<uint32_t>(rng());
    const double eps = sanitizer_build() ? 1e-3 : 1e-9;
    uint64_t reference = 0;
    std::vector<std::vector<uint64_t>> reference_sets;
    bool reference_cut = false;
    for (int threads : {1, 2, 3, 8}) {
      for (uint64_t forced : {uint64_t{0}, uint64_t{2}, uint64_t{64}}) {
        if (threads == 1 && forced > 0) continue;
        tbb::task_arena arena(threads);
        EsRulerCompat r(w, c.s, c.k);
        r.set_speculative_passes_for_testing(forced);
        pool::execute_in(arena, [&] { r.extend(seed, 1.0, eps); });
        if (threads == 1) {
          reference = ladder_digest(r);
          reference_sets = r.sets_for_testing();
          reference_cut = r.cut_short();
          EXPECT_GT(r.levels().size(), 2u) << c.n << " " << c.k;
        } else {
          EXPECT_EQ(ladder_digest(r), reference) << c.n << " " << c.k << " threads " << threads
                                                 << " forced " << forced;
          EXPECT_EQ(r.sets_for_testing(), reference_sets)
              << c.n << " " << c.k << " threads " << threads << " forced " << forced;
          EXPECT_EQ(r.cut_short(), reference_cut) << c.n << " " << c.k;
        }
      }
    }
  }
}

TEST(ChunkedPassTest, LaddersAreThoseOfTheSequentialRuler) {
  // Digests of ladders recorded before the sets were laid out flat and moved in
  // parallel (one set after another, vectors per chunk): the same weights, seeds
  // and limits must give the same ladders on any number of threads.
  struct Case {
    uint64_t n, k, s;
    uint32_t seed;
    double es, eps;
    int style;
    uint64_t digest;
    size_t levels;
  };
  const Case cases[] = {{2000, 200, 101, 7, 1.0, 1e-12, 0, 0xe46a9235dd19af6eull, 41},
                        {500, 15, 101, 11, 0.9, 1e-20, 0, 0x0b4c32573314a351ull, 43},
                        {3000, 40, 51, 3, 0.8, 0.0, 1, 0xf47908795b2fc4b7ull, 64},
                        {800, 100, 101, 5, 1.0, 1e-8, 2, 0x391f06afb759d758ull, 28},
                        {400, 300, 31, 9, 1.0, 1e-6, 0, 0x202f876f0f91b5c4ull, 22}};
  for (const Case& c : cases) {
    std::mt19937_64 rng(c.seed);
    std::vector<int64_t> w(c.n);
    for (uint64_t i = 0; i < c.n; ++i) {
      if (c.style == 0) {
        w[i] = static_cast<int64_t>(rng() % (1u << 20));
      } else if (c.style == 1) {
        w[i] = static_cast<int64_t>(c.n - i) * 977;
      } else {
        w[i] = rng() % 3 == 0 ? 0 : static_cast<int64_t>(rng() % 5);
      }
    }
    for (int threads : {1, 4}) {
      if (sanitizer_build() && c.k > 100) continue;
      tbb::task_arena arena(threads);
      EsRulerCompat r(w, c.s, c.k);
      pool::execute_in(arena, [&] { r.extend(c.seed, c.es, c.eps); });
      EXPECT_EQ(r.levels().size(), c.levels) << c.n << " " << c.k;
      EXPECT_EQ(ladder_digest(r), c.digest) << c.n << " " << c.k << " threads " << threads;
    }
  }
}

}  // namespace
}  // namespace tarvelo::esruler_compat
