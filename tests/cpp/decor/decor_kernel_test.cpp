// The decor score kernel against the direct computation on sets of realistic
// size (hundreds of hits, thousands of genes), where it bounds blocks of hits
// and divides only near the extremes; its decisions against a level; and the
// multilevel tail on inputs whose walks stall.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <numeric>
#include <random>
#include <vector>

#include "tarvelo/decor/es.hpp"
#include "tarvelo/decor/tail.hpp"
#include "fixture_util.hpp"

namespace tarvelo {
namespace {

bool same_bits(double a, double b) { return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b); }

using fixture::sanitizer_build;

// Kinds of ranked lists: continuous, integer with many ties, constant, and
// sparse (mostly zero), each with penalties continuous, constant or partly 0.
TEST(DecorKernel, LargeSetsMatchTheDirectScoreBitForBit) {
  std::mt19937_64 g(11);
  const int rounds = sanitizer_build() ? 60 : 400;
  for (int round = 0; round < rounds; ++round) {
    const uint64_t n = 50 + g() % 3000;
    const uint64_t k = 1 + g() % std::min<uint64_t>(n - 1, 1200);
    std::normal_distribution<double> normal;
    std::vector<double> ranks(n), mags(n);
    for (uint64_t i = 0; i < n; ++i) {
      switch (round % 4) {
        case 0: ranks[i] = std::round(normal(g) * 1048576.0); break;
        case 1: ranks[i] = static_cast<double>(static_cast<int64_t>(g() % 7) - 3); break;
        case 2: ranks[i] = 1000.0; break;
        default: ranks[i] = g() % 10 == 0 ? std::round(normal(g) * 4096.0) : 0.0; break;
      }
    }
    std::sort(ranks.begin(), ranks.end(), [](double a, double b) { return a > b; });
    for (uint64_t i = 0; i < n; ++i) mags[i] = std::fabs(ranks[i]);
    std::vector<uint64_t> all(n);
    std::iota(all.begin(), all.end(), uint64_t{0});
    std::vector<double> w(k);
    for (ScoreType st : {ScoreType::kStd, ScoreType::kPos, ScoreType::kNeg}) {
      decor::DecorEsKernel kernel(mags, k, st);
      // Several sets per kernel: its buffers are reused.
      for (int set = 0; set < 4; ++set) {
        std::shuffle(all.begin(), all.end(), g);
        std::vector<uint64_t> hits(all.begin(), all.begin() + static_cast<ptrdiff_t>(k));
        if (set == 3) std::iota(hits.begin(), hits.end(), uint64_t{0});  // the top of the list
        std::sort(hits.begin(), hits.end());
        for (auto& x : w) {
          const uint64_t r = g() % 10;
          x = round % 3 == 0 ? 0.75 : r == 0 ? 0.0 : static_cast<double>(g() % 100000) / 99999.0;
        }
        const double want = decor::calculate_es_decor_prechecked(ranks, hits, w, n, st).first;
        const double got = kernel.score(hits.data(), w.data());
        ASSERT_TRUE(same_bits(got, want))
            << "round " << round << " n=" << n << " k=" << k << " got " << got << " want " << want;
      }
    }
  }
}

// A random set of k of n positions, ascending.
std::vector<uint64_t> random_set(std::mt19937_64& g, uint64_t n, uint64_t k) {
  std::vector<uint64_t> all(n);
  std::iota(all.begin(), all.end(), uint64_t{0});
  std::shuffle(all.begin(), all.end(), g);
  std::vector<uint64_t> set(all.begin(), all.begin() + static_cast<ptrdiff_t>(k));
  std::sort(set.begin(), set.end());
  return set;
}

// A move of the multilevel tail: cur with a random slot replaced by a random
// position not in it, kept ascending. False (and nothing written) when the
// drawn position is in cur; else `same` is the number of leading hits left
// as they were.
bool swap_candidate(std::mt19937_64& g, const std::vector<uint64_t>& cur, uint64_t n,
                    std::vector<uint64_t>& cand, uint64_t& same) {
  const uint64_t slot = g() % cur.size();
  const uint64_t j = g() % n;
  if (std::binary_search(cur.begin(), cur.end(), j)) return false;
  cand = cur;
  cand.erase(cand.begin() + static_cast<ptrdiff_t>(slot));
  const auto at = std::lower_bound(cand.begin(), cand.end(), j);
  same = std::min(static_cast<uint64_t>(at - cand.begin()), slot);
  cand.insert(at, j);
  return true;
}

// Walks of swaps as the multilevel tail makes them: each candidate scored from
// its first changed hit on top of the kept set's sums must score as a fresh
// set does, whichever candidates were kept before (negative penalties take
// the plain loop and must still leave sums the next candidate can reuse).
TEST(DecorKernel, CandidatesScoredFromTheirFirstChangeMatchFreshScores) {
  std::mt19937_64 g(29);
  const int walks = sanitizer_build() ? 12 : 60;
  for (int walk = 0; walk < walks; ++walk) {
    const uint64_t n = 40 + g() % 900;
    const uint64_t k = 1 + g() % std::min<uint64_t>(n - 1, 300);
    std::vector<double> mags(n);
    for (auto& m : mags) m = walk % 3 == 0 ? static_cast<double>(g() % 4) : static_cast<double>(g() % 100000);
    std::vector<double> w(k);
    for (auto& x : w) x = walk % 5 == 4 && g() % 50 == 0 ? -0.5 : static_cast<double>(g() % 1000) / 999.0;
    const ScoreType st = walk % 3 == 0 ? ScoreType::kStd : walk % 3 == 1 ? ScoreType::kPos : ScoreType::kNeg;
    decor::DecorEsKernel walker(mags, k, st), fresh(mags, k, st);
    std::vector<uint64_t> cur = random_set(g, n, k), cand;
    walker.score(cur.data(), w.data());
    walker.keep();
    for (int step = 0; step < 200; ++step) {
      uint64_t same = 0;
      if (!swap_candidate(g, cur, n, cand, same)) continue;
      const double got = walker.score(cand.data(), w.data(), same);
      const double want = fresh.score(cand.data(), w.data());
      ASSERT_TRUE(same_bits(got, want)) << "walk " << walk << " step " << step << " got " << got
                                        << " want " << want;
      if (g() % 2 == 0) {
        walker.keep();
        cur.swap(cand);
      }
    }
  }
}

// The walk's decision from at_least() must be the exact one whenever it is
// given: levels are put at the candidate's own score, one ulp either side and
// within a few ulps, where the bounds are tightest, on ranked lists that make
// ties and plateaus of equal scores (integer, constant, mostly zero). The
// score given when it is not, and the sums left for later candidates, must be
// score()'s, bit for bit.
TEST(DecorKernel, LevelDecisionsAreTheExactScoresDecisions) {
  std::mt19937_64 g(41);
  const int walks = sanitizer_build() ? 24 : 120;
  uint64_t far = 0, far_settled = 0;
  for (int walk = 0; walk < walks; ++walk) {
    const uint64_t n = 40 + g() % 1500;
    const uint64_t k = 1 + g() % std::min<uint64_t>(n - 1, 400);
    const int kind = walk % 4;
    std::vector<double> mags(n);
    for (auto& m : mags) {
      switch (kind) {
        case 0: m = static_cast<double>(g() % 1000000); break;
        case 1: m = static_cast<double>(g() % 4); break;
        case 2: m = 512.0; break;
        default: m = g() % 8 == 0 ? static_cast<double>(g() % 64) : 0.0; break;
      }
    }
    std::vector<double> w(k);
    for (auto& x : w) x = kind == 2 || walk % 8 < 2 ? 1.0 : static_cast<double>(g() % 1000) / 999.0;
    const ScoreType st = walk % 3 == 0 ? ScoreType::kStd : walk % 3 == 1 ? ScoreType::kPos : ScoreType::kNeg;
    const bool negate = walk % 6 >= 3;
    decor::DecorEsKernel walker(mags, k, st), fresh(mags, k, st);
    std::vector<uint64_t> cur = random_set(g, n, k), cand;
    walker.score(cur.data(), w.data());
    walker.keep();
    for (int step = 0; step < 150; ++step) {
      uint64_t same = 0;
      if (!swap_candidate(g, cur, n, cand, same)) continue;
      const double raw = fresh.score(cand.data(), w.data());
      const double exact = negate ? -raw : raw;
      double level = exact;
      switch (step % 6) {
        case 0: break;
        case 1: level = std::nextafter(exact, 2.0); break;
        case 2: level = std::nextafter(exact, -2.0); break;
        case 3: level = exact + static_cast<double>(static_cast<int>(g() % 41) - 20) * 0x1p-52; break;
        case 4: level = exact + static_cast<double>(static_cast<int>(g() % 41) - 20) * 0x1p-46; break;
        default: level = static_cast<double>(static_cast<int>(g() % 2001) - 1000) / 1000.0; break;
      }
      const auto got = walker.at_least(cand.data(), w.data(), same, level, negate);
      const bool is_far = std::fabs(level - exact) > 1e-3;
      far += is_far;
      if (got) {
        far_settled += is_far;
        ASSERT_EQ(*got, exact >= level) << "walk " << walk << " step " << step << " score " << exact
                                        << " level " << level;
      } else {
        const double last = walker.score_last(cand.data(), w.data());
        ASSERT_TRUE(same_bits(last, raw)) << "walk " << walk << " step " << step;
      }
      if (g() % 2 == 0) {
        walker.keep();
        cur.swap(cand);
        // A set kept after at_least() is scored from its kept sums as afresh.
        if (step % 5 == 0) {
          ASSERT_TRUE(same_bits(walker.score(cur.data(), w.data(), k), fresh.score(cur.data(), w.data())));
        }
      }
    }
  }
  // Not a matter of correctness, but a kernel that seldom answers would make
  // the walks slower than plain scores: levels far from the score are settled.
  EXPECT_GT(far_settled * 10, far * 9) << far_settled << " of " << far;
}

// A pathway of every gene but the first has score -1, the lowest there is;
// for the walks nearly every candidate is already in the set, so a level
// would need about n / 2 attempts per accepted move. The estimate must end
// quickly (no estimate: the pathway keeps its permutation p-value).
TEST(DecorTail, NearlyFullSetStopsInsteadOfCrawling) {
  const uint64_t n = 800;
  std::vector<double> ranks(n);
  for (uint64_t i = 0; i < n; ++i) ranks[i] = static_cast<double>(n - i) * 1024.0;
  const std::vector<double> w(n - 1, 1.0);
  const auto start = std::chrono::steady_clock::now();
  const auto tail = decor::run_decor_multilevel_tail(ranks, w, n, ScoreType::kStd, 101, 7, -1.0, 0.0);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(seconds, sanitizer_build() ? 60.0 : 5.0);
  if (tail) {
    // Were an estimate given, it could not be below the exact chance 1 / n of
    // the one set with score -1.
    EXPECT_GE(*tail, 1.0 / static_cast<double>(n));
    EXPECT_LE(*tail, 1.0);
  }
}

}  // namespace
}  // namespace tarvelo
