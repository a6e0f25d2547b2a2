// Ranked list, weights, hits, enrichment score, leading edge and BH adjustment.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <set>

#include "tarvelo/engine/algo.hpp"
#include "tarvelo/engine/algo_support.hpp"
#include "tarvelo/engine/records.hpp"
#include "tarvelo/base/error.hpp"

namespace tarvelo {
namespace {

using algo::calculate_es_ruvex;

TEST(RankedListTest, OrderTiesAndNaN) {
  const double nan = std::nan("");
  RankedList r({"a", "b", "c", "d", "e", "f"}, {1.0, nan, 3.0, 1.0, nan, -2.0});
  EXPECT_EQ(r.genes(), (std::vector<std::string>{"c", "a", "d", "f", "b", "e"}));
  EXPECT_EQ(r.scores()[0], 3.0);
  EXPECT_TRUE(std::isnan(r.scores()[5]));
  EXPECT_TRUE(RankedList({}, {}).empty());
  EXPECT_EQ(RankedList({"a"}, {1.0, 2.0}).size(), 1u);
  EXPECT_THROW(RankedList({"a", "b"}, {1.0}), InternalError);
}

TEST(RankedListTest, PrepareWorkedExamples) {
  auto p = RankedList({"a", "b", "c"}, {3.0, -1.0, 0.0}).prepare(1.0);
  EXPECT_EQ(p.scaled_weights, (std::vector<int64_t>{3LL << 28, 0, 1LL << 28}));  // ranked: 3, 0, -1
  EXPECT_EQ(p.scaled_total, 1ULL << 30);

  // floor(2^30 / 3) is odd: both products end in .5 and round to even.
  auto q = RankedList({"a", "b"}, {2.5, 0.5}).prepare(1.0);
  const double f = std::floor(1073741824.0 / 3.0);
  EXPECT_EQ(q.scaled_weights[0], static_cast<int64_t>(std::nearbyint(2.5 * f)));
  EXPECT_EQ(q.scaled_total, (1ULL << 30) - 2);

  // All-zero scores: infinite factor, NaN products, zero weights.
  auto z = RankedList({"a", "b"}, {0.0, 0.0}).prepare(1.0);
  EXPECT_EQ(z.scaled_weights, (std::vector<int64_t>{0, 0}));
  EXPECT_EQ(z.scaled_total, 0u);

  // gseaParam 0: every weight is floor(2^30 / N).
  auto u = RankedList({"a", "b", "c"}, {5.0, 0.0, -1.0}).prepare(0.0);
  for (auto w : u.scaled_weights) EXPECT_EQ(w, 357913941);

  // A total above 2^30 keeps a fractional factor.
  auto big = RankedList({"a", "b"}, {3e9, 1e9}).prepare(1.0);
  EXPECT_EQ(big.scaled_weights[0], 805306368);
  EXPECT_EQ(big.scaled_weights[1], 268435456);
}

TEST(RankedListTest, WeightsThatOverflowAreAnError) {
  // The scaling divides by the weight total: an overflow would leave every
  // integer weight zero and every enrichment score meaningless.
  const RankedList huge({"a", "b", "c"}, {1.7e308, 1.6e308, -1.0});
  const Status sum = huge.check_weights(1.0);
  ASSERT_FALSE(sum.ok());
  EXPECT_EQ(sum.error().kind(), Error::Kind::kValue);
  EXPECT_NE(sum.error().message().find("sum of the weights |score|^gseaParam over all genes overflows"),
            std::string::npos);
  const Status power = RankedList({"a", "b"}, {1e200, 1.0}).check_weights(2.0);
  ASSERT_FALSE(power.ok());
  EXPECT_EQ(power.error().message().rfind("The weight |score|^gseaParam of gene 'a' is not finite (inf", 0), 0u);
  EXPECT_FALSE(RankedList({"a", "b"}, {0.0, 1.0}).check_weights(-1.0).ok());  // 0^-1
  EXPECT_FALSE(RankedList({"a", "b"}, {2.0, 1.0}).check_weights(std::nan("")).ok());

  // Large but summable, and the usual cases, pass; zero scores are fine.
  EXPECT_TRUE(RankedList({"a", "b"}, {8e307, 8e307}).check_weights(1.0).ok());
  EXPECT_TRUE(RankedList({"a", "b"}, {0.0, 0.0}).check_weights(0.0).ok());
  EXPECT_TRUE(RankedList({"a", "b", "c"}, {3.0, -1.0, 0.0}).check_weights(1.0).ok());
}

TEST(GeneIndexTest, LaterDuplicateWinsAndHitsDeduplicate) {
  RankedList r({"a", "b", "a", "c"}, {4.0, 3.0, 2.0, 1.0});
  auto index = algo_support::build_gene_index(r);
  EXPECT_EQ(index.find("a"), 2u);
  std::vector<std::string> genes{"c", "a", "zz", "a", "a"};
  EXPECT_EQ(algo_support::extract_pathway_hits(index, genes), (std::vector<uint64_t>{2, 3}));
  std::vector<std::string> absent{"x", "y"};
  EXPECT_TRUE(algo_support::extract_pathway_hits(index, absent).empty());
}

// Names of every length around the 4-, 8- and 16-byte reads of the hash and
// the inline comparison, with near misses that share all but one byte, a
// prefix or a suffix with a ranked name.
TEST(GeneIndexTest, AgreesWithAMapOnNamesOfEveryLength) {
  std::mt19937_64 rng(7);
  std::vector<std::string> genes;
  for (size_t len = 0; len <= 40; ++len) {
    for (int copy = 0; copy < 30; ++copy) {
      std::string g(len, 'a');
      for (char& c : g) c = static_cast<char>('A' + rng() % 4);  // few letters: many near misses
      genes.push_back(g);
    }
  }
  genes.push_back(std::string("x\0y", 3));
  genes.push_back("\xce\xb1-gene");
  std::shuffle(genes.begin(), genes.end(), rng);
  std::map<std::string, uint64_t> want;
  for (size_t i = 0; i < genes.size(); ++i) want[genes[i]] = i;  // later wins
  const algo_support::GeneIndex index(genes);
  EXPECT_EQ(index.size(), want.size());

  std::vector<std::string> queries;
  for (const auto& g : genes) {
    queries.push_back(g);
    queries.push_back(g + "A");
    if (!g.empty()) {
      queries.push_back(g.substr(1));
      queries.push_back(g.substr(0, g.size() - 1));
      for (size_t at : {size_t{0}, g.size() / 2, g.size() - 1}) {
        std::string m = g;
        m[at] = static_cast<char>(m[at] ^ 0x20);
        queries.push_back(m);
      }
    }
  }
  queries.push_back(std::string("x\0z", 3));
  std::vector<uint64_t> expected_positions;
  for (const auto& q : queries) {
    const auto it = want.find(q);
    const std::optional<uint64_t> got = index.find(q);
    if (it == want.end()) {
      EXPECT_FALSE(got.has_value()) << q;
    } else {
      EXPECT_EQ(got, it->second) << q;
      expected_positions.push_back(it->second);
    }
  }
  std::vector<uint64_t> positions;
  index.append_positions(queries, positions);
  EXPECT_EQ(positions, expected_positions);

  const algo_support::GeneIndex none(std::vector<std::string>{});
  EXPECT_TRUE(none.empty());
  EXPECT_FALSE(none.find("").has_value());
  EXPECT_FALSE(algo_support::GeneIndex(std::vector<std::string>{"a"}).find("").has_value());
  EXPECT_EQ(algo_support::GeneIndex(std::vector<std::string>{""}).find(""), 0u);
}

TEST(GeneIndexTest, HashReadsEveryByte) {
  for (size_t len = 1; len <= 40; ++len) {
    const std::string base(len, 'g');
    std::set<uint64_t> seen{algo_support::GeneIndex::hash_name(base)};
    for (size_t at = 0; at < len; ++at) {
      std::string m = base;
      m[at] = 'h';
      EXPECT_TRUE(seen.insert(algo_support::GeneIndex::hash_name(m)).second) << len << " " << at;
    }
    EXPECT_NE(algo_support::GeneIndex::hash_name(base),
              algo_support::GeneIndex::hash_name(base + std::string(1, '\0')));
  }
}

// Names whose 32-bit tags and first slots agree reach the byte comparison;
// such pairs are found by brute force for each way of comparing (up to 3, 7,
// 16 and over 16 bytes), with the differing bytes at the end of the names and
// then at their start, and each name must still map only to itself.
TEST(GeneIndexTest, TagCollisionsAreToldApartByTheBytes) {
  for (const size_t len : {3, 7, 12, 21})
  for (const bool at_end : {true, false}) {
    auto name = [len, at_end](uint64_t i) {
      std::string s(len, '\0');  // i in base 256
      for (size_t k = 0; k < len && i != 0; ++k, i >>= 8)
        s[at_end ? len - 1 - k : k] = static_cast<char>(i & 255);
      return s;
    };
    std::vector<std::pair<uint64_t, uint64_t>> keys;  // (tag and first slot of 16, i)
    for (uint64_t i = 0; i < 700000; ++i) {
      const uint64_t h = algo_support::GeneIndex::hash_name(name(i));
      keys.emplace_back((h >> 32) << 4 | (h & 15), i);
    }
    std::sort(keys.begin(), keys.end());
    size_t pairs = 0;
    for (size_t k = 1; k < keys.size(); ++k) {
      if (keys[k].first != keys[k - 1].first) continue;
      const std::string a = name(keys[k - 1].second), b = name(keys[k].second);
      ASSERT_NE(a, b);
      ++pairs;
      const algo_support::GeneIndex only_a(std::vector<std::string>{a});
      EXPECT_EQ(only_a.find(a), 0u);
      EXPECT_FALSE(only_a.find(b).has_value()) << keys[k - 1].second << " " << keys[k].second;
      const algo_support::GeneIndex both(std::vector<std::string>{a, b});
      EXPECT_EQ(both.find(a), 0u);
      EXPECT_EQ(both.find(b), 1u);
    }
    EXPECT_GT(pairs, 0u) << "no colliding pair of length " << len;
  }
}

// Both ways of ordering: few or spread-out positions, and many in a short stretch.
TEST(SortUniquePositionsTest, MatchesSortAndUnique) {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 400; ++round) {
    const size_t count = rng() % 300;
    const uint64_t base = rng() % 3 == 0 ? rng() % 100000 : 0;
    const uint64_t spread = 1 + rng() % (round % 2 == 0 ? 200 : 20000);
    std::vector<uint64_t> v(count);
    for (auto& x : v) x = base + rng() % spread;
    std::vector<uint64_t> want = v;
    std::sort(want.begin(), want.end());
    want.erase(std::unique(want.begin(), want.end()), want.end());
    algo_support::sort_unique_positions(v);
    EXPECT_EQ(v, want) << "round " << round;
  }
  std::vector<uint64_t> edge{~uint64_t{0}, 0, ~uint64_t{0}};
  algo_support::sort_unique_positions(edge);
  EXPECT_EQ(edge, (std::vector<uint64_t>{0, ~uint64_t{0}}));
}

TEST(EnrichmentScoreTest, ZeroWeightEqualSteps) {
  std::vector<double> w(4, 0.0);
  std::vector<uint64_t> h02{0, 2}, h13{1, 3}, h03{0, 3};
  EXPECT_EQ(calculate_es_ruvex(w, h02, 4, ScoreType::kStd), std::make_pair(0.5, uint64_t{0}));
  EXPECT_EQ(calculate_es_ruvex(w, h02, 4, ScoreType::kPos), std::make_pair(0.5, uint64_t{0}));
  EXPECT_EQ(calculate_es_ruvex(w, h02, 4, ScoreType::kNeg), std::make_pair(0.0, uint64_t{0}));
  EXPECT_EQ(calculate_es_ruvex(w, h13, 4, ScoreType::kStd), std::make_pair(-0.5, uint64_t{1}));
  EXPECT_EQ(calculate_es_ruvex(w, h03, 4, ScoreType::kStd), std::make_pair(0.0, uint64_t{0}));
  std::vector<uint64_t> none;
  EXPECT_EQ(calculate_es_ruvex(w, none, 4, ScoreType::kStd), std::make_pair(0.0, uint64_t{0}));
  std::vector<uint64_t> beyond{1, 4};
  EXPECT_THROW(calculate_es_ruvex(w, beyond, 5, ScoreType::kStd), InternalError);
  std::vector<uint64_t> all{1, 2, 3, 0};
  EXPECT_EQ(calculate_es_ruvex(w, all, 4, ScoreType::kStd), std::make_pair(0.0, uint64_t{1}));
}

TEST(EnrichmentScoreTest, NegativeDeviationAndLeadingEdge) {
  std::vector<double> w{4, 3, 2, 1, 1, 2};
  std::vector<std::string> genes{"g0", "g1", "g2", "g3", "g4", "g5"};
  std::vector<uint64_t> hits{3, 5};
  auto [es, peak] = calculate_es_ruvex(w, hits, 6, ScoreType::kStd);
  // misses before hit 3: 3 of 4 -> bottom = 0 - 0.75
  EXPECT_DOUBLE_EQ(es, -0.75);
  EXPECT_EQ(peak, 3u);
  EXPECT_EQ(algo_support::leading_edge(hits, peak, ScoreType::kStd, genes, es),
            (std::vector<std::string>{"g5", "g3"}));
  std::vector<uint64_t> top{0, 1, 4};
  auto [es2, peak2] = calculate_es_ruvex(w, top, 6, ScoreType::kStd);
  EXPECT_GT(es2, 0);
  EXPECT_EQ(peak2, 1u);
  EXPECT_EQ(algo_support::leading_edge(top, peak2, ScoreType::kStd, genes, es2),
            (std::vector<std::string>{"g0", "g1"}));
  EXPECT_TRUE(algo_support::leading_edge(top, peak2, ScoreType::kStd, genes, 0.0).empty());
  EXPECT_TRUE(algo_support::leading_edge(top, peak2, ScoreType::kStd, genes, std::nan("")).empty());
  // pos/neg ignore es
  EXPECT_EQ(algo_support::leading_edge(top, 1, ScoreType::kNeg, genes, 1.0),
            (std::vector<std::string>{"g4", "g1"}));
}

TEST(BhTest, CountsAllResultsAndKeepsTies) {
  std::vector<EnrichmentResult> rs(5);
  const double p[5] = {0.01, std::nan(""), 0.04, std::numeric_limits<double>::infinity(), 0.04};
  for (int i = 0; i < 5; ++i) rs[i].pval = p[i];
  algo_support::apply_bh_adjustment(rs);
  EXPECT_DOUBLE_EQ(*rs[0].padj, 0.05);
  EXPECT_FALSE(rs[1].padj.has_value());
  EXPECT_FALSE(rs[3].padj.has_value());
  EXPECT_EQ(*rs[2].padj, (0.04 * 5.0) / 3.0);
  EXPECT_EQ(*rs[4].padj, *rs[2].padj);
  std::vector<EnrichmentResult> big(1);
  big[0].pval = 0.9;
  std::vector<EnrichmentResult> two(2);
  two[0].pval = 0.9;
  two[1].pval = 0.8;
  algo_support::apply_bh_adjustment(two);
  EXPECT_EQ(*two[0].padj, 0.9);
  EXPECT_EQ(*two[1].padj, 0.9);
}

}  // namespace
}  // namespace tarvelo
