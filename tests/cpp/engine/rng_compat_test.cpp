// Random streams against reference streams.
//
// Fixtures: tests/data/rng_r_fixtures.txt (tools/gen_rng_fixtures.R, R 4.2.2)
// and tests/data/combination_fixtures.txt (tools/gen_combination_fixtures.py,
// an independent CPython transcription of MT19937, uniform_below and
// combination). std::mt19937 is the oracle of the standard stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fixture_util.hpp"
#include "tarvelo/base/error.hpp"
#include "tarvelo/base/numeric.hpp"
#include "tarvelo/engine/rng_compat.hpp"

namespace tarvelo::rng_compat {
namespace {

// One fixture line: "<kind> <params...> | <values...> | <after...>".
struct FixtureLine {
  std::string kind;
  std::vector<std::string> params, values, after;
  std::string text;  // for failure messages
};

std::vector<std::string> split_ws(const std::string& s) {
  std::istringstream in(s);
  std::vector<std::string> out;
  for (std::string t; in >> t;) out.push_back(t);
  return out;
}

std::vector<FixtureLine> read_fixture(const std::string& name) {
  std::vector<FixtureLine> out;
  for (const std::string& line : fixture::lines(name)) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t bar; (bar = line.find('|', start)) != std::string::npos; start = bar + 1) {
      parts.push_back(line.substr(start, bar - start));
    }
    parts.push_back(line.substr(start));
    FixtureLine f;
    auto head = split_ws(parts[0]);
    f.kind = head.at(0);
    f.params.assign(head.begin() + 1, head.end());
    if (parts.size() > 1) f.values = split_ws(parts[1]);
    if (parts.size() > 2) f.after = split_ws(parts[2]);
    f.text = line.substr(0, 80);
    out.push_back(std::move(f));
  }
  return out;
}

uint64_t u64(const std::string& s) { return std::stoull(s); }
uint64_t bits(double x) { return std::bit_cast<uint64_t>(x); }
// Compares bit patterns, so that a last-digit difference shows as a failure.
void expect_same_double(const std::string& want, double got, const std::string& where) {
  const double w = std::strtod(want.c_str(), nullptr);
  EXPECT_EQ(bits(w), bits(got)) << where << ": want " << want << " got " << got;
}

template <class Gen>
void expect_after(const FixtureLine& f, Gen& gen) {
  for (const auto& a : f.after) expect_same_double(a, gen.unif_rand(), f.text + " (after)");
}

// R's pool method of sample.int without replacement, on any generator.
template <class Gen>
std::vector<uint64_t> pool_sample(Gen& gen, uint64_t n, uint64_t k) {
  std::vector<uint64_t> pool(n), out;
  for (uint64_t i = 0; i < n; ++i) pool[i] = i + 1;
  for (uint64_t i = 0; i < k; ++i) {
    const uint64_t j = gen.r_unif_index_with_kind(n - i);
    out.push_back(pool[j]);
    pool[j] = pool[n - i - 1];
  }
  return out;
}

std::vector<uint64_t> to_u64(const std::vector<std::string>& v) {
  std::vector<uint64_t> out;
  for (const auto& s : v) out.push_back(u64(s));
  return out;
}

TEST(RMersenneTwisterTest, MatchesR) {
  int counts[6] = {};
  for (const auto& f : read_fixture("rng_r_fixtures.txt")) {
    if (f.kind.rfind("mt_", 0) != 0 && f.kind != "batch" && f.kind != "refine") continue;
    const auto seed = static_cast<uint32_t>(u64(f.params.at(0)));
    auto r = RMt19937SeedCompat::set_seed(seed);
    if (f.kind == "mt_state") {
      // R's first word is its read index; it is 624 (regenerate first) after seeding.
      ASSERT_EQ(f.values.size(), 625u);
      EXPECT_EQ(u64(f.values[0]), r.state.index);
      for (size_t i = 0; i < 624; ++i) ASSERT_EQ(u64(f.values[i + 1]), r.state.mt[i]) << f.text;
      ++counts[0];
    } else if (f.kind == "mt_runif") {
      ASSERT_EQ(f.values.size(), u64(f.params.at(1)));
      for (const auto& v : f.values) expect_same_double(v, r.unif_rand(), f.text);
      expect_after(f, r);
      ++counts[1];
    } else if (f.kind == "mt_index") {
      const uint64_t dn = u64(f.params.at(1));
      for (const auto& v : f.values) EXPECT_EQ(u64(v), r.r_unif_index_with_kind(dn)) << f.text;
      expect_after(f, r);
      ++counts[2];
    } else if (f.kind == "mt_sample") {
      EXPECT_EQ(to_u64(f.values), pool_sample(r, u64(f.params.at(1)), u64(f.params.at(2))))
          << f.text;
      expect_after(f, r);
      ++counts[3];
    } else if (f.kind == "batch") {
      for (const auto& v : f.values) EXPECT_EQ(u64(v), r.r_unif_index_with_kind(1000000000) + 1);
      ++counts[4];
    } else if (f.kind == "refine") {
      // The driver's refinement seed: one batch seed, G discarded draws
      // (dn = G, ..., 1), then the seed.
      const uint64_t groups = u64(f.params.at(1));
      EXPECT_EQ(u64(f.values.at(0)), r.r_unif_index_with_kind(1000000000) + 1) << f.text;
      auto copy = r;
      for (uint64_t g = groups; g >= 1; --g) r.r_unif_index_with_kind(g);
      EXPECT_EQ(u64(f.values.at(1)), r.r_unif_index_with_kind(1000000000) + 1) << f.text;
      EXPECT_EQ(to_u64(f.after), pool_sample(copy, groups, groups)) << f.text;
      ++counts[5];
    }
  }
  for (int c : counts) EXPECT_GT(c, 0);
}

TEST(RMersenneTwisterTest, FixupAndDrawCounts) {
  // A tempered word of 0 (tempering maps 0 to 0) is the only fix-up case.
  RMt19937SeedCompat r{};
  r.state.mt[0] = 0;
  r.state.index = 0;
  const double u = r.unif_rand();
  EXPECT_EQ(bits(u), 0x3de00000000fffffull);
  EXPECT_EQ(u, 1.1641532185403984e-10);

  auto a = RMt19937SeedCompat::set_seed(7), b = a;
  EXPECT_EQ(a.r_unif_index_with_kind(0), 0u);  // no draw
  EXPECT_EQ(a.state.index, b.state.index);
  EXPECT_EQ(a.r_unif_index_with_kind(1), 0u);  // one draw
  b.unif_rand();
  EXPECT_EQ(a.unif_rand(), b.unif_rand());
}

TEST(RMersenneTwisterTest, IndexBitsAgreeWithLibm) {
  // The index width skips log2 below 2^32; it must equal R's ceil(log2(dn))
  // with glibc's log2 everywhere, above all next to powers of two.
  auto libm_bits = [](uint64_t dn) {
    return saturating_cast<int32_t>(std::ceil(std::log2(static_cast<double>(dn))));
  };
  for (uint64_t dn = 1; dn <= (1u << 18); ++dn) ASSERT_EQ(r_index_bits(dn), libm_bits(dn)) << dn;
  for (int k = 1; k < 64; ++k) {
    const uint64_t p = uint64_t{1} << k;
    for (uint64_t dn : {p - 1, p, p + 1, p + p / 2}) {
      ASSERT_EQ(r_index_bits(dn), libm_bits(dn)) << dn;
    }
  }
  std::mt19937_64 pick(5);
  for (int i = 0; i < 100000; ++i) {
    const uint64_t dn = pick() >> (pick() % 64);
    if (dn > 0) {
      ASSERT_EQ(r_index_bits(dn), libm_bits(dn)) << dn;
    }
  }
}

TEST(RLecuyerCmrgTest, MatchesR) {
  SampleIntScratch scratch;  // shared by every line: reuse across n must not matter
  std::vector<uint64_t> out;
  int counts[5] = {};
  for (const auto& f : read_fixture("rng_r_fixtures.txt")) {
    if (f.kind.rfind("le_", 0) != 0) continue;
    const auto seed = static_cast<uint32_t>(u64(f.params.at(0)));
    auto r = RLecuyerCmrgSeedCompat::set_seed(seed);
    if (f.kind == "le_state") {
      EXPECT_EQ(to_u64(f.values), std::vector<uint64_t>(r.s.begin(), r.s.end())) << f.text;
      ++counts[0];
    } else if (f.kind == "le_runif") {
      for (const auto& v : f.values) expect_same_double(v, r.unif_rand(), f.text);
      expect_after(f, r);
      ++counts[1];
    } else if (f.kind == "le_index") {
      const uint64_t dn = u64(f.params.at(1));
      for (const auto& v : f.values) EXPECT_EQ(u64(v), r.r_unif_index_with_kind(dn)) << f.text;
      expect_after(f, r);
      ++counts[2];
    } else if (f.kind == "le_sample") {
      const uint64_t n = u64(f.params.at(1)), k = u64(f.params.at(2));
      auto r2 = r;
      EXPECT_EQ(to_u64(f.values), r.sample_int_no_replace_with_kind(n, k)) << f.text;
      expect_after(f, r);
      r2.sample_int_no_replace_with_kind(n, k, scratch, out);
      EXPECT_EQ(to_u64(f.values), out) << f.text;
      expect_after(f, r2);
      ++counts[3];
    } else if (f.kind == "le_chain") {
      ++counts[4];
    }
  }
  for (int c : counts) EXPECT_GT(c, 0);

  // Consecutive samples from one seeding, as the single-pathway path draws them.
  auto plain = RLecuyerCmrgSeedCompat::set_seed(42), fast = plain;
  for (const auto& f : read_fixture("rng_r_fixtures.txt")) {
    if (f.kind != "le_chain") continue;
    EXPECT_EQ(to_u64(f.values), plain.sample_int_no_replace_with_kind(200, 15));
    fast.sample_int_no_replace_with_kind(200, 15, scratch, out);
    EXPECT_EQ(to_u64(f.values), out);
  }
}

TEST(RLecuyerCmrgTest, SampleEdgeCases) {
  auto r = RLecuyerCmrgSeedCompat::set_seed(3), before = r;
  EXPECT_TRUE(r.sample_int_no_replace_with_kind(10, 0).empty());
  EXPECT_EQ(r.s, before.s);  // size 0 draws nothing

  SampleIntScratch scratch;
  std::vector<uint64_t> out{1, 2, 3};
  try {
    r.sample_int_no_replace_with_kind(4, 5);
    ADD_FAILURE() << "no InternalError";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "sample_int_no_replace: size (5) must be <= n (4)");
  }
  EXPECT_THROW(r.sample_int_no_replace_with_kind(4, 5, scratch, out), InternalError);
}

TEST(RLecuyerCmrgTest, ScratchMatchesPlainPool) {
  // Random (n, size) pairs on one reused scratch, with n shrinking and growing,
  // and the stamp generation wrapping in the middle.
  SampleIntScratch scratch;
  std::vector<uint64_t> out;
  std::mt19937 pick(99);
  auto plain = RLecuyerCmrgSeedCompat::set_seed(123), fast = plain;
  for (int i = 0; i < 400; ++i) {
    if (i == 200) testing_set_sample_scratch_generation(scratch, 0xFFFFFFFEu);
    const uint64_t n = 1 + pick() % (i % 3 == 0 ? 5 : 3000);
    const uint64_t k = pick() % (n + 1);
    ASSERT_EQ(plain.sample_int_no_replace_with_kind(n, k),
              (fast.sample_int_no_replace_with_kind(n, k, scratch, out), out))
        << "case " << i << " n=" << n << " k=" << k;
  }
  EXPECT_LT(testing_sample_scratch_generation(scratch), 1000u);  // wrapped to 1 and counted on
}

TEST(Mt19937Test, MatchesStdAndGoldenValues) {
  auto m = Mt19937::seed(5489);
  uint32_t x = 0;
  for (int i = 0; i < 10000; ++i) x = m.next_u32();
  EXPECT_EQ(x, 4123659995u);
  EXPECT_EQ(Mt19937::seed(42).next_u32(), 1608637542u);
  for (uint32_t seed : {0u, 1u, 42u, 0x80000000u, 0xFFFFFFFFu}) {
    std::mt19937 oracle(seed);
    auto g = Mt19937::seed(seed);
    for (int i = 0; i < 2000; ++i) ASSERT_EQ(g.next_u32(), oracle()) << seed << " @" << i;
  }
  EXPECT_EQ(splitmix64(0), 0xe220a8397b1dcdafull);
  EXPECT_EQ(splitmix64(1), 0x910a2dec89025cc1ull);
  EXPECT_THROW(Mt19937::seed(1).uniform_below(0), InternalError);
}

// The hoisted draw must give uniform_below's values from the same stream; its
// remainder by multiplication must equal x % m for every x, at the bounds
// where such tricks usually break (1, powers of two, odd bounds near 2^32).
TEST(Mt19937Test, FixedBoundDrawMatchesUniformBelow) {
  std::mt19937_64 pick(7);
  std::vector<uint32_t> bounds = {1u, 2u, 3u, 7u, 50u, 101u, 8500u, 20000u, 65536u, 65537u,
                                  0x7FFFFFFFu, 0x80000000u, 0x80000001u, 0xFFFFFFFEu, 0xFFFFFFFFu};
  for (int i = 0; i < 40; ++i) bounds.push_back(static_cast<uint32_t>(pick() >> 32) | 1u);
  for (uint32_t m : bounds) {
    const UniformBelow draw(m);
    EXPECT_EQ(draw.bound(), m);
    for (uint32_t x : {0u, 1u, m - 1, m, m + 1, 0x7FFFFFFFu, 0xFFFFFFFEu, 0xFFFFFFFFu}) {
      ASSERT_EQ(draw.mod(x), x % m) << x << " mod " << m;
    }
    for (int i = 0; i < 2000; ++i) {
      const auto x = static_cast<uint32_t>(pick());
      ASSERT_EQ(draw.mod(x), x % m) << x << " mod " << m;
    }
    auto a = Mt19937::seed(m);
    auto b = Mt19937::seed(m);
    for (int i = 0; i < 500; ++i) ASSERT_EQ(draw(a), b.uniform_below(m)) << m << " @" << i;
  }
  EXPECT_THROW(UniformBelow(0), InternalError);
}

// The batched words must be std::mt19937's, across state regenerations and
// from any starting offset within the state.
TEST(Mt19937Test, FilledTemperedWordsAreTheStream) {
  for (uint64_t skip : {0u, 1u, 3u, 623u, 624u, 1000u}) {
    for (uint64_t n : {0u, 1u, 5u, 623u, 624u, 625u, 3000u}) {
      auto a = Mt19937::seed(99);
      std::mt19937 ref(99);
      for (uint64_t i = 0; i < skip; ++i) {
        a.next_u32();
        ref();
      }
      std::vector<uint32_t> out(n + 1, 0xDEADBEEFu);
      a.state.fill_tempered(out.data(), n);
      for (uint64_t i = 0; i < n; ++i) ASSERT_EQ(out[i], ref()) << skip << "+" << i;
      ASSERT_EQ(out[n], 0xDEADBEEFu);
      ASSERT_EQ(a.next_u32(), ref()) << "stream position after " << n;
    }
  }
}

// Batched pairs against alternating single draws: the same values and the
// stream left where the single draws leave it. Bounds just above 2^31 and
// three quarters of 2^32 reject a quarter to a half of the words, so the
// word-by-word fallback and its reads past the batch are exercised; small
// bounds take the batched path. The two-step form gives the same draws when
// its words are reduced in separate runs of pairs, as the ruler's tasks do,
// into a buffer of their own or in place.
TEST(Mt19937Test, DrawnPairsMatchAlternatingDraws) {
  const std::pair<uint32_t, uint32_t> bounds[] = {
      {200u, 8500u}, {1u, 1u}, {50u, 20000u}, {0x80000001u, 7u}, {3u, 0xC0000000u},
      {0x80000001u, 0xC0000001u}, {0xFFFFFFFFu, 0xFFFFFFFFu}};
  for (const auto& [m1, m2] : bounds) {
    const UniformBelow first(m1);
    const UniformBelow second(m2);
    for (uint64_t pairs : {0u, 1u, 2u, 20u, 311u, 312u, 2020u}) {
      auto a = Mt19937::seed(m1 ^ m2 ^ static_cast<uint32_t>(pairs));
      auto b = a;
      a.next_u32();  // start off a run boundary
      b.next_u32();
      auto c = a;
      std::vector<uint32_t> out(2 * pairs), split(2 * pairs);
      draw_pairs(a, first, second, out.data(), pairs);
      if (draw_pair_words(c, first, second, split.data(), pairs)) {
        const uint64_t cut = pairs / 3;
        std::vector<uint32_t> own(2 * (pairs - cut));
        finish_pairs(first, second, split.data() + 2 * cut, own.data(), pairs - cut);
        std::copy(own.begin(), own.end(), split.begin() + static_cast<ptrdiff_t>(2 * cut));
        finish_pairs(first, second, split.data(), split.data(), cut);
      }
      ASSERT_EQ(split, out) << m1 << "," << m2 << " pairs " << pairs;
      auto after = a;
      ASSERT_EQ(c.next_u32(), after.next_u32()) << m1 << "," << m2 << " pairs " << pairs;
      for (uint64_t i = 0; i < pairs; ++i) {
        ASSERT_EQ(out[2 * i], b.uniform_below(m1)) << m1 << "," << m2 << " pair " << i;
        ASSERT_EQ(out[2 * i + 1], b.uniform_below(m2)) << m1 << "," << m2 << " pair " << i;
      }
      ASSERT_EQ(a.next_u32(), b.next_u32()) << m1 << "," << m2 << " after " << pairs;
    }
  }
}

TEST(CombinationTest, MatchesTranscription) {
  std::vector<uint64_t> out;
  Mt19937 chain = Mt19937::seed(2024);
  int counts[3] = {};
  for (const auto& f : read_fixture("combination_fixtures.txt")) {
    if (f.kind == "ubelow") {
      auto g = Mt19937::seed(static_cast<uint32_t>(u64(f.params.at(0))));
      const auto m = static_cast<uint32_t>(u64(f.params.at(1)));
      for (const auto& v : f.values) ASSERT_EQ(u64(v), g.uniform_below(m)) << f.text;
      EXPECT_EQ(u64(f.after.at(0)), g.next_u32()) << f.text;
      ++counts[0];
    } else if (f.kind == "comb") {
      auto g = Mt19937::seed(static_cast<uint32_t>(u64(f.params.at(0))));
      const uint64_t a = u64(f.params.at(1)), b = u64(f.params.at(2)), k = u64(f.params.at(3));
      EXPECT_EQ(to_u64(f.values), combination(a, b, k, g)) << f.text;
      EXPECT_EQ(u64(f.after.at(0)), g.next_u32()) << f.text;
      ++counts[1];
    } else if (f.kind == "chain") {
      combination(u64(f.params.at(0)), u64(f.params.at(1)), u64(f.params.at(2)), chain, out);
      EXPECT_EQ(to_u64(f.values), out) << f.text;
      ++counts[2];
    }
  }
  for (int c : counts) EXPECT_GT(c, 0);
}

TEST(CombinationTest, EmptyResultsAndBrokenRanges) {
  auto g = Mt19937::seed(5), before = g;
  EXPECT_TRUE(combination(1, 10, 0, g).empty());   // selection side
  EXPECT_TRUE(combination(1, 11, 0, g).empty());   // rejection side
  EXPECT_TRUE(combination(1, 10, 11, g).empty());  // k > n
  EXPECT_TRUE(combination(5, 4, 0, g).empty());    // empty range
  EXPECT_EQ(g.next_u32(), before.next_u32());      // none of them drew
  EXPECT_THROW(combination(5, 3, 0, g), InternalError);
  EXPECT_THROW(combination(0, UINT64_MAX, 1, g), InternalError);
  EXPECT_THROW(combination(0, 0xFFFFFFFFull, 1, g), InternalError);
}

TEST(CombinationTest, GenerationWrapClearsMarkers) {
  // Reference results: markers carry nothing across calls, so any thread will do.
  auto ref = [](uint32_t seed, uint64_t k) {
    auto g = Mt19937::seed(seed);
    return combination(0, 99, k, g);
  };
  const auto sel = ref(1, 60), rej = ref(2, 20);

  std::vector<uint64_t> got_sel, got_rej, got_last;
  uint32_t gen_after_first = 0, gen_after_wrap = 0, gen_after_last = 0;
  std::thread t([&] {
    // A fresh thread: generation 1 marks 60 and then 20 values; setting the
    // counter so that the next advance wraps leaves those stale marks equal to
    // the generation the wrap reuses, so only the clearing keeps them out.
    auto g = Mt19937::seed(3);
    combination(0, 99, 60, g);
    gen_after_first = testing_comb_marker_generation();
    testing_set_comb_marker_generation(0xFFFFFFFEu);
    auto s = Mt19937::seed(1);
    got_sel = combination(0, 99, 60, s);  // generation 0xFFFFFFFF
    testing_set_comb_marker_generation(0xFFFFFFFFu);
    auto r = Mt19937::seed(2);
    got_rej = combination(0, 99, 20, r);  // wraps to 1
    gen_after_wrap = testing_comb_marker_generation();
    auto l = Mt19937::seed(1);
    got_last = combination(0, 99, 60, l);  // generation 2
    gen_after_last = testing_comb_marker_generation();
  });
  t.join();
  EXPECT_EQ(gen_after_first, 1u);
  EXPECT_EQ(got_sel, sel);
  EXPECT_EQ(got_rej, rej);
  EXPECT_EQ(gen_after_wrap, 1u);
  EXPECT_EQ(got_last, sel);
  EXPECT_EQ(gen_after_last, 2u);
}

}  // namespace
}  // namespace tarvelo::rng_compat
