// Ranking, weights, pathway hits, enrichment score, leading edge, BH adjustment
// and float text, bit for bit against the CPython references written by
// tools/gen_core_fixtures.py (tests/data/core_cases.txt, format_f64.txt).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "fixture_util.hpp"
#include "tarvelo/engine/algo.hpp"
#include "tarvelo/engine/algo_support.hpp"
#include "tarvelo/engine/records.hpp"
#include "tarvelo/base/text.hpp"

namespace tarvelo {
namespace {

using fixture::bits;
using fixture::num;
using fixture::Tokens;

std::vector<uint64_t> bits_of(const std::vector<double>& v) {
  std::vector<uint64_t> out;
  for (double x : v) out.push_back(bits(x));
  return out;
}

// Values from token `from` on, as doubles or integers.
std::vector<uint64_t> bits_from(const Tokens& t, size_t from) {
  std::vector<uint64_t> out;
  for (size_t i = from; i < t.size(); ++i) out.push_back(bits(num(t[i])));
  return out;
}
template <class Int>
std::vector<Int> ints_from(const Tokens& t, size_t from) {
  std::vector<Int> out;
  for (size_t i = from; i < t.size(); ++i)
    out.push_back(static_cast<Int>(std::is_signed_v<Int> ? std::stoll(t[i]) : std::stoull(t[i])));
  return out;
}

TEST(CoreFixtureTest, RankingWeightsHitsScoresAndLeadingEdges) {
  const auto lines = fixture::read_tokens("core_cases.txt");
  size_t i = 0, cases = 0, pathways = 0;
  while (i < lines.size()) {
    if (lines[i][0] != "case") { ++i; continue; }
    SCOPED_TRACE("case " + std::to_string(cases));
    const double gsea_param = num(lines[i][1]);
    const bool scaled_ranks = lines[i][2] == "w";
    const size_t n = std::stoul(lines[i][3]);
    ++i;
    Tokens names;
    if (lines[i][0] == "names") {
      names.assign(lines[i].begin() + 1, lines[i].end());
      ++i;
    } else {
      for (size_t g = 0; g < n; ++g) names.push_back("g" + std::to_string(g));
    }
    std::vector<double> scores;
    for (size_t k = 1; k < lines[i].size(); ++k) scores.push_back(num(lines[i][k]));
    const auto order = ints_from<size_t>(lines[i + 1], 1);
    const auto weights = bits_from(lines[i + 2], 1);
    const auto scaled = ints_from<int64_t>(lines[i + 3], 1);
    const uint64_t total = std::stoull(lines[i + 4][1]);
    i += 5;

    const RankedList ranked(names, scores);
    Tokens want_genes;
    std::vector<double> want_scores;
    for (size_t o : order) {
      want_genes.push_back(names[o]);
      want_scores.push_back(scores[o]);
    }
    ASSERT_EQ(ranked.genes(), want_genes);
    EXPECT_EQ(bits_of(ranked.scores()), bits_of(want_scores));
    const PreparedRanks prep = ranked.prepare(gsea_param);
    EXPECT_EQ(bits_of(prep.weights), weights);
    EXPECT_EQ(prep.scaled_weights, scaled);
    EXPECT_EQ(prep.scaled_total, total);

    std::vector<double> ranks = ranked.scores();
    if (scaled_ranks) ranks.assign(prep.scaled_weights.begin(), prep.scaled_weights.end());
    const auto index = algo_support::build_gene_index(ranked);
    for (; lines[i][0] != "end"; i += 5, ++pathways) {
      Tokens genes(lines[i].begin() + 2, lines[i].end());
      if (genes == Tokens{"*"}) genes = ranked.genes();
      const auto hits = algo_support::extract_pathway_hits(index, genes);
      ASSERT_EQ(hits, ints_from<uint64_t>(lines[i + 1], 2)) << "pathway " << pathways;
      const ScoreType types[3] = {ScoreType::kStd, ScoreType::kPos, ScoreType::kNeg};
      for (int s = 0; s < 3; ++s) {
        const Tokens& want = lines[i + 2 + s];
        const auto [es, peak] = algo::calculate_es_ruvex(ranks, hits, n, types[s]);
        EXPECT_EQ(bits(es), bits(num(want[1]))) << want[0] << " pathway " << pathways;
        EXPECT_EQ(peak, std::stoull(want[2])) << want[0] << " pathway " << pathways;
        Tokens want_le;
        for (uint64_t pos : ints_from<uint64_t>(want, 4)) want_le.push_back(ranked.genes()[pos]);
        EXPECT_EQ(algo_support::leading_edge(hits, peak, types[s], ranked.genes(), es), want_le)
            << want[0] << " pathway " << pathways;
      }
    }
    ++cases;
  }
  EXPECT_EQ(cases, 300u);
  EXPECT_GT(pathways, 1500u);
}

TEST(CoreFixtureTest, BenjaminiHochberg) {
  const auto lines = fixture::read_tokens("core_cases.txt");
  size_t cases = 0;
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    if (lines[i][0] != "bh") continue;
    std::vector<EnrichmentResult> results(std::stoul(lines[i][1]));
    for (size_t r = 0; r < results.size(); ++r) results[r].pval = num(lines[i][2 + r]);
    algo_support::apply_bh_adjustment(results);
    for (size_t r = 0; r < results.size(); ++r) {
      const std::string& want = lines[i + 1][1 + r];
      if (want == "-") {
        EXPECT_FALSE(results[r].padj.has_value()) << "bh case " << cases << " result " << r;
      } else {
        ASSERT_TRUE(results[r].padj.has_value()) << "bh case " << cases << " result " << r;
        EXPECT_EQ(bits(*results[r].padj), bits(num(want))) << "bh case " << cases << " result " << r;
      }
    }
    ++cases;
  }
  EXPECT_EQ(cases, 120u);
}

TEST(CoreFixtureTest, FloatText) {
  size_t values = 0;
  for (const Tokens& t : fixture::read_tokens("format_f64.txt")) {
    EXPECT_EQ(text::format_f64(num(t[0])), t[1]) << t[0];
    ++values;
  }
  EXPECT_EQ(values, 400u);
}

}  // namespace
}  // namespace tarvelo
