// The decor method's driver, size-group null and multilevel tail.
// References: tools/gen_decor_driver_reference.py (CPython transcription of the
// permutation variant over the random sets R 4.2.2 drew, written by
// tools/gen_decor_r_fixtures.R; tests/data/decor_driver_case.tsv) and the tail
// port in tools/gen_decor_engine_fixtures.py (decor_engine_fixtures.txt).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <tbb/global_control.h>

#include "decor_engine_fixture.hpp"
#include "tarvelo/decor/engine.hpp"
#include "tarvelo/decor/es.hpp"
#include "tarvelo/decor/tail.hpp"
#include "tarvelo/decor/tuning.hpp"
#include "tarvelo/engine/rng_compat.hpp"
#include "fixture_util.hpp"

namespace tarvelo::decor {
namespace {

using namespace decor_engine_test;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using fixture::sanitizer_build;

std::string opt_hex(const std::optional<double>& v) {
  if (!v) return "NONE";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%a", *v);
  return buf;
}

TEST(DecorDriver, PermutationVariantMatchesReference) {
  std::vector<std::string> genes;
  std::vector<double> scores;
  std::vector<Pathway> pathways;
  DecorCache cache;
  struct Run { std::string label; DecorOptions o; ScoreType st; uint64_t nperm, seed; double eps; };
  std::vector<Run> runs;
  std::map<std::string, std::vector<std::vector<std::string>>> expected;
  for (const auto& t : read_records("decor_driver_case.tsv")) {
    if (t[0] == "gene") {
      genes.push_back(t[1]);
      scores.push_back(hexf(t[2]));
    } else if (t[0] == "pathway") {
      pathways.push_back({t[1], split(t[2], ';'), std::nullopt});
    } else if (t[0] == "cache") {
      auto& e = cache.pathways[t[1]];
      e.genes = split(t[2], ';');
      for (double v : hex_list(t[3])) e.redundancy.push_back(static_cast<float>(v));
    } else if (t[0] == "run") {
      Run r;
      r.label = t[1];
      if (auto f = find_choice(t[2], kDecorWeightFormulas)) r.o.weight_formula = *f;
      r.o.alpha = hexf(t[3]);
      r.o.threshold = hexf(t[4]);
      r.st = static_cast<ScoreType>(std::stoi(t[5]));
      r.nperm = std::stoull(t[6]);
      r.seed = std::stoull(t[7]);
      r.eps = hexf(t[8]);
      runs.push_back(r);
    } else if (t[0] == "result") {
      expected[t[1]].push_back(t);
    }
  }
  const RankedList ranked(genes, scores);
  ASSERT_EQ(runs.size(), 3u);
  for (const Run& r : runs) {
    auto res = decor::ruvex_decor_simple_with_options(ranked, pathways, cache, r.o, r.nperm, r.seed,
                                                      1, 1000, r.st, 101, r.eps, 1.0);
    ASSERT_TRUE(res.ok()) << res.error().message();
    const auto& want = expected[r.label];
    ASSERT_EQ(res->size(), want.size()) << r.label;
    for (size_t i = 0; i < want.size(); ++i) {
      const auto& got = (*res)[i];
      const auto& w = want[i];
      SCOPED_TRACE(r.label + " " + w[2]);
      EXPECT_EQ(got.pathway, w[2]);
      EXPECT_EQ(got.size, std::stoull(w[3]));
      EXPECT_TRUE(same(got.es, hexf(w[4])));
      EXPECT_EQ(opt_hex(got.nes), w[5] == "NONE" ? "NONE" : opt_hex(hexf(w[5])));
      EXPECT_TRUE(same(got.pval, hexf(w[6])));
      EXPECT_EQ(opt_hex(got.padj), w[7] == "NONE" ? "NONE" : opt_hex(hexf(w[7])));
      if (w[8] == "NONE") {
        EXPECT_FALSE(got.log2err.has_value());
      } else {
        ASSERT_TRUE(got.log2err.has_value());
        EXPECT_NEAR(*got.log2err, hexf(w[8]), 1e-12 * std::max(1.0, std::fabs(hexf(w[8]))));
      }
      std::string le;
      for (const auto& g : got.leading_edge) le += (le.empty() ? "" : ";") + g;
      EXPECT_EQ(le, w[9]);
    }
  }
}

// Random ranked list with some zero scores, and pathways over it.
struct Synthetic {
  std::vector<std::string> genes;
  std::vector<double> scores;
  std::vector<Pathway> pathways;
  DecorCache cache;
};

Synthetic make_synthetic(uint64_t n, size_t n_pathways, uint64_t seed) {
  Synthetic s;
  std::mt19937_64 g(seed);
  for (uint64_t i = 0; i < n; ++i) {
    s.genes.push_back("G" + std::to_string(i));
    const int64_t v = static_cast<int64_t>(g() % 2001) - 1000;
    s.scores.push_back(i % 17 == 0 ? 0.0 : static_cast<double>(v) / 100.0 + (i < 40 ? 25.0 : 0.0));
  }
  for (size_t p = 0; p < n_pathways; ++p) {
    Pathway pw;
    pw.name = "P" + std::to_string(1000 + p);
    const uint64_t k = 3 + g() % 25;
    auto& e = s.cache.pathways[pw.name];
    for (uint64_t j = 0; j < k; ++j) {
      const uint64_t pos = p % 5 == 0 ? g() % 40 : g() % n;  // some enriched
      pw.genes.push_back("G" + std::to_string(pos));
      e.genes.push_back(pw.genes.back());
      e.redundancy.push_back(static_cast<float>(g() % 1000) / 1000.0f);
    }
    s.pathways.push_back(std::move(pw));
  }
  return s;
}

TEST(DecorNull, BatchedEqualsPerPathway) {
  const uint64_t n = 300, k = 9;
  std::mt19937_64 g(7);
  std::vector<double> ranks(n), mags(n);
  for (uint64_t i = 0; i < n; ++i) {
    ranks[i] = i % 13 == 0 ? 0.0 : static_cast<double>(static_cast<int64_t>(g() % 200001) - 100000);
    mags[i] = std::fabs(ranks[i]);
  }
  std::vector<std::vector<double>> weights(20, std::vector<double>(k));
  std::vector<decor::DecorNullPathway> ps;
  for (size_t j = 0; j < weights.size(); ++j) {
    for (auto& w : weights[j]) w = j == 3 ? 0.0 : static_cast<double>(g() % 1000) / 997.0;
    ps.push_back({weights[j], (static_cast<double>(j) - 10.0) / 25.0});
  }
  ps[5].es = 0.0;
  for (ScoreType st : {ScoreType::kStd, ScoreType::kPos, ScoreType::kNeg}) {
    const auto a = decor::decor_group_null(ranks, mags, k, ps, 400, 99, st, true);
    const auto b = decor::decor_group_null(ranks, mags, k, ps, 400, 99, st, false);
    for (size_t j = 0; j < ps.size(); ++j) {
      EXPECT_EQ(a[j].le_es, b[j].le_es);
      EXPECT_EQ(a[j].ge_es, b[j].ge_es);
      EXPECT_EQ(a[j].le_zero, b[j].le_zero);
      EXPECT_EQ(a[j].ge_zero, b[j].ge_zero);
      EXPECT_TRUE(same(a[j].le_zero_sum, b[j].le_zero_sum));
      EXPECT_TRUE(same(a[j].ge_zero_sum, b[j].ge_zero_sum));
      EXPECT_GE(a[j].le_zero + a[j].ge_zero, 400u);  // zero counts on both sides
    }
  }
  EXPECT_EQ(decor::decor_group_null(ranks, mags, k, ps, 0, 99, ScoreType::kStd, true)[0].ge_zero, 0u);
}

// The stream itself is checked against R's draws by the driver reference
// above; here, what every count must satisfy whatever the draws, at the sizes
// where the kernel changes strategy (1, lane widths, N - 1).
TEST(DecorNull, CountsObeyTheirDefinitions) {
  const uint64_t n = 300, nperm = 60;
  std::mt19937_64 g(11);
  std::vector<double> ranks(n), mags(n);
  for (uint64_t i = 0; i < n; ++i) {
    ranks[i] = static_cast<double>(static_cast<int64_t>(g() % 20001) - 10000);
    mags[i] = std::fabs(ranks[i]);
  }
  for (uint64_t k : {1, 5, 31, 32, 40, 299}) {
    SCOPED_TRACE("k=" + std::to_string(k));
    std::vector<double> w(k);
    for (auto& x : w) x = static_cast<double>(g() % 100) / 99.0;
    // Scores lie in [-1, 1]: an observed score of +-2 is beaten by none.
    const std::vector<decor::DecorNullPathway> ps{{w, 2.0}, {w, -2.0}, {w, 0.1}};
    const auto got = decor::decor_group_null(ranks, mags, k, ps, nperm, 1234, ScoreType::kStd, false);
    EXPECT_EQ(got[0].le_es, nperm);
    EXPECT_EQ(got[0].ge_es, 0u);
    EXPECT_EQ(got[1].le_es, 0u);
    EXPECT_EQ(got[1].ge_es, nperm);
    EXPECT_GE(got[2].le_es + got[2].ge_es, nperm);
    for (const auto& c : got) {
      // Every score lands on a side of zero (both when it is zero), and the
      // sides' sums carry their sign; the three lanes share one set of draws.
      EXPECT_GE(c.le_zero + c.ge_zero, nperm);
      EXPECT_LE(c.le_zero_sum, 0.0);
      EXPECT_GE(c.ge_zero_sum, 0.0);
      EXPECT_EQ(c.le_zero, got[0].le_zero);
      EXPECT_TRUE(same(c.ge_zero_sum, got[0].ge_zero_sum));
    }
    const auto again = decor::decor_group_null(ranks, mags, k, ps, nperm, 1234, ScoreType::kStd, true);
    EXPECT_EQ(again[2].le_es, got[2].le_es);
    EXPECT_TRUE(same(again[2].le_zero_sum, got[2].le_zero_sum));
  }
}

TEST(DecorTail, MatchesPort) {
  size_t checked = 0;
  for (const auto& t : read_records("decor_engine_fixtures.txt")) {
    if (t[0] != "tail") continue;
    const uint64_t n = std::stoull(t[1]);
    const auto st = static_cast<ScoreType>(std::stoi(t[2]));
    const uint64_t sample = std::stoull(t[3]);
    const uint32_t s32 = static_cast<uint32_t>(std::stoull(t[4]));
    const auto ranks = hex_list(t[7]);
    const auto w = hex_list(t[8]);
    const auto got = decor::run_decor_multilevel_tail(ranks, w, n, st, sample, s32, hexf(t[5]), hexf(t[6]));
    SCOPED_TRACE("seed32 " + t[4]);
    if (t[9] == "NONE") {
      EXPECT_FALSE(got.has_value());
    } else {
      ASSERT_TRUE(got.has_value());
      EXPECT_TRUE(same(*got, hexf(t[9]))) << *got;
    }
    ++checked;
  }
  EXPECT_EQ(checked, 6u);
  const std::vector<double> ranks{3, 2, 1, 0};
  const std::vector<double> w{1.0, 1.0};
  EXPECT_EQ(decor::run_decor_multilevel_tail(ranks, w, 4, ScoreType::kStd, 5, 1, kNaN, 0.0), 1.0);
  EXPECT_EQ(decor::run_decor_multilevel_tail(ranks, w, 2, ScoreType::kStd, 5, 1, 0.5, 0.0), 1.0);
  EXPECT_EQ(decor::run_decor_multilevel_tail(ranks, {}, 4, ScoreType::kStd, 5, 1, 0.5, 0.0), 1.0);
}

DecorOptions balanced() {
  DecorOptions o;
  EXPECT_TRUE(apply_decor_release_tuning(o, std::nullopt, std::nullopt).ok());
  return o;
}

TEST(DecorDriver, ThreadCountDoesNotMatter) {
  const auto s = make_synthetic(sanitizer_build() ? 400 : 2000, sanitizer_build() ? 40 : 120, 5);
  const RankedList ranked(s.genes, s.scores);
  const uint64_t nperm = sanitizer_build() ? 100 : 400;
  auto run = [&] {
    auto r = decor::ruvex_decor_multilevel_with_options(ranked, s.pathways, s.cache, balanced(), nperm,
                                                        11, 1, 1000, ScoreType::kStd, 21, 0.0, 1.0);
    EXPECT_TRUE(r.ok());
    return std::move(r).value();
  };
  std::vector<EnrichmentResult> one;
  {
    tbb::global_control limit(tbb::global_control::max_allowed_parallelism, 1);
    one = run();
  }
  const auto many = run();
  ASSERT_EQ(one.size(), many.size());
  size_t refined = 0;
  for (size_t i = 0; i < one.size(); ++i) {
    EXPECT_EQ(one[i].pathway, many[i].pathway);
    EXPECT_TRUE(same(one[i].es, many[i].es));
    EXPECT_TRUE(same(one[i].pval, many[i].pval)) << one[i].pathway;
    EXPECT_EQ(opt_hex(one[i].nes), opt_hex(many[i].nes));
    EXPECT_EQ(opt_hex(one[i].log2err), opt_hex(many[i].log2err));
    EXPECT_EQ(opt_hex(one[i].padj), opt_hex(many[i].padj));
    EXPECT_EQ(one[i].leading_edge, many[i].leading_edge);
    if (std::isfinite(one[i].pval) && one[i].pval < 1.0 / static_cast<double>(nperm)) ++refined;
  }
  EXPECT_GT(refined, 0u);  // the tail ran for some pathway
  for (size_t i = 1; i < one.size(); ++i) EXPECT_LT(one[i - 1].pathway, one[i].pathway);
}

TEST(DecorDriver, VariantsCountsAndFloors) {
  const auto s = make_synthetic(500, 30, 9);
  const RankedList ranked(s.genes, s.scores);
  const auto o = balanced();
  auto simple = [&](uint64_t nperm, double eps) {
    return decor::ruvex_decor_simple_with_options(ranked, s.pathways, s.cache, o, nperm, 3, 1, 1000,
                                                  ScoreType::kStd, 101, eps, 1.0).value();
  };
  // No permutations: no p-value, NES or error estimate.
  for (const auto& r : simple(0, 0.0)) {
    EXPECT_TRUE(std::isnan(r.pval));
    EXPECT_FALSE(r.nes.has_value());
    EXPECT_FALSE(r.log2err.has_value());
    EXPECT_FALSE(r.padj.has_value());
  }
  // eps floors the permutation p-value; above 1 it acts as 1.
  for (const auto& r : simple(50, 0.1)) {
    if (!std::isnan(r.pval)) { EXPECT_GE(r.pval, 0.1); }
  }
  for (const auto& r : simple(50, 7.0)) {
    if (!std::isnan(r.pval)) { EXPECT_EQ(r.pval, 1.0); }
  }
  // With 5 permutations no side reaches 10 scores: multilevel reports NaN
  // where the simple variant keeps its value.
  const auto ml = decor::ruvex_decor_multilevel_with_options(ranked, s.pathways, s.cache, o, 5, 3, 1,
                                                             1000, ScoreType::kStd, 101, 0.0, 1.0).value();
  const auto sp = simple(5, 0.0);
  ASSERT_EQ(ml.size(), sp.size());
  for (size_t i = 0; i < ml.size(); ++i) {
    EXPECT_TRUE(std::isnan(ml[i].pval));
    EXPECT_FALSE(ml[i].nes.has_value());
    if (sp[i].nes) { EXPECT_TRUE(std::isfinite(sp[i].pval)); }
  }
  EXPECT_TRUE(std::any_of(sp.begin(), sp.end(), [](const auto& r) { return std::isfinite(r.pval); }));
  // A refined p-value below eps is reported at eps without an error estimate.
  const auto floored = decor::ruvex_decor_multilevel_with_options(
      ranked, s.pathways, s.cache, o, 200, 3, 1, 1000, ScoreType::kStd, 21, 0.02, 1.0).value();
  size_t at_floor = 0;
  for (const auto& r : floored) {
    EXPECT_FALSE(r.pval < 0.02);
    if (r.pval == 0.02) {
      EXPECT_FALSE(r.log2err.has_value()) << r.pathway;
      ++at_floor;
    }
  }
  EXPECT_GT(at_floor, 0u);
}

TEST(DecorDriver, HitsSizesAndErrors) {
  const RankedList ranked({"a", "b", "c", "d", "e", "f"}, {6, 5, 4, -1, -2, -3});
  DecorCache cache;
  cache.pathways["dup"] = {{"a", "b", "a", "zz"}, {0.9f, 0.1f, 0.2f, 0.3f}};
  cache.pathways["big"] = {{"a", "b", "c", "d", "e", "f"}, {0, 0, 0, 0, 0, 0}};
  std::vector<Pathway> pathways{
      {"dup", {"b", "a", "a", "zz", "c"}, std::nullopt},  // c has no value, zz no rank
      {"nocache", {"a", "b"}, std::nullopt},
      {"big", {"a", "b", "c", "d", "e", "f"}, std::nullopt},  // 6 > N - 1
  };
  const auto hits = decor::extract_decor_hits(pathways[0], algo_support::build_gene_index(ranked),
                                              &cache.pathways["dup"]);
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0], (std::pair<uint64_t, double>{0, static_cast<double>(0.2f)}));  // later value wins
  EXPECT_EQ(hits[1], (std::pair<uint64_t, double>{1, static_cast<double>(0.1f)}));
  auto o = balanced();
  auto r = decor::run_decor_internal(ranked, pathways, cache, o, 10, 1, 1, 1000, ScoreType::kStd, 3,
                                     0.0, 1.0, false);
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r->size(), 1u);
  EXPECT_EQ((*r)[0].pathway, "dup");
  EXPECT_EQ((*r)[0].size, 2u);

  // Option checks come first; a penalty error names the first failing pathway.
  o.alpha = -1.0;
  EXPECT_EQ(decor::run_decor_internal(ranked, pathways, cache, o, 10, 1, 1, 1000, ScoreType::kStd,
                                      3, 0.0, 1.0, false).error().message(),
            "decor alpha must be a finite value >= 0");
  o = balanced();
  o.weight_formula = DecorWeightFormula::kOddsRational;
  o.scale_epsilon = 3.0;
  o.alpha = 5.0;
  cache.pathways["dup"].redundancy = {0.9f, 0.1f, 0.25f, 0.3f};
  EXPECT_EQ(decor::run_decor_internal(ranked, pathways, cache, o, 10, 1, 1, 1000, ScoreType::kStd,
                                      3, 0.0, 1.0, false).error().message(),
            "selected formula odds-rational produced an invalid penalty from redundancy 0.25");
}

}  // namespace
}  // namespace tarvelo::decor
